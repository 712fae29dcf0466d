// The direct route: the CLI runs the programming flow itself on a JTAG probe
// (OpenOCD's Tcl server), for every part of the family, with erase and blank
// check. Its steps and final texts are shown through the windowing layer as
// the protocol route's are.
#pragma once

#include <string>

#include "common/text.hpp"

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
    // A file with a hazard (vrjtag-jed check) is written anyway: --force, or
    // the operator's yes in the window (ask).
    bool force = false;
    bool ask = false;
};

// Identifies the chip, checks it against the file and --device, runs the
// action and shows the final text; the probe is left out of programming mode.
// In a window of its own.
void direct_sequence(const DirectChoice& choice, jtag::Probe& probe);

// The same in the window already open: the progress dialog, the action, the
// one final message box. The final text is also left in status.
void direct_action(const DirectChoice& choice, jtag::Probe& probe, MsgBuf& status);

}  // namespace vr
