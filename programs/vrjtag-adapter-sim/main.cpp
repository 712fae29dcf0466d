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

#include "common/args.hpp"
#include "jtag/model/chip_files.hpp"
#include "adapter/line/pty.hpp"
#include "adapter/sim.hpp"

namespace {

std::atomic<bool> stop{false};

void on_signal(int) { stop = true; }

const char usage[] =
    "usage: vrjtag-adapter-sim [options] LINK\n"
    "Emulates the programming adapter with one chip on a pseudo-terminal and\n"
    "makes LINK a symbolic link to it (for example ~/.config/varnholme/sim, with\n"
    "\"sim\" as the first line of jtag.ini). Serves until stopped (SIGINT/SIGTERM).\n"
    "\n"
    "  --device NAME   the chip: ATF1508AS (default), ATF1504AS, ATF1508ASV, ATF1504ASV,\n"
    "                  ATF1502AS or ATF1502ASV (which the protocol does not serve)\n"
    "  --idcode HEX    the chip answers this IDCODE instead of its own (the\n"
    "                  adapter then finds no supported chip unless it is one)\n"
    "  --id D          identification digit sent instead of the chip's own\n"
    "                  (0 ATF1504AS, 1 ATF1508AS, 2 ATF1504ASV, 3 ATF1508ASV)\n"
    "  --load FILE     the chip starts holding this JEDEC file\n"
    "  --save FILE     the chip's contents are written here when the emulator stops\n"
    "  --log FILE      every byte in both directions, with time stamps, and every\n"
    "                  JTAG operation the chip model carried out\n"
    "  --no-pacing     send replies at once instead of at 115200 baud\n"
    "  --fault NAME    inject a fault (repeatable):\n"
    "      no-id            no identification reply\n"
    "      erase-fail       the erase is refused (reply \"er\")\n"
    "      crlf             replies end in CR LF\n"
    "      stall-row=N      a stall of 700 ms inside the reply of address N\n"
    "      wrong-address=N  the reply of address N reports N+1\n"
    "      bad-hex=N        a G among the data digits of address N\n"
    "      nul-row=N        a NUL inside the reply of address N\n"
    "      no-r=N, no-d=N, no-e=N   that marker of address N is wrong\n"
    "      stuck-fuse=N     fuse number N will not program\n"
    "      drop-write=N     the write of address N is lost\n"
    "    N is a row (0-250) or a page address (0x100, 0x200, 0x300), decimal or 0x hex.\n"
    "  --help          this text\n";

}  // namespace

int main(int argc, char** argv) {
    vr::model::ModelOptions chip;
    int id = -1;
    const char *load = nullptr, *save = nullptr, *logname = nullptr, *link = nullptr;
    bool pacing = true;
    vr::sim::Faults faults;
    vr::Args args(argc, argv, "vrjtag-adapter-sim", usage);
    long long n = 0;
    while (args.next()) {
        if (args.help()) {
            return args.usage();
        } else if (args.is("--device")) {
            const char* v = args.value();
            if (!v) return args.fail("--device needs a value");
            if (!(chip.chip = vr::model::find_chip(v))) return args.fail("unknown device");
        } else if (args.is("--idcode")) {
            if (!args.number(n, 0, 0xFFFFFFFFll, 16)) return args.fail("--idcode needs a hexadecimal IDCODE");
            chip.idcode = n;
        } else if (args.is("--id")) {
            if (!args.number(n, 0, 9)) return args.fail("--id needs one digit");
            id = static_cast<int>(n);
        } else if (args.is("--load")) {
            if (!(load = args.value())) return args.fail("--load needs a file");
        } else if (args.is("--save")) {
            if (!(save = args.value())) return args.fail("--save needs a file");
        } else if (args.is("--log")) {
            if (!(logname = args.value())) return args.fail("--log needs a file");
        } else if (args.is("--no-pacing")) {
            pacing = false;
        } else if (args.is("--fault")) {
            const char* v = args.value();
            if (!v || !vr::sim::add_fault(faults, v)) return args.fail("unknown fault");
        } else if (args.operand() && !link) {
            link = args.current();
        } else {
            return args.fail("unknown argument " + args.arg());
        }
    }
    if (!link) return args.fail("LINK is missing");
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
