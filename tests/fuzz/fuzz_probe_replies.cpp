// Fuzzes what the probes make of their peer's answers: the Nano's replies in
// probe mode (through a fake serial port) and OpenOCD's Tcl answers (through
// a fake TCP connection). The first byte picks the probe; the rest is what
// the peer says, in chunks (a length byte, then that many bytes).
//
// Beyond the sanitizers' checks: a data scan the OpenOCD probe accepts must
// have been answered "OK " with exactly the scan's hex digits (whitespace
// after them only), and the bits returned must be those digits, decoded
// here on their own; a Nano scan that succeeds returns no bit beyond the
// scan's length.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "os/tcp.hpp"
#include "jtag/probe/nano_probe.hpp"
#include "jtag/probe/openocd_probe.hpp"
#include "os/port.hpp"

namespace {

// The peer's answers: chunks of the fuzz input, in order.
const unsigned char* next = nullptr;
const unsigned char* end = nullptr;

// The next chunk, at most `room` bytes of it; -1 once the input is used up.
long chunk(unsigned char* out, std::size_t room) {
    if (next >= end) return -1;
    std::size_t n = *next++;
    if (n > static_cast<std::size_t>(end - next)) n = static_cast<std::size_t>(end - next);
    if (n > room) n = room;
    std::memcpy(out, next, n);
    next += n;
    return static_cast<long>(n);
}

}  // namespace

// The fake serial port of the Nano probe.
namespace vr::os {
bool open_device(const char*) { return true; }
bool binary() { return true; }
bool damaged() { return false; }
bool set_speed(long) { return true; }
void write(const char*, std::size_t) {}
void close() {}
long read(unsigned char* data, std::size_t n, int) {
    const long got = chunk(data, n);
    return got < 0 ? 0 : got;  // 0: the time-out
}
}  // namespace vr::os

// The fake connection to OpenOCD: what is sent goes nowhere.
namespace vr::os {
bool TcpClient::connect(const std::string&, const std::string&, std::string&) {
    fd_ = 1;
    return true;
}
bool TcpClient::send_all(const char*, std::size_t) { return true; }
long TcpClient::receive(char* buf, std::size_t size, int) {
    const long got = chunk(reinterpret_cast<unsigned char*>(buf), size);
    return got < 0 ? 0 : got;  // 0: the peer closed
}
void TcpClient::close() { fd_ = -1; }
}  // namespace vr::os

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The answer OpenOCD gave to the last command: the bytes the fake delivered
// since `from`, up to the 0x1A that ends it.
void check_openocd(const unsigned char* answers_from, uint16_t bits, const uint8_t* tdo) {
    std::string answer;
    for (const unsigned char* p = answers_from; p < next;) {
        std::size_t n = *p++;
        if (n > static_cast<std::size_t>(next - p)) n = static_cast<std::size_t>(next - p);
        answer.append(reinterpret_cast<const char*>(p), n);
        p += n;
    }
    const std::size_t stop = answer.find('\x1a');
    if (stop == std::string::npos || answer.compare(0, 3, "OK ") != 0) std::abort();
    std::string digits = answer.substr(3, stop - 3);
    while (!digits.empty() && (digits.back() == '\n' || digits.back() == ' ')) digits.pop_back();
    const std::size_t want = (bits + 7u) / 8u * 2u;
    if (digits.size() != want) std::abort();
    // Most significant digit first.
    for (std::size_t k = 0; k < want; ++k) {
        const int v = hex_value(digits[want - 1 - k]);
        if (v < 0) std::abort();
        for (int b = 0; b < 4; ++b) {
            const std::size_t i = 4 * k + static_cast<std::size_t>(b);
            if (i >= bits) continue;
            if (((tdo[i / 8] >> (i % 8)) & 1) != ((v >> b) & 1)) std::abort();
        }
    }
}

void run_openocd() {
    vr::jtag::OpenocdProbe probe("127.0.0.1", "6666", "atf15xx.tap");
    static const uint16_t lengths[] = {32, 11, 4, 86, 166, 326, 1};
    std::vector<uint8_t> tdi(41, 0xA5);
    for (int round = 0; next < end && round < 64; ++round) {
        const uint16_t bits = lengths[round % 7];
        probe.reset();
        probe.ir_scan(0x059);
        std::vector<uint8_t> tdo((bits + 7u) / 8u, 0);
        const unsigned char* from = next;
        if (probe.dr_scan(bits, tdi.data(), tdo.data(), nullptr, nullptr)) check_openocd(from, bits, tdo.data());
        probe.chain_problem();
        probe.flush();
    }
}

void run_nano() {
    vr::jtag::NanoProbe probe;
    std::string error;
    if (!probe.open("fuzz", 0, error)) return;
    static const uint16_t lengths[] = {32, 10, 326, 16, 1, 86};
    std::vector<uint8_t> tdi(41, 0x5A);
    for (int round = 0; next < end && round < 64; ++round) {
        const uint16_t bits = lengths[round % 6];
        probe.chain_problem();
        uint16_t captured = 0;
        probe.ir_scan(0x059, &captured);
        if (captured > 0x3FF) std::abort();
        // Exactly the scan's bytes: ASan sees a write beyond them, and the
        // bits above the scan's length stay clear.
        std::vector<uint8_t> tdo((bits + 7u) / 8u, 0);
        if (probe.dr_scan(bits, tdi.data(), tdo.data(), nullptr, nullptr) && bits % 8 && (tdo.back() >> (bits % 8)))
            std::abort();
        probe.flush();
        probe.vpp(false);
    }
    probe.close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size > VR_FUZZ_MAX_INPUT) size = VR_FUZZ_MAX_INPUT;
    if (size < 1) return 0;
    next = data + 1;
    end = data + size;
    if (data[0] & 1) run_nano();
    else run_openocd();
    return 0;
}
