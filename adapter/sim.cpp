#include "adapter/sim.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace vr::sim {
namespace {

constexpr char hexchars[] = "0123456789ABCDEF";

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool is_1508(int32_t code) { return code == 8; }

// Rows of the chip: 0-11 configuration rows (c), 12-107 (a), 128-223 (b),
// 224 up to 250 or 232 (d).
int last_row(int32_t code) { return is_1508(code) ? 250 : 232; }

bool row_exists(int32_t code, int r) {
    return (r >= 0 && r <= 107) || (r >= 128 && r <= 223) || (r >= 224 && r <= last_row(code));
}

}  // namespace

bool add_fault(Faults& f, const std::string& option) {
    const std::size_t eq = option.find('=');
    const std::string name = option.substr(0, eq);
    const int n = eq == std::string::npos ? -1 : static_cast<int>(std::strtol(option.c_str() + eq + 1, nullptr, 0));
    if (name == "no-id") return f.no_id = true;
    if (name == "erase-fail") return f.erase_fail = true;
    if (name == "crlf") return f.crlf = true;
    if (n < 0) return false;
    struct { const char* name; int Faults::*field; } numbered[] = {
        {"stall-row", &Faults::stall_row}, {"wrong-address", &Faults::wrong_address},
        {"bad-hex", &Faults::bad_hex},     {"nul-row", &Faults::nul_row},
        {"no-r", &Faults::no_r},           {"no-d", &Faults::no_d},
        {"no-e", &Faults::no_e},           {"stuck-fuse", &Faults::stuck_fuse},
        {"drop-write", &Faults::drop_write},
    };
    for (const auto& e : numbered)
        if (name == e.name) {
            f.*e.field = n;
            return true;
        }
    return false;
}

Adapter::Adapter(int32_t code, char id_reply, Faults faults)
    : code_(is_1508(code) ? 8 : 4), id_reply_(id_reply), faults_(faults), rows_(251) {
    for (int r = 0; r < 251; ++r)
        if (row_exists(code_, r)) rows_[r].assign(static_cast<std::size_t>(bits_of(r)), 1);
    page_[0].assign(32, 1);
    page_[1].assign(4, 1);
    page_[2].assign(16, 1);
}

// Fuse bits held at an address: rows 320/160 (block d 326/166), pages 32, 4, 16.
int Adapter::bits_of(int address) const {
    if (address == 0x100) return 32;
    if (address == 0x200) return 4;
    if (address == 0x300) return 16;
    const int base = is_1508(code_) ? 320 : 160;
    return address >= 224 ? base + 6 : base;
}

int Adapter::digits_of(int address) const {
    if (address == 0x100) return 8;
    if (address == 0x200) return 1;
    if (address == 0x300) return 4;
    return is_1508(code_) ? 82 : 42;
}

std::vector<uint8_t>* Adapter::cells(int address) {
    if (address == 0x100) return &page_[0];
    if (address == 0x200) return &page_[1];
    if (address == 0x300) return &page_[2];
    if (address >= 0 && address < 251 && !rows_[address].empty()) return &rows_[address];
    return nullptr;
}

// Where a fuse number lives on the chip: its address and bit.
bool Adapter::locate(int32_t fuse, int& address, int& bit) const {
    const bool big = is_1508(code_);
    const int32_t half = big ? 30720 : 15360;     // fuses of rows 12-107
    const int32_t cfg = big ? 61440 : 30720;      // configuration rows start
    const int32_t per_cfg = big ? 320 : 160;
    const int32_t uim = big ? 65280 : 32640;
    const int32_t uim_rows = big ? 27 : 9;
    const int32_t page1 = big ? 74082 : 34134;
    if (fuse < 0) return false;
    if (fuse < half) {
        address = 12 + fuse % 96, bit = fuse / 96;
    } else if (fuse < cfg) {
        address = 128 + (fuse - half) % 96, bit = (fuse - half) / 96;
    } else if (fuse < uim) {
        address = (fuse - cfg) / per_cfg, bit = (fuse - cfg) % per_cfg;
    } else if (fuse < page1) {
        address = 224 + (fuse - uim) % uim_rows, bit = (fuse - uim) / uim_rows;
    } else if (fuse < page1 + 32) {
        address = 0x100, bit = fuse - page1;
    } else if (fuse < page1 + 36) {
        address = 0x200, bit = fuse - page1 - 32;
    } else if (fuse < page1 + 52) {
        address = 0x300, bit = fuse - page1 - 36;
    } else {
        return false;
    }
    return true;
}

void Adapter::load(const FuseMap& map) {
    const int32_t n = is_1508(code_) ? 74136 : 34192;
    for (int32_t i = 0; i < n; ++i) {
        int a = 0, b = 0;
        if (locate(i, a, b)) (*cells(a))[static_cast<std::size_t>(b)] = map[i] == 1 ? 1 : 0;
    }
    protected_ = page_[1][0] == 0;
}

void Adapter::save(FuseMap& map) const {
    map.fill(0);
    const int32_t n = is_1508(code_) ? 74136 : 34192;
    for (int32_t i = 0; i < n; ++i) {
        int a = 0, b = 0;
        if (!locate(i, a, b)) continue;
        const std::vector<uint8_t>& c =
            a == 0x100 ? page_[0] : a == 0x200 ? page_[1] : a == 0x300 ? page_[2] : rows_[a];
        map[i] = static_cast<int8_t>(c[static_cast<std::size_t>(b)]);
    }
}

void Adapter::receive(char c, std::vector<Chunk>& out) {
    if (c == '\r') {
        command(line_, out);
        line_.clear();
    } else if (c != '\n' && c != '\0' && c != 0x11 && c != 0x13 && line_.size() < 256) {
        line_ += c;
    }
}

void Adapter::command(const std::string& cmd, std::vector<Chunk>& out) {
    if (cmd.size() < 3 || cmd[0] != '#' || cmd[1] != '8') return;
    ++commands_;
    const std::string end = faults_.crlf ? "\r\n" : "\r";
    switch (cmd[2]) {
    case 'I':
    case '4':
        if (cmd.size() == 3 && !faults_.no_id) out.push_back({0, std::string(1, id_reply_) + end});
        return;
    case 'X':
        if (cmd.size() == 3 && page_[1][0] == 0) protected_ = true;
        return;
    case 'E':
        if (cmd.size() != 3) return;
        if (faults_.erase_fail) {
            out.push_back({0, "er" + end});
            return;
        }
        for (auto& r : rows_) std::fill(r.begin(), r.end(), 1);
        for (auto& p : page_) std::fill(p.begin(), p.end(), 1);
        protected_ = false;
        ++erases_;
        out.push_back({0, "ok" + end});
        return;
    case 'a': case 'b': case 'c': case 'd': {
        if (cmd.size() != 3) return;
        const int first = cmd[2] == 'a' ? 12 : cmd[2] == 'b' ? 128 : cmd[2] == 'c' ? 0 : 224;
        const int last = cmd[2] == 'a' ? 107 : cmd[2] == 'b' ? 223 : cmd[2] == 'c' ? 11 : last_row(code_);
        for (int r = first; r <= last; ++r) reply_row(r, out);
        return;
    }
    case '1': case '2': case '3': {
        if (cmd.size() != 3) return;
        const int address = (cmd[2] - '0') * 0x100;
        const std::vector<uint8_t>& bits = *cells(address);
        std::string digits;
        for (std::size_t k = 0; k < bits.size(); k += 4) {
            int v = 0;
            for (std::size_t b = 0; b < 4; ++b) v = v * 2 + (protected_ ? 0 : bits[k + b]);
            digits += hexchars[v];
        }
        reply(address, digits, out);
        return;
    }
    case 'W': {
        // "#8W" address "d" digits "e"
        if (cmd.size() < 9 || cmd[6] != 'd' || cmd.back() != 'e') return;
        int address = 0;
        for (int k = 3; k < 6; ++k) {
            const int v = hexval(cmd[static_cast<std::size_t>(k)]);
            if (v < 0) return;
            address = address * 16 + v;
        }
        write(address, cmd.substr(7, cmd.size() - 8));
        return;
    }
    default:
        return;
    }
}

// A row's data field: two 0 bits, the fuse bits, 1 bits to the last digit.
void Adapter::reply_row(int address, std::vector<Chunk>& out) {
    const std::vector<uint8_t>& bits = rows_[static_cast<std::size_t>(address)];
    const int ndigits = digits_of(address);
    std::string digits;
    for (int d = 0; d < ndigits; ++d) {
        int v = 0;
        for (int k = 0; k < 4; ++k) {
            const int wire = 4 * d + k;
            int bit = 1;
            if (wire < 2)
                bit = 0;
            else if (wire - 2 < static_cast<int>(bits.size()))
                bit = protected_ ? 0 : bits[static_cast<std::size_t>(wire - 2)];
            v = v * 2 + bit;
        }
        digits += hexchars[v];
    }
    reply(address, digits, out);
}

void Adapter::reply(int address, const std::string& digits, std::vector<Chunk>& out) {
    char addr[4];
    std::snprintf(addr, sizeof addr, "%03X", address == faults_.wrong_address ? address + 1 : address);
    std::string r = std::string("r") + addr + "d" + digits + "e" + (faults_.crlf ? "\r\n" : "\r");
    if (address == faults_.no_r) r[0] = 'x';
    if (address == faults_.no_d) r[4] = 'D';
    if (address == faults_.no_e) r[5 + digits.size()] = 'x';
    if (address == faults_.bad_hex) r[5 + digits.size() / 2] = 'G';
    if (address == faults_.nul_row) r[5 + digits.size() / 2] = '\0';
    if (address == faults_.stall_row) {
        const std::size_t half = r.size() / 2;
        out.push_back({0, r.substr(0, half)});
        out.push_back({700, r.substr(half)});
        return;
    }
    out.push_back({0, r});
}

void Adapter::write(int address, const std::string& digits) {
    std::vector<uint8_t>* c = cells(address);
    if (!c || static_cast<int>(digits.size()) != digits_of(address) || address == faults_.drop_write) return;
    const bool is_page = address >= 0x100;
    int stuck_address = -1, stuck_bit = -1;
    if (faults_.stuck_fuse >= 0) locate(faults_.stuck_fuse, stuck_address, stuck_bit);
    for (std::size_t k = 0; k < c->size(); ++k) {
        const std::size_t wire = is_page ? k : k + 2;
        const int v = hexval(digits[wire / 4]);
        if (v < 0) return;
        const int bit = (v >> (3 - wire % 4)) & 1;
        if (bit == 0 && !(address == stuck_address && static_cast<int>(k) == stuck_bit)) (*c)[k] = 0;
    }
}

namespace {

double now_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void log_bytes(std::FILE* log, double t0, const char* dir, const char* data, std::size_t n) {
    if (!log || n == 0) return;
    std::fprintf(log, "%.6f %s ", now_seconds() - t0, dir);
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\')
            std::fputc(c, log);
        else
            std::fprintf(log, "\\x%02X", c);
    }
    std::fprintf(log, " %zu\n", n);
    std::fflush(log);
}

}  // namespace

void serve(int fd, Adapter& adapter, bool pacing, const std::atomic<bool>& stop, std::FILE* log) {
    using clock = std::chrono::steady_clock;
    const double t0 = now_seconds();
    const auto byte_time = std::chrono::nanoseconds(86806);  // 10 bits at 115200 baud
    std::vector<Chunk> out;
    char in[512];
    while (!stop.load()) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, 50);
        if (r < 0 && errno != EINTR) return;
        if (r <= 0) continue;
        if (p.revents & (POLLERR | POLLNVAL)) return;
        if (p.revents & POLLHUP && !(p.revents & POLLIN)) {
            // No program holds the line just now; wait for the next one.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        const ssize_t n = ::read(fd, in, sizeof in);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EIO) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            return;
        }
        log_bytes(log, t0, "in", in, static_cast<std::size_t>(n));
        for (ssize_t i = 0; i < n; ++i) adapter.receive(in[i], out);

        auto next = clock::now();
        for (const Chunk& c : out) {
            if (c.delay_ms > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(c.delay_ms));
                next = clock::now();
            }
            // Paced: a few bytes at a time, each run sent when the line has
            // carried the bytes before it.
            std::size_t pos = 0;
            while (pos < c.bytes.size() && !stop.load()) {
                const std::size_t len = pacing ? std::min<std::size_t>(12, c.bytes.size() - pos) : c.bytes.size() - pos;
                if (pacing) {
                    if (next < clock::now()) next = clock::now();
                    std::this_thread::sleep_until(next);
                    next += byte_time * static_cast<long>(len);
                }
                const ssize_t w = ::write(fd, c.bytes.data() + pos, len);
                if (w < 0) {
                    if (errno == EINTR || errno == EAGAIN) continue;
                    return;
                }
                log_bytes(log, t0, "out", c.bytes.data() + pos, static_cast<std::size_t>(w));
                pos += static_cast<std::size_t>(w);
            }
        }
        out.clear();
    }
}

}  // namespace vr::sim
