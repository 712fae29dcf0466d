// Bit vectors as byte arrays, least significant bit first (bit i is
// (v[i / 8] >> (i % 8)) & 1), and the data-field codec that turns such a
// word into hex digits, most significant digit first, and back. Shared by the
// probes, the chip operations, the protocol server and the SVF tools.
//
// Free of the standard library: this also builds for a small microcontroller.
#pragma once

#include <stdint.h>

#include "common/hex.hpp"

// For loops over every bit, byte or digit of a word, where each pass decides
// nothing worth a fuzzer's coverage: in the fuzzing build (only there) clang's
// coverage leaves them out (and they stay out of line, where it would not),
// so that fuzzing spends its time on the decisions around them.
#if defined(__clang__) && defined(VRJTAG_FUZZ_BUILD)
#define VR_PLAIN_LOOP __attribute__((noinline, no_sanitize("coverage")))
#else
#define VR_PLAIN_LOOP
#endif

namespace vr {

inline bool bit_of(const uint8_t* v, uint16_t i) { return (v[i / 8] >> (i % 8)) & 1; }

// The first 32 bits of a bit vector as a number (bit 0 its least significant).
inline uint32_t word32_of(const uint8_t* v) {
    return static_cast<uint32_t>(v[0]) | static_cast<uint32_t>(v[1]) << 8 | static_cast<uint32_t>(v[2]) << 16 |
           static_cast<uint32_t>(v[3]) << 24;
}

inline void set_bit(uint8_t* v, uint16_t i, bool b) {
    if (b)
        v[i / 8] = static_cast<uint8_t>(v[i / 8] | (1u << (i % 8)));
    else
        v[i / 8] = static_cast<uint8_t>(v[i / 8] & ~(1u << (i % 8)));
}

// Clears the bytes that hold bits 0 .. bits-1.
inline void clear_bits(uint8_t* v, uint16_t bits) { __builtin_memset(v, 0, (bits + 7) / 8); }

// Sets bits 0 .. bits-1 to one and the rest of the last byte to zero.
inline void fill_ones(uint8_t* v, uint16_t bits) {
    __builtin_memset(v, 0xFF, bits / 8);
    if (bits % 8) v[bits / 8] = static_cast<uint8_t>((1u << (bits % 8)) - 1);
}

// A data field of n hex digits, most significant first, into a word of
// `bits` bits; false when a digit is not hexadecimal or a bit above the word
// is set. Each digit is a nibble of a byte (its bits start at a multiple of
// 4).
VR_PLAIN_LOOP inline bool word_from_field(const char* digits, uint8_t n, uint16_t bits, uint8_t* word) {
    clear_bits(word, bits);
    for (uint8_t k = 0; k < n; ++k) {
        const int v = hex_digit(digits[k]);
        if (v < 0) return false;
        if (v == 0) continue;
        const uint16_t i = static_cast<uint16_t>(4 * (n - 1 - k));
        // Bits from `bits` on must be clear.
        if (i >= bits || (bits - i < 4 && (v >> (bits - i)) != 0)) return false;
        word[i / 8] = static_cast<uint8_t>(word[i / 8] | v << (i % 8));
    }
    return true;
}

// The n digits (upper case, or lower when asked) that carry the word, from
// the least significant up: two to a byte, the top digit cut to the bits the
// word has, 0 above it.
VR_PLAIN_LOOP inline void field_from_word(const uint8_t* word, uint16_t bits, uint8_t n, char* digits,
                                          bool lower = false) {
    char* d = digits + n;
    uint8_t k = 0;
    for (const uint16_t whole = bits / 4; k < n && k < whole; ++k)
        *--d = hex_char(k % 2 ? word[k / 2] >> 4 : word[k / 2] & 0xF, lower);
    if (k < n && bits % 4) {
        *--d = hex_char((word[k / 2] >> (4 * (k % 2))) & ((1u << (bits % 4)) - 1), lower);
        ++k;
    }
    for (; k < n; ++k) *--d = '0';
}

}  // namespace vr
