#include "adapter/probe/openocd_probe.hpp"

#include "adapter/chip/chip.hpp"
#include "common/hex.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace vr::jtag {
namespace {

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// "0x" and the bits as hex, most significant digit first.
std::string to_hex(const uint8_t* v, uint16_t bits) {
    std::string s((bits + 3) / 4, '0');
    field_from_word(v, bits, static_cast<uint8_t>(s.size()), s.data(), true);
    return "0x" + s;
}

}  // namespace

OpenocdProbe::OpenocdProbe(std::string host, std::string port, std::string tap)
    : host_(std::move(host)), port_(std::move(port)), tap_(std::move(tap)) {}

OpenocdProbe::~OpenocdProbe() {
    if (fd_ >= 0) ::close(fd_);
}

bool OpenocdProbe::connect() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    addrinfo hints{}, *list = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host_.c_str(), port_.c_str(), &hints, &list) != 0) {
        failure_ = "no answer from OpenOCD (cannot resolve " + host_ + ")";
        return false;
    }
    for (addrinfo* a = list; a && fd_ < 0; a = a->ai_next) {
        fd_ = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd_ >= 0 && ::connect(fd_, a->ai_addr, a->ai_addrlen) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    freeaddrinfo(list);
    if (fd_ < 0) {
        failure_ = "no answer from OpenOCD at " + host_ + ":" + port_;
        return false;
    }
    const int yes = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    failed_ = false;
    ir_since_reset_ = false;
    return true;
}

void OpenocdProbe::disconnect(const std::string& why) {
    failure_ = why;
    failed_ = true;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (log_) std::fprintf(log_, "%.6f openocd failed: %s\n", now() - t0_, why.c_str()), std::fflush(log_);
}

bool OpenocdProbe::call(const std::string& command, std::string& result, int timeout_ms) {
    if (failed_ || fd_ < 0) return false;
    const std::string wrapped =
        "if {[catch {" + command + "} m]} {set r \"ERR $m\"} else {set r \"OK $m\"}\x1a";
    if (log_) std::fprintf(log_, "%.6f tcl> %s\n", now() - t0_, command.c_str());
    std::size_t pos = 0;
    while (pos < wrapped.size()) {
        const ssize_t w = ::send(fd_, wrapped.data() + pos, wrapped.size() - pos, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return disconnect("no answer from OpenOCD (connection lost)"), false;
        pos += static_cast<std::size_t>(w);
    }
    std::string answer;
    const double deadline = now() + timeout_ms / 1000.0;
    for (;;) {
        const std::size_t end = answer.find('\x1a');
        if (end != std::string::npos) {
            answer.resize(end);
            break;
        }
        const int left = static_cast<int>((deadline - now()) * 1000);
        pollfd p{fd_, POLLIN, 0};
        const int r = left > 0 ? ::poll(&p, 1, left) : 0;
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return disconnect("no answer from OpenOCD (time-out)"), false;
        char buf[1024];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return disconnect("no answer from OpenOCD (connection lost)"), false;
        answer.append(buf, static_cast<std::size_t>(n));
    }
    if (log_) std::fprintf(log_, "%.6f tcl< %s\n", now() - t0_, answer.c_str()), std::fflush(log_);
    if (answer.rfind("OK ", 0) != 0) {
        std::string why = answer.rfind("ERR ", 0) == 0 ? answer.substr(4) : answer;
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
        return disconnect("OpenOCD: " + why), false;
    }
    result = answer.substr(3);
    return true;
}

bool OpenocdProbe::ir_scan(uint16_t instruction) {
    // Reconnect only where a sequence starts: at the IDCODE instruction.
    if ((failed_ || fd_ < 0) && instruction == 0x059 && !connect()) return false;
    std::string r;
    char value[8];
    std::snprintf(value, sizeof value, "0x%03x", instruction);
    if (!call("irscan " + tap_ + " " + value, r)) return false;
    ir_since_reset_ = true;
    return true;
}

bool OpenocdProbe::dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t*, const uint8_t*) {
    // OpenOCD 0.12 aborts on a data scan right after init or a TAP reset.
    if (!ir_since_reset_ && !ir_scan(0x059)) return false;
    static const uint8_t zeros[64] = {};
    std::string r;
    if (!call("drscan " + tap_ + " " + std::to_string(bits) + " " + to_hex(tdi ? tdi : zeros, bits), r)) return false;
    // The answer: the captured bits as hex, whole bytes, most significant first.
    while (!r.empty() && (r.back() == '\n' || r.back() == ' ')) r.pop_back();
    if (r.size() != static_cast<std::size_t>((bits + 7) / 8 * 2)) return disconnect("OpenOCD: drscan answered \"" + r + "\""), false;
    if (!tdo) return true;
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

// As OpenOCD's own SVF player carries out "RUNTEST n SEC": the scans before
// it have been executed (each Tcl scan runs the queue), the TAP waits in
// Run-Test/Idle, and the host sleeps the whole time, rounded up to whole
// milliseconds.
bool OpenocdProbe::idle(uint32_t microseconds) {
    std::string r;
    const uint32_t ms = (microseconds + 999) / 1000;
    return call("sleep " + std::to_string(ms), r, static_cast<int>(ms) + 10000);
}

bool OpenocdProbe::reset() {
    if ((failed_ || fd_ < 0) && !connect()) return false;
    std::string r;
    if (!call("pathmove RESET IDLE", r)) return false;
    ir_since_reset_ = false;
    return true;
}

}  // namespace vr::jtag
