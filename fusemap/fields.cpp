// The row blocks and the three special pages, over two tables. Fuse position
// p of row r is fuse number base + (r - first row)·row step + p·fuse step.
#include "fusemap/fields.hpp"

#include <array>

#include "common/hex.hpp"

namespace vr {
namespace {

struct Layout {
    int32_t rows, base, row_step, fuse_step;
};

struct Block {
    char letter;
    int32_t first_row;
    bool long_rows;   // block d: 326 / 166 fuses per row, no trailing bits
};

constexpr Block blocks[] = {{'a', 12, false}, {'b', 128, false}, {'c', 0, false}, {'d', 224, true}};

// Where a block's rows lie in the fuse map, from the device's regions: rows
// 12-107 and 128-223 interleave in the two halves of the array (96 rows),
// the configuration rows follow each other in the macrocell region, the UIM
// rows interleave in theirs.
Layout layout_of(const Block& b, int32_t code) {
    const Device& d = device_of(code);
    switch (b.letter) {
    case 'a': return {d.array.group, d.array.first, 1, d.array.group};
    case 'b': return {d.array.group, d.array.first + d.array.count / 2, 1, d.array.group};
    case 'c': return {12, d.macrocell.first, d.row_fuses, 1};
    default: return {d.uim.group, d.uim.first, 1, d.uim.group};
    }
}

int32_t fuses_per_row(const Block& b, int32_t code) {
    const Device& d = device_of(code);
    return b.long_rows ? d.row_fuses_d : d.row_fuses;
}

// The data field of row r of block b: D digits into out.
void encode_row(const Block& b, int32_t code, int32_t r, const FuseMap& map, char* out) {
    const Device& d = device_of(code);
    const Layout l = layout_of(b, code);
    const int32_t f = fuses_per_row(b, code);
    const int32_t nbits = 4 * d.row_digits;
    std::array<uint8_t, 4 * 82> bits{};
    for (int32_t k = 0; k < nbits; ++k) bits[k] = k >= 2 + f ? 1 : 0;
    const int32_t start = l.base + (r - b.first_row) * l.row_step;
    for (int32_t p = 0; p < f; ++p) bits[2 + p] = map[start + p * l.fuse_step] == 1 ? 1 : 0;
    for (int32_t k = 0; k < d.row_digits; ++k)
        out[k] = hex_char(8 * bits[4 * k] + 4 * bits[4 * k + 1] + 2 * bits[4 * k + 2] + bits[4 * k + 3]);
}

// Row r's fuses from the data field digits (b0 and b1 are not used).
void decode_row(const Block& b, int32_t code, int32_t r, const char* digits, FuseMap& map) {
    const Layout l = layout_of(b, code);
    const int32_t f = fuses_per_row(b, code);
    const int32_t start = l.base + (r - b.first_row) * l.row_step;
    for (int32_t p = 0; p < f; ++p) {
        const int32_t bit = p + 2;
        const int v = hex_digit(digits[bit / 4]);
        map[start + p * l.fuse_step] = static_cast<int8_t>((v >> (3 - bit % 4)) & 1);
    }
}

const Block* block_of(int32_t code, int32_t r) {
    for (const Block& b : blocks)
        if (r >= b.first_row && r < b.first_row + layout_of(b, code).rows) return &b;
    return nullptr;
}

struct Page {
    char tag;
    int32_t address;
    int32_t digits;
    Region Device::*region;
};

constexpr Page pages[] = {
    {'1', 0x100, 8, &Device::config},
    {'2', 0x200, 1, &Device::special},
    {'3', 0x300, 4, &Device::ues},
};

void encode_page(const Page& pg, int32_t code, const FuseMap& map, char* out) {
    const int32_t first = (device_of(code).*pg.region).first;
    for (int32_t k = 0; k < pg.digits; ++k) {
        const int32_t i = first + 4 * k;
        out[k] = hex_char(8 * (map[i] == 1) + 4 * (map[i + 1] == 1) + 2 * (map[i + 2] == 1) + (map[i + 3] == 1));
    }
}

void decode_page(const Page& pg, int32_t code, const char* digits, FuseMap& map) {
    const int32_t first = (device_of(code).*pg.region).first;
    for (int32_t k = 0; k < pg.digits; ++k) {
        const int v = hex_digit(digits[k]);
        for (int b = 0; b < 4; ++b) map[first + 4 * k + b] = static_cast<int8_t>((v >> (3 - b)) & 1);
    }
}

const Page* page_of(int32_t address) {
    for (const Page& pg : pages)
        if (pg.address == address) return &pg;
    return nullptr;
}

}  // namespace

BlockRows block_rows(char block, int32_t code) {
    for (const Block& b : blocks)
        if (b.letter == block) return {b.first_row, layout_of(b, code).rows};
    return {0, 0};
}

int32_t page_digits(char tag) {
    for (const Page& pg : pages)
        if (pg.tag == tag) return pg.digits;
    return 0;
}

int32_t row_field(int32_t code, int32_t row, const FuseMap& map, char* digits) {
    const Block* b = block_of(code, row);
    if (!b) return 0;
    encode_row(*b, code, row, map, digits);
    return device_of(code).row_digits;
}

bool row_from_field(int32_t code, int32_t row, const char* digits, FuseMap& map) {
    const Block* b = block_of(code, row);
    if (!b) return false;
    decode_row(*b, code, row, digits, map);
    return true;
}

int32_t word_field(int32_t code, int32_t address, const FuseMap& map, char* digits) {
    if (const Page* pg = page_of(address)) {
        encode_page(*pg, code, map, digits);
        return pg->digits;
    }
    return row_field(code, address, map, digits);
}

bool map_from_field(int32_t code, int32_t address, const char* digits, FuseMap& map) {
    if (const Page* pg = page_of(address)) {
        decode_page(*pg, code, digits, map);
        return true;
    }
    return row_from_field(code, address, digits, map);
}

}  // namespace vr
