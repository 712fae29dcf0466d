// vrjtag-adapter: the programming adapter for real chips. Serves the "#8"
// protocol on a pseudo-terminal and carries every command out through
// OpenOCD, which drives the JTAG probe.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "common/options.hpp"
#include "jtag/chip/chip.hpp"
#include "jtag/chip/texts.hpp"
#include "jtag/probe/openocd_launch.hpp"
#include "jtag/probe/openocd_probe.hpp"
#include "control/scan.hpp"
#include "jtag/probe/profiles.hpp"
#include "adapter/line/pty.hpp"
#include "adapter/server/server.hpp"
#include "adapter/line/serve.hpp"

namespace {

std::atomic<bool> stop{false};
void on_signal(int) { stop = true; }

const char synopsis[] =
    "usage: vrjtag-adapter --openocd HOST:PORT [--tap NAME] [--log FILE] LINK\n"
    "       vrjtag-adapter --probe PROBE [--probe CONFIG...] [--speed KHZ] [--log FILE] LINK\n"
    "       vrjtag-adapter --scan --probe PROBE [--speed KHZ] | --scan --openocd HOST:PORT\n"
    "       vrjtag-adapter --probe list\n"
    "The programming adapter for real ATF1504AS/ATF1508AS chips: serves vrjtag's\n"
    "adapter protocol on a pseudo-terminal, makes LINK a symbolic link to it (put\n"
    "LINK's name in jtag.ini), and carries out every command through OpenOCD.\n"
    "Serves until SIGINT/SIGTERM; then it finishes the operation under way, leaves\n"
    "programming mode and exits.\n";

constexpr vr::Option table[] = {
    {"--openocd", "HOST:PORT", "use a running OpenOCD's Tcl server (usually port 6666)"},
    {"--tap", "NAME", "the chip's TAP there (default atf15xx.tap)"},
    {"--probe", "PROBE",
     "start openocd for this probe: a short name (--probe list shows them: ft232h, usb-blaster, ft232r, "
     "ft2232h, tigard, raspberrypi, cmsis-dap, jlink, ...) or an OpenOCD configuration file (repeatable), plus "
     "the chip's TAP declaration; stopped again on exit"},
    {"--speed", "KHZ", "JTAG clock with --probe (default the profile's, else 1000; at most 10000)"},
    {"--scan", "",
     "list the devices on the chain (position, IDCODE, name), identify the chip and test the link, and exit: 0 "
     "when the chain holds one chip of the family and nothing vrjtag-adapter would refuse"},
    {"--log", "FILE", "every command received, every JTAG operation and its result, time-stamped"},
};

const char notes[] =
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

vr::Options options("vrjtag-adapter", table, synopsis, notes);

// The adapter: the protocol server over the OpenOCD probe.
struct RealAdapter {
    vr::jtag::OpenocdProbe probe;
    vr::line::ChunkLink chunks;
    vr::adapter::Server server;
    RealAdapter(const std::string& host, const std::string& port, const std::string& tap) : probe(host, port, tap) {
        vr::adapter::server_init(server, probe, chunks);
    }
};

// --probe list: the profiles, the interface file each uses, and whether this
// OpenOCD can drive it.
int list_profiles() {
    const std::vector<std::string> drivers = vr::jtag::openocd_drivers();
    for (const vr::jtag::ProbeProfile& p : vr::jtag::probe_profiles) {
        const std::string problem = vr::jtag::profile_problem(p, drivers);
        std::printf("%-18s %-36s %-12s %5ld kHz  %s%s\n", p.name, p.interface_file, p.driver, p.khz, p.what,
                    problem.empty() ? "" : (" [not usable: " + problem + "]").c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (const int status = options.read(argc, argv); status >= 0) return status;
    auto fail = [](const std::string& what) { return options.fail(what); };
    const char* v = nullptr;
    const std::string openocd = (v = options.value("--openocd")) ? v : "";
    const std::string tap = (v = options.value("--tap")) ? v : "atf15xx.tap";
    const std::string logname = (v = options.value("--log")) ? v : "";
    std::vector<std::string> probes;
    for (int i = 0; i < options.count("--probe"); ++i) probes.push_back(options.value("--probe", i));
    long long speed = 0;
    if (!options.number("--speed", speed, 1, 1000000)) return fail("--speed needs a number of kHz");
    long khz = static_cast<long>(speed);
    const bool scanning = options.given("--scan");
    if (options.operand_count() > 1) return fail("too many arguments");
    const std::string link = options.operand(0) ? options.operand(0) : "";
    if (probes.size() == 1 && probes[0] == "list") return list_profiles();
    if (link.empty() && !scanning) return fail("LINK is missing");
    if (openocd.empty() == probes.empty()) return fail("give either --openocd or --probe");
    std::string error, note;
    if (!probes.empty() && !vr::jtag::resolve_probes(probes, khz, error, note)) {
        std::fprintf(stderr, "vrjtag-adapter: %s\n", error.c_str());
        return 1;
    }
    if (!note.empty()) std::fprintf(stderr, "vrjtag-adapter: %s\n", note.c_str());

    std::FILE* log = nullptr;
    if (!logname.empty() && !(log = std::fopen(logname.c_str(), "w"))) {
        std::perror("vrjtag-adapter: log");
        return 1;
    }
    const double t0 = vr::os::now_seconds();

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string host = "127.0.0.1", port;
    vr::jtag::OpenocdProcess child;
    if (!probes.empty()) {
        if (!vr::jtag::start_openocd(probes, khz, tap, log, t0, child, error)) {
            std::fprintf(stderr, "vrjtag-adapter: %s\n", error.c_str());
            vr::jtag::stop_openocd(child);
            return 1;
        }
        port = child.port;
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
        const int rc = vr::scan_openocd(adapter.probe, tap, !probes.empty());
        vr::jtag::stop_openocd(child);
        if (log) std::fclose(log);
        return rc;
    }

    vr::line::Pty pty;
    if (!vr::line::open_pty_link(link, pty, error)) {
        std::fprintf(stderr, "vrjtag-adapter: %s\n", error.c_str());
        vr::jtag::stop_openocd(child);
        return 1;
    }

    // The chip found, without entering programming mode (the board keeps running).
    vr::jtag::Chip& chip = adapter.server.chip;
    const vr::jtag::IdResult id = vr::jtag::chip_identify(chip);
    const std::string found = vr::jtag::identification_text(chip, id);
    std::printf("vrjtag-adapter: %s; serving on %s (-> %s): put its name in jtag.ini%s\n", found.c_str(), link.c_str(),
                pty.name.c_str(), id == vr::jtag::id_found ? "" : " (vrjtag-adapter --scan lists the chain)");
    if (vr::jtag::nothing_answers(chip, id)) std::printf("vrjtag-adapter: %s\n", vr::jtag::recover_hint());
    std::fflush(stdout);
    if (log) std::fprintf(log, "%.6f start: %s\n", vr::os::now_seconds() - t0, found.c_str()), std::fflush(log);
    adapter.chunks.console = true;  // from now on every note goes to the operator too

    vr::line::ServerReceiver receiver(adapter.server);
    vr::line::serve(pty, link, receiver, adapter.chunks, true, stop, log, t0);

    vr::adapter::server_stop(adapter.server);
    vr::line::close_pty_link(link, pty);
    vr::jtag::stop_openocd(child);
    if (log) std::fprintf(log, "%.6f stopped\n", vr::os::now_seconds() - t0), std::fclose(log);
    return 0;
}
