#include "jtag/flow/words.hpp"

#include "common/bits.hpp"
#include "link/protocol.hpp"

namespace vr::flow {

int32_t code_of(jtag::Layout layout) {
    return layout == jtag::layout_1508 ? code_1508 : layout == jtag::layout_1502 ? code_1502 : code_1504;
}

jtag::Layout layout_of(int32_t code) {
    return code == code_1508 ? jtag::layout_1508 : code == code_1502 ? jtag::layout_1502 : jtag::layout_1504;
}

std::size_t word_order(jtag::Layout layout, WordList& order) {
    std::size_t n = 0;
    auto run = [&](uint16_t first, uint16_t last) {
        for (uint16_t r = first; r <= last; ++r) order[n++] = r;
    };
    run(0x00C, 0x06B);
    run(0x080, 0x0DF);
    run(0x000, 0x00B);
    run(0x0E0, jtag::last_row(layout));
    for (uint16_t page : {jtag::page_special, jtag::page_ues, jtag::page_config}) order[n++] = page;
    return n;
}

namespace {

// Where the ATF1502's fuse j lives: the word's address and its bit (0 = least
// significant). Its rows are 86 bits: the first fuse at bit 79, the six
// unused bits on top (85-80), where rows 0E0-0E4 keep the global OE fuses.
bool locate_1502(int32_t j, uint16_t& address, uint16_t& bit) {
    auto at = [&](int a, int b) { address = static_cast<uint16_t>(a), bit = static_cast<uint16_t>(b); };
    if (j < 0) return false;
    if (j < 7680) at(0x0C + j % 96, 79 - j / 96);
    else if (j < 15360) at(0x80 + (j - 7680) % 96, 79 - (j - 7680) / 96);
    else if (j < 16320) at((j - 15360) / 80, 79 - (j - 15360) % 80);
    else if (j < 16720) at(0xE0 + (j - 16320) % 5, 79 - (j - 16320) / 5);
    else if (j < 16750) at(0xE0 + (j - 16720) % 5, 85 - (j - 16720) / 5);
    else if (j < 16782) at(0x100, 31 - (j - 16750));
    else if (j < 16786) at(0x200, 3 - (j - 16782));
    else if (j < 16802) at(0x300, 15 - (j - 16786));
    else return false;
    return true;
}

}  // namespace

void word_of(const FuseMap& map, jtag::Layout layout, uint16_t address, uint8_t* word) {
    const uint16_t bits = jtag::word_bits(layout, address);
    if (layout == jtag::layout_1502) {
        fill_ones(word, bits);
        uint16_t a = 0, b = 0;
        for (int32_t j = 0; j < atf1502.reserved.first; ++j)
            if (locate_1502(j, a, b) && a == address) set_bit(word, b, map[static_cast<std::size_t>(j)] == 1);
        return;
    }
    const int32_t code = code_of(layout);
    char digits[82];
    const int32_t n = word_field(code, address, map, digits);
    word_from_field(digits, static_cast<uint8_t>(n), bits, word);
}

void map_from_word(FuseMap& map, jtag::Layout layout, uint16_t address, const uint8_t* word) {
    const uint16_t bits = jtag::word_bits(layout, address);
    if (layout == jtag::layout_1502) {
        uint16_t a = 0, b = 0;
        for (int32_t j = 0; j < atf1502.reserved.first; ++j)
            if (locate_1502(j, a, b) && a == address) map[static_cast<std::size_t>(j)] = bit_of(word, b) ? 1 : 0;
        return;
    }
    const int32_t code = code_of(layout);
    char digits[82];
    const int32_t n = word_field(code, address, map, digits);  // the field's length for this address
    field_from_word(word, bits, static_cast<uint8_t>(n), digits);
    map_from_field(code, address, digits, map);
}

}  // namespace vr::flow
