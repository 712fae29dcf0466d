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

int fail(const char* what) {
    std::fprintf(stderr, "vrjtag-adapter-sim: %s\n%s", what, usage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    vr::model::ModelOptions chip;
    int id = -1;
    const char *load = nullptr, *save = nullptr, *logname = nullptr, *link = nullptr;
    bool pacing = true;
    vr::sim::Faults faults;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--help" || a == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (a == "--device") {
            const char* v = value();
            if (!v) return fail("--device needs a value");
            if (!(chip.chip = vr::model::find_chip(v))) return fail("unknown device");
        } else if (a == "--idcode") {
            const char* v = value();
            char* end = nullptr;
            const unsigned long long n = v ? std::strtoull(v, &end, 16) : 0;
            if (!v || *end || n > 0xFFFFFFFFull) return fail("--idcode needs a hexadecimal IDCODE");
            chip.idcode = static_cast<int64_t>(n);
        } else if (a == "--id") {
            const char* v = value();
            if (!v || std::strlen(v) != 1 || v[0] < '0' || v[0] > '9') return fail("--id needs one digit");
            id = v[0] - '0';
        } else if (a == "--load") {
            if (!(load = value())) return fail("--load needs a file");
        } else if (a == "--save") {
            if (!(save = value())) return fail("--save needs a file");
        } else if (a == "--log") {
            if (!(logname = value())) return fail("--log needs a file");
        } else if (a == "--no-pacing") {
            pacing = false;
        } else if (a == "--fault") {
            const char* v = value();
            if (!v || !vr::sim::add_fault(faults, v)) return fail("unknown fault");
        } else if (!a.empty() && a[0] != '-' && !link) {
            link = argv[i];
        } else {
            return fail(("unknown argument " + a).c_str());
        }
    }
    if (!link) return fail("LINK is missing");
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

    vr::line::serve(pty, link, adapter.server(), adapter.link(), pacing, stop, log, adapter.link().t0);

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
