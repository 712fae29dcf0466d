// Short names for the JTAG probes users own, most common first, each mapped
// to the interface file Debian's OpenOCD ships and a clock known to work
// with these chips.
#pragma once

#include <string>
#include <vector>

namespace vr::jtag {

struct ProbeProfile {
    const char* name;
    const char* interface_file;  // under OpenOCD's scripts folder
    const char* driver;          // as `openocd -c "adapter list"` names it
    long khz;                    // default JTAG clock
    const char* what;
    // Tcl commands after the interface file ("" when none): a recovery
    // probe's 12 V switch declared as the signal VPP, and the procedure
    // `vrjtag_vpp on|off` that vrjtag-cli recover calls.
    const char* commands = "";
};

extern const std::vector<ProbeProfile> probe_profiles;

// The profile of a short name, or nullptr (then the name is a configuration file).
const ProbeProfile* find_profile(const std::string& name);

// The drivers this OpenOCD was built with (empty when it cannot be run).
std::vector<std::string> openocd_drivers();

// Where this OpenOCD keeps an interface file, or "" when it has none.
std::string openocd_file(const std::string& relative);
// (Both are the operating system's side: openocd_launch_posix.cpp, _win32.cpp.)

// Why a profile cannot be used with this OpenOCD, or "".
std::string profile_problem(const ProbeProfile& p, const std::vector<std::string>& drivers);

}  // namespace vr::jtag
