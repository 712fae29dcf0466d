#include "jtag/probe/openocd_probe.hpp"

#include "common/bits.hpp"
#include "os/clock.hpp"
#include "common/hex.hpp"
#include "jtag/probe/host_wait.hpp"


namespace vr::jtag {
namespace {

// "0x" and the bits as hex, most significant digit first.
std::string to_hex(const uint8_t* v, uint16_t bits) {
    std::string s((bits + 3) / 4, '0');
    field_from_word(v, bits, static_cast<uint8_t>(s.size()), s.data(), true);
    return "0x" + s;
}

}  // namespace

OpenocdProbe::OpenocdProbe(std::string host, std::string port, std::string tap)
    : host_(std::move(host)), port_(std::move(port)), tap_(std::move(tap)) {}

OpenocdProbe::~OpenocdProbe() = default;

bool OpenocdProbe::connect() {
    std::string why;
    if (!tcp_.connect(host_, port_, why)) {
        failure_ = "no answer from OpenOCD (" + why + ")";
        return false;
    }
    failed_ = false;
    ir_since_reset_ = false;
    return true;
}

void OpenocdProbe::disconnect(const std::string& why) {
    failure_ = why;
    failed_ = true;
    tcp_.close();
    if (log_) std::fprintf(log_, "%.6f openocd failed: %s\n", os::now_seconds() - t0_, why.c_str()), std::fflush(log_);
}

bool OpenocdProbe::call(const std::string& command, std::string& result, int timeout_ms) {
    if (failed_ || !tcp_.is_open()) return false;
    const std::string wrapped =
        "if {[catch {" + command + "} m]} {set r \"ERR $m\"} else {set r \"OK $m\"}\x1a";
    if (log_) std::fprintf(log_, "%.6f tcl> %s\n", os::now_seconds() - t0_, command.c_str());
    if (!tcp_.send_all(wrapped.data(), wrapped.size())) return disconnect("no answer from OpenOCD (connection lost)"), false;
    std::string answer;
    const double deadline = os::now_seconds() + timeout_ms / 1000.0;
    for (;;) {
        const std::size_t end = answer.find('\x1a');
        if (end != std::string::npos) {
            answer.resize(end);
            break;
        }
        const int left = static_cast<int>((deadline - os::now_seconds()) * 1000);
        char buf[1024];
        const long n = left > 0 ? tcp_.receive(buf, sizeof buf, left) : -1;
        if (n < 0) return disconnect("no answer from OpenOCD (time-out)"), false;
        if (n == 0) return disconnect("no answer from OpenOCD (connection lost)"), false;
        answer.append(buf, static_cast<std::size_t>(n));
    }
    confirmed_ns_ = steady_clock().now_ns();
    if (log_) std::fprintf(log_, "%.6f tcl< %s\n", os::now_seconds() - t0_, answer.c_str()), std::fflush(log_);
    if (answer.rfind("OK ", 0) != 0) {
        std::string why = answer.rfind("ERR ", 0) == 0 ? answer.substr(4) : answer;
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
        return disconnect("OpenOCD: " + why), false;
    }
    result = answer.substr(3);
    return true;
}

bool OpenocdProbe::restart() {
    if (!failed_ && tcp_.is_open()) return true;
    batch_.clear();
    if (connect() || !relaunch_) return !failed_ && tcp_.is_open();
    const Relaunch again = std::move(relaunch_);
    relaunch_ = nullptr;
    std::string port, why;
    if (log_) std::fprintf(log_, "%.6f starting openocd again\n", os::now_seconds() - t0_), std::fflush(log_);
    if (!again(port, why)) {
        failure_ = "OpenOCD stopped and did not start again: " + why;
        return false;
    }
    port_ = port;
    return connect();
}

bool OpenocdProbe::queue(const std::string& command) {
    if (failed_ || !tcp_.is_open()) return false;
    if (!batch_.empty()) batch_ += "; ";
    batch_ += command;
    return true;
}

bool OpenocdProbe::send_queue(std::string& result) {
    if (failed_ || !tcp_.is_open()) return false;
    if (batch_.empty()) return true;
    const std::string command = std::move(batch_);
    batch_.clear();
    return call(command, result);
}

bool OpenocdProbe::flush() {
    std::string r;
    return send_queue(r);
}

bool OpenocdProbe::ir_scan(uint16_t instruction, uint16_t* captured) {
    // OpenOCD's irscan does not give the captured bits.
    if (captured) *captured = no_capture;
    // Reconnect only where a sequence starts: at the IDCODE instruction.
    if (instruction == 0x059 && !restart()) return false;
    char value[8];
    std::snprintf(value, sizeof value, "0x%03x", instruction);
    if (!queue("irscan " + tap_ + " " + value)) return false;
    ir_since_reset_ = true;
    return true;
}

bool OpenocdProbe::dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t*, const uint8_t*) {
    // OpenOCD 0.12 aborts on a data scan right after init or a TAP reset.
    if (!ir_since_reset_ && !ir_scan(0x059)) return false;
    static const uint8_t zeros[64] = {};
    if (!queue("drscan " + tap_ + " " + std::to_string(bits) + " " + to_hex(tdi ? tdi : zeros, bits))) return false;
    if (!tdo) return true;
    std::string r;
    if (!send_queue(r)) return false;
    // The answer: the captured bits as hex, whole bytes, most significant first.
    while (!r.empty() && (r.back() == '\n' || r.back() == ' ')) r.pop_back();
    if (r.size() != static_cast<std::size_t>((bits + 7) / 8 * 2)) return disconnect("OpenOCD: drscan answered \"" + r + "\""), false;
    for (int i = 0; i < (bits + 7) / 8; ++i) tdo[i] = 0;
    for (std::size_t k = 0; k < r.size(); ++k) {
        const int v = hex_digit(r[r.size() - 1 - k]);
        if (v < 0) return disconnect("OpenOCD: drscan answered \"" + r + "\""), false;
        for (int b = 0; b < 4; ++b) {
            const std::size_t i = 4 * k + static_cast<std::size_t>(b);
            if (i < bits && ((v >> b) & 1)) tdo[i / 8] = static_cast<uint8_t>(tdo[i / 8] | (1u << (i % 8)));
        }
    }
    return true;
}

// The scans before a wait are sent first: OpenOCD answers once it has
// carried them out (each Tcl scan runs its queue, which ends in
// Run-Test/Idle), and the wait counts from that answer on the host's clock
// (jtag/probe/host_wait.hpp), not on OpenOCD's millisecond `sleep`, which
// can end a millisecond early.
bool OpenocdProbe::idle(uint32_t microseconds) {
    std::string result;
    if (!send_queue(result)) return false;
    host_wait(steady_clock(), confirmed_ns_, microseconds);
    return true;
}

bool OpenocdProbe::reset() {
    if (!restart() || !queue("pathmove RESET IDLE")) return false;
    ir_since_reset_ = false;
    return true;
}

bool OpenocdProbe::command(const std::string& tcl, std::string& result) {
    return restart() && flush() && call(tcl, result);
}

ChainProblem OpenocdProbe::chain_problem() {
    if (!restart() || !flush()) return chain_probe;
    std::string names, examined;
    if (!call("jtag names", names)) return chain_probe;
    bool ours = false, undeclared = false;
    std::size_t pos = 0;
    while (pos < names.size()) {
        const std::size_t end = names.find_first_of(" \n", pos);
        const std::string name = names.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        ours = ours || name == tap_;
        undeclared = undeclared || name.rfind("auto", 0) == 0;
        pos = end == std::string::npos ? names.size() : end + 1;
    }
    if (!ours) {
        failure_ = "OpenOCD has no TAP named " + tap_ + ": check --tap and the configuration";
        return chain_probe;
    }
    if (undeclared) return chain_another;
    // Examining the chain again resets the TAPs: the next data scan needs an
    // instruction scan first.
    if (!call("capture {jtag arp_init}", examined)) return chain_probe;
    ir_since_reset_ = false;
    // A silent line (nothing powered, a broken wire, a chip whose JTAG pins
    // are turned off) before a wrong instruction length.
    if (examined.find("all ones") != std::string::npos) return chain_tdo_1;
    if (examined.find("all zeroes") != std::string::npos) return chain_tdo_0;
    if (examined.find("IR capture error") != std::string::npos) return chain_another;
    return chain_sound;
}

bool OpenocdProbe::can_vpp() {
    std::string result;
    return command("info procs vrjtag_vpp", result) && result.find("vrjtag_vpp") != std::string::npos;
}

bool OpenocdProbe::vpp(bool on) {
    std::string result;
    return command(std::string("vrjtag_vpp ") + (on ? "1" : "0"), result);
}

}  // namespace vr::jtag
