// The chain as OpenOCD sees it, for the operator (above the probes: it names
// the chips it finds).
#pragma once

#include <string>

#include "jtag/probe/openocd_probe.hpp"

namespace vr {

// Prints every device OpenOCD finds on the chain, in its order, with its
// IDCODE and name; a checklist for a dead chain, and the declaration to add
// for a device OpenOCD was not told about. 0 when the chain holds one chip
// of the family and nothing else needs attention, else 1.
int print_chain(jtag::OpenocdProbe& probe, const std::string& tap);

}  // namespace vr
