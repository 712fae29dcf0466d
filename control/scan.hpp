// `scan` on every route: the route's own view of the chain, then the chip
// identification (which names another device on the chain, a silent line,
// a chip outside the family) and, for a chip of the family alone on its
// chain, the link test. Printed for the operator.
#pragma once

#include <functional>
#include <string>

#include "jtag/chip/chip.hpp"
#include "jtag/probe/openocd_probe.hpp"

namespace vr {

// Where scan's lines go: stdout, or (for the connection window) the sink
// given; an empty sink goes back to stdout.
void set_scan_output(std::function<void(const std::string&)> sink);
// printf to scan's output.
void scan_print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Why no chip can be programmed, for the operator: the identification's
// text with its advice; "" when a chip was found.
std::string identification_problem(const jtag::Chip& chip, jtag::IdResult r);

// The link test: the IDCODE read and BYPASS shifted `rounds` times each, the
// bit errors counted; prints what it found. False when a bit was wrong or
// nothing answered. speed_option: the route has --speed, which the advice
// for an unreliable link then names.
bool link_test(jtag::Probe& probe, int rounds, bool speed_option);

// The identification and, for a chip found, the link test. True when both
// are sound.
bool scan_identify(jtag::Probe& probe, bool speed_option);

// scan through OpenOCD: the chain as OpenOCD sees it, then
// scan_identify. 0 when all is sound, else 1.
int scan_openocd(jtag::OpenocdProbe& probe, const std::string& tap, bool speed_option);

// scan through a probe that drives the pins itself (the Nano, a
// remote_bitbang server): the probe's own view, the first IDCODE after a TAP
// reset, then scan_identify. 0 when all is sound, else 1.
int scan_pins(jtag::Probe& probe);

}  // namespace vr
