#include "control/openocd_chain.hpp"
#include "control/scan.hpp"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "jtag/chip/facts.hpp"
#include "jtag/chip/texts.hpp"

namespace vr {

int print_chain(jtag::OpenocdProbe& probe, const std::string& tap) {
    std::string examined, names;
    if (!probe.command("capture {jtag arp_init}", examined) || !probe.command("jtag names", names)) {
        scan_print("no answer from OpenOCD: %s\n", probe.failure_text());
        return 1;
    }
    const bool ones = examined.find("all ones") != std::string::npos;
    if (ones || examined.find("all zeroes") != std::string::npos) {
        scan_print("the chain reads all %s: no device answers. Check:\n"
                    "  - the board is powered (the chip's VCC), and GND is joined between probe and board\n"
                    "  - TDI and TDO are not swapped (probe TDI to chip TDI, chip TDO to probe TDO)\n"
                    "  - TCK and TMS reach the chip (and the chip's JTAG pins were not made I/O)\n"
                    "  - a lower clock works (--speed 100), with short wires\n"
                    "  - %s\n",
                    ones ? "ones" : "zeros", jtag::recover_hint());
        return 1;
    }
    int position = 0, family = 0, undeclared = 0;
    std::istringstream list(names);
    for (std::string name; list >> name;) {
        ++position;
        const std::string found = "JTAG tap: " + name + " tap/device found: 0x";
        const std::size_t at = examined.find(found);
        if (at == std::string::npos) {
            scan_print("%d  %-14s no IDCODE (a device in BYPASS after reset)  unknown\n", position, name.c_str());
        } else {
            const uint32_t idcode = static_cast<uint32_t>(std::strtoul(examined.c_str() + at + found.size(), nullptr, 16));
            const int8_t kind = jtag::chip_kind_of(idcode);
            scan_print("%d  %-14s IDCODE 0x%08X  %s\n", position, name.c_str(), idcode,
                        jtag::chip_name(kind));
            family += kind >= 0;
        }
        if (name.rfind("auto", 0) == 0) {
            ++undeclared;
            const std::string base = name.substr(0, name.find('.'));
            scan_print("   not declared: add it to your OpenOCD configuration, in its place in the chain:\n"
                        "   jtag newtap %s tap -irlen IR_LENGTH    (IR_LENGTH from the device's BSDL file)\n",
                        base.c_str());
        }
    }
    const bool capture_error = examined.find("IR capture error") != std::string::npos;
    if (capture_error)
        scan_print("OpenOCD: IR capture error: the instruction lengths declared do not match the chain\n");
    if (names.find(tap) == std::string::npos) scan_print("no TAP named %s\n", tap.c_str());
    const bool sound = family == 1 && undeclared == 0 && !capture_error;
    scan_print("%s\n", sound ? "one chip of the family, alone on a sound chain: ready"
                               : family == 0 ? "no chip of the family found" : "the chain needs attention (see above)");
    return sound ? 0 : 1;
}

}  // namespace vr
