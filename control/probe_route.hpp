// The direct route's probe, wherever it is named (vrjtag-cli's options, or
// jtag.ini's probe= line for the windowed program): opened for one run and
// closed again, OpenOCD started and stopped with it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "jtag/probe/openocd_probe.hpp"
#include "jtag/probe/probe.hpp"
#include "jtag/probe/vpp.hpp"

namespace vr {

struct ProbeRoute {
    std::vector<std::string> probes;  // OpenOCD started for the run: profile names or configuration files
    long khz = 0;                     // its JTAG clock (0: the profile's)
    std::string openocd;              // HOST:PORT of an OpenOCD already running
    std::string tap = "atf15xx.tap";
    std::string nano;                 // the port of the Nano in probe mode
    long boot_wait = -1;              // the Nano's (-1: 2000 ms)
    std::string rbb;                  // HOST:PORT of a remote_bitbang server
    std::string logname;              // OpenOCD's commands or the Nano's bytes, time-stamped
    std::string device;               // the part the chip must be, or ""
    std::string openocd_exe;          // the OpenOCD program, or "" (openocd from PATH)
};

// jtag.ini's lines: true when the first reads probe=PROBE (then route holds
// it, or why says what is wrong with the lines); false when it names a port.
//   probe=PROFILE or probe=CONFIG.cfg    OpenOCD started for the run
//   probe=nano:PATH                      the Nano in probe mode
//   probe=remote_bitbang:HOST:PORT       a remote_bitbang server
//   probe=openocd:HOST:PORT              an OpenOCD already running
// and further lines device=PART, speed=KHZ, openocd=PATH.
bool route_from_config(const std::vector<std::string>& lines, ProbeRoute& route, std::string& why);

// Whether the route may have a 12 V switch for a recovery: the Nano, a
// remote_bitbang server (its SRST), an OpenOCD already running, a profile or
// configuration file that defines vrjtag_vpp. The recovery itself asks the
// opened probe before anything is switched on.
bool route_may_switch_vpp(const ProbeRoute& route);

// The probe opened: body(probe, its VPP switch, the OpenOCD probe or null)
// runs on it, the probe is closed and OpenOCD stopped; body's status. When
// the probe cannot be opened: 1, and say() has been told why. say() also
// hears OpenOCD's own errors after a failed run.
using ProbeBody = std::function<int(jtag::Probe&, jtag::VppSwitch&, jtag::OpenocdProbe*)>;
int on_probe(const ProbeRoute& route, const ProbeBody& body, const std::function<void(const std::string&)>& say);

}  // namespace vr
