// A probe that writes the JTAG operations down as an SVF file instead of
// carrying them out: the same chip operations, a second output. A data scan
// with an expected value is written with TDO and MASK; what it "captures" is
// that expected value (or zeros), so the operations go on as if the chip
// had answered as expected.
#pragma once

#include <cstdio>
#include <string>

#include "jtag/probe/probe.hpp"

namespace vr::jtag {

class SvfProbe final : public Probe {
public:
    explicit SvfProbe(std::FILE* out);
    bool ir_scan(uint16_t instruction, uint16_t* captured = 0) override;
    bool dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t* expect,
                 const uint8_t* mask) override;
    bool idle(uint32_t microseconds) override;
    bool reset() override;
    // A comment line ("// text").
    void comment(const std::string& text);
    bool ok() const { return ok_; }

private:
    void put(const std::string& s);
    std::FILE* out_;
    bool ok_ = true;
};

}  // namespace vr::jtag
