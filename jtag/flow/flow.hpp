// The programming flow: the chip maker's algorithm for each action, run by
// the chip operations on any probe. On a probe that records (the SVF export)
// it writes the vendor's sequence down; on a live probe (the direct route)
// it programs the chip and compares what it reads back.
//
// Every action starts from Test-Logic-Reset and checks the IDCODE in
// programming mode before anything else; every way out leaves programming
// mode. Read protection is programmed only by a secure write, alone and
// last, and only after every word was programmed and read back equal in this
// run: these guarantees hold whatever the caller puts in the Plan.
//
// After a failed probe call the flow resets the TAP (which reaches the chip
// again where the probe can: see the failure policy in jtag/probe/probe.hpp)
// and leaves programming mode; the outcome says whether that succeeded.
#pragma once

#include <cstdint>

#include "jtag/chip/chip.hpp"
#include "fusemap/fusemap.hpp"

namespace vr::flow {

enum class Action { write, secure, verify, read, erase, blank };

enum class Stage { erase, program, read, protect };

// What the flow tells its caller as it goes, and asks it.
class Watch {
public:
    virtual void stage(Stage) {}
    // Progress: units done since the last call (see units()).
    virtual void advance(int32_t) {}
    // Asked before each word: true ends the run (programming mode left).
    virtual bool cancelled() { return false; }
    // Before count IDCODE checks that must be judged before `guards` (the
    // erase, the reads, read protection).
    virtual void checks(int, const char*) {}

protected:
    ~Watch() = default;
};

struct Plan {
    Action action = Action::verify;
    // How often the IDCODE is checked before the erase and before read
    // protection (an SVF player may judge a check only after many more).
    int idcode_checks = 1;
    // Read every word back. Only an erase may go without (a recovery's
    // erase, whose blank check comes once the 12 V are off again); every
    // other action reads back whatever this says.
    bool read_back = true;
};

struct Outcome {
    enum Kind {
        done,
        cancelled,
        probe_failed,  // the probe did not carry a scan out (failure says why)
        wrong_chip,    // the IDCODE check failed: nothing was erased or programmed
        differs,       // a word read back other than expected (write, secure, verify)
        not_blank,     // a word not erased (erase, blank)
        unconfirmed,   // secure: not every word was read back equal, so read protection was not set
    } kind = done;
    uint16_t address = 0;     // differs, not_blank: the first such word
    uint16_t bits_differ = 0; // how many of its bits
    uint16_t first_bit = 0;   // the lowest of them
    // probe_failed, wrong_chip: the probe's reason, as it was at the failure.
    char failure[160] = {};
    // Where the run left the chip: out of programming mode (the TAP reset
    // and CONFIG 000 carried out), or, when the probe could not reach it
    // again after a failure, possibly still in programming mode.
    bool left_programming = true;
};

// The progress units of a plan on a layout: ten for the erase, one per word
// programmed or read, one for read protection.
int32_t units(Action action, jtag::Layout layout);

// Runs the action on chip (identified) through a live probe, comparing every
// word read with what is expected. map: for write, secure and verify the
// expected fuses (prepared as the programmer prepares them; for secure the
// read-protection fuse 0); for read it receives the words read (fuses
// outside every word stay as they are).
Outcome run(jtag::Chip& chip, const Plan& plan, FuseMap& map, Watch& watch);

// The same sequence on a probe that records it (the SVF export), for chip's
// kind: what each read must give is written down with the read for the
// player to compare, and nothing is compared here.
Outcome record(jtag::Chip& chip, const Plan& plan, FuseMap& map, Watch& watch);

}  // namespace vr::flow
