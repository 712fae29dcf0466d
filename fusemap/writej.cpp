// The JEDEC writer: a fixed layout per device, the fuse regions in ascending
// order, each introduced by a NOTE, then the fuse checksum and ETX.
#include "fusemap/jedec.hpp"

namespace vr {
namespace {

// Collects one line and writes it with CR LF.
class LineWriter {
public:
    explicit LineWriter(std::FILE* out) : out_(out) {}

    LineWriter& text(const char* s) {
        while (*s && len_ < line_.size()) line_[len_++] = *s++;
        return *this;
    }
    LineWriter& ch(char c) {
        if (len_ < line_.size()) line_[len_++] = c;
        return *this;
    }
    // "L" and the fuse number in five digits.
    LineWriter& fuse_number(int32_t f) {
        ch('L');
        char digits[5];
        for (int k = 4; k >= 0; --k, f /= 10) digits[k] = static_cast<char>('0' + f % 10);
        for (char d : digits) ch(d);
        return *this;
    }
    LineWriter& values(const FuseMap& map, int32_t from, int32_t count) {
        for (int32_t i = from; i < from + count; ++i) ch(map[i] == 1 ? '1' : '0');
        return *this;
    }
    void end() {
        ch('\r').ch('\n');
        if (std::fwrite(line_.data(), 1, len_, out_) != len_) ok_ = false;
        len_ = 0;
    }
    void line(const char* s) { text(s).end(); }
    bool ok() const { return ok_; }

private:
    std::FILE* out_;
    std::array<char, 128> line_{};
    std::size_t len_ = 0;
    bool ok_ = true;
};

// "L" + number, a blank, the values and "*": one closed field on one line.
void field_line(LineWriter& w, const FuseMap& map, int32_t from, int32_t count) {
    w.fuse_number(from).ch(' ').values(map, from, count).ch('*').end();
}

}  // namespace

bool write_jedec(std::FILE* out, FuseMap& map, int32_t code) {
    const Device& d = device_of(code);
    LineWriter w(out);

    w.ch('\x02').text("JEDEC file for: ").text(d.name).end();
    w.line("Created by reading existing chip.");
    w.line("Reader:  vrjtag.exe   v04.");
    w.line("Varnholme Research JTAG Tool");
    w.line("*");
    w.text("QF");
    {
        char count[8];
        std::snprintf(count, sizeof count, "%d", static_cast<int>(d.fuse_count));
        w.text(count);
    }
    w.ch('*').end();
    w.line("NOTE");
    w.line("0         0         0         0         0         *");

    // Array rows with at least one fuse at 1; each closes its field with "*".
    for (int32_t f = d.array.first; f < d.array.first + d.array.count; f += d.array.group) {
        bool any = false;
        for (int32_t i = f; i < f + 96 && !any; ++i) any = map[i] == 1;
        if (!any) continue;
        w.fuse_number(f).end();
        w.values(map, f, 16).end();
        w.values(map, f + 16, 40).end();
        w.values(map, f + 56, 40).ch('*').end();
    }

    w.line("");
    w.line("NOTE macrocell configurations");
    w.line("        0         0         0         0 *");
    for (int32_t f = d.macrocell.first; f < d.macrocell.first + d.macrocell.count; f += d.macrocell.group) {
        field_line(w, map, f, 16);
        field_line(w, map, f + 16, 32);
        field_line(w, map, f + 48, 32);
    }

    w.line("");
    w.line("NOTE   UIM*");
    w.line("NOTE         0         0         0*");
    for (int32_t f = d.uim.first; f < d.uim.first + d.uim.count; f += d.uim.group) field_line(w, map, f, d.uim.group);

    w.line("");
    w.line("NOTE  6 global OE");
    w.line("0         0         0*");
    w.fuse_number(d.global_oe.first).end();
    for (int32_t f = d.global_oe.first; f < d.global_oe.first + d.global_oe.count; f += d.global_oe.group)
        w.values(map, f, d.global_oe.group).end();
    w.line("*");

    w.line("");
    w.line("NOTE  device configuration bits*");
    w.line("NOTE   0         0         0*");
    field_line(w, map, d.config.first, d.config.count);

    w.line("");
    w.line("NOTE  Special Purpose Bits (JTAG) *");
    field_line(w, map, d.special.first, d.special.count);

    w.line("");
    w.line("NOTE  UES bits*");
    field_line(w, map, d.ues.first, d.ues.count);

    w.line("");
    w.line("NOTE  Reserved bits *");
    clear_reserved(map, code);
    field_line(w, map, d.reserved.first, d.reserved.count);

    w.line("");
    {
        char sum[8];
        std::snprintf(sum, sizeof sum, "C%04X*", static_cast<unsigned>(fuse_checksum(map, code)));
        w.line(sum);
    }
    w.ch('\x03').text("0000").end();
    return w.ok() && std::fflush(out) == 0 && !std::ferror(out);
}

}  // namespace vr
