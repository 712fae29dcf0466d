// SVF files of the chips' programming: written by recording the adapter's
// chip operations on a probe that writes SVF, and read back into the words
// a file programs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "jtag/chip/facts.hpp"
#include "fusemap/fusemap.hpp"

namespace vr::svf {

enum class Action { write, secure, verify, erase };

// The JEDEC tools' device code (2, 4 or 8) of a flash layout.
int32_t code_of(jtag::Layout layout);
// The chip kind (an index into jtag::chip_kinds) of a name such as
// "ATF1502ASV", or -1; and the 5 V part of a device code.
int8_t kind_of_name(const std::string& name);
int8_t default_kind(int32_t code);

// Writes the SVF of the action to out for the chip kind (its IDCODE and
// layout), from a map prepared for it (special purpose fuses forced, for
// secure the read-protection fuse 0, reserved fuses 0). False when a write
// to out failed.
bool export_svf(std::FILE* out, Action action, const FuseMap& map, int8_t kind, const std::string& source);

// The same sequence as XSVF, for the small players that take no SVF; the
// waits in microseconds, the TDO checks with their masks, no retry on a
// mismatch. One IDCODE check before each guarded step: these players judge
// every check at once.
bool export_xsvf(std::FILE* out, Action action, const FuseMap& map, int8_t kind);

// An XSVF file as the SVF text it stands for (the form export_svf writes).
// offsets[n] is where the instruction of the text's line n stands (line 1
// first). False with the byte and the reason when it cannot be read.
bool xsvf_to_svf(std::string_view xsvf, std::string& svf, std::vector<std::size_t>& offsets, std::string& error);

// What an SVF file does to the chip, step by step.
struct Step {
    // reset: Test-Logic-Reset (repeated resets with no scan between are one);
    // leave: CONFIG 000, which leaves programming mode.
    enum Kind { erase, program, read, reset, leave } kind;
    int address;       // program, read
    std::string word;  // program: the word; read: the value expected (hex, most significant first)
    uint64_t wait_us;  // the RUNTESTs that follow, up to the next scan
    int bits = 0;      // program: the length of the data scan that loaded the word
    int line = 0;      // where the step's scan stands in the file
};

struct Trace {
    int64_t idcode = -1;  // the value its IDCODE check expects
    std::vector<Step> steps;
};

// Reads an SVF file; false with the reason in error when it cannot be read.
bool trace_svf(const std::string& text, Trace& trace, std::string& error);

// The JEDEC map a trace programs: code from its IDCODE check; every word
// never programmed erased, a word programmed twice the AND of both. False
// with the reason when the file checks another IDCODE, programs nothing,
// programs a word before the chip is erased, programs a word the device
// does not have or one loaded by a scan of another length than the word's. warnings: the JTAG pin bit cleared, read
// protection set.
bool trace_to_map(const Trace& trace, FuseMap& map, int32_t& code, std::string& error,
                  std::vector<std::string>& warnings);

// Warnings for a map's special purpose fuses (read protection set, JTAG pin
// bit cleared).
std::vector<std::string> special_warnings(const FuseMap& map, int32_t code);

}  // namespace vr::svf
