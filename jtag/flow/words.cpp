#include "jtag/flow/words.hpp"

#include "common/bits.hpp"
#include "fusemap/fields.hpp"

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

// The ATF1502's fuse at bit b (0 = least significant) of the word at
// address a, or -1 for a bit no fuse sets. Its rows are 86 bits: fuses from
// bit 79 down, the six unused bits on top (85-80), where rows 0E0-0E4 keep
// the global OE fuses.
int32_t fuse_1502(uint16_t a, uint16_t b) {
    const int32_t down = 79 - b;  // position from the row's first fuse
    if (a == jtag::page_config) return b < 32 ? 16750 + 31 - b : -1;
    if (a == jtag::page_special) return b < 4 ? 16782 + 3 - b : -1;
    if (a == jtag::page_ues) return b < 16 ? 16786 + 15 - b : -1;
    if (b > 85) return -1;
    if (a >= 0x0E0 && a <= 0x0E4) return b >= 80 ? 16720 + (85 - b) * 5 + (a - 0x0E0) : 16320 + down * 5 + (a - 0x0E0);
    if (b >= 80) return -1;
    if (a >= 0x00C && a <= 0x06B) return down * 96 + (a - 0x00C);
    if (a >= 0x080 && a <= 0x0DF) return 7680 + down * 96 + (a - 0x080);
    if (a <= 0x00B) return 15360 + a * 80 + down;
    return -1;
}

}  // namespace

void word_of(const FuseMap& map, jtag::Layout layout, uint16_t address, uint8_t* word) {
    const uint16_t bits = jtag::word_bits(layout, address);
    if (layout == jtag::layout_1502) {
        fill_ones(word, bits);
        for (uint16_t b = 0; b < bits; ++b)
            if (const int32_t j = fuse_1502(address, b); j >= 0) set_bit(word, b, map[static_cast<std::size_t>(j)] == 1);
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
        for (uint16_t b = 0; b < bits; ++b)
            if (const int32_t j = fuse_1502(address, b); j >= 0) map[static_cast<std::size_t>(j)] = bit_of(word, b) ? 1 : 0;
        return;
    }
    const int32_t code = code_of(layout);
    char digits[82];
    const int32_t n = word_field(code, address, map, digits);  // the field's length for this address
    field_from_word(word, bits, static_cast<uint8_t>(n), digits);
    map_from_field(code, address, digits, map);
}

}  // namespace vr::flow
