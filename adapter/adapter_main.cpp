// vrjtag-adapter: the programming adapter for real chips. Serves the "#8"
// protocol on a pseudo-terminal and carries every command out through
// OpenOCD, which drives the JTAG probe.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "adapter/chip/chip.hpp"
#include "adapter/probe/openocd_probe.hpp"
#include "adapter/probe_profiles.hpp"
#include "adapter/pty.hpp"
#include "adapter/server/server.hpp"
#include "adapter/sim.hpp"

namespace {

std::atomic<bool> stop{false};
std::thread openocd_output;  // copies a started openocd's output to the log
void on_signal(int) { stop = true; }

const char usage[] =
    "usage: vrjtag-adapter --openocd HOST:PORT [--tap NAME] [--log FILE] LINK\n"
    "       vrjtag-adapter --probe PROBE [--probe CONFIG...] [--speed KHZ] [--log FILE] LINK\n"
    "       vrjtag-adapter --scan --probe PROBE [--speed KHZ] | --scan --openocd HOST:PORT\n"
    "       vrjtag-adapter --probe list\n"
    "The programming adapter for real ATF1504AS/ATF1508AS chips: serves vrjtag's\n"
    "adapter protocol on a pseudo-terminal, makes LINK a symbolic link to it (put\n"
    "LINK's name in jtag.ini), and carries out every command through OpenOCD.\n"
    "Serves until SIGINT/SIGTERM; then it finishes the operation under way, leaves\n"
    "programming mode and exits.\n"
    "\n"
    "  --openocd HOST:PORT  use a running OpenOCD's Tcl server (usually port 6666)\n"
    "  --tap NAME           the chip's TAP there (default atf15xx.tap)\n"
    "  --probe PROBE        start openocd for this probe: a short name (--probe list\n"
    "                       shows them: ft232h, usb-blaster, ft232r, ft2232h, tigard,\n"
    "                       raspberrypi, cmsis-dap, jlink, ...) or an OpenOCD\n"
    "                       configuration file (repeatable), plus the chip's TAP\n"
    "                       declaration; stopped again on exit\n"
    "  --speed KHZ          JTAG clock with --probe (default the profile's, else 1000;\n"
    "                       at most 10000)\n"
    "  --scan               list the devices on the chain (position, IDCODE, name) and\n"
    "                       exit: 0 when the chain holds one chip of the family and\n"
    "                       nothing vrjtag-adapter would refuse\n"
    "  --log FILE           every command received, every JTAG operation and its\n"
    "                       result, time-stamped\n"
    "  --help               this text\n"
    "\n"
    "At every identification the chain is checked; nothing is erased and vrjtag\n"
    "ends with \"Programmer not responding, abort\" when the adapter prints:\n"
    "  no chip found (IDCODE 0x...)    nothing answers: power, GND, TDI/TDO, speed\n"
    "  TDO stuck at 1 (or 0): check wiring and power\n"
    "  another device on the chain: declare it in your OpenOCD configuration\n"
    "  IDCODE 0x...: not an ATF1502AS/ATF1504AS/ATF1508AS\n"
    "  ATF1502AS found (...): not programmable through vrjtag's adapter protocol\n"
    "(vrjtag-adapter --scan shows the whole chain.) A secure write's read\n"
    "protection is programmed when vrjtag reads word 100 back, before that reply,\n"
    "and only when every word of the chip was written and read back equal in the\n"
    "run (\"read protection set\", or \"read protection NOT set: REASON\"). When\n"
    "vrjtag closes the port the adapter leaves programming mode and serves a fresh\n"
    "pseudo-terminal behind LINK.\n";

int fail(const std::string& what) {
    std::fprintf(stderr, "vrjtag-adapter: %s\n%s", what.c_str(), usage);
    return 2;
}

// The adapter: the protocol server over the OpenOCD probe.
struct RealAdapter {
    vr::jtag::OpenocdProbe probe;
    vr::sim::ChunkLink chunks;
    vr::jtag::Server server;
    RealAdapter(const std::string& host, const std::string& port, const std::string& tap) : probe(host, port, tap) {
        vr::jtag::server_init(server, probe, chunks);
    }
};

// The TAP declaration: next to the program in the build tree, or in the
// package's data folder.
std::string tap_config() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
    dir = dir.substr(0, dir.rfind('/'));
    for (const std::string& p : {dir + "/atf15xx.cfg", dir + "/../share/vrjtag/openocd/atf15xx.cfg"})
        if (access(p.c_str(), R_OK) == 0) return p;
    return {};
}

// Starts openocd with the probe's configuration and our TAP on a free local
// Tcl port; returns the port, or "" with the reason in error. Its output
// goes on to the log.
std::string start_openocd(const std::vector<std::string>& probes, long khz, std::FILE* log, double t0, pid_t& pid,
                          std::string& error) {
    const std::string tap = tap_config();
    if (tap.empty()) return error = "the TAP declaration atf15xx.cfg is missing", "";
    std::vector<std::string> args = {"openocd"};
    for (const std::string& p : probes) args.insert(args.end(), {"-f", p});
    args.insert(args.end(), {"-c", "adapter speed " + std::to_string(khz), "-f", tap, "-c",
                             "bindto 127.0.0.1; tcl_port 0; gdb_port disabled; telnet_port disabled"});
    int out[2];
    if (pipe(out) != 0) return error = "pipe failed", "";
    pid = fork();
    if (pid == 0) {
        dup2(out[1], 1), dup2(out[1], 2), close(out[0]), close(out[1]);
        setpgid(0, 0);  // the operator's Ctrl-C reaches us, and we stop it in order
        prctl(PR_SET_PDEATHSIG, SIGTERM);  // and it does not outlive us
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp("openocd", argv.data());
        std::fprintf(stderr, "cannot run openocd: %s\n", std::strerror(errno));
        _exit(127);
    }
    close(out[1]);
    std::FILE* in = fdopen(out[0], "r");
    std::string port, tail, errors;
    char line[1024];
    while (port.empty() && std::fgets(line, sizeof line, in)) {
        if (log) std::fprintf(log, "%.6f openocd: %s", vr::sim::now_seconds() - t0, line), std::fflush(log);
        tail = line;
        if (std::strncmp(line, "Error: ", 7) == 0) errors += line;  // its reasons, said first
        unsigned p = 0;
        if (std::sscanf(line, "Info : Listening on port %u for tcl connections", &p) == 1) port = std::to_string(p);
    }
    if (port.empty()) {
        const std::string why = errors.empty() ? tail : errors;
        error = "openocd did not start" + (why.empty() ? std::string() : ": " + why);
        while (!error.empty() && error.back() == '\n') error.pop_back();
        std::fclose(in);
        return "";
    }
    // Keep reading its output, so that it never blocks on a full pipe.
    openocd_output = std::thread([in, log, t0] {
        char l[1024];
        while (std::fgets(l, sizeof l, in))
            if (log) std::fprintf(log, "%.6f openocd: %s", vr::sim::now_seconds() - t0, l), std::fflush(log);
        std::fclose(in);
    });
    return port;
}

void stop_openocd(pid_t child) {
    if (child > 0) {
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
    }
    if (openocd_output.joinable()) openocd_output.join();
}

// --probe list: the profiles, the interface file each uses, and whether this
// OpenOCD can drive it.
int list_profiles() {
    const std::vector<std::string> drivers = vr::sim::openocd_drivers();
    for (const vr::sim::ProbeProfile& p : vr::sim::probe_profiles) {
        const std::string problem = vr::sim::profile_problem(p, drivers);
        std::printf("%-18s %-36s %-12s %5ld kHz  %s%s\n", p.name, p.interface_file, p.driver, p.khz, p.what,
                    problem.empty() ? "" : (" [not usable: " + problem + "]").c_str());
    }
    return 0;
}

// --scan: every device OpenOCD finds on the chain, in its order, with its
// IDCODE and name; a checklist for a dead chain, and the declaration to add
// for a device OpenOCD was not told about.
int scan(vr::jtag::OpenocdProbe& probe, const std::string& tap) {
    std::string examined, names;
    if (!probe.command("capture {jtag arp_init}", examined) || !probe.command("jtag names", names)) {
        std::printf("no answer from OpenOCD: %s\n", probe.failure_text());
        return 1;
    }
    const bool ones = examined.find("all ones") != std::string::npos;
    if (ones || examined.find("all zeroes") != std::string::npos) {
        std::printf("the chain reads all %s: no device answers. Check:\n"
                    "  - the board is powered (the chip's VCC), and GND is joined between probe and board\n"
                    "  - TDI and TDO are not swapped (probe TDI to chip TDI, chip TDO to probe TDO)\n"
                    "  - TCK and TMS reach the chip (and the chip's JTAG pins were not made I/O)\n"
                    "  - a lower clock works (--speed 100), with short wires\n",
                    ones ? "ones" : "zeros");
        return 1;
    }
    int position = 0, family = 0, undeclared = 0;
    std::istringstream list(names);
    for (std::string name; list >> name;) {
        ++position;
        const std::string found = "JTAG tap: " + name + " tap/device found: 0x";
        const std::size_t at = examined.find(found);
        if (at == std::string::npos) {
            std::printf("%d  %-14s no IDCODE (a device in BYPASS after reset)  unknown\n", position, name.c_str());
        } else {
            const uint32_t idcode = static_cast<uint32_t>(std::strtoul(examined.c_str() + at + found.size(), nullptr, 16));
            const int8_t kind = vr::jtag::chip_kind_of(idcode);
            std::printf("%d  %-14s IDCODE 0x%08X  %s\n", position, name.c_str(), idcode,
                        kind >= 0 ? vr::jtag::chip_kinds[kind].name : "unknown");
            family += kind >= 0;
        }
        if (name.rfind("auto", 0) == 0) {
            ++undeclared;
            const std::string base = name.substr(0, name.find('.'));
            std::printf("   not declared: add it to your OpenOCD configuration, in its place in the chain:\n"
                        "   jtag newtap %s tap -irlen IR_LENGTH    (IR_LENGTH from the device's BSDL file)\n",
                        base.c_str());
        }
    }
    const bool capture_error = examined.find("IR capture error") != std::string::npos;
    if (capture_error)
        std::printf("OpenOCD: IR capture error: the instruction lengths declared do not match the chain\n");
    if (names.find(tap) == std::string::npos) std::printf("no TAP named %s\n", tap.c_str());
    const bool sound = family == 1 && undeclared == 0 && !capture_error;
    std::printf("%s\n", sound ? "one chip of the family, alone on a sound chain: ready"
                               : family == 0 ? "no chip of the family found" : "the chain needs attention (see above)");
    return sound ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string openocd, tap = "atf15xx.tap", link, logname;
    std::vector<std::string> probes;
    long khz = 0;
    bool scanning = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (a == "--scan") {
            scanning = true;
            continue;
        }
        const bool takes = a == "--openocd" || a == "--tap" || a == "--probe" || a == "--speed" || a == "--log";
        if (takes && i + 1 >= argc) return fail(a + " needs a value");
        if (a == "--openocd") openocd = argv[++i];
        else if (a == "--tap") tap = argv[++i];
        else if (a == "--probe") probes.push_back(argv[++i]);
        else if (a == "--log") logname = argv[++i];
        else if (a == "--speed") {
            char* end = nullptr;
            khz = std::strtol(argv[++i], &end, 10);
            if (*end || khz <= 0) return fail("--speed needs a number of kHz");
            if (khz > 10000) {
                std::fprintf(stderr, "vrjtag-adapter: --speed %ld kHz is above the chips' 10 MHz: 10000 used\n", khz);
                khz = 10000;
            }
        } else if (!a.empty() && a[0] != '-' && link.empty()) link = a;
        else return fail("unknown argument " + a);
    }
    if (probes.size() == 1 && probes[0] == "list") return list_profiles();
    if (link.empty() && !scanning) return fail("LINK is missing");
    if (openocd.empty() == probes.empty()) return fail("give either --openocd or --probe");
    // Short probe names become the interface file and clock of their profile.
    for (std::string& p : probes) {
        const vr::sim::ProbeProfile* profile = vr::sim::find_profile(p);
        if (!profile) continue;
        const std::string problem = vr::sim::profile_problem(*profile, vr::sim::openocd_drivers());
        if (!problem.empty()) {
            std::fprintf(stderr, "vrjtag-adapter: --probe %s: %s\n", p.c_str(), problem.c_str());
            return 1;
        }
        if (khz == 0) khz = profile->khz;
        p = profile->interface_file;
    }
    if (khz == 0) khz = 1000;

    std::FILE* log = nullptr;
    if (!logname.empty() && !(log = std::fopen(logname.c_str(), "w"))) {
        std::perror("vrjtag-adapter: log");
        return 1;
    }
    const double t0 = vr::sim::now_seconds();

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string host = "127.0.0.1", port;
    pid_t child = -1;
    if (!probes.empty()) {
        std::string error;
        port = start_openocd(probes, khz, log, t0, child, error);
        if (port.empty()) {
            std::fprintf(stderr, "vrjtag-adapter: %s\n", error.c_str());
            stop_openocd(child);
            return 1;
        }
    } else {
        const std::size_t colon = openocd.rfind(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == openocd.size()) return fail("--openocd needs HOST:PORT");
        host = openocd.substr(0, colon);
        port = openocd.substr(colon + 1);
    }

    static RealAdapter adapter(host, port, tap);
    adapter.probe.set_log(log, t0);
    adapter.chunks.log = log;
    adapter.chunks.t0 = t0;
    if (scanning) {
        const int rc = scan(adapter.probe, tap);
        stop_openocd(child);
        if (log) std::fclose(log);
        return rc;
    }

    vr::sim::Pty pty;
    std::string error;
    if (!vr::sim::open_pty_link(link, pty, error)) {
        std::fprintf(stderr, "vrjtag-adapter: %s\n", error.c_str());
        stop_openocd(child);
        return 1;
    }

    // The chip found, without entering programming mode (the board keeps running).
    vr::jtag::Chip& chip = adapter.server.chip;
    const vr::jtag::IdResult id = vr::jtag::chip_identify(chip);
    char found[160];
    vr::jtag::identification_text(chip, id, found, sizeof found);
    std::printf("vrjtag-adapter: %s; serving on %s (-> %s): put its name in jtag.ini%s\n", found, link.c_str(),
                pty.name.c_str(), id == vr::jtag::id_found ? "" : " (vrjtag-adapter --scan lists the chain)");
    std::fflush(stdout);
    if (log) std::fprintf(log, "%.6f start: %s\n", vr::sim::now_seconds() - t0, found), std::fflush(log);
    adapter.chunks.console = true;  // from now on every note goes to the operator too

    vr::sim::serve(pty, link, adapter.server, adapter.chunks, true, stop, log, t0);

    vr::jtag::server_stop(adapter.server);
    vr::sim::close_pty_link(link, pty);
    stop_openocd(child);
    if (log) std::fprintf(log, "%.6f stopped\n", vr::sim::now_seconds() - t0), std::fclose(log);
    return 0;
}
