// The four row blocks, written and read by one routine pair; each row's data
// field comes from the field codec (fusemap/fields.hpp).
#include <cstdio>

#include "fusemap/fields.hpp"
#include "link/protocol.hpp"
#include "link/serial.hpp"
#include "common/pause.hpp"
#include "common/progress.hpp"

namespace vr {
namespace {

void write_rows(char block, int32_t code, const FuseMap& map) {
    const BlockRows rows = block_rows(block, code);
    MsgBuf buf;
    for (int32_t r = rows.first; r < rows.first + rows.count; ++r) {
        put_text(buf, "#8W");
        buf[3] = hex_char((r >> 8) & 15);
        buf[4] = hex_char((r >> 4) & 15);
        buf[5] = hex_char(r & 15);
        buf[6] = 'd';
        const int32_t digits = row_field(code, r, map, &buf[7]);
        buf[7 + digits] = 'e';
        buf[8 + digits] = '\r';
        com_w(buf, 9 + digits);
        pause();
        advance_progress(2);
    }
}

void read_rows(char block, int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf) {
    const BlockRows rows = block_rows(block, code);
    const char command[] = {'#', '8', block, '\0'};
    put_command(buf, command);
    com_w(buf, 4);
    for (int32_t r = rows.first; r < rows.first + rows.count; ++r) {
        if (!check_reply(code, device_of(code).row_digits, r, block, buf, err)) return;
        row_from_field(code, r, &buf[5], map);
        advance_progress(1);
    }
    err = 0;
}

}  // namespace

void write48a(int32_t code, const FuseMap& map) { write_rows('a', code, map); }
void write48b(int32_t code, const FuseMap& map) { write_rows('b', code, map); }
void write48c(int32_t code, const FuseMap& map) { write_rows('c', code, map); }
void write48d(int32_t code, const FuseMap& map) { write_rows('d', code, map); }
void read48a(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf) { read_rows('a', code, map, err, buf); }
void read48b(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf) { read_rows('b', code, map, err, buf); }
void read48c(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf) { read_rows('c', code, map, err, buf); }
void read48d(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf) { read_rows('d', code, map, err, buf); }

}  // namespace vr
