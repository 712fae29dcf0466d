#include "jtag/probe/rbb_probe.hpp"

#include "jtag/probe/host_wait.hpp"
#include "jtag/probe/tap_engine.hpp"

namespace vr::jtag {
namespace {

// '0'-'7': TCK * 4 + TMS * 2 + TDI.
char pins(bool tck, bool tms, bool tdi) { return static_cast<char>('0' + (tck << 2 | tms << 1 | tdi)); }

const int answer_ms = 5000;
const std::size_t batch = 4096;

}  // namespace

bool RbbProbe::open(const std::string& where, std::string& error) {
    const std::size_t colon = where.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == where.size()) {
        error = "remote_bitbang needs HOST:PORT, not " + where;
        return false;
    }
    if (!tcp_.connect(where.substr(0, colon), where.substr(colon + 1), error)) return false;
    where_ = where;
    failed_ = false;
    started_ = false;
    // The resets released, as a client starts. The pins are written only at
    // the first scan: in a recovery VPP (SRST) comes first.
    out_ = "r";
    if (send()) return true;
    error = failure_;
    return false;
}

// Before the first scan: TCK low, and the TAP from wherever it was to
// Run-Test/Idle, where every operation starts.
void RbbProbe::start() {
    if (started_) return;
    started_ = true;
    out_ += '0';
    tap_reset(*this);
}

void RbbProbe::close() {
    if (!tcp_.is_open()) return;
    out_ += "rQ";
    send();
    tcp_.close();
}

bool RbbProbe::fail(const std::string& why) {
    if (!failed_) failure_ = why;
    failed_ = true;
    out_.clear();
    return false;
}

bool RbbProbe::send() {
    if (failed_) return false;
    if (out_.empty()) return true;
    if (!tcp_.is_open() || !tcp_.send_all(out_.data(), out_.size())) return fail("the remote_bitbang server went away");
    out_.clear();
    return true;
}

void RbbProbe::step(bool tms, bool tdi) {
    out_ += pins(false, tms, tdi);
    out_ += pins(true, tms, tdi);
    if (out_.size() >= batch) send();
}

bool RbbProbe::clock(bool tms, bool tdi) {
    out_ += pins(false, tms, tdi);
    out_ += 'R';
    out_ += pins(true, tms, tdi);
    // The rising edge may wait: TDO was sampled before it.
    char answer = 0;
    if (!send()) return false;
    const long got = tcp_.receive(&answer, 1, answer_ms);
    if (got != 1 || (answer != '0' && answer != '1')) {
        fail("no TDO from the remote_bitbang server");
        return false;
    }
    return answer == '1';
}

bool RbbProbe::ir_scan(uint16_t instruction, uint16_t* captured) {
    if (failed_) return false;
    start();
    tap_ir_scan(*this, instruction, ir_length, captured);
    return !failed_;
}

bool RbbProbe::dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t*, const uint8_t*) {
    if (failed_) return false;
    start();
    tap_dr_scan(*this, bits, tdi, tdo);
    return !failed_;
}

bool RbbProbe::idle(uint32_t microseconds) {
    HostClock& host = steady_clock();
    if (!started_) {
        // Before the first scan (VPP settling): time passes, no pin moves.
        if (!send()) return false;
        host_wait(host, host.now_ns(), microseconds);
        return !failed_;
    }
    // A read's answer says every change before it was carried out: the wait
    // is timed from there.
    clock(false, false);
    if (failed_) return false;
    host_wait(host, host.now_ns(), microseconds);
    tap_idle_clock(*this);
    return send();
}

bool RbbProbe::reach_again() {
    out_.clear();
    if (tcp_.is_open()) {
        char late[256];
        long n;
        while ((n = tcp_.receive(late, sizeof late, 100)) > 0) {
        }
        if (n == 0) tcp_.close();  // the server closed its side
    }
    std::string error;
    if (!tcp_.is_open() && !where_.empty()) {
        const std::size_t colon = where_.rfind(':');
        if (!tcp_.connect(where_.substr(0, colon), where_.substr(colon + 1), error)) return false;
        out_ = "r0";
    }
    failed_ = !tcp_.is_open();
    return !failed_;
}

bool RbbProbe::reset() {
    if (failed_ && !reach_again()) return false;
    if (!started_) return start(), !failed_;
    tap_reset(*this);
    return !failed_;
}

bool RbbProbe::flush() {
    const bool ok = send() && !failed_;
    failed_ = false;  // the next operation starts afresh
    return ok;
}

bool RbbProbe::vpp(bool on) {
    out_ += on ? 's' : 'r';
    return send();
}

}  // namespace vr::jtag
