#include "jtag/probe/nano_probe.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "jtag/probe/crc8.hpp"
#include "jtag/probe/host_wait.hpp"
#include "jtag/probe/nano_supply.hpp"
#include "jtag/probe/tap_engine.hpp"
#include "os/clock.hpp"
#include "os/port.hpp"

namespace vr::jtag {
namespace {

constexpr uint8_t cmd_port_mode = 0x01, cmd_read_adcs = 0x03, cmd_tap_shift = 0x05, cmd_enter_ocd = 0x06,
                  cmd_uart_speed = 0x07, cmd_leave = 0x0F, cmd_status = 0x20, cmd_vpp = 0x21, cmd_arm = 0x22;
constexpr uint8_t status_refused = 0x02, status_too_long = 0x04, status_released = 0x08;
// VPP's key: 12 V comes on only for these two bytes after 0x21.
constexpr uint8_t vpp_key[2] = {0x56, 0x50};
constexpr uint32_t max_shift = 8192;
// Bytes on their way to the Nano at most: its receive ring holds 128.
constexpr std::size_t window = 120;
constexpr int reply_ms = 2000;

// The driver's counts: 155.1515 per volt. A count beyond any real supply
// (a garbled reply) is held at the largest value rather than wrapped.
uint16_t millivolts(const uint8_t* v) {
    const double mv = (v[0] << 8 | v[1]) * 1000 / 155.1515 + 0.5;
    return static_cast<uint16_t>(mv < 65535 ? mv : 65535);
}

std::string volts_text(uint16_t mv) {
    char t[16];
    std::snprintf(t, sizeof t, "%.1f V", mv / 1000.0);
    return t;
}

}  // namespace

NanoProbe::~NanoProbe() { close(); }

bool NanoProbe::fail(const std::string& why) {
    failure_ = why;
    failed_ = true;
    return false;
}

void NanoProbe::log_bytes(const char* dir, const uint8_t* data, std::size_t n) {
    if (!log_ || n == 0) return;
    std::fprintf(log_, "%.6f %s", os::now_seconds() - t0_, dir);
    for (std::size_t i = 0; i < n; ++i) std::fprintf(log_, " %02X", data[i]);
    std::fputc('\n', log_);
}

void NanoProbe::send(const uint8_t* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) sent_crc_ = crc8(sent_crc_, out[i]);
    os::write(reinterpret_cast<const char*>(out), n);
    log_bytes(">", out, n);
}

long NanoProbe::receive(uint8_t* in, std::size_t m) {
    const long got = os::read(in, m, reply_ms);
    if (got > 0) log_bytes("<", in, static_cast<std::size_t>(got));
    for (long i = 0; i < got; ++i) heard_crc_ = crc8(heard_crc_, in[i]);
    return got;
}

bool NanoProbe::exchange(const uint8_t* out, std::size_t n, uint8_t* in, std::size_t m) {
    send(out, n);
    std::size_t got = 0;
    for (long r; got < m && (r = receive(in + got, m - got)) > 0;) got += static_cast<std::size_t>(r);
    replied_at_ = steady_clock().now_ns();
    return got == m;
}

bool NanoProbe::open(const char* path, int boot_wait_ms, std::string& error) {
    close();
    if (!os::open_device(path) || !os::binary()) {
        error = std::string("cannot open ") + path;
        os::close();
        return false;
    }
    open_ = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(boot_wait_ms));
    uint8_t stale[64];
    while (os::read(stale, sizeof stale, 20) > 0) {
    }
    // 20 NULs: "BBIO1" (once more for each NUL after a Nano already in
    // probe mode); then the JTAG mode.
    const uint8_t nuls[20] = {};
    uint8_t reply[16] = {};
    os::write(reinterpret_cast<const char*>(nuls), sizeof nuls);
    log_bytes(">", nuls, sizeof nuls);
    std::string heard;
    for (long n; heard.find("BBIO1") == std::string::npos && (n = os::read(reply, 5, 1000)) > 0;)
        heard.append(reinterpret_cast<char*>(reply), static_cast<std::size_t>(n));
    if (heard.find("BBIO1") == std::string::npos) {
        error = "no answer from a Nano in probe mode on " + std::string(path) +
                " (is the vrjtag firmware on it? a longer --boot-wait?)";
        close();
        return false;
    }
    while (os::read(stale, sizeof stale, 50) > 0) {
    }
    const uint8_t enter = cmd_enter_ocd;
    if (!exchange(&enter, 1, reply, 4) || std::memcmp(reply, "OCD1", 4) != 0) {
        error = "the Nano did not enter its JTAG mode";
        close();
        return false;
    }
    const uint8_t fast[2] = {cmd_uart_speed, 1}, ack[2] = {0xAA, 0x55};
    send(fast, 2);
    if (!os::set_speed(1000000) || !exchange(ack, 2, reply, 2) || reply[0] != cmd_uart_speed || reply[1] != 1) {
        error = "the Nano did not answer on the fast line (1,000,000 baud)";
        close();
        return false;
    }
    // Armed: should this host fall silent in the middle of a write, the
    // Nano takes the chip out of programming mode itself. The pins are not
    // driven yet: the first scan asks for them (after VPP, in a recovery).
    const uint8_t arm[2] = {cmd_arm, 1};
    if (!exchange(arm, 2, reply, 2) || reply[0] != cmd_arm || reply[1] != 1) {
        error = "the Nano's firmware is older than this vrjtag (it does not arm the leave on silence): update it";
        close();
        return false;
    }
    // The first status starts the CRCs on both sides (the Nano's counted
    // from the NULs, which this host may have sent more of).
    if (!status(false)) {
        error = failure_;
        close();
        return false;
    }
    asked_ = false;
    failed_ = false;
    return true;
}

bool NanoProbe::status(bool check) {
    const uint8_t ask = cmd_status;
    send(&ask, 1);
    const uint8_t expect_in = sent_crc_, expect_out = heard_crc_;
    uint8_t reply[4] = {};
    std::size_t got = 0;
    for (long r; got < 4 && (r = os::read(reply + got, 4 - got, reply_ms)) > 0;) {
        log_bytes("<", reply + got, static_cast<std::size_t>(r));
        got += static_cast<std::size_t>(r);
    }
    replied_at_ = steady_clock().now_ns();
    sent_crc_ = heard_crc_ = 0;
    if (got != 4 || reply[0] != cmd_status) return fail("no answer from the Nano");
    return !check || settle(reply, expect_in, expect_out);
}

// A status reply (0x20, flags, the CRCs of what the Nano heard and sent)
// against this host's own CRCs of what it sent and heard.
bool NanoProbe::settle(const uint8_t* reply, uint8_t expect_in, uint8_t expect_out) {
    if (reply[2] != expect_in || reply[3] != expect_out)
        return fail(reply[2] != expect_in ? "a byte to the Nano arrived changed (its CRC differs): a bad cable or USB link"
                                          : "a byte from the Nano arrived changed (its CRC differs): a bad cable or USB link");
    flags_ |= reply[1];
    if (flags_ & status_released)
        return fail("the Nano released the JTAG pins by itself (this host was silent for 5 s, or the target's "
                    "supply dipped): the chip's state is unknown");
    return true;
}

void NanoProbe::close() {
    if (!open_) return;
    open_ = false;
    uint8_t reply[8];
    const uint8_t hiz[2] = {cmd_port_mode, 0}, disarm[2] = {cmd_arm, 0}, normal[2] = {cmd_uart_speed, 0},
                  ack[2] = {0xAA, 0x55}, bbio = 0, leave = cmd_leave;
    exchange(hiz, 2, reply, 0);
    exchange(disarm, 2, reply, 2);
    send(normal, 2);
    if (os::set_speed(115200) && exchange(ack, 2, reply, 2) && exchange(&bbio, 1, reply, 5))
        exchange(&leave, 1, reply, 1);
    os::close();
}

void NanoProbe::step(bool tms, bool tdi) {
    const uint32_t byte = queued_ / 8, bit = queued_ % 8;
    if (bit == 0) tdi_.push_back(0), tms_.push_back(0);
    if (tdi) tdi_[byte] = static_cast<uint8_t>(tdi_[byte] | 1u << bit);
    if (tms) tms_[byte] = static_cast<uint8_t>(tms_[byte] | 1u << bit);
    ++queued_;
}

bool NanoProbe::run(std::vector<uint8_t>* tdo) {
    if (failed_) return false;
    if (tdo) tdo->assign((queued_ + 7) / 8, 0);
    // The pins are asked for before the first shift, not at open: in a
    // recovery VPP comes first.
    if (queued_ && !asked_) {
        const uint8_t mode[2] = {cmd_port_mode, 1};
        send(mode, 2);
        asked_ = true;
    }
    for (uint32_t done = 0; done < queued_;) {
        const uint32_t bits = std::min(queued_ - done, max_shift), bytes = (bits + 7) / 8, first = done / 8;
        std::vector<uint8_t> out{cmd_tap_shift, static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
        for (uint32_t i = 0; i < bytes; ++i) out.push_back(tdi_[first + i]), out.push_back(tms_[first + i]);
        // The status rides along: no round trip of its own at flush.
        out.push_back(cmd_status);
        const std::size_t shifted = 3 + bytes;  // the shift's reply; then the status's 4
        std::vector<uint8_t> in(shifted + 4);
        // Paced: what the Nano has answered tells what it has read (the
        // header's 3 bytes, then 2 for each TDO byte). A shift refused from
        // its start is answered by its header alone (0x05 0 0): its pairs,
        // which the Nano then reads without answering, go a ring at a time.
        std::size_t sent = 0, got = 0, status_at = shifted;
        bool silent = false;
        while (got < status_at + 4) {
            if (silent && sent < out.size()) {
                const std::size_t n = std::min(out.size() - sent, window);
                send(out.data() + sent, n);
                sent += n;
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
                continue;
            }
            const std::size_t read_in = got < 3 ? 0 : got < shifted ? 3 + 2 * (got - 3) : out.size() - 1;
            if (!silent && sent < out.size() && sent < read_in + window) {
                const std::size_t n = std::min(out.size() - sent, read_in + window - sent);
                send(out.data() + sent, n);
                sent += n;
                continue;
            }
            // Only what is owed for the bytes sent: the rest waits for more.
            const std::size_t owed =
                sent == out.size() ? status_at + 4 : std::min(shifted, sent < 3 ? 0 : 3 + (sent - 3) / 2);
            const long n = os::read(in.data() + got, owed - got, reply_ms);
            if (n <= 0) return fail("no answer from the Nano");
            log_bytes("<", in.data() + got, static_cast<std::size_t>(n));
            const bool header_now = got < 3 && got + static_cast<std::size_t>(n) >= 3;
            got += static_cast<std::size_t>(n);
            if (header_now && in[1] == 0 && in[2] == 0) {
                silent = true;
                status_at = 3;
                // What came with the header belongs to the status.
            }
        }
        replied_at_ = steady_clock().now_ns();
        for (std::size_t i = 0; i < status_at; ++i) heard_crc_ = crc8(heard_crc_, in[i]);
        const uint8_t expect_in = sent_crc_, expect_out = heard_crc_;
        sent_crc_ = heard_crc_ = 0;
        if (in[0] != cmd_tap_shift || in[status_at] != cmd_status) return fail("the Nano answered out of step");
        if (!settle(in.data() + status_at, expect_in, expect_out)) return false;
        if (silent) return fail(refusal());
        if (tdo) std::copy(in.begin() + 3, in.begin() + static_cast<std::ptrdiff_t>(shifted), tdo->begin() + first);
        done += bits;
    }
    tdi_.clear(), tms_.clear(), queued_ = 0;
    return true;
}

bool NanoProbe::vpp(bool on) {
    if (!open_ || (!run() && on)) return !on;
    const uint8_t ask[3] = {cmd_vpp, on ? vpp_key[0] : uint8_t{0}, on ? vpp_key[1] : uint8_t{0}};
    uint8_t reply[2] = {};
    if (!exchange(ask, 3, reply, 2) || reply[0] != cmd_vpp) return fail("no answer from the Nano");
    if (!on) asked_ = false;  // the Nano released the pins with VPP: asked for again at the next scan
    return (reply[1] != 0) == on;
}

bool NanoProbe::volts(uint16_t& target_mv, uint16_t& nano_mv) {
    const uint8_t ask = cmd_read_adcs;
    uint8_t reply[10];
    if (!exchange(&ask, 1, reply, 10) || reply[0] != cmd_read_adcs) return fail("no answer from the Nano");
    target_mv = millivolts(reply + 2);
    nano_mv = millivolts(reply + 8);
    return true;
}

// The bits are queued through the TAP engine; what the chain shifted out
// comes back with the shift commands, at the bits' places in the queue.
bool NanoProbe::ir_scan(uint16_t instruction, uint16_t* captured) {
    const uint32_t at = queued_ + idle_to_shift_ir.length;
    tap_ir_shift(*this, instruction, static_cast<uint8_t>(ir_length));
    if (!captured) return !failed_;
    std::vector<uint8_t> tdo;
    if (!run(&tdo)) return false;
    uint16_t v = 0;
    for (uint16_t i = 0; i < ir_length; ++i) v = static_cast<uint16_t>(v | ((tdo[(at + i) / 8] >> ((at + i) % 8)) & 1) << i);
    *captured = v;
    return true;
}

bool NanoProbe::dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t*, const uint8_t*) {
    const uint32_t at = queued_ + idle_to_shift_dr.length;
    tap_dr_shift(*this, bits, tdi);
    if (!tdo) return !failed_;
    std::vector<uint8_t> out;
    if (!run(&out)) return false;
    std::memset(tdo, 0, (bits + 7u) / 8);
    for (uint16_t i = 0; i < bits; ++i)
        if ((out[(at + i) / 8] >> ((at + i) % 8)) & 1) tdo[i / 8] = static_cast<uint8_t>(tdo[i / 8] | 1u << (i % 8));
    return true;
}

bool NanoProbe::idle(uint32_t microseconds) {
    if (!run()) return false;
    // Timed from the reply to the last shift: the Nano had clocked every
    // bit before it answered.
    host_wait(steady_clock(), replied_at_, microseconds);
    tap_idle_clock(*this);
    return true;
}

bool NanoProbe::reset() {
    tap_reset(*this);
    return !failed_;
}

bool NanoProbe::flush() {
    // Clocks in Run-Test/Idle after a wait need no round trip of their own:
    // they go with the next scan (the wait only grows). The status of
    // everything sent came with its reply.
    if (!only_idle() && !run()) return false;
    if (failed_) return false;
    const uint8_t flags = flags_;
    flags_ = 0;
    if (flags & status_too_long) return fail("the Nano refused a scan longer than 8192 bits");
    if (flags & status_refused) return fail(refusal());
    return true;
}

bool NanoProbe::only_idle() const {
    for (std::size_t i = 0; i < tms_.size(); ++i)
        if (tms_[i]) return false;
    return true;
}

// Why the Nano refused to drive the pins, from the supplies it measures.
std::string NanoProbe::refusal() {
    uint16_t target = 0, nano = 0;
    if (!volts(target, nano)) return failure_;
    if (nano < nano_min_mv)
        return "the Nano's own supply is " + volts_text(nano) + ": below " + volts_text(nano_min_mv) +
               " it does not drive the JTAG pins";
    if (target < target_min_mv) return "no target supply on A4 (" + volts_text(target) + "): power the board";
    if (target < target_5v_mv)
        return "the target runs at " + volts_text(target) +
               ": the Nano drives a 3.3 V target only through level translators, with D8 strapped to GND";
    return "the Nano did not drive the JTAG pins";
}

// A TAP reset, which the Nano refuses without a safe supply.
ChainProblem NanoProbe::chain_problem() {
    if (!reset() || !run()) return chain_probe;
    const bool refused = flags_ & status_refused;
    flags_ = 0;
    if (!refused) return chain_sound;
    failure_ = refusal();
    return chain_probe;
}

}  // namespace vr::jtag
