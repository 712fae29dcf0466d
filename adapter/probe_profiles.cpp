#include "adapter/probe_profiles.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace vr::sim {

const std::vector<ProbeProfile> probe_profiles = {
    {"ft232h", "interface/ftdi/um232h.cfg", "ftdi", 1000,
     "FT232H boards (UM232H, Adafruit FT232H): AD0 TCK, AD1 TDI, AD2 TDO, AD3 TMS"},
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

std::vector<std::string> openocd_drivers() {
    std::vector<std::string> drivers;
    std::FILE* out = popen("openocd -c 'adapter list' -c shutdown 2>&1", "r");
    if (!out) return drivers;
    char line[256];
    while (std::fgets(line, sizeof line, out)) {
        // "3: ftdi"
        std::istringstream in(line);
        std::string number, name;
        if (in >> number >> name && !number.empty() && number.back() == ':') drivers.push_back(name);
    }
    pclose(out);
    return drivers;
}

std::string openocd_file(const std::string& relative) {
    for (const char* dir : {"/usr/share/openocd/scripts/", "/usr/local/share/openocd/scripts/"}) {
        const std::string path = dir + relative;
        if (access(path.c_str(), R_OK) == 0) return path;
    }
    return "";
}

std::string profile_problem(const ProbeProfile& p, const std::vector<std::string>& drivers) {
    if (drivers.empty()) return "openocd cannot be run (install Debian's openocd)";
    if (openocd_file(p.interface_file).empty()) return std::string("this OpenOCD has no ") + p.interface_file;
    if (std::find(drivers.begin(), drivers.end(), p.driver) == drivers.end())
        return std::string("this OpenOCD was built without the ") + p.driver + " driver that " + p.name + " needs";
    return "";
}

}  // namespace vr::sim
