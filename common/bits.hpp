// Bit vectors as byte arrays, least significant bit first (bit i is
// (v[i / 8] >> (i % 8)) & 1), and the data-field codec that turns such a
// word into hex digits, most significant digit first, and back. Shared by the
// probes, the chip operations, the protocol server and the SVF tools.
//
// Free of the standard library: this also builds for a small microcontroller.
#pragma once

#include <stdint.h>

#include "common/hex.hpp"

namespace vr {

inline bool bit_of(const uint8_t* v, uint16_t i) { return (v[i / 8] >> (i % 8)) & 1; }

inline void set_bit(uint8_t* v, uint16_t i, bool b) {
    if (b)
        v[i / 8] = static_cast<uint8_t>(v[i / 8] | (1u << (i % 8)));
    else
        v[i / 8] = static_cast<uint8_t>(v[i / 8] & ~(1u << (i % 8)));
}

// Sets bits 0 .. bits-1 to one and the rest of the last byte to zero.
inline void fill_ones(uint8_t* v, uint16_t bits) {
    for (uint16_t i = 0; i < (bits + 7) / 8; ++i) v[i] = 0xFF;
    if (bits % 8) v[bits / 8] = static_cast<uint8_t>((1u << (bits % 8)) - 1);
}

// A data field of n hex digits, most significant first, into a word of
// `bits` bits; false when a digit is not hexadecimal or a bit above the word
// is set.
inline bool word_from_field(const char* digits, uint8_t n, uint16_t bits, uint8_t* word) {
    for (uint16_t i = 0; i < (bits + 7) / 8; ++i) word[i] = 0;
    for (uint8_t k = 0; k < n; ++k) {
        const int v = hex_digit(digits[k]);
        if (v < 0) return false;
        for (uint8_t b = 0; b < 4; ++b) {
            if (!((v >> b) & 1)) continue;
            const uint16_t i = static_cast<uint16_t>(4 * (n - 1 - k) + b);
            if (i >= bits) return false;
            set_bit(word, i, true);
        }
    }
    return true;
}

// The n digits (upper case, or lower when asked) that carry the word. Each
// digit is a nibble of a byte (its bits start at a multiple of 4); bits from
// `bits` on read as 0.
inline void field_from_word(const uint8_t* word, uint16_t bits, uint8_t n, char* digits, bool lower = false) {
    for (uint8_t k = 0; k < n; ++k) {
        const uint16_t i = static_cast<uint16_t>(4 * (n - 1 - k));
        uint8_t v = 0;
        if (i < bits) {
            v = static_cast<uint8_t>((word[i / 8] >> (i % 8)) & 0xF);
            if (bits - i < 4) v = static_cast<uint8_t>(v & ((1u << (bits - i)) - 1));
        }
        digits[k] = hex_char(v, lower);
    }
}

}  // namespace vr
