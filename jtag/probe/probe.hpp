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
// What ir_scan reports when the probe cannot see the captured bits.
const uint16_t no_capture = 0xFFFF;

// Lines for the operator when the chain fails its check (the microcontroller
// adapter, which has no console, keeps only the distinction).
#ifdef __AVR__
inline const char* chain_stuck_1() { return "1"; }
inline const char* chain_stuck_0() { return "0"; }
inline const char* chain_another() { return "+"; }
#else
// One object each in the whole program (inline variables): compared by address.
inline constexpr char tdo_stuck_1[] = "TDO stuck at 1: check wiring and power";
inline constexpr char tdo_stuck_0[] = "TDO stuck at 0: check wiring and power";
inline const char* chain_stuck_1() { return tdo_stuck_1; }
inline const char* chain_stuck_0() { return tdo_stuck_0; }
inline const char* chain_another() {
    return "another device on the chain: declare it in your OpenOCD configuration";
}
// For a chain where nothing answers: the likely way back when a chip of the
// family answered there before.
inline const char* recover_hint() {
    return "if a chip of the family answered here before, its design may have turned its JTAG pins off: "
           "vrjtag-cli recover --device PART brings it back (12 V on OE1)";
}
// Whether an identification's chain problem is a silent line.
inline bool chain_silent(const char* problem) { return problem == chain_stuck_1() || problem == chain_stuck_0(); }
#endif

class Probe {
public:
    // Scans a 10-bit instruction. With captured (not null), the 10 bits the
    // chain shifted out, or no_capture when this probe cannot see them. False
    // when the probe failed.
    virtual bool ir_scan(uint16_t instruction, uint16_t* captured = 0) = 0;

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

    // A wait in Run-Test/Idle in two halves, so that the caller's own work
    // (building a reply) runs while the chip waits: wait_begin starts it,
    // wait_end returns once it has lasted at least that long; no scan comes
    // between them. A probe that cannot overlap waits here at once.
    virtual bool wait_begin(uint32_t microseconds) { return idle(microseconds); }
    virtual bool wait_end() { return true; }

    // A probe may queue the calls of one operation and carry them out
    // together: flush carries out what is queued and says whether all of it
    // succeeded. The chip operations call it at the end of each operation.
    virtual bool flush() { return true; }

    // What the probe itself can tell about the chain beyond the scans (for
    // example the devices OpenOCD found on it): 0 when nothing is wrong, else
    // a line for the operator.
    virtual const char* chain_problem() { return 0; }

    // Why the last call failed, for the operator ("no answer from OpenOCD").
    virtual const char* failure_text() const { return "no answer from the probe"; }

protected:
    ~Probe() {}
};

}  // namespace jtag
}  // namespace vr
