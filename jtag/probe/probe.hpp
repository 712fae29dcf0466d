// The JTAG primitives an adapter needs, whatever carries the bits to the chip:
// the in-process chip model, OpenOCD, or a recorder that writes them down.
//
// Bit vectors are byte arrays, least significant bit first: bit i is
// (v[i / 8] >> (i % 8)) & 1, and bit 0 is the first bit shifted.
// Every scan starts and ends in Run-Test/Idle.
//
// Kept free of the standard library and the heap: this also builds for a
// small microcontroller.
//
// The failure policy, the same for every probe: a call that fails returns
// false and failure_text() says why; the calls after it may fail too until
// the next reset(). reset() is where a probe reaches the chip again when it
// can (reconnecting to OpenOCD, starting an OpenOCD that died once more when
// it started it, a remote_bitbang server's late answers discarded); a probe
// that cannot reach it safely (the Nano, whose line may be out of step) keeps
// failing. After a failed call the flow resets the TAP and leaves
// programming mode through it, and says whether that succeeded.
#pragma once

#include <stdint.h>

namespace vr {
namespace jtag {

const uint16_t ir_length = 10;
// What ir_scan reports when the probe cannot see the captured bits.
const uint16_t no_capture = 0xFFFF;

// What is wrong with the chain, when the chip operations or the probe can
// tell: TDO stuck at 1 or 0 (a silent line), another device in the path, or
// the probe's own finding (failure_text() says what). The texts for the
// operator live on the host (jtag/chip/texts.hpp).
enum ChainProblem : uint8_t { chain_sound, chain_tdo_1, chain_tdo_0, chain_another, chain_probe };

// A silent line: nothing drives TDO (no power, a broken wire, or a chip
// whose JTAG pins were turned off).
inline bool chain_silent(ChainProblem problem) { return problem == chain_tdo_1 || problem == chain_tdo_0; }

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
    // succeeded (a probe that streams its scans may say so of the last few
    // only at its next call). The chip operations call it at the end of each
    // operation.
    virtual bool flush() { return true; }

#ifndef __AVR__
    // Reading ahead, for a probe that streams its scans (the Nano): a data
    // scan whose tdo is filled only when collect() returns true, so that the
    // caller reads several words before it needs the first. batch_end()
    // closes a batch of such scans (at most read_ahead() of them); collect()
    // fills the oldest batch not yet collected, while later ones may still
    // be on their way. When collect() fails and collect_again() holds, only
    // replies arrived damaged: the probe is sound and that batch's scans can
    // be made again. Other probes scan at once. (Not on the firmware's own
    // probe: its vtable would take RAM.)
    virtual bool dr_scan_later(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t* expect,
                               const uint8_t* mask) {
        return dr_scan(bits, tdi, tdo, expect, mask);
    }
    virtual void batch_end() {}
    virtual bool collect() { return flush(); }
    virtual bool collect_again() const { return false; }
    virtual uint8_t read_ahead() { return 1; }
#endif

    // What the probe itself can tell about the chain beyond the scans (for
    // example the devices OpenOCD found on it): chain_sound when nothing is
    // wrong; chain_probe when failure_text() says what.
    virtual ChainProblem chain_problem() { return chain_sound; }

    // Why the last call failed, for the operator ("no answer from OpenOCD").
    virtual const char* failure_text() const { return "no answer from the probe"; }

protected:
    ~Probe() {}
};

}  // namespace jtag
}  // namespace vr
