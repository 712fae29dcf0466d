// vrjtag-cli: the four actions from a terminal. The action and the file come
// from the command line instead of the action dialog and the file selection;
// everything after that is the same main and action sequence as vrjtag's.
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/text.hpp"
#include "control/adapter_child.hpp"
#include "control/run.hpp"
#include "link/serial.hpp"
#include "ui/terminal.hpp"

namespace {

const char usage[] =
    "usage: vrjtag-cli [--port PATH] [--boot-wait MS] [--force] write|secure|read|verify FILE\n"
    "       vrjtag-cli --probe PROBE [--speed KHZ] [--force] write|secure|read|verify FILE\n"
    "       vrjtag-cli --help\n"
    "Programs, reads or verifies an ATF1504AS/ATF1508AS through the programming\n"
    "adapter, as vrjtag does, from a terminal or a script.\n"
    "\n"
    "  write    write FILE to the chip, without read protection, and verify it\n"
    "  secure   the same, and set read protection\n"
    "  read     read the chip into FILE (a new file; --force replaces one)\n"
    "  verify   compare the chip with FILE\n"
    "  --port PATH  the adapter's device or link (any length) instead of the port\n"
    "               named in jtag.ini\n"
    "  --probe PROBE  run vrjtag-adapter for this run only, on a link of its own,\n"
    "               with a JTAG probe through OpenOCD: a short name (ft232h,\n"
    "               usb-blaster, ft232r, ft2232h, tigard, raspberrypi, cmsis-dap,\n"
    "               jlink; vrjtag-adapter --probe list) or an OpenOCD configuration\n"
    "               file; the adapter and OpenOCD are stopped again afterwards\n"
    "  --speed KHZ  the JTAG clock with --probe\n"
    "  --boot-wait MS  wait this long after opening the port before the first byte\n"
    "               (default 2000: a Nano adapter resets when the port opens and its\n"
    "               bootloader drops what arrives in the first 1.4 s; 0 for adapters\n"
    "               that do not reset; --probe needs none)\n"
    "  --force      let read replace an existing FILE\n"
    "\n"
    "FILE is used exactly as given. The final text is printed last; exit status 0\n"
    "on \"WRITE & VERIFY SUCCESS\", \"VERIFY SUCCESS\" and \"READ & SAVE SUCCESS\", 1 on\n"
    "every other outcome, 2 on a usage error. Ctrl-C (and SIGTERM, SIGHUP, a closed\n"
    "output pipe) is the Cancel button: the run ends through its end sequence,\n"
    "with the adapter released.\n";

int usage_error(const std::string& what) {
    std::fprintf(stderr, "vrjtag-cli: %s\n%s", what.c_str(), usage);
    return 2;
}

void on_signal(int) { vr::terminal::request_cancel(); }

}  // namespace

int main(int argc, char** argv) {
    std::string port, probe, speed, action, file;
    long boot_wait = -1;
    bool force = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (a == "--force") {
            force = true;
        } else if (a == "--port") {
            if (i + 1 >= argc || !*argv[i + 1]) return usage_error("--port needs a path");
            port = argv[++i];
        } else if (a == "--probe") {
            if (i + 1 >= argc || !*argv[i + 1]) return usage_error("--probe needs a probe name or configuration file");
            probe = argv[++i];
        } else if (a == "--boot-wait") {
            char* end = nullptr;
            boot_wait = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : -1;
            if (boot_wait < 0 || boot_wait > 60000 || !end || *end) return usage_error("--boot-wait needs milliseconds (0-60000)");
            ++i;
        } else if (a == "--speed") {
            if (i + 1 >= argc || std::strspn(argv[i + 1], "0123456789") != std::strlen(argv[i + 1]) || !*argv[i + 1])
                return usage_error("--speed needs a number of kHz");
            speed = argv[++i];
        } else if (a.size() > 1 && a[0] == '-' && action.empty() == file.empty()) {
            return usage_error("unknown option " + a);
        } else if (action.empty()) {
            action = a;
        } else if (file.empty()) {
            file = a;
        } else {
            return usage_error("too many arguments");
        }
    }
    const int32_t code = action == "write" ? 1 : action == "secure" ? 2 : action == "read" ? 3 : action == "verify" ? 4 : 0;
    if (!port.empty() && !probe.empty()) return usage_error("--port and --probe exclude each other");
    if (!speed.empty() && probe.empty()) return usage_error("--speed needs --probe");
    if (action.empty()) return usage_error("the action is missing");
    if (code == 0) return usage_error("unknown action " + action);
    if (file.empty()) return usage_error("FILE is missing");
    if (file.size() > vr::name_len)
        return usage_error("FILE is longer than " + std::to_string(vr::name_len) + " characters");
    struct stat st {};
    const bool exists = ::stat(file.c_str(), &st) == 0;
    if (code == 3 && exists && !force) return usage_error(file + " exists: give --force to replace it");
    if (code != 3 && !exists) return usage_error(file + " was not found");

    struct sigaction sa {};
    sa.sa_handler = on_signal;  // a second Ctrl-C does not kill the run before the release either
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a closed output pipe is seen on the write

    vr::AdapterChild adapter;
    if (!probe.empty()) {
        std::string error;
        if (!vr::start_adapter_child(probe, speed, adapter, error)) {
            std::fprintf(stderr, "vrjtag-cli: the adapter did not start:\n%s\n", error.c_str());
            vr::stop_adapter_child(adapter, false);
            return 1;
        }
        port = adapter.link;
    }
    if (!port.empty()) vr::use_port(port);
    vr::set_boot_wait(static_cast<int32_t>(boot_wait >= 0 ? boot_wait : probe.empty() ? 2000 : 0));
    vr::terminal::set_choice(code, file, force);
    vr::main_sequence();
    const int status = vr::terminal::exit_status();
    // The adapter's own lines matter when the run failed.
    vr::stop_adapter_child(adapter, status != 0);
    return status;
}
