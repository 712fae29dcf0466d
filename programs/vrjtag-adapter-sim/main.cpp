// vrjtag-adapter-sim: the programming-adapter emulator on a pseudo-terminal.
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/options.hpp"
#include "jtag/model/chip_files.hpp"
#include "adapter/line/pty.hpp"
#include "adapter/sim.hpp"

namespace {

std::atomic<bool> stop{false};

void on_signal(int) { stop = true; }

const char synopsis[] =
    "usage: vrjtag-adapter-sim [options] LINK\n"
    "Emulates the programming adapter with one chip on a pseudo-terminal and\n"
    "makes LINK a symbolic link to it (for example ~/.config/varnholme/sim, with\n"
    "\"sim\" as the first line of jtag.ini). Serves until stopped (SIGINT/SIGTERM).\n";

constexpr vr::Option table[] = {
    {"--device", "NAME",
     "the chip: ATF1508AS (default), ATF1504AS, ATF1508ASV, ATF1504ASV, ATF1502AS or ATF1502ASV (which the "
     "protocol does not serve)"},
    {"--idcode", "HEX",
     "the chip answers this IDCODE instead of its own (the adapter then finds no supported chip unless it is "
     "one)"},
    {"--id", "D",
     "identification digit sent instead of the chip's own (0 ATF1504AS, 1 ATF1508AS, 2 ATF1504ASV, 3 "
     "ATF1508ASV)"},
    {"--load", "FILE", "the chip starts holding this JEDEC file"},
    {"--save", "FILE", "the chip's contents are written here when the emulator stops"},
    {"--log", "FILE",
     "every byte in both directions, with time stamps, and every JTAG operation the chip model carried out"},
    {"--no-pacing", "", "send replies at once instead of at 115200 baud"},
    {"--fault", "NAME", "inject a fault (repeatable), one of those below"},
};

const char notes[] =
    "The faults:\n"
    "  no-id            no identification reply\n"
    "  erase-fail       the erase is refused (reply \"er\")\n"
    "  crlf             replies end in CR LF\n"
    "  stall-row=N      a stall of 700 ms inside the reply of address N\n"
    "  wrong-address=N  the reply of address N reports N+1\n"
    "  bad-hex=N        a G among the data digits of address N\n"
    "  nul-row=N        a NUL inside the reply of address N\n"
    "  no-r=N, no-d=N, no-e=N   that marker of address N is wrong\n"
    "  stuck-fuse=N     fuse number N will not program\n"
    "  drop-write=N     the write of address N is lost\n"
    "N is a row (0-250) or a page address (0x100, 0x200, 0x300), decimal or 0x hex.\n";

vr::Options options("vrjtag-adapter-sim", table, synopsis, notes);

}  // namespace

int main(int argc, char** argv) {
    vr::model::ModelOptions chip;
    int id = -1;
    const char *load = nullptr, *save = nullptr, *logname = nullptr, *link = nullptr;
    bool pacing = true;
    vr::sim::Faults faults;
    if (const int status = options.read(argc, argv); status >= 0) return status;
    if (const char* v = options.value("--device"); v && !(chip.chip = vr::model::find_chip(v)))
        return options.fail(std::string("unknown device ") + v);
    long long digit = -1, idcode = -1;
    if (!options.number("--idcode", idcode, 0, 0xFFFFFFFFll, 16)) return options.fail("--idcode needs a hexadecimal IDCODE");
    chip.idcode = idcode;
    if (!options.number("--id", digit, 0, 9)) return options.fail("--id needs one digit");
    id = static_cast<int>(digit);
    load = options.value("--load");
    save = options.value("--save");
    logname = options.value("--log");
    pacing = !options.given("--no-pacing");
    for (int i = 0; i < options.count("--fault"); ++i)
        if (!vr::sim::add_fault(faults, options.value("--fault", i)))
            return options.fail(std::string("unknown fault ") + options.value("--fault", i));
    if (options.operand_count() > 1) return options.fail("too many arguments");
    if (!(link = options.operand(0))) return options.fail("LINK is missing");
    static vr::sim::Adapter adapter(chip, id < 0 ? '\0' : static_cast<char>('0' + id), faults);
    const int32_t code = adapter.code();
    if (load) {
        static vr::FuseMap map;
        if (!vr::model::read_chip_file(load, code, map)) {
            std::fprintf(stderr, "vrjtag-adapter-sim: %s is not an accepted JEDEC file of this device\n", load);
            return 1;
        }
        adapter.load(map);
    }

    vr::line::Pty pty;
    std::string error;
    if (!vr::line::open_pty_link(link, pty, error)) {
        std::fprintf(stderr, "vrjtag-adapter-sim: %s\n", error.c_str());
        return 1;
    }
    std::FILE* log = logname ? std::fopen(logname, "w") : nullptr;
    if (logname && !log) {
        std::perror("vrjtag-adapter-sim: log");
        return 1;
    }
    adapter.set_log(log);

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::printf("%s -> %s\n", link, pty.name.c_str());
    std::fflush(stdout);

    vr::line::serve(pty, link, adapter.receiver(), adapter.link(), pacing, stop, log, adapter.link().t0);

    vr::line::close_pty_link(link, pty);
    int rc = 0;
    if (save) {
        static vr::FuseMap map;
        adapter.save(map);
        if (!vr::model::write_chip_file(save, map, adapter.code())) {
            std::fprintf(stderr, "vrjtag-adapter-sim: cannot write %s\n", save);
            rc = 1;
        }
    }
    if (log) std::fclose(log);
    return rc;
}
