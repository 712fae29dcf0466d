// The chip operations: identification, programming mode, erase, and the
// programming and reading of single flash words, built on the JTAG probe.
//
// Identification never enters programming mode (that would stop the user's
// running board); the other operations enter it when it is not on, and
// chip_leave leaves it.
//
// Free of the heap, exceptions, operating-system calls and the standard
// library: this also builds for a small microcontroller.
#pragma once

#include <stdint.h>

#include "adapter/chip/facts.hpp"
#include "adapter/probe/probe.hpp"

namespace vr {
namespace jtag {

struct Chip {
    Probe* probe;
    uint32_t idcode;    // of the last identification
    int8_t kind;        // index into chip_kinds, -1 when none was found
    bool programming;   // in programming mode (as far as we know)
};

// found: a supported chip; unknown: another IDCODE; no_chip: the line reads
// all zeros or all ones; probe_failed: the probe did not carry out the scan.
enum IdResult { id_found, id_unknown, id_no_chip, id_probe_failed };

void chip_init(Chip& chip, Probe& probe);

bool chip_big(const Chip& chip);

// Reads the IDCODE; kind is set when it is one of the supported chips.
IdResult chip_identify(Chip& chip);

// Reads the IDCODE again, telling the probe it must be `expected`; true when
// it is.
bool chip_check_idcode(Chip& chip, uint32_t expected);

bool chip_enter(Chip& chip);
// Leaves programming mode (when on) and resets the TAP.
bool chip_leave(Chip& chip);

bool chip_erase(Chip& chip);

// word holds word_bits(address) bits, least significant first.
bool chip_program(Chip& chip, uint16_t address, const uint8_t* word);

// Reads the word at address into word. With expect (not null) the probe is
// told the value expected back, over every bit of the word.
bool chip_read(Chip& chip, uint16_t address, uint8_t* word, const uint8_t* expect);

// Bit helpers over least-significant-first byte arrays.
inline bool bit_of(const uint8_t* v, uint16_t i) { return (v[i / 8] >> (i % 8)) & 1; }
inline void set_bit(uint8_t* v, uint16_t i, bool b) {
    if (b)
        v[i / 8] = static_cast<uint8_t>(v[i / 8] | (1u << (i % 8)));
    else
        v[i / 8] = static_cast<uint8_t>(v[i / 8] & ~(1u << (i % 8)));
}
// A data field of n hex digits, most significant first, into a word of
// `bits` bits; false when a digit is not hexadecimal or a bit above the word
// is set. And back: the n digits (upper case, or lower when asked) that carry
// the word.
bool word_from_field(const char* digits, uint8_t n, uint16_t bits, uint8_t* word);
void field_from_word(const uint8_t* word, uint16_t bits, uint8_t n, char* digits, bool lower = false);

// Sets bits 0 .. bits-1 to one and the rest of the last byte to zero.
void fill_ones(uint8_t* v, uint16_t bits);
bool bits_equal(const uint8_t* a, const uint8_t* b, uint16_t bits);

}  // namespace jtag
}  // namespace vr
