#include "jtag/model/model_probe.hpp"

#include "jtag/chip/facts.hpp"

namespace vr::model {

ModelProbe::ModelProbe(ChipModel& model) : model_(model) { reset(); }

// From Run-Test/Idle: Select-DR, Select-IR, Capture-IR, Shift-IR; the bits,
// the last one leaving for Exit1-IR; Update-IR; back to Run-Test/Idle.
bool ModelProbe::ir_scan(uint16_t instruction, uint16_t* captured) {
    const bool erase = instruction == jtag::ir_program_erase && ir_ == jtag::ir_latch_erase;
    const bool program = instruction == jtag::ir_program_erase && !erase && selected_ >= 0;
    if (failing || (erase && fail_erase) || (program && selected_ == fail_program)) return false;
    if (program && selected_ == drop_program) return true;
    const uint8_t in[2] = {static_cast<uint8_t>(instruction), static_cast<uint8_t>(instruction >> 8)};
    uint8_t out[2] = {0, 0};
    model_.scan(true, jtag::ir_length, in, out);
    if (captured) *captured = static_cast<uint16_t>(out[0] | out[1] << 8);
    ir_ = instruction;
    return true;
}

bool ModelProbe::dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t*, const uint8_t*) {
    if (failing) return false;
    if (ir_ == jtag::ir_address && tdi) selected_ = tdi[0] | (tdi[1] & 7) << 8;
    model_.scan(false, bits, tdi, tdo);
    return true;
}

bool ModelProbe::idle(uint32_t microseconds) {
    if (failing) return false;
    model_.advance(microseconds);
    tms(0);
    return true;
}

bool ModelProbe::reset() {
    if (failing) return false;
    for (int i = 0; i < 5; ++i) tms(1);
    tms(0);
    return true;
}

bool Bitbang::feed(const char* bytes, std::size_t count, std::string& out) {
    for (std::size_t i = 0; i < count; ++i) {
        const char c = bytes[i];
        if (c >= '0' && c <= '7') {
            // remote_bitbang has no released pins: the first write drives them.
            model_.set_driven(true);
            const int v = c - '0';
            const bool tck = v & 4;
            if (tck && !tck_) model_.clock(v & 2, v & 1);
            tck_ = tck;
        } else if (c == 'R') {
            out += model_.tdo() ? '1' : '0';
        } else if (c >= 'r' && c <= 'u') {
            // The resets: 'r' none, 's' SRST, 't' TRST, 'u' both. SRST
            // stands for VHH on OE1 (a recovery probe's 12 V switch).
            if (c == 't' || c == 'u') model_.trst();
            model_.set_vhh(c == 's' || c == 'u');
        } else if (c == 'Q') {
            return false;
        }
        // 'B'/'b' (the blink LED): nothing to do.
    }
    return true;
}

}  // namespace vr::model
