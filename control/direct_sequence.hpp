// The direct route: the CLI runs the programming flow itself on a JTAG probe
// (OpenOCD's Tcl server), for every part of the family, with erase and blank
// check. Its steps and final texts are shown through the windowing layer as
// the protocol route's are.
#pragma once

#include <string>

#include "jtag/probe/probe.hpp"
#include "jtag/probe/vpp.hpp"
#include "jtag/flow/flow.hpp"

namespace vr {

struct DirectChoice {
    flow::Action action = flow::Action::verify;
    std::string file;    // write, secure, verify: the input; read: the output
    std::string device;  // --device: the part the chip must be, or ""
    // recover: VPP on, identify as `device`, erase, VPP off, answer and
    // blank without it; then write `file` when one is given.
    bool recover = false;
    jtag::VppSwitch* vpp = nullptr;  // the probe's switch, when it has one
};

// Identifies the chip, checks it against the file and --device, runs the
// action and shows the final text; the probe is left out of programming mode.
void direct_sequence(const DirectChoice& choice, jtag::Probe& probe);

// The link test of `scan`: the IDCODE read and BYPASS shifted `rounds` times
// each, the bit errors counted; prints what it found. False when a bit was
// wrong or nothing answered. speed_option: the route has --speed, which the
// advice for an unreliable link then names.
bool link_test(jtag::Probe& probe, int rounds, bool speed_option);

// The end of `scan` on every route, after the route's own view of the chain:
// the chip identification (which names another device on the chain, a
// silent line, a chip outside the family) and, for a chip of the family
// alone on its chain, the link test. True when both are sound.
bool scan_identify(jtag::Probe& probe, bool speed_option);

}  // namespace vr
