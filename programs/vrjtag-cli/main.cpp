// vrjtag-cli: the actions from a terminal. Through an adapter (--port) the
// action and the file come from the command line instead of the action
// dialog and the file selection, and everything after that is the same main
// and action sequence as vrjtag's. Through a JTAG probe (--probe, --openocd)
// it runs the programming flow itself.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/options.hpp"
#include "common/text.hpp"
#include "fusemap/jedec.hpp"
#include "tools/check.hpp"
#include "tools/design.hpp"
#include "jtag/chip/facts.hpp"
#include "jtag/chip/texts.hpp"
#include "jtag/probe/nano_probe.hpp"
#include "jtag/probe/openocd_launch.hpp"
#include "jtag/probe/openocd_probe.hpp"
#include "control/scan.hpp"
#include "jtag/probe/rbb_probe.hpp"
#include "os/clock.hpp"
#include "control/direct_sequence.hpp"
#include "control/probe_route.hpp"
#include "os/interrupt.hpp"
#include "control/run.hpp"
#include "link/serial.hpp"
#include "ui/terminal.hpp"

namespace {

const char synopsis[] =
    "usage: vrjtag-cli [--port PATH] [--boot-wait MS] [--force] write|secure|read|verify FILE\n"
    "       vrjtag-cli --probe PROBE [--speed KHZ] [--tap NAME] [--device NAME] [--force] [--log FILE] ACTION [FILE]\n"
    "       vrjtag-cli --openocd HOST:PORT [--tap NAME] [--device NAME] [--force] [--log FILE] ACTION [FILE]\n"
    "       vrjtag-cli --probe nano --port PATH [--boot-wait MS] [--device NAME] [--force] [--log FILE] ACTION [FILE]\n"
    "       vrjtag-cli --probe remote_bitbang --port HOST:PORT [--device NAME] [--force] ACTION [FILE]\n"
    "       vrjtag-cli --probe PROBE | --openocd HOST:PORT scan\n"
    "       vrjtag-cli --help\n"
    "Programs, reads or verifies an ATF15xx CPLD from a terminal or a script.\n"
    "\n"
    "With --port it speaks to a programming adapter (the original one, the Nano,\n"
    "vrjtag-adapter), as vrjtag does: ATF1504AS and ATF1508AS. With --probe or\n"
    "--openocd it programs the chip itself through a JTAG probe that OpenOCD\n"
    "drives, or through the Nano in probe mode (--probe nano --port PATH): the\n"
    "direct route, for every part of the family, ATF1502AS/ASV,\n"
    "ATF1504AS/ASV and ATF1508AS/ASV, with erase and blank check.\n";

// The actions, then the options.
constexpr vr::Option table[] = {
    {"write", "FILE", "write FILE to the chip, without read protection, and verify it"},
    {"secure", "FILE",
     "the same, and set read protection (alone, last, only after every word read back equal)"},
    {"read", "FILE", "read the chip into FILE (a new file; --force replaces one)"},
    {"verify", "FILE", "compare the chip with FILE"},
    {"erase", "", "erase the chip and check that every word reads erased"},
    {"blank", "", "check that every word reads erased"},
    {"scan", "", "list the chain and test the link (IDCODE and BYPASS, 100 times)"},
    {"recover", "[FILE]",
     "bring back a chip whose design turned its JTAG pins off: VPP (12 V on OE1) on, identify it as the part "
     "--device names (it is required), erase it, VPP off, check that it answers and is blank; then write FILE if "
     "given. Needs a probe with a VPP switch: --probe nano (D9), --probe ft232h-vpp (AD4) or --probe "
     "remote_bitbang (SRST)"},
    {"--port", "PATH",
     "the adapter's device or link (any length) instead of the port named in jtag.ini; with --probe nano the "
     "Nano's port, with --probe remote_bitbang the server's HOST:PORT"},
    {"--boot-wait", "MS",
     "wait this long after opening the port before the first byte (default 2000: a Nano adapter resets when the "
     "port opens and its bootloader drops what arrives in the first 1.4 s; 0 for adapters that do not reset)"},
    {"--probe", "PROBE",
     "start OpenOCD for this run with this probe: a short name (ft232h, usb-blaster, ft232r, ft2232h, tigard, "
     "raspberrypi, cmsis-dap, jlink; vrjtag-adapter --probe list) or an OpenOCD configuration file "
     "(repeatable); OpenOCD is stopped again afterwards. nano: the Nano with the vrjtag firmware on --port PATH "
     "as a JTAG probe (no OpenOCD). remote_bitbang: a remote_bitbang server on --port HOST:PORT (such as "
     "vrjtag-chip-model), driven with the Nano firmware's own TAP sequencing; recover switches VPP as SRST"},
    {"--speed", "KHZ", "the JTAG clock with --probe (at most 10000)"},
    {"--openocd-exe", "PATH", "the OpenOCD program --probe starts (default openocd from PATH)"},
    {"--openocd", "HOST:PORT", "an OpenOCD already running (its Tcl port, usually 6666)"},
    {"--tap", "NAME",
     "the chip's TAP (default atf15xx.tap); with --probe the TAP declaration atf15xx.cfg is loaded unless the "
     "configuration declares a TAP of that name itself"},
    {"--device", "NAME",
     "the part the chip must be (ATF1504AS, ATF1502ASV, ...): any other chip is refused before anything is "
     "erased"},
    {"--log", "FILE", "every Tcl command sent to OpenOCD and its answer (with the Nano, every byte), time-stamped"},
    {"--force", "",
     "let read replace an existing FILE; let write and secure write a FILE in which vrjtag-jed check finds a "
     "hazard (the JTAG pins given to the design, say)"},
};

const char notes[] =
    "FILE is used exactly as given (a name starting with '-' as ./-NAME: every\n"
    "other argument starting with '-' is an option). The final text is printed last; exit status 0\n"
    "on \"WRITE & VERIFY SUCCESS\", \"VERIFY SUCCESS\", \"READ & SAVE SUCCESS\",\n"
    "\"ERASE SUCCESS\", \"BLANK CHECK SUCCESS\" and \"RECOVER SUCCESS\" (and a sound scan), 1 on every\n"
    "other outcome, 2 on a usage error. Ctrl-C (and SIGTERM, SIGHUP, a closed\n"
    "output pipe) is the Cancel button: the run ends with programming mode left,\n"
    "the adapter released and OpenOCD stopped.\n";

vr::Options options("vrjtag-cli", table, synopsis, notes);

// The direct route: the chain listed and the link tested (scan), or the action.
int direct(const vr::ProbeRoute& route, const vr::DirectChoice& choice, bool scanning) {
    return vr::on_probe(
        route,
        [&](vr::jtag::Probe& probe, vr::jtag::VppSwitch& vpp, vr::jtag::OpenocdProbe* openocd) {
            if (scanning) return openocd ? vr::scan_openocd(*openocd, route.tap, !route.probes.empty()) : vr::scan_pins(probe);
            vr::DirectChoice c = choice;
            c.vpp = &vpp;
            vr::direct_sequence(c, probe);
            return vr::ui::terminal::exit_status();
        },
        [](const std::string& text) { std::fprintf(stderr, "vrjtag-cli: %s\n", text.c_str()); });
}

// The file's findings (vrjtag-jed check) on stderr; false when it has a
// hazard and --force was not given.
bool force_past_hazards(const std::string& file) {
    std::vector<vr::svf::check::Finding> found;
    if (!vr::svf::check::findings_of_file(file, "", found)) return true;  // the run says why
    bool hazard = false;
    for (const auto& finding : found) {
        if (finding.severity == vr::svf::check::Severity::note) continue;
        std::fprintf(stderr, "vrjtag-cli: %s\n", vr::svf::check::line_of(finding).c_str());
        hazard |= finding.severity == vr::svf::check::Severity::hazard;
    }
    if (!hazard || options.given("--force")) return true;
    std::printf("File hazard: nothing was written; --force writes it anyway, abort\n");
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (const int status = options.read(argc, argv); status >= 0) return status;
    auto usage_error = [](const std::string& what) { return options.fail(what); };
    auto text = [](const char* name, const char* otherwise = "") {
        const char* v = options.value(name);
        return std::string(v ? v : otherwise);
    };
    const std::string port = text("--port"), openocd = text("--openocd"), tap = text("--tap", "atf15xx.tap"),
                      device = text("--device"), logname = text("--log");
    std::vector<std::string> probes;
    for (int i = 0; i < options.count("--probe"); ++i) probes.push_back(options.value("--probe", i));
    long long boot_wait = -1, khz = 0;
    if (!options.number("--boot-wait", boot_wait, 0, 60000)) return usage_error("--boot-wait needs milliseconds (0-60000)");
    if (!options.number("--speed", khz, 1, 1000000)) return usage_error("--speed needs a number of kHz");
    const bool force = options.given("--force");
    if (const char* exe = options.value("--openocd-exe")) vr::jtag::set_openocd_program(exe);
    const std::size_t colon = openocd.rfind(':');
    if (options.given("--openocd") && (colon == std::string::npos || colon == 0 || colon + 1 == openocd.size()))
        return usage_error("--openocd needs HOST:PORT");
    if (options.operand_count() > 2) return usage_error("too many arguments");
    const std::string action = options.operand(0) ? options.operand(0) : "";
    const std::string file = options.operand(1) ? options.operand(1) : "";
    const bool nano = probes.size() == 1 && probes[0] == "nano";
    const bool rbb = probes.size() == 1 && probes[0] == "remote_bitbang";
    if (nano && port.empty()) return usage_error("--probe nano needs --port PATH");
    if (rbb && port.empty()) return usage_error("--probe remote_bitbang needs --port HOST:PORT");
    if (rbb && !logname.empty()) return usage_error("--log is for OpenOCD and the Nano");
    // Probes that take their line from --port.
    const bool on_port = nano || rbb;
    const bool direct_route = !probes.empty() || !openocd.empty();
    const int32_t code = action == "write" ? 1 : action == "secure" ? 2 : action == "read" ? 3 : action == "verify" ? 4 : 0;
    const bool no_file = action == "erase" || action == "blank" || action == "scan";
    const bool recovering = action == "recover";
    if ((!port.empty() && !on_port) + (!probes.empty()) + (!openocd.empty()) > 1)
        return usage_error("--port, --probe and --openocd exclude each other");
    if (options.given("--speed") && (probes.empty() || on_port)) return usage_error("--speed needs --probe with OpenOCD");
    if (!direct_route && (!device.empty() || !logname.empty() || tap != "atf15xx.tap"))
        return usage_error("--device, --tap and --log need --probe or --openocd");
    if (direct_route && !nano && boot_wait >= 0) return usage_error("--boot-wait is for --port");
    if (on_port && tap != "atf15xx.tap") return usage_error("--tap is for OpenOCD");
    if (action.empty()) return usage_error("the action is missing");
    if (code == 0 && !(direct_route && (no_file || recovering))) return usage_error("unknown action " + action);
    if (no_file && !file.empty()) return usage_error(action + " takes no FILE");
    if (!no_file && !recovering && file.empty()) return usage_error("FILE is missing");
    if (recovering && device.empty()) return usage_error("recover needs --device PART: the chip cannot be identified before VPP is on");
    if (file.size() > vr::name_len)
        return usage_error("FILE is longer than " + std::to_string(vr::name_len) + " characters");
    if (!device.empty() && vr::jtag::chip_kind_named(device) < 0) return usage_error("unknown device " + device);
    struct stat st {};
    const bool exists = !file.empty() && ::stat(file.c_str(), &st) == 0;
    if (code == 3 && exists && !force) return usage_error(file + " exists: give --force to replace it");
    if (code != 3 && !no_file && !file.empty() && !exists) return usage_error(file + " was not found");
    if (!direct_route && code != 3 && (vr::svf::is_svf(file) || vr::svf::is_xsvf(file)))
        return usage_error("an SVF or XSVF file is taken on the direct route (--probe, --openocd); for an adapter, "
                           "vrjtag-jed svf2jed (xsvf2jed) makes a JEDEC file of it");

    vr::os::catch_interrupts(vr::ui::terminal::request_cancel);

    if (direct_route) {
        vr::DirectChoice choice;
        static const vr::flow::Action actions[] = {vr::flow::Action::write, vr::flow::Action::secure,
                                                   vr::flow::Action::read, vr::flow::Action::verify};
        choice.action = code ? actions[code - 1] : action == "erase" ? vr::flow::Action::erase : vr::flow::Action::blank;
        choice.recover = recovering;
        if (recovering) choice.action = vr::flow::Action::write;
        choice.file = file;
        choice.device = device;
        choice.force = force;
        vr::ProbeRoute route;
        if (nano) route.nano = port, route.boot_wait = static_cast<long>(boot_wait);
        else if (rbb) route.rbb = port;
        else route.probes = probes, route.openocd = openocd;
        route.khz = static_cast<long>(khz), route.tap = tap, route.logname = logname;
        return direct(route, choice, action == "scan");
    }
    // The adapter route checks the file here, before the adapter is
    // reached: findings on stderr, a hazard ends the run unless --force.
    if ((code == 1 || code == 2) && !force_past_hazards(file)) return 1;
    if (!port.empty()) vr::use_port(port);
    vr::set_boot_wait(static_cast<int32_t>(boot_wait >= 0 ? boot_wait : 2000));
    vr::ui::terminal::set_choice(code, file, force);
    vr::main_sequence();
    return vr::ui::terminal::exit_status();
}
