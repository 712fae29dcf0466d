// Device figures of the family's chips and the layout of their fuse maps.
//
// Device type code 8 is the ATF1508AS and 2 the ATF1502AS (known to the JEDEC
// tools and the SVF route only: the programmer's adapter protocol has no
// ATF1502); every other value is treated as the ATF1504AS (0 means "not yet
// known" and still selects that layout).
#pragma once

#include <array>
#include <cstdint>

namespace vr {

inline constexpr int32_t code_1502 = 2;
inline constexpr int32_t code_1504 = 4;
inline constexpr int32_t code_1508 = 8;

// One fuse region: first fuse number, number of fuses, and the number of
// fuses per group the JEDEC writer prints on one line (or line triple).
struct Region {
    int32_t first;
    int32_t count;
    int32_t group;
};

struct Device {
    const char* name;         // "ATF1502AS" / "ATF1504AS" / "ATF1508AS"
    int32_t fuse_count;       // the QF value
    int32_t compared;         // fuses compared by verifyit48
    Region array;             // array rows of 96
    Region macrocell;         // groups of 80 (16 + 32 + 32)
    Region uim;
    Region global_oe;
    Region config;            // device configuration bits (page 1)
    Region special;           // special purpose bits (page 2)
    Region ues;               // UES bits (page 3)
    Region reserved;          // always 0
    int32_t row_digits;       // hex digits in a row data field
    int32_t row_fuses;        // fuses per row of blocks a, b, c
    int32_t row_fuses_d;      // fuses per row of block d
    int32_t reply_limit;      // character limit of every data reply read (0: no adapter protocol)
};

inline constexpr Device atf1502 = {
    "ATF1502AS", 16808, 16808,
    {0, 15360, 96},     {15360, 960, 80},  {16320, 400, 5},  {16720, 30, 5},
    {16750, 32, 32},    {16782, 4, 4},     {16786, 16, 16},  {16802, 6, 6},
    22, 80, 86, 0,
};

inline constexpr Device atf1504 = {
    "ATF1504AS", 34192, 34192,
    {0, 30720, 96},     {30720, 1920, 80}, {32640, 1440, 9}, {34080, 54, 9},
    {34134, 32, 32},    {34166, 4, 4},     {34170, 16, 16},  {34186, 6, 6},
    42, 160, 166, 49,
};

inline constexpr Device atf1508 = {
    "ATF1508AS", 74136, 74134,
    {0, 61440, 96},     {61440, 3840, 80}, {65280, 8640, 27}, {73920, 162, 27},
    {74082, 32, 32},    {74114, 4, 4},     {74118, 16, 16},   {74134, 2, 2},
    82, 320, 326, 89,
};

constexpr const Device& device_of(int32_t code) {
    return code == code_1508 ? atf1508 : code == code_1502 ? atf1502 : atf1504;
}

// The read-protection ("security") fuse is the first special purpose fuse.
constexpr int32_t read_protection_fuse(int32_t code) {
    return device_of(code).special.first;
}

// The JTAG pin function fuse is the second: 0 makes the JTAG pins user I/O.
constexpr int32_t jtag_pin_fuse(int32_t code) { return device_of(code).special.first + 1; }

}  // namespace vr
