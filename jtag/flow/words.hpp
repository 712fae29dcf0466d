// The chip's flash words and the fuse map: which words a chip has, in the
// order the chip maker's files program and read them, and how a word's bits
// come from the fuses of a JEDEC map and go back into them.
#pragma once

#include <array>
#include <cstdint>

#include "jtag/chip/facts.hpp"
#include "fusemap/fusemap.hpp"

namespace vr::flow {

// Every word of the largest layout: rows 000-06B and 080-0FA, pages 100, 200, 300.
inline constexpr std::size_t max_words = 0x6C + (0xFA - 0x80 + 1) + 3;
using WordList = std::array<uint16_t, max_words>;

// The JEDEC tools' device code (2, 4 or 8) of a flash layout.
int32_t code_of(jtag::Layout layout);
// The layout of a device code.
jtag::Layout layout_of(int32_t code);

// The layout's words in the chip maker's order; their count.
std::size_t word_order(jtag::Layout layout, WordList& order);

// The word at address as the chip takes it (word_bits(address) bits, least
// significant first). The ATF1504AS and ATF1508AS words are the adapter
// protocol's data fields; the ATF1502's unused bits are 1.
void word_of(const FuseMap& map, jtag::Layout layout, uint16_t address, uint8_t* word);

// The reverse: the word's bits into the map's fuses of that address.
void map_from_word(FuseMap& map, jtag::Layout layout, uint16_t address, const uint8_t* word);

}  // namespace vr::flow
