// A probe that writes the JTAG operations down as an XSVF file, the compact
// binary form of SVF that small microcontroller players take. The same
// chip operations as the SVF recording, in the basic instruction set only:
// XREPEAT, XENDIR, XENDDR, XSTATE, XSIR, XSDRSIZE, XTDOMASK, XSDR, XSDRTDO,
// XRUNTEST, XWAIT and XCOMPLETE.
//
// XRUNTEST comes before the scan whose wait it sets, so each scan is held
// until the next call says whether a wait follows it. finish() writes what
// is held and XCOMPLETE.
#pragma once

#include <cstdio>
#include <string>

#include "jtag/probe/probe.hpp"

namespace vr::jtag {

// The XSVF instructions written or read here.
enum XsvfOp : uint8_t {
    xcomplete = 0x00,
    xtdomask = 0x01,
    xsir = 0x02,
    xsdr = 0x03,
    xruntest = 0x04,
    xrepeat = 0x07,
    xsdrsize = 0x08,
    xsdrtdo = 0x09,
    xstate = 0x12,
    xendir = 0x13,
    xenddr = 0x14,
    xwait = 0x17,
};
// XSTATE's and XWAIT's states.
enum XsvfState : uint8_t { xsvf_reset = 0x00, xsvf_idle = 0x01 };

class XsvfProbe final : public Probe {
public:
    explicit XsvfProbe(std::FILE* out);
    bool ir_scan(uint16_t instruction, uint16_t* captured = 0) override;
    bool dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t* expect,
                 const uint8_t* mask) override;
    bool idle(uint32_t microseconds) override;
    bool reset() override;
    // Writes the scan still held and XCOMPLETE; false when a write failed.
    bool finish();
    bool ok() const { return ok_; }

private:
    // Writes the held scan, preceded by the XRUNTEST of the wait that
    // followed it (or XWAIT for a wait that followed no scan).
    void release();
    void put(const std::string& bytes);
    std::FILE* out_;
    std::string held_;      // the scan not yet written
    uint64_t held_wait_ = 0;
    uint32_t runtest_ = 0;  // the XRUNTEST in force
    uint32_t size_ = 0;     // the XSDRSIZE in force (0: none yet)
    std::string mask_;      // the XTDOMASK in force
    bool ok_ = true;
};

}  // namespace vr::jtag
