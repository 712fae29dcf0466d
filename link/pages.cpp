// The three special pages, written and read by one routine pair; each page's
// data field comes from the field codec (fusemap/fields.hpp).
#include "fusemap/fields.hpp"
#include "link/protocol.hpp"
#include "link/serial.hpp"
#include "common/pause.hpp"

namespace vr {
namespace {

// Tag '1', '2' or '3' is page 100, 200 or 300.
int32_t address_of(char tag) { return (tag - '0') * 0x100; }

void write_page(char tag, int32_t code, const FuseMap& map) {
    MsgBuf buf;
    const char command[] = {'#', '8', 'W', tag, '0', '0', 'd', '\0'};
    put_text(buf, command);
    const int32_t digits = word_field(code, address_of(tag), map, &buf[7]);
    buf[7 + digits] = 'e';
    buf[8 + digits] = '\r';
    com_w(buf, 9 + digits);
    pause();
}

void read_page(char tag, int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf) {
    const char command[] = {'#', '8', tag, '\0'};
    put_command(buf, command);
    com_w(buf, 4);
    if (!check_reply(code, page_digits(tag), address_of(tag), tag, buf, err)) return;
    map_from_field(code, address_of(tag), &buf[5], map);
    err = 0;
    if (tag == '3') clear_reserved(map, code);
}

}  // namespace

void write481(int32_t code, const FuseMap& map) { write_page('1', code, map); }
void write482(int32_t code, const FuseMap& map) { write_page('2', code, map); }
void write483(int32_t code, const FuseMap& map) { write_page('3', code, map); }
void read481(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf) { read_page('1', code, map, err, buf); }
void read482(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf) { read_page('2', code, map, err, buf); }
void read483(int32_t code, FuseMap& map, int32_t& err, MsgBuf& buf) { read_page('3', code, map, err, buf); }

}  // namespace vr
