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

#include "common/args.hpp"
#include "common/text.hpp"
#include "jtag/chip/facts.hpp"
#include "jtag/chip/texts.hpp"
#include "jtag/probe/nano_probe.hpp"
#include "jtag/probe/openocd_launch.hpp"
#include "jtag/probe/openocd_probe.hpp"
#include "control/scan.hpp"
#include "jtag/probe/rbb_probe.hpp"
#include "os/clock.hpp"
#include "control/direct_sequence.hpp"
#include "os/interrupt.hpp"
#include "control/run.hpp"
#include "link/serial.hpp"
#include "ui/terminal.hpp"

namespace {

const char usage[] =
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
    "ATF1504AS/ASV and ATF1508AS/ASV, with erase and blank check.\n"
    "\n"
    "  write FILE   write FILE to the chip, without read protection, and verify it\n"
    "  secure FILE  the same, and set read protection (alone, last, only after\n"
    "               every word read back equal)\n"
    "  read FILE    read the chip into FILE (a new file; --force replaces one)\n"
    "  verify FILE  compare the chip with FILE\n"
    "  erase        erase the chip and check that every word reads erased\n"
    "  blank        check that every word reads erased\n"
    "  scan         list the chain and test the link (IDCODE and BYPASS, 100 times)\n"
    "  recover [FILE]  bring back a chip whose design turned its JTAG pins off: VPP\n"
    "               (12 V on OE1) on, identify it as the part --device names (it is\n"
    "               required), erase it, VPP off, check that it answers and is\n"
    "               blank; then write FILE if given. Needs a probe with a VPP\n"
    "               switch: --probe nano (D9), --probe ft232h-vpp (AD4) or\n"
    "               --probe remote_bitbang (SRST)\n"
    "  --port PATH  the adapter's device or link (any length) instead of the port\n"
    "               named in jtag.ini\n"
    "  --boot-wait MS  wait this long after opening the port before the first byte\n"
    "               (default 2000: a Nano adapter resets when the port opens and its\n"
    "               bootloader drops what arrives in the first 1.4 s; 0 for adapters\n"
    "               that do not reset)\n"
    "  --probe nano  the Nano with the vrjtag firmware on --port PATH, as a JTAG\n"
    "               probe (no OpenOCD; --boot-wait as for --port)\n"
    "  --probe remote_bitbang  a remote_bitbang server on --port HOST:PORT (such\n"
    "               as vrjtag-chip-model), driven with the Nano firmware's own TAP\n"
    "               sequencing (no OpenOCD); recover switches VPP as SRST\n"
    "  --probe PROBE  start OpenOCD for this run with this probe: a short name\n"
    "               (ft232h, usb-blaster, ft232r, ft2232h, tigard, raspberrypi,\n"
    "               cmsis-dap, jlink; vrjtag-adapter --probe list) or an OpenOCD\n"
    "               configuration file; OpenOCD is stopped again afterwards\n"
    "  --speed KHZ  the JTAG clock with --probe (at most 10000)\n"
    "  --openocd-exe PATH  the OpenOCD program --probe starts (default openocd\n"
    "               from PATH)\n"
    "  --openocd HOST:PORT  an OpenOCD already running (its Tcl port, usually 6666)\n"
    "  --tap NAME   the chip's TAP (default atf15xx.tap); with --probe the TAP\n"
    "               declaration atf15xx.cfg is loaded unless the configuration\n"
    "               declares a TAP of that name itself\n"
    "  --device NAME  the part the chip must be (ATF1504AS, ATF1502ASV, ...): any\n"
    "               other chip is refused before anything is erased\n"
    "  --log FILE   every Tcl command sent to OpenOCD and its answer (with the\n"
    "               Nano, every byte), time-stamped\n"
    "  --force      let read replace an existing FILE\n"
    "\n"
    "FILE is used exactly as given (a name starting with '-' as ./-NAME: every\n"
    "other argument starting with '-' is an option). The final text is printed last; exit status 0\n"
    "on \"WRITE & VERIFY SUCCESS\", \"VERIFY SUCCESS\", \"READ & SAVE SUCCESS\",\n"
    "\"ERASE SUCCESS\", \"BLANK CHECK SUCCESS\" and \"RECOVER SUCCESS\" (and a sound scan), 1 on every\n"
    "other outcome, 2 on a usage error. Ctrl-C (and SIGTERM, SIGHUP, a closed\n"
    "output pipe) is the Cancel button: the run ends with programming mode left,\n"
    "the adapter released and OpenOCD stopped.\n";


// The direct route: OpenOCD started for the run (--probe) or already running
// (--openocd), the flow run here.
int direct(std::vector<std::string> probes, long khz, const std::string& openocd, const std::string& tap,
           const std::string& logname, const vr::DirectChoice& choice, bool scanning) {
    std::FILE* log = logname.empty() ? std::tmpfile() : std::fopen(logname.c_str(), "w");
    if (!log && !logname.empty()) return std::perror(("vrjtag-cli: " + logname).c_str()), 1;
    const double t0 = vr::now_seconds();
    std::string host = "127.0.0.1", port, error, note;
    vr::jtag::OpenocdProcess openocd_process;
    auto finish = [&](int status) {
        vr::jtag::stop_openocd(openocd_process);
        // OpenOCD's own complaints matter when the run failed.
        if (status != 0 && log && logname.empty()) {
            std::rewind(log);
            char line[1024];
            while (std::fgets(line, sizeof line, log))
                if (std::strstr(line, "openocd: Error")) std::fprintf(stderr, "vrjtag-cli: %s", std::strstr(line, "openocd: "));
        }
        if (log) std::fclose(log);
        return status;
    };
    if (!probes.empty()) {
        if (!vr::jtag::resolve_probes(probes, khz, error, note)) {
            std::fprintf(stderr, "vrjtag-cli: %s\n", error.c_str());
            return finish(1);
        }
        if (!note.empty()) std::fprintf(stderr, "vrjtag-cli: %s\n", note.c_str());
        if (!vr::jtag::start_openocd(probes, khz, tap, log, t0, openocd_process, error)) {
            std::fprintf(stderr, "vrjtag-cli: %s\n", error.c_str());
            return finish(1);
        }
        port = openocd_process.port;
    } else {
        const std::size_t colon = openocd.rfind(':');
        host = openocd.substr(0, colon);
        port = openocd.substr(colon + 1);
    }
    vr::jtag::OpenocdProbe probe(host, port, tap);
    probe.set_log(log, t0);
    // An OpenOCD of our own that died is started once more, so that the run
    // can take the chip out of programming mode.
    if (!probes.empty())
        probe.set_relaunch([&](std::string& new_port, std::string& why) {
            vr::jtag::stop_openocd(openocd_process);
            if (!vr::jtag::start_openocd(probes, khz, tap, log, t0, openocd_process, why)) return false;
            new_port = openocd_process.port;
            return true;
        });
    if (scanning) {
        return finish(vr::scan_openocd(probe, tap, !probes.empty()));
    }
    vr::DirectChoice c = choice;
    c.vpp = &probe;
    vr::direct_sequence(c, probe);
    return finish(vr::terminal::exit_status());
}

// The direct route on a probe that drives the pins itself: the chain
// listed and the link tested (scan), or the action.
int direct_pins(vr::jtag::Probe& probe, vr::jtag::VppSwitch& vpp, const vr::DirectChoice& choice, bool scanning) {
    if (!scanning) {
        vr::DirectChoice c = choice;
        c.vpp = &vpp;
        vr::direct_sequence(c, probe);
        return vr::terminal::exit_status();
    }
    return vr::scan_pins(probe);
}

// The direct route through the Nano in probe mode.
int direct_nano(const std::string& path, long boot_wait, const std::string& logname, const vr::DirectChoice& choice,
                bool scanning) {
    std::FILE* log = logname.empty() ? nullptr : std::fopen(logname.c_str(), "w");
    if (!log && !logname.empty()) return std::perror(("vrjtag-cli: " + logname).c_str()), 1;
    vr::jtag::NanoProbe probe;
    probe.set_log(log, vr::now_seconds());
    std::string error;
    int status = 1;
    if (!probe.open(path.c_str(), static_cast<int>(boot_wait >= 0 ? boot_wait : 2000), error))
        std::fprintf(stderr, "vrjtag-cli: %s\n", error.c_str());
    else
        status = direct_pins(probe, probe, choice, scanning);
    probe.close();
    if (log) std::fclose(log);
    return status;
}

// The direct route through a remote_bitbang server.
int direct_rbb(const std::string& where, const vr::DirectChoice& choice, bool scanning) {
    vr::jtag::RbbProbe probe;
    std::string error;
    if (!probe.open(where, error)) return std::fprintf(stderr, "vrjtag-cli: %s\n", error.c_str()), 1;
    const int status = direct_pins(probe, probe, choice, scanning);
    probe.close();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::string port, speed, action, file, openocd, tap = "atf15xx.tap", device, logname;
    std::vector<std::string> probes;
    long boot_wait = -1;
    bool force = false;
    vr::Args args(argc, argv, "vrjtag-cli", usage);
    auto usage_error = [&args](const std::string& what) { return args.fail(what); };
    while (args.next()) {
        const std::string& a = args.arg();
        if (args.help()) return args.usage();
        if (a == "--force") {
            force = true;
        } else if (a == "--boot-wait") {
            long long n = 0;
            if (!args.number(n, 0, 60000)) return usage_error("--boot-wait needs milliseconds (0-60000)");
            boot_wait = static_cast<long>(n);
        } else if (a == "--speed") {
            long long n = 0;
            if (!args.number(n, 1, 1000000)) return usage_error("--speed needs a number of kHz");
            speed = std::to_string(n);
        } else if (a == "--port" || a == "--probe" || a == "--openocd" || a == "--tap" || a == "--device" ||
                   a == "--log" || a == "--openocd-exe") {
            const char* v = args.value();
            if (!v) return usage_error(a + " needs a value");
            if (a == "--port") port = v;
            else if (a == "--probe") probes.push_back(v);
            else if (a == "--tap") tap = v;
            else if (a == "--device") device = v;
            else if (a == "--log") logname = v;
            else if (a == "--openocd-exe") vr::jtag::set_openocd_program(v);
            else openocd = v;
            const std::size_t colon = openocd.rfind(':');
            if (a == "--openocd" && (colon == std::string::npos || colon == 0 || colon + 1 == openocd.size()))
                return usage_error("--openocd needs HOST:PORT");
        } else if (a.size() > 1 && a[0] == '-') {
            // Never a file name: a misspelt option must not become one (a
            // file whose name starts with '-' is given as ./-NAME).
            return usage_error("unknown option " + a);
        } else if (action.empty()) {
            action = a;
        } else if (file.empty()) {
            file = a;
        } else {
            return usage_error("too many arguments");
        }
    }
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
    if (!speed.empty() && (probes.empty() || on_port)) return usage_error("--speed needs --probe with OpenOCD");
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

    vr::catch_interrupts(vr::terminal::request_cancel);

    if (direct_route) {
        vr::DirectChoice choice;
        static const vr::flow::Action actions[] = {vr::flow::Action::write, vr::flow::Action::secure,
                                                   vr::flow::Action::read, vr::flow::Action::verify};
        choice.action = code ? actions[code - 1] : action == "erase" ? vr::flow::Action::erase : vr::flow::Action::blank;
        choice.recover = recovering;
        if (recovering) choice.action = vr::flow::Action::write;
        choice.file = file;
        choice.device = device;
        if (nano) return direct_nano(port, boot_wait, logname, choice, action == "scan");
        if (rbb) return direct_rbb(port, choice, action == "scan");
        return direct(probes, speed.empty() ? 0 : std::atol(speed.c_str()), openocd, tap, logname, choice, action == "scan");
    }
    if (!port.empty()) vr::use_port(port);
    vr::set_boot_wait(static_cast<int32_t>(boot_wait >= 0 ? boot_wait : 2000));
    vr::terminal::set_choice(code, file, force);
    vr::main_sequence();
    return vr::terminal::exit_status();
}
