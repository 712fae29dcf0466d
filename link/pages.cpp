// The three special pages, written and read by one routine pair over a table.
// Each digit carries four consecutive fuses, most significant bit first.
#include "link/protocol.hpp"
#include "link/serial.hpp"
#include "common/pause.hpp"

namespace vr {
namespace {

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

void write_page(const Page& pg, int32_t code, const FuseMap& map) {
    MsgBuf buf;
    const char command[] = {'#', '8', 'W', pg.tag, '0', '0', 'd', '\0'};
    put_text(buf, command);
    encode_page(pg, code, map, &buf[7]);
    buf[7 + pg.digits] = 'e';
    buf[8 + pg.digits] = '\r';
    com_w(buf, 9 + pg.digits);
    pause();
}

void read_page(const Page& pg, int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf) {
    const char command[] = {'#', '8', pg.tag, '\0'};
    put_command(buf, command);
    com_w(buf, 4);
    if (!check_reply(code, pg.digits, pg.address, pg.tag, buf, err)) return;
    decode_page(pg, code, &buf[5], map);
    err = 0;
    if (pg.tag == '3') clear_reserved(map, code);
}

}  // namespace

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

void write481(int32_t code, const FuseMap& map) { write_page(pages[0], code, map); }
void write482(int32_t code, const FuseMap& map) { write_page(pages[1], code, map); }
void write483(int32_t code, const FuseMap& map) { write_page(pages[2], code, map); }
void read481(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf) { read_page(pages[0], code, map, err, buf); }
void read482(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf) { read_page(pages[1], code, map, err, buf); }
void read483(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf) { read_page(pages[2], code, map, err, buf); }

}  // namespace vr
