// The JTAG primitives an adapter needs, whatever carries the bits to the chip:
// the in-process chip model, OpenOCD, or a recorder that writes them down.
//
// Bit vectors are byte arrays, least significant bit first: bit i is
// (v[i / 8] >> (i % 8)) & 1, and bit 0 is the first bit shifted.
// Every scan starts and ends in Run-Test/Idle.
//
// Kept free of the standard library and the heap: this also builds for a
// small microcontroller.
#pragma once

#include <stdint.h>

namespace vr {
namespace jtag {

const uint16_t ir_length = 10;

class Probe {
public:
    // Scans a 10-bit instruction. False when the probe failed.
    virtual bool ir_scan(uint16_t instruction) = 0;

    // Scans a data register of `bits` bits: shifts tdi in, stores what was
    // captured into tdo (when not null). expect and mask (either may be null)
    // say what the caller will accept back: a probe that records instead of
    // scanning writes them down; a live probe ignores them. False when the
    // probe failed.
    virtual bool dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t* expect,
                         const uint8_t* mask) = 0;

    // Stays in Run-Test/Idle for at least this many microseconds.
    virtual bool idle(uint32_t microseconds) = 0;

    // Test-Logic-Reset, then Run-Test/Idle.
    virtual bool reset() = 0;

    // Why the last call failed, for the operator ("no answer from OpenOCD").
    virtual const char* failure_text() const { return "no answer from the probe"; }

protected:
    ~Probe() {}
};

}  // namespace jtag
}  // namespace vr
