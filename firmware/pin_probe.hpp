// The JTAG probe of the Nano: bit-banged on port C with direct port writes.
// A0 (PC0) TCK, A1 (PC1) TMS, A2 (PC2) TDI, A3 (PC3) TDO (an external
// pull-up; no internal one), A4 (PC4) the target's supply through 10 kOhm,
// read by the ADC. TMS and TDI change with TCK low, in the write before the
// one that raises TCK; TDO is read while TCK is low, before the rise.
#pragma once

#include "adapter/probe/probe.hpp"

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
    // No supply on A4: nothing is worth scanning.
    const char* chain_problem() override;
};

}  // namespace fw
}  // namespace vr
