// The JTAG probe of the Nano: bit-banged on port C with direct port writes.
// A0 (PC0) TCK, A1 (PC1) TMS, A2 (PC2) TDI, A3 (PC3) TDO (an external
// pull-up; no internal one), A4 (PC4) the target's supply through 10 kOhm,
// read by the ADC; D8 (PB0) the level-translator strap (to GND when
// translators for a 3.3 V target are fitted); D9 (PB1) VPP, the switch that
// puts 12 V on the chip's OE1 for a recovery (high: on; an input, held low
// by the switch's pull-down, at reset).
//
// The JTAG outputs are released (inputs, no pull-ups) at boot, whenever the
// chip is not in programming mode between commands (release()), and
// whenever the target shows no supply: they are driven only after the
// supply was measured, TCK low and TMS high first, and TCK rests low.
// TMS and TDI change with TCK's fall; TDO is read 1 us after the fall: for
// the chip operations at the end of the low phase, just before TCK rises;
// in probe mode's shifts while TCK is high again (TDO changes only when TCK
// falls). Every wait lasts at least 1.01 times what is asked (a clone's
// resonator may run fast).
#pragma once

#include "jtag/probe/probe.hpp"

namespace vr {
namespace fw {

class PinProbe final : public jtag::Probe {
public:
    void init();
    bool ir_scan(uint16_t instruction, uint16_t* captured = 0) override;
    bool dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t* expect,
                 const uint8_t* mask) override;
    bool idle(uint32_t microseconds) override;
    bool reset() override;
    // The read's wait runs on the timer while the server builds the reply
    // of the word before.
    bool wait_begin(uint32_t microseconds) override;
    bool wait_end() override;
    // The end of an operation: the next one measures the target again.
    bool flush() override;
    // The supplies: no target supply, a 3.3 V target without the strap, or
    // the Nano's own supply too low, is a problem ("-", "v", "s"; the
    // thresholds in jtag/probe/nano_supply.hpp).
    jtag::ChainProblem chain_problem() override;
    // Why the pins could not be driven: a supply problem's code.
    const char* failure_text() const override { return problem_; }

    // The JTAG outputs released: inputs without pull-ups; then VPP off.
    void release();
    // VPP on (only while the supplies are safe: before the pins are driven,
    // so that a chip whose JTAG pins are user I/O has them back as JTAG
    // first) or off; whether it is on now.
    bool vpp(bool on);
    bool vpp_on() const;
    bool driving() const { return driving_; }
    // While driving or VPP is on: the target's supply measured again; false
    // (and the outputs and VPP released) when it is gone.
    bool target_powered();
    // Before a scan: the target measured once per operation, the outputs
    // driven when the supplies allow it (the TAP then in Run-Test/Idle).
    bool drive();

    // Probe mode: `bits` (1 to 8) clocks with TDI and TMS from the bytes,
    // least significant bit first; TDO in the same order. Only while driving.
    uint8_t shift(uint8_t tdi, uint8_t tms, uint8_t bits);
    // The supplies now, in millivolts.
    uint16_t target_mv();
    uint16_t supply_mv();

private:

    const char* problem_ = "-";
    bool driving_ = false;
    bool measured_ = false;  // in this operation
    uint32_t wait_start_ = 0, wait_us_ = 0;
};

}  // namespace fw
}  // namespace vr
