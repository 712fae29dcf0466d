#include "tests/fuzz/server_check.hpp"

#include <algorithm>
#include <cstdio>

#include "fusemap/device.hpp"

namespace vt {
namespace {

using vr::model::ChipModel;
using vr::model::ModelOptions;

// A design of the device's layout: a fixed pattern, special purpose fuses 1.
void load_design(ChipModel& m, int32_t code) {
    static vr::FuseMap map;
    const vr::Device& d = vr::device_of(code);
    for (int32_t i = 0; i < static_cast<int32_t>(map.size()); ++i)
        map[static_cast<std::size_t>(i)] = i < d.fuse_count && ((i * 7919u) >> 5) % 3 == 0 ? 0 : 1;
    for (int32_t i = d.special.first; i < d.special.first + d.special.count; ++i) map[static_cast<std::size_t>(i)] = 1;
    m.load(map);
}

int hexv(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool is_row(int a, bool big) { return (a >= 0 && a <= 0x6B) || (a >= 0x80 && a <= (big ? 0xFA : 0xE8)); }

// Digits of the data field that carries the word at address a.
int field_digits(int a, bool big) {
    if (a == 0x100) return 8;
    if (a == 0x200) return 1;
    if (a == 0x300) return 4;
    return is_row(a, big) ? (big ? 82 : 42) : 0;
}

std::string at_word(const char* what, int a) {
    char where[16];
    std::snprintf(where, sizeof where, " (word %03X)", a);
    return what + std::string(where);
}

}  // namespace

ServerCheck::ServerCheck() {
    const char* names[6] = {"ATF1504AS", "ATF1508AS", "ATF1504AS", "ATF1508AS", "ATF1504AS", "ATF1508AS"};
    for (int v = 0; v < 6; ++v) {
        ModelOptions o;
        o.chip = vr::model::find_chip(names[v]);
        o.record = false;
        if (v == 4) o.idcode = 0x0150203F;  // another chip of the family
        if (v == 5) o.extra_ir = 4, o.extra_after = true;
        snapshots_[v] = ChipModel(o);
        if (v == 2 || v == 3) load_design(snapshots_[v], snapshots_[v].code());
    }
}

void ServerCheck::forget_words() {
    written_.fill(false);
    read_back_.fill(false);
}

void ServerCheck::start(unsigned char variant) {
    const int v = variant % 6;
    model_ = snapshots_[v];
    model_.set_watch(this);
    supported_ = v < 4;
    big_ = model_.code() == 8;
    probe_.failing = false;
    probe_.reset();
    vr::adapter::server_init(server_, probe_, link_);
    length_ = 0;
    too_long_ = identified_ = protected_ = protection_seen_ = reading_word_100_ = false;
    asked_ = 0;
    link_.start();
    forget_words();
    broken_.clear();
    all_rows_ = word_operations_ = 0;
}

std::string ServerCheck::run(const unsigned char* data, std::size_t size) {
    if (size == 0) return "";
    start(data[0]);
    for (std::size_t i = 1; i < size && word_operations_ < max_word_operations; ++i) {
        std::string broken = step(data[i]);
        if (!broken.empty()) return broken;
    }
    return "";
}

std::string ServerCheck::step(unsigned char byte) {
    if (byte == byte_hangup) {
        vr::adapter::server_hangup(server_);
        length_ = 0;
        too_long_ = identified_ = false;
        asked_ = 0;
        forget_words();
        return check_state();
    }
    if (byte == byte_probe_toggle) {
        probe_.failing = !probe_.failing;
        return "";
    }
    if (byte == byte_all_rows) {
        // Every fuse programmed; blocks a-c keep their six unused bits. Each
        // command comes as one chunk, as from a pty, its CR on its own.
        if (++all_rows_ > max_all_rows) return "";
        static const char digit[] = "0123456789ABCDEF";
        char cmd[96] = {'#', '8', 'W'};
        for (int a = 0; a <= 0xFA; ++a) {
            if (!is_row(a, big_)) continue;
            const int n = field_digits(a, big_);
            cmd[3] = '0', cmd[4] = digit[a >> 4], cmd[5] = digit[a & 15], cmd[6] = 'd';
            std::fill(cmd + 7, cmd + 5 + n, '0');
            cmd[5 + n] = a < 0xE0 ? '3' : '0';
            cmd[6 + n] = a < 0xE0 ? 'F' : '0';
            cmd[7 + n] = 'e';
            const int k = 8 + n;
            // The row command framed at once: it holds no LF, NUL, XON or XOFF.
            if (length_ + k <= 100) std::copy(cmd, cmd + k, line_.begin() + length_), length_ += k;
            else for (int i = 0; i < k; ++i) frame(cmd[i]);
            vr::adapter::server_receive(server_, cmd, static_cast<uint16_t>(k));
            std::string broken = host_byte('\r');
            if (!broken.empty()) return broken;
        }
        return "";
    }
    return host_byte(static_cast<char>(byte));
}

// The host's command as the line carries it: CR ends it; LF, NUL, XON and
// XOFF are not part of it; over 100 characters it is void.
void ServerCheck::frame(char c) {
    if (c != '\n' && c != 0 && c != 0x11 && c != 0x13) {
        if (length_ < 100) line_[static_cast<std::size_t>(length_++)] = c;
        else too_long_ = true;
    }
}

std::string ServerCheck::host_byte(char c) {
    if (c != '\r') {
        frame(c);
        vr::adapter::server_receive(server_, c);
        return check_state();
    }
    const char* cmd = line_.data();
    const int n = too_long_ ? 0 : length_;
    length_ = 0;
    too_long_ = false;
    const bool is3 = n == 3 && cmd[0] == '#' && cmd[1] == '8';
    const bool identifies = is3 && (cmd[2] == 'I' || cmd[2] == '4');
    if (identifies || (is3 && cmd[2] == 'X')) identified_ = false, asked_ = 0;
    const int erases_before = model_.erases();
    link_.start();
    reading_word_100_ = is3 && cmd[2] == '1';
    vr::adapter::server_receive(server_, c);
    reading_word_100_ = false;
    // An identification counts when its reply (the chip type digit) came back.
    if (identifies && link_.first >= '0' && link_.first <= '9') identified_ = supported_, asked_ = cmd[2];
    if (model_.erases() != erases_before && !identified_) return "rule 1: erased without the host's identification";
    // A refused erase needs a new identification.
    if (is3 && cmd[2] == 'E' && model_.erases() == erases_before) identified_ = false, asked_ = 0;
    if (n > 8 && cmd[0] == '#' && cmd[1] == '8' && cmd[2] == 'W' && cmd[6] == 'd' && cmd[n - 1] == 'e') host_wrote(cmd, n);
    return check_state();
}

// "#8W" aaa "d" field "e": the field kept when it is one the word can take.
void ServerCheck::host_wrote(const char* cmd, int n) {
    int a = 0;
    for (int k = 3; k < 6; ++k) {
        if (hexv(cmd[k]) < 0) return;
        a = a * 16 + hexv(cmd[k]);
    }
    const int digits = n - 8;
    if (a > 0x300 || digits != field_digits(a, big_)) return;
    for (int k = 0; k < digits; ++k)
        if (hexv(cmd[7 + k]) < 0) return;
    std::copy(cmd + 7, cmd + 7 + digits, fields_[static_cast<std::size_t>(a)].begin());
    written_[static_cast<std::size_t>(a)] = true;
}

// True when the chip's word at address holds what the host last wrote there.
bool ServerCheck::holds_written(int a) const {
    if (!written_[static_cast<std::size_t>(a)]) return false;
    const char* f = fields_[static_cast<std::size_t>(a)].data();
    const vr::model::WordBits w = model_.word(a);
    const int n = field_digits(a, big_);
    for (int i = 0; i < 4 * n; ++i) {
        const bool want = (hexv(f[n - 1 - i / 4]) >> (i % 4)) & 1;
        const bool have = i < static_cast<int>(w.size()) && w[static_cast<std::size_t>(i)];
        if (want != have) return false;
    }
    return true;
}

std::string ServerCheck::check_protection() {
    for (int a = 0; a <= 0x300; ++a) {
        if (!(is_row(a, big_) || a == 0x100 || a == 0x300)) continue;
        if (!written_[static_cast<std::size_t>(a)]) return at_word("rule 3: read protection with a word the host never wrote", a);
        if (!read_back_[static_cast<std::size_t>(a)]) return at_word("rule 3: read protection with a word not read back", a);
        if (!holds_written(a)) return at_word("rule 3: read protection with a word unlike what was written", a);
    }
    const vr::model::WordBits w = model_.word(0x200);
    if (w[3] || !w[2] || !w[1] || !w[0]) return "rule 3: word 200 is not 7 after read protection";
    return "";
}

std::string ServerCheck::check_state() {
    if (!broken_.empty()) return broken_;
    if (model_.jtag_pins_lost()) return "rule 2: the JTAG pin bit was cleared";
    if (model_.refusals() > 0) return "rule 5: the model refused an operation: " + model_.last_refusal();
    return "";
}

void ServerCheck::broke(std::string rule) {
    if (broken_.empty()) broken_ = std::move(rule);
}

void ServerCheck::erased() {
    if (!supported_) return broke("rule 1: erased a chip that is not supported or not alone");
    if (model_.scans_before_erase() < 0 || model_.scans_before_erase() > 1)
        return broke("rule 1: erased without reading the IDCODE just before");
    if (asked_ == '4' && big_) return broke("rule 1: erased an ATF1508 layout after the host asked for an ATF1504");
    forget_words();
    protected_ = false;
}

void ServerCheck::programmed(int a, vr::model::WordBits data) {
    ++word_operations_;
    if (!supported_) return broke("rule 1: programmed a chip that is not supported or not alone");
    if (protected_) return broke(at_word("rule 3: programmed after read protection", a));
    if (a == 0x200) {
        const int v = data[0] | data[1] << 1 | data[2] << 2 | data[3] << 3;
        if (v != 0xF && v != 0x7) return broke(at_word("rule 4: word 200 programmed other than F or 7", a));
    }
    if (a < 0xE0)
        for (std::size_t i = 0; i < 6; ++i)
            if (!data[i]) return broke(at_word("rule 4: unused row bits cleared", a));
    read_back_[static_cast<std::size_t>(a)] = false;
    if (a == 0x200 && model_.read_protected()) {
        std::string why = check_protection();
        if (!why.empty()) return broke(why);
        if (!reading_word_100_ || link_.bytes > 0)
            return broke("rule 3: read protection programmed other than before the reply to the host's read of word 100");
        protected_ = protection_seen_ = true;
    }
}

void ServerCheck::read(int a) {
    ++word_operations_;
    read_back_[static_cast<std::size_t>(a)] = true;
}

}  // namespace vt
