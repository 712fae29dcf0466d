// vrjtag-chip-model: the JTAG-level chip model as a remote_bitbang server,
// so that OpenOCD (and anything driving it) can program a chip without
// hardware.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/options.hpp"
#include "jtag/model/chip_files.hpp"
#include "jtag/model/model_probe.hpp"

namespace {

volatile sig_atomic_t stop = 0;
void on_signal(int) { stop = 1; }

const char synopsis[] =
    "usage: vrjtag-chip-model --device NAME [options] --port N\n"
    "A JTAG-level model of one ATF1502AS/ATF1504AS/ATF1508AS family chip, served with\n"
    "OpenOCD's remote_bitbang protocol on 127.0.0.1:N to one client at a time. It\n"
    "listens before anything else; --port 0 takes a free port. The first line\n"
    "printed is \"listening on 127.0.0.1:N\". When the client quits ('Q'), when no\n"
    "new client comes within --rejoin-ms of a connection that closed without 'Q'\n"
    "(the chip keeps its state across clients, as a powered chip does when its\n"
    "probe goes away), or on SIGTERM/SIGINT it writes --save and exits 0.\n";

constexpr vr::Option table[] = {
    {"--device", "NAME", "ATF1504AS, ATF1508AS, ATF1502AS, or their 3.3 V parts ATF1504ASV, ATF1508ASV, ATF1502ASV"},
    {"--idcode", "HEX", "answer this IDCODE instead of the chip's own"},
    {"--load", "FILE", "the chip starts holding this JEDEC file (else erased)"},
    {"--save", "FILE", "the chip's contents, as a JEDEC file of the whole fuse count"},
    {"--log", "FILE",
     "every erase, program (address and word) and read carried out, in order, and every operation refused"},
    {"--flip-read", "A", "(for tests) reads of word A (hex) come back with bit 0 inverted"},
    {"--stuck-fuse", "N", "(for tests) JEDEC fuse N will not program (stays 1)"},
    {"--chain-extra", "N",
     "another device on the chain, with an N-bit instruction register and no IDCODE, between TDI and the chip"},
    {"--chain-extra-after", "N", "the same, between the chip and TDO"},
    {"--tdo-stuck", "B", "TDO reads B (0 or 1) whatever the chip drives (a dead line)"},
    {"--no-clock", "", "do not time the waits (for SVF playback, see below)"},
    {"--rejoin-ms", "MS", "how long to wait for a new client after one went away without quitting (default 10000)"},
    {"--vhh", "",
     "OE1 starts at VHH (12 V); later SRST over remote_bitbang sets it: asserted ('s', 'u') on, released ('r', "
     "'t') off"},
    {"--port", "N", "TCP port on 127.0.0.1 (0: a free one)"},
};

const char notes[] =
    "Waits are timed by the wall clock: the time a stay in Run-Test/Idle lasts is\n"
    "the time between the arrivals of the bytes that enter and leave it (the\n"
    "kernel's receive time stamps), clocks counting at most 100 ns each (10 MHz).\n"
    "A read, program or erase pulse, a leave of programming mode or the reset\n"
    "after an erase shorter than the chip maker's is refused as a chip would\n"
    "(the word stays as it was, the read gives zeros, the erase is incomplete)\n"
    "and logged. OpenOCD's SVF player sends the bytes around a RUNTEST without\n"
    "its time between them, so SVF playback needs --no-clock.\n"
    "After read protection is programmed every word reads as\n"
    "zeros until the next erase. A design whose JTAG pin bit is cleared takes the\n"
    "JTAG pins away (TDO reads 1) once programming mode is left, or from the start\n"
    "when loaded, unless OE1 is at VHH; the log shows VHH on and off.\n";

vr::Options opts("vrjtag-chip-model", table, synopsis, notes);

bool send_all(int fd, const std::string& s) {
    std::size_t pos = 0;
    while (pos < s.size()) {
        const ssize_t w = ::send(fd, s.data() + pos, s.size() - pos, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        pos += static_cast<std::size_t>(w);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    vr::model::ModelOptions options;
    options.chip = nullptr;
    options.enforce_waits = true;
    options.clock_ns = 100;
    if (const int status = opts.read(argc, argv); status >= 0) return status;
    if (opts.operand_count() > 0) return opts.fail(std::string("unknown argument ") + opts.operand(0));
    if (const char* v = opts.value("--device"); v && !(options.chip = vr::model::find_chip(v)))
        return opts.fail(std::string("unknown device ") + v);
    const bool vhh = opts.given("--vhh");
    if (opts.given("--no-clock")) {
        options.enforce_waits = false;
        options.clock_ns = 1000;
    }
    long long rejoin_ms = 10000, port = -1, idcode = -1, flip = -1, stuck = -1, extra = 0, after = 0, tdo = -1;
    if (!opts.number("--rejoin-ms", rejoin_ms, 0, 600000)) return opts.fail("--rejoin-ms needs milliseconds");
    if (!opts.number("--idcode", idcode, 0, 0xFFFFFFFFll, 16)) return opts.fail("--idcode needs a hexadecimal IDCODE");
    if (!opts.number("--flip-read", flip, 0, 0xFFF, 16)) return opts.fail("--flip-read needs a hexadecimal address");
    if (!opts.number("--stuck-fuse", stuck, 0, 1 << 20)) return opts.fail("--stuck-fuse needs a fuse number");
    if (!opts.number("--chain-extra", extra, 2, 32) || !opts.number("--chain-extra-after", after, 2, 32))
        return opts.fail("--chain-extra and --chain-extra-after need a length from 2 to 32");
    if (extra && after) return opts.fail("--chain-extra and --chain-extra-after exclude each other");
    if (!opts.number("--tdo-stuck", tdo, 0, 1)) return opts.fail("--tdo-stuck needs 0 or 1");
    if (!opts.number("--port", port, 0, 65535)) return opts.fail("--port needs a number from 0 to 65535");
    options.idcode = idcode;
    options.flip_read = static_cast<int>(flip);
    options.stuck_fuse = static_cast<int>(stuck);
    if (extra || after) options.extra_ir = static_cast<int>(extra ? extra : after);
    options.extra_after = after != 0;
    options.tdo_stuck = static_cast<int>(tdo);
    const char *load = opts.value("--load"), *save = opts.value("--save"), *logname = opts.value("--log");
    if (!options.chip) return opts.fail("--device is missing");
    if (port < 0) return opts.fail("--port is missing");

    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    socklen_t len = sizeof addr;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        std::perror("vrjtag-chip-model: listen");
        return 1;
    }
    std::printf("listening on 127.0.0.1:%u\n", ntohs(addr.sin_port));
    std::fflush(stdout);

    static vr::model::ChipModel model(options);
    const int32_t code = model.code();
    if (load) {
        static vr::FuseMap map;
        if (!vr::model::read_chip_file(load, code, map)) {
            std::fprintf(stderr, "vrjtag-chip-model: %s is not an accepted JEDEC file of this device\n", load);
            return 1;
        }
        model.load(map);
    }
    std::FILE* log = logname ? std::fopen(logname, "w") : nullptr;
    if (logname && !log) {
        std::perror("vrjtag-chip-model: log");
        return 1;
    }
    model.set_log(log);
    if (vhh) model.set_vhh(true);

    struct sigaction sa {};
    sa.sa_handler = on_signal;  // no SA_RESTART: a blocked accept or read returns
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    // One client at a time. One that quits ('Q') ends the model; one whose
    // connection merely closed (a killed OpenOCD) may be followed by another
    // within rejoin_ms, as a powered chip stays what it was when its probe
    // went away.
    int64_t start_ns = -1;
    bool quit = false;
    for (bool first = true; !stop && !quit; first = false) {
        if (!first) {
            pollfd pfd{listener, POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(rejoin_ms)) <= 0) break;
        }
        const int client = ::accept(listener, nullptr, nullptr);
        if (client < 0) {
            if (errno == EINTR) continue;
            std::perror("vrjtag-chip-model: accept");
            break;
        }
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        // The kernel stamps each arrival: a model descheduled for a moment
        // still sees when the bytes came.
        setsockopt(client, SOL_SOCKET, SO_TIMESTAMPNS, &yes, sizeof yes);
        vr::model::Bitbang bitbang(model);
        static char in[65536];
        std::string out;
        bool open = true;
        while (open && !stop) {
            iovec iov{in, sizeof in};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            const ssize_t n = ::recvmsg(client, &msg, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            timespec at{};
            bool stamped = false;
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    std::memcpy(&at, CMSG_DATA(c), sizeof at);
                    stamped = true;
                }
            if (!stamped) clock_gettime(CLOCK_REALTIME, &at);
            const int64_t ns = static_cast<int64_t>(at.tv_sec) * 1000000000 + at.tv_nsec;
            if (start_ns < 0) start_ns = ns;
            if (options.enforce_waits && ns > start_ns) model.catch_up(static_cast<uint64_t>(ns - start_ns));
            out.clear();
            open = bitbang.feed(in, static_cast<std::size_t>(n), out);
            if (!out.empty() && !send_all(client, out)) break;
        }
        quit = !open;
        ::close(client);
    }
    ::close(listener);

    int rc = 0;
    if (save) {
        static vr::FuseMap map;
        model.save(map);
        if (!vr::model::write_chip_file(save, map, code)) {
            std::fprintf(stderr, "vrjtag-chip-model: cannot write %s\n", save);
            rc = 1;
        }
    }
    if (log) std::fclose(log);
    return rc;
}
