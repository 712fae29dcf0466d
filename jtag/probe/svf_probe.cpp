#include "jtag/probe/svf_probe.hpp"

#include "common/bits.hpp"

namespace vr::jtag {
namespace {

// The bits as SVF hex: most significant digit first, lower case (zeros for
// no bits given).
std::string hex(const uint8_t* v, uint16_t bits) {
    std::string s((bits + 3) / 4, '0');
    if (v) field_from_word(v, bits, static_cast<uint8_t>(s.size()), s.data(), true);
    return s;
}

}  // namespace

SvfProbe::SvfProbe(std::FILE* out) : out_(out) {
    put("TRST ABSENT;\nENDIR IDLE;\nENDDR IDLE;\nHDR 0;\nHIR 0;\nTDR 0;\nTIR 0;\n");
}

void SvfProbe::put(const std::string& s) {
    if (std::fputs(s.c_str(), out_) < 0) ok_ = false;
}

void SvfProbe::comment(const std::string& text) { put("// " + text + "\n"); }

bool SvfProbe::ir_scan(uint16_t instruction, uint16_t* captured) {
    if (captured) *captured = no_capture;
    const uint8_t v[2] = {static_cast<uint8_t>(instruction & 0xFF), static_cast<uint8_t>(instruction >> 8)};
    put("SIR " + std::to_string(ir_length) + " TDI (" + hex(v, ir_length) + ");\n");
    return ok_;
}

bool SvfProbe::dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t* expect, const uint8_t* mask) {
    std::string s = "SDR " + std::to_string(bits) + " TDI (" + hex(tdi, bits) + ")";
    if (expect) {
        s += "\n\tTDO (" + hex(expect, bits) + ")";
        if (mask) s += "\n\tMASK (" + hex(mask, bits) + ")";
    }
    put(s + ";\n");
    if (tdo)
        for (int i = 0; i < (bits + 7) / 8; ++i) tdo[i] = expect ? expect[i] : 0;
    return ok_;
}

bool SvfProbe::idle(uint32_t microseconds) {
    put("STATE IDLE;\nRUNTEST " + std::to_string(microseconds) + "E-6 SEC;\n");
    return ok_;
}

bool SvfProbe::reset() {
    put("STATE RESET;\nSTATE IDLE;\n");
    return ok_;
}

}  // namespace vr::jtag
