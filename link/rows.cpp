// The four row blocks, written and read by one routine pair over a table.
//
// A row's data field carries 4·D bits, b0 the most significant bit of the
// first digit: b0 and b1 are 0, b2 onwards are the row's fuses in position
// order, and the bits after them (six in blocks a, b and c) are 1. Fuse
// position p of row r is fuse number base + (r - first row)·row step +
// p·fuse step.
#include <cstdio>

#include "link/protocol.hpp"
#include "link/serial.hpp"
#include "common/pause.hpp"
#include "common/progress.hpp"

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

void write_rows(const Block& b, int32_t code, const FuseMap& map) {
    const Device& d = device_of(code);
    const Layout l = layout_of(b, code);
    MsgBuf buf;
    for (int32_t r = b.first_row; r < b.first_row + l.rows; ++r) {
        put_text(buf, "#8W");
        buf[3] = hex_char((r >> 8) & 15);
        buf[4] = hex_char((r >> 4) & 15);
        buf[5] = hex_char(r & 15);
        buf[6] = 'd';
        encode_row(b, code, r, map, &buf[7]);
        buf[7 + d.row_digits] = 'e';
        buf[8 + d.row_digits] = '\r';
        com_w(buf, 9 + d.row_digits);
        pause();
        advance_progress(2);
    }
}

void read_rows(const Block& b, int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf) {
    const Device& d = device_of(code);
    const Layout l = layout_of(b, code);
    const char command[] = {'#', '8', b.letter, '\0'};
    put_command(buf, command);
    com_w(buf, 4);
    for (int32_t r = b.first_row; r < b.first_row + l.rows; ++r) {
        if (!check_reply(code, d.row_digits, r, b.letter, buf, err)) return;
        decode_row(b, code, r, &buf[5], map);
        advance_progress(1);
    }
    err = 0;
}

}  // namespace

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

void write48a(int32_t code, const FuseMap& map) { write_rows(blocks[0], code, map); }
void write48b(int32_t code, const FuseMap& map) { write_rows(blocks[1], code, map); }
void write48c(int32_t code, const FuseMap& map) { write_rows(blocks[2], code, map); }
void write48d(int32_t code, const FuseMap& map) { write_rows(blocks[3], code, map); }
void read48a(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf) { read_rows(blocks[0], code, map, err, buf); }
void read48b(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf) { read_rows(blocks[1], code, map, err, buf); }
void read48c(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf) { read_rows(blocks[2], code, map, err, buf); }
void read48d(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf) { read_rows(blocks[3], code, map, err, buf); }

}  // namespace vr
