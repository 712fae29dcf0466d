// vrjtag-adapter: the programming adapter for real chips. Serves the "#8"
// protocol on a pseudo-terminal and carries every command out through
// OpenOCD, which drives the JTAG probe.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "adapter/probe/openocd_probe.hpp"
#include "adapter/pty.hpp"
#include "adapter/server/server.hpp"
#include "adapter/sim.hpp"

namespace {

std::atomic<bool> stop{false};
std::thread openocd_output;  // copies a started openocd's output to the log
void on_signal(int) { stop = true; }

const char usage[] =
    "usage: vrjtag-adapter --openocd HOST:PORT [--tap NAME] [--log FILE] LINK\n"
    "       vrjtag-adapter --probe CONFIG [--probe CONFIG...] [--speed KHZ] [--log FILE] LINK\n"
    "The programming adapter for real ATF1504AS/ATF1508AS chips: serves vrjtag's\n"
    "adapter protocol on a pseudo-terminal, makes LINK a symbolic link to it (put\n"
    "LINK's name in jtag.ini), and carries out every command through OpenOCD.\n"
    "Serves until SIGINT/SIGTERM; then it finishes the operation under way, leaves\n"
    "programming mode and exits.\n"
    "\n"
    "  --openocd HOST:PORT  use a running OpenOCD's Tcl server (usually port 6666)\n"
    "  --tap NAME           the chip's TAP there (default atf15xx.tap)\n"
    "  --probe CONFIG       start openocd with this configuration file (repeatable),\n"
    "                       e.g. interface/ftdi/um232h.cfg, plus the chip's TAP\n"
    "                       declaration; stopped again on exit\n"
    "  --speed KHZ          JTAG clock with --probe (default 1000, at most 10000)\n"
    "  --log FILE           every command received, every JTAG operation and its\n"
    "                       result, time-stamped\n"
    "  --help               this text\n"
    "\n"
    "\n"
    "At every identification the chain is checked; nothing is erased and vrjtag\n"
    "ends with \"Programmer not responding, abort\" when the adapter prints:\n"
    "  no chip found (IDCODE 0x...)    nothing answers: power, GND, TDI/TDO, speed\n"
    "  TDO stuck at 1 (or 0): check wiring and power\n"
    "  another device on the chain: declare it in your OpenOCD configuration\n"
    "  IDCODE 0x...: not an ATF1502AS/ATF1504AS/ATF1508AS\n"
    "  ATF1502AS found (...): not programmable through vrjtag's adapter protocol\n"
    "A secure write's read protection is programmed when vrjtag reads word 100\n"
    "back, before that reply, and only when every word of the chip was written\n"
    "and read back equal in the run (\"read protection set\", or \"read\n"
    "protection NOT set: REASON\"). When vrjtag closes the port the adapter leaves\n"
    "programming mode and serves a fresh pseudo-terminal behind LINK.\n";

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
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp("openocd", argv.data());
        std::fprintf(stderr, "cannot run openocd: %s\n", std::strerror(errno));
        _exit(127);
    }
    close(out[1]);
    std::FILE* in = fdopen(out[0], "r");
    std::string port, tail;
    char line[1024];
    while (port.empty() && std::fgets(line, sizeof line, in)) {
        if (log) std::fprintf(log, "%.6f openocd: %s", vr::sim::now_seconds() - t0, line), std::fflush(log);
        tail = line;
        unsigned p = 0;
        if (std::sscanf(line, "Info : Listening on port %u for tcl connections", &p) == 1) port = std::to_string(p);
    }
    if (port.empty()) {
        error = "openocd did not start" + (tail.empty() ? std::string() : ": " + tail);
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

}  // namespace

int main(int argc, char** argv) {
    std::string openocd, tap = "atf15xx.tap", link, logname;
    std::vector<std::string> probes;
    long khz = 1000;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(usage, stdout);
            return 0;
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
    if (link.empty()) return fail("LINK is missing");
    if (openocd.empty() == probes.empty()) return fail("give either --openocd or --probe");

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
    std::printf("vrjtag-adapter: %s; serving on %s (-> %s): put its name in jtag.ini\n", found, link.c_str(),
                pty.name.c_str());
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
