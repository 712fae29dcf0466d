#include "jtag/probe/profiles.hpp"

#include "jtag/probe/openocd_launch.hpp"

#include <algorithm>
#include <cstdio>

namespace vr::jtag {

const std::vector<ProbeProfile> probe_profiles = {
    {"ft232h", "interface/ftdi/um232h.cfg", "ftdi", 1000,
     "FT232H boards (UM232H, Adafruit FT232H): AD0 TCK, AD1 TDI, AD2 TDO, AD3 TMS"},
    // AD4 starts low (the switch off) and drives the 12 V switch for recover.
    {"ft232h-vpp", "interface/ftdi/um232h.cfg", "ftdi", 1000,
     "FT232H as ft232h, with AD4 switching 12 V onto OE1 for vrjtag-cli recover",
     "ftdi layout_init 0xffe8 0xfffb; ftdi layout_signal VPP -data 0x0010; "
     "proc vrjtag_vpp {on} {ftdi set_signal VPP $on}"},
    {"usb-blaster", "interface/altera-usb-blaster.cfg", "usb_blaster", 1000, "USB-Blaster and its clones"},
    {"ft232r", "interface/ft232r.cfg", "ft232r", 100, "FT232R boards, bit-banged (slow: 100 kHz)"},
    {"ft2232h", "interface/ftdi/minimodule.cfg", "ftdi", 1000,
     "FT2232H Mini-Module, channel A (other FT2232H boards: tigard, or a configuration file)"},
    {"tigard", "interface/ftdi/tigard.cfg", "ftdi", 1000, "Tigard (FT2232H), its JTAG header"},
    {"raspberrypi", "interface/raspberrypi-native.cfg", "bcm2835gpio", 500,
     "Raspberry Pi header: GPIO 11 TCK, 25 TMS, 10 TDI, 9 TDO (3.3 V: level shifter for 5 V chips)"},
    {"raspberrypi-sysfs", "interface/sysfsgpio-raspberrypi.cfg", "sysfsgpio", 100,
     "Raspberry Pi header through sysfs, same pins (slow: 100 kHz)"},
    {"cmsis-dap", "interface/cmsis-dap.cfg", "cmsis-dap", 1000, "CMSIS-DAP probes"},
    {"jlink", "interface/jlink.cfg", "jlink", 1000, "SEGGER J-Link"},
};

const ProbeProfile* find_profile(const std::string& name) {
    for (const ProbeProfile& p : probe_profiles)
        if (name == p.name) return &p;
    return nullptr;
}

std::string profile_problem(const ProbeProfile& p, const std::vector<std::string>& drivers) {
    if (drivers.empty()) return "openocd cannot be run (install OpenOCD: Debian's openocd package, or openocd.exe on PATH)";
    if (openocd_file(p.interface_file).empty()) return std::string("this OpenOCD has no ") + p.interface_file;
    if (std::find(drivers.begin(), drivers.end(), p.driver) == drivers.end())
        return std::string("this OpenOCD was built without the ") + p.driver + " driver that " + p.name + " needs";
    return "";
}

}  // namespace vr::jtag

namespace vr::jtag {
namespace {
std::string& program() {
    static std::string p = "openocd";
    return p;
}
}  // namespace

void set_openocd_program(const std::string& path) { program() = path; }

std::vector<std::string> openocd_arguments(const std::vector<std::string>& probes, long khz, const std::string& tap,
                                           const std::string& tap_file) {
    std::vector<std::string> args;
    // A probe is a configuration file, or "-c COMMANDS" after its profile's.
    for (const std::string& f : probes) {
        if (f.rfind("-c ", 0) == 0) args.insert(args.end(), {"-c", f.substr(3)});
        else args.insert(args.end(), {"-f", f});
    }
    args.insert(args.end(), {"-c", "adapter speed " + std::to_string(khz), "-c",
                             "if {[lsearch -exact [jtag names] {" + tap + "}] < 0} {source {" + tap_file + "}}", "-c",
                             "bindto 127.0.0.1; tcl_port 0; gdb_port disabled; telnet_port disabled"});
    return args;
}
const std::string& openocd_program() { return program(); }

bool resolve_probes(std::vector<std::string>& probes, long& khz, std::string& error, std::string& note) {
    std::vector<std::string> resolved;
    for (const std::string& p : probes) {
        const ProbeProfile* profile = find_profile(p);
        if (!profile) {
            resolved.push_back(p);
            continue;
        }
        const std::string problem = profile_problem(*profile, openocd_drivers());
        if (!problem.empty()) return error = "--probe " + p + ": " + problem, false;
        if (khz == 0) khz = profile->khz;
        resolved.push_back(profile->interface_file);
        if (*profile->commands) resolved.push_back(std::string("-c ") + profile->commands);
    }
    probes = resolved;
    if (khz == 0) khz = 1000;
    if (khz > 10000) {
        note = "--speed " + std::to_string(khz) + " kHz is above the chips' 10 MHz: 10000 used";
        khz = 10000;
    }
    return true;
}

}  // namespace vr::jtag
