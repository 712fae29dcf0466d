#include "jtag/probe/xsvf_probe.hpp"

namespace vr::jtag {
namespace {

// The bits as XSVF bytes: (bits + 7) / 8 of them, the most significant byte
// first (zeros for no bits given).
std::string bytes(const uint8_t* v, uint32_t bits) {
    const uint32_t n = (bits + 7) / 8;
    std::string s(n, '\0');
    if (v)
        for (uint32_t i = 0; i < n; ++i) s[n - 1 - i] = static_cast<char>(v[i]);
    return s;
}

std::string u32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string op(uint8_t code) { return std::string(1, static_cast<char>(code)); }

}  // namespace

XsvfProbe::XsvfProbe(std::FILE* out) : out_(out) {
    // No retry on a mismatch: the chip is not to be clocked again; every scan
    // ends in Run-Test/Idle.
    put(op(xrepeat) + op(0) + op(xendir) + op(0) + op(xenddr) + op(0));
}

void XsvfProbe::put(const std::string& b) {
    if (!b.empty() && std::fwrite(b.data(), 1, b.size(), out_) != b.size()) ok_ = false;
}

void XsvfProbe::release() {
    // A wait longer than XRUNTEST holds is split over XWAITs.
    uint64_t wait = held_wait_;
    const uint32_t first = wait > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(wait);
    if (!held_.empty()) {
        if (first != runtest_) put(op(xruntest) + u32(runtest_ = first));
        put(held_);
        wait -= first;
    }
    while (wait > 0) {
        const uint32_t part = wait > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(wait);
        put(op(xwait) + op(xsvf_idle) + op(xsvf_idle) + u32(part));
        wait -= part;
    }
    held_.clear();
    held_wait_ = 0;
}

bool XsvfProbe::ir_scan(uint16_t instruction, uint16_t* captured) {
    if (captured) *captured = no_capture;
    release();
    const uint8_t v[2] = {static_cast<uint8_t>(instruction & 0xFF), static_cast<uint8_t>(instruction >> 8)};
    held_ = op(xsir) + op(static_cast<uint8_t>(ir_length)) + bytes(v, ir_length);
    return ok_;
}

bool XsvfProbe::dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t* expect, const uint8_t* mask) {
    release();
    if (bits != size_) {
        // A new size: players keep no mask of it yet, so one is always given.
        put(op(xsdrsize) + u32(size_ = bits));
        mask_.clear();
    }
    const std::string all(bytes(nullptr, bits).size(), '\xff');
    const std::string m = !expect ? bytes(nullptr, bits) : mask ? bytes(mask, bits) : all;
    if (m != mask_) put(op(xtdomask) + (mask_ = m));
    // XSDR is judged against the mask in force, here all zeros: no check.
    held_ = expect ? op(xsdrtdo) + bytes(tdi, bits) + bytes(expect, bits) : op(xsdr) + bytes(tdi, bits);
    if (tdo)
        for (int i = 0; i < (bits + 7) / 8; ++i) tdo[i] = expect ? expect[i] : 0;
    return ok_;
}

bool XsvfProbe::idle(uint32_t microseconds) {
    held_wait_ += microseconds;
    return ok_;
}

bool XsvfProbe::reset() {
    release();
    put(op(xstate) + op(xsvf_reset) + op(xstate) + op(xsvf_idle));
    return ok_;
}

bool XsvfProbe::finish() {
    release();
    put(op(xcomplete));
    return ok_;
}

}  // namespace vr::jtag
