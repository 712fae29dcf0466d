#include "tests/fuzz/server_check.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
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
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

bool is_row(int a, bool big) { return (a >= 0 && a <= 0x6B) || (a >= 0x80 && a <= (big ? 0xFA : 0xE8)); }

// Digits of the data field that carries the word at address a.
int field_digits(int a, bool big) {
    if (a == 0x100) return 8;
    if (a == 0x200) return 1;
    if (a == 0x300) return 4;
    return is_row(a, big) ? (big ? 82 : 42) : 0;
}

}  // namespace

ServerCheck::ServerCheck() {
    const char* names[6] = {"ATF1504AS", "ATF1508AS", "ATF1504AS", "ATF1508AS", "ATF1504AS", "ATF1508AS"};
    for (int v = 0; v < 6; ++v) {
        ModelOptions o;
        o.chip = vr::model::find_chip(names[v]);
        if (v == 4) o.idcode = 0x0150203F;  // another chip of the family
        if (v == 5) o.extra_ir = 4, o.extra_after = true;
        snapshots_[v] = ChipModel(o);
        if (v == 2 || v == 3) load_design(snapshots_[v], snapshots_[v].code());
    }
}

void ServerCheck::start(unsigned char variant) {
    const int v = variant % 6;
    model_ = snapshots_[v];
    supported_ = v < 4;
    big_ = model_.code() == 8;
    probe_.failing = false;
    probe_.reset();
    vr::jtag::server_init(server_, probe_, link_);
    line_.clear();
    too_long_ = identified_ = protected_ = protection_seen_ = false;
    written_.clear();
    read_back_.clear();
    events_seen_ = model_.events().size();
    erases_seen_ = model_.erases();
}

std::string ServerCheck::run(const unsigned char* data, std::size_t size) {
    if (size == 0) return "";
    start(data[0]);
    for (std::size_t i = 1; i < size; ++i) {
        const std::string broken = step(data[i]);
        if (!broken.empty()) return broken;
    }
    return "";
}

std::string ServerCheck::step(unsigned char byte) {
    if (byte == byte_hangup) {
        vr::jtag::server_hangup(server_);
        line_.clear();
        too_long_ = identified_ = false;
        written_.clear();
        read_back_.clear();
        return check_events();
    }
    if (byte == byte_probe_toggle) {
        probe_.failing = !probe_.failing;
        return "";
    }
    if (byte == byte_all_rows) {
        char head[8];
        for (int a = 0; a <= 0xFA; ++a) {
            if (!is_row(a, big_)) continue;
            std::snprintf(head, sizeof head, "#8W%03Xd", a);
            const int n = field_digits(a, big_);
            // Every fuse programmed; blocks a-c keep their six unused bits.
            std::string cmd = head + std::string(static_cast<std::size_t>(n - 2), '0') + (a < 0xE0 ? "3F" : "00") + "e\r";
            for (char c : cmd) {
                const std::string broken = host_byte(c);
                if (!broken.empty()) return broken;
            }
        }
        return "";
    }
    return host_byte(static_cast<char>(byte));
}

std::string ServerCheck::host_byte(char c) {
    // The host's command as the line carries it: CR ends it; LF, NUL, XON
    // and XOFF are not part of it; over 100 characters it is void.
    bool ended = false;
    std::string cmd;
    if (c == '\r') {
        if (!too_long_) cmd = line_;
        ended = true;
        line_.clear();
        too_long_ = false;
    } else if (c != '\n' && c != 0 && c != 0x11 && c != 0x13) {
        if (line_.size() < 100) line_ += c;
        else too_long_ = true;
    }
    if (ended && cmd.size() == 3 && (cmd == "#8I" || cmd == "#84")) identified_ = supported_;
    if (ended && cmd == "#8X") identified_ = false;
    const int erases_before = model_.erases();
    vr::jtag::server_receive(server_, c);
    if (model_.erases() != erases_before && !identified_) return "rule 1: erased without the host's identification";
    // A refused erase needs a new identification.
    if (ended && cmd == "#8E" && model_.erases() == erases_before) identified_ = false;
    if (ended && cmd.size() > 8 && cmd.compare(0, 3, "#8W") == 0 && cmd[6] == 'd' && cmd.back() == 'e') {
        int a = 0;
        bool ok = true;
        for (int k = 3; k < 6; ++k) ok = ok && hexv(cmd[static_cast<std::size_t>(k)]) >= 0, a = a * 16 + std::max(0, hexv(cmd[static_cast<std::size_t>(k)]));
        const std::string field = cmd.substr(7, cmd.size() - 8);
        for (char d : field) ok = ok && hexv(d) >= 0;
        if (ok && static_cast<int>(field.size()) == field_digits(a, big_)) written_[a] = field;
    }
    return check_events();
}

// True when the chip's word at address holds what the host last wrote there.
bool ServerCheck::holds_written(int a) const {
    const auto it = written_.find(a);
    if (it == written_.end()) return false;
    const std::string& f = it->second;
    const std::vector<uint8_t>& w = model_.word(a);
    const int n = static_cast<int>(f.size());
    for (int i = 0; i < 4 * n; ++i) {
        const int digit = hexv(f[static_cast<std::size_t>(n - 1 - i / 4)]);
        const bool want = (digit >> (i % 4)) & 1;
        const bool have = i < static_cast<int>(w.size()) && w[static_cast<std::size_t>(i)];
        if (want != have) return false;
    }
    return true;
}

std::string ServerCheck::check_protection() {
    for (int a = 0; a <= 0x300; ++a) {
        if (!(is_row(a, big_) || a == 0x100 || a == 0x300)) continue;
        char where[64];
        std::snprintf(where, sizeof where, " (word %03X)", a);
        if (!written_.count(a)) return std::string("rule 3: read protection with a word the host never wrote") + where;
        if (!read_back_[a]) return std::string("rule 3: read protection with a word not read back") + where;
        if (!holds_written(a)) return std::string("rule 3: read protection with a word unlike what was written") + where;
    }
    const std::vector<uint8_t>& w = model_.word(0x200);
    if (w[3] || !w[2] || !w[1] || !w[0]) return "rule 3: word 200 is not 7 after read protection";
    return "";
}

std::string ServerCheck::check_events() {
    if (model_.jtag_pins_lost()) return "rule 2: the JTAG pin bit was cleared";
    if (model_.refusals() > 0) return "rule 5: the model refused an operation: " + model_.events().back();
    const std::vector<std::string>& ev = model_.events();
    for (; events_seen_ < ev.size(); ++events_seen_) {
        const std::string& e = ev[events_seen_];
        if (e == "erase") {
            if (!supported_) return "rule 1: erased a chip that is not supported or not alone";
            if (model_.scans_before_erase() < 0 || model_.scans_before_erase() > 1)
                return "rule 1: erased without reading the IDCODE just before";
            written_.clear();
            read_back_.clear();
            protected_ = false;
        } else if (e.compare(0, 8, "program ") == 0) {
            if (!supported_) return "rule 1: programmed a chip that is not supported or not alone";
            if (protected_) return "rule 3: programmed after read protection: " + e;
            const int a = static_cast<int>(std::strtol(e.c_str() + 8, nullptr, 16));
            const std::string word = e.substr(12);
            if (a == 0x200 && word != "F" && word != "7") return "rule 4: word 200 programmed with " + word;
            if (a < 0xE0 && !word.empty()) {
                const int low = hexv(word.back()) | (word.size() > 1 ? (hexv(word[word.size() - 2]) & 3) << 4 : 0);
                if (low != 0x3F) return "rule 4: unused row bits cleared: " + e;
            }
            read_back_[a] = false;
        } else if (e.compare(0, 5, "read ") == 0 && e.find("protection") == std::string::npos) {
            read_back_[static_cast<int>(std::strtol(e.c_str() + 5, nullptr, 16))] = true;
        } else if (e == "read protection programmed") {
            const std::string broken = check_protection();
            if (!broken.empty()) return broken;
            protected_ = protection_seen_ = true;
        }
    }
    return "";
}

}  // namespace vt
