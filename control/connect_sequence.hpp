// The connection window: a separate entry point (vrjtag --connect) that
// chooses, tries and saves how the programmer reaches the chip.
#pragma once

namespace vr {

// Runs the window until the operator closes it.
void connect_sequence();

}  // namespace vr
