// The data fields that carry the flash words: a row or page's fuses of a
// JEDEC map as the hex digits the adapter protocol sends (and the direct
// route's words are built from), and back.
//
// A row's data field carries 4·D bits, b0 the most significant bit of the
// first digit: b0 and b1 are 0, b2 onwards are the row's fuses in position
// order, and the bits after them (six in blocks a, b and c) are 1. A page's
// digits each carry four consecutive fuses, most significant bit first.
#pragma once

#include <cstdint>

#include "fusemap/fusemap.hpp"

namespace vr {

// The rows of a block ('a', 'b', 'c' or 'd') of the device: the first and
// how many.
struct BlockRows {
    int32_t first, count;
};
BlockRows block_rows(char block, int32_t code);

// The digits of a page's field (the page's tag '1', '2' or '3'), 0 for none.
int32_t page_digits(char tag);

// The data field that carries the word at a row or page address, as the
// write commands send it: its digits into digits (room for 82), and their
// count; 0 for an address the device does not have.
int32_t row_field(int32_t code, int32_t row, const FuseMap& map, char* digits);
int32_t word_field(int32_t code, int32_t address, const FuseMap& map, char* digits);
// The reverse: a data field's digits (checked hex) into the map's fuses of
// that address; false for an address the device does not have.
bool row_from_field(int32_t code, int32_t row, const char* digits, FuseMap& map);
bool map_from_field(int32_t code, int32_t address, const char* digits, FuseMap& map);

}  // namespace vr
