#include "link/protocol.hpp"

#include <cstdio>
#include <cstring>

#include "link/serial.hpp"

namespace vr {

void put_command(MsgBuf& buf, std::string_view command) {
    put_text(buf, command);
    buf[command.size()] = '\r';
    buf[command.size() + 1] = '\0';
}

void init48(int32_t code, MsgBuf& buf) {
    put_command(buf, code == code_1504 ? "#84" : "#8I");
    com_w(buf, 4);
    int32_t err = 0;
    com_r(buf, 2, err, 0);
}

void exit48() {
    com_f();
    MsgBuf buf;
    put_command(buf, "#8X");
    com_w(buf, 4);
}

void erase48(int32_t code, int32_t& status) {
    exit48();
    MsgBuf buf;
    init48(code, buf);
    put_command(buf, "#8E");
    com_w(buf, 4);
    put_command(buf, "#8X");
    com_w(buf, 4);
    com_r(buf, 3, status, 0);
    if (buf[0] != 'o' || buf[1] != 'k') status = 1;
    com_f();
}

bool check_reply(int32_t code, int32_t digits, int32_t address, char tag, MsgBuf& buf, int32_t& err) {
    com_r(buf, device_of(code).reply_limit, err, 0);
    if (err != 0) {
        put_error_text(buf, "read fuse map error - com-read timeout ");
        return false;
    }
    err = 1;

    // The hex-data text shows the start of the reply: keep it before the
    // text overwrites the buffer.
    auto hex_failure = [&buf] {
        char text[64] = "read fuse map error - format error parsing hex data ";
        const std::size_t n = std::strlen(text);
        std::memcpy(text + n, buf.data(), 10);
        put_error_text(buf, std::string_view(text, n + 10));
        return false;
    };

    if (buf[0] != 'r') {
        put_error_text(buf, "read fuse map error - format, \"r\" missing");
        return false;
    }
    int32_t reported = 0;
    for (int k = 1; k <= 3; ++k) {
        const int v = hex_digit(buf[k]);  // a blank is not a digit
        if (v < 0) return hex_failure();
        reported = reported * 16 + v;
    }
    if (reported != address) {
        char text[64];
        const int n = std::snprintf(text, sizeof text, "read fuse map error - row reported out of order(%c)", tag);
        put_error_text(buf, std::string_view(text, static_cast<std::size_t>(n)));
        return false;
    }
    if (buf[4] != 'd') {
        put_error_text(buf, "read fuse map error - format, \"d\" missing");
        return false;
    }
    if (buf[static_cast<std::size_t>(5 + digits)] != 'e') {
        put_error_text(buf, "read fuse map error - format, \"e\" missing");
        return false;
    }
    for (int32_t k = 0; k < digits; ++k)
        if (hex_digit(buf[static_cast<std::size_t>(5 + k)]) < 0) return hex_failure();
    return true;
}

}  // namespace vr
