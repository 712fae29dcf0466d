// The programming flow: the chip maker's algorithm for each action, run by
// the chip operations on any probe. On a probe that records (the SVF export)
// it writes the vendor's sequence down; on a live probe (the direct route)
// it programs the chip and compares what it reads back.
//
// Every action starts from Test-Logic-Reset and checks the IDCODE in
// programming mode before anything else; every way out leaves programming
// mode. Read protection is programmed only by a secure write, alone and
// last, and only after every word was programmed and read back equal.
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
    // Compare what is read with what is expected (a recording probe reads
    // nothing: it only writes the expected value down).
    bool compare = true;
    // How often the IDCODE is checked before the erase and before read
    // protection (an SVF player may judge a check only after many more).
    int idcode_checks = 1;
    // Read every word back (false: an erase alone, for a recovery whose
    // blank check comes once the 12 V are off again).
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
    } kind = done;
    uint16_t address = 0;     // differs, not_blank: the first such word
    uint16_t bits_differ = 0; // how many of its bits
    uint16_t first_bit = 0;   // the lowest of them
    const char* failure = nullptr;
};

// The progress units of a plan on a layout: ten for the erase, one per word
// programmed or read, one for read protection.
int32_t units(Action action, jtag::Layout layout);

// Runs the action on chip, whose kind is set (identified, or the kind an SVF
// file is written for). map: for write, secure and verify the expected fuses
// (prepared as the programmer prepares them; for secure the read-protection
// fuse 0); for read it receives the words read (fuses outside every word
// stay as they are).
Outcome run(jtag::Chip& chip, const Plan& plan, FuseMap& map, Watch& watch);

}  // namespace vr::flow
