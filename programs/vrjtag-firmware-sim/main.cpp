// vrjtag-firmware-sim: runs the Nano adapter firmware (vrjtag-nano.elf) in
// simavr and makes it an adapter on a pseudo-terminal, as the emulator is
// one. The UART is bridged to the pseudo-terminal (one thread, bytes fed at
// the wire's byte time, the simulation kept to wall-clock time); the JTAG
// pins drive the JTAG-level chip model in process, its clock advanced by
// simulated time, so the model checks the firmware's waits; or, with --rbb,
// any OpenOCD remote_bitbang server plays the chip.
#include <poll.h>
#include <sys/prctl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <thread>

#include <simavr/avr_adc.h>
#include <simavr/avr_ioport.h>
#include <simavr/avr_uart.h>
#include <simavr/sim_avr.h>
#include <simavr/sim_elf.h>

#include "jtag/model/chip_files.hpp"
#include "common/clock.hpp"
#include "common/args.hpp"
#include "common/byte_log.hpp"
#include "common/tcp.hpp"
#include "jtag/model/chip_model.hpp"
#include "adapter/line/pty.hpp"

namespace {

volatile sig_atomic_t stop = 0;
void on_signal(int) { stop = 1; }

const char usage[] =
    "usage: vrjtag-firmware-sim [options] FIRMWARE.elf LINK\n"
    "Runs the adapter firmware of an ATmega328P Nano (vrjtag-nano.elf) in simavr\n"
    "and serves its serial line on a pseudo-terminal, LINK a symbolic link to it.\n"
    "The JTAG pins (A0 TCK, A1 TMS, A2 TDI, A3 TDO) drive the JTAG-level chip model,\n"
    "which checks the firmware's waits against simulated time. Runs until\n"
    "SIGINT/SIGTERM.\n"
    "\n"
    "  --device NAME      the chip: ATF1508AS (default), ATF1504AS, ATF1508ASV,\n"
    "                     ATF1504ASV, ATF1502AS, ATF1502ASV\n"
    "  --load FILE        the chip starts holding this JEDEC file\n"
    "  --save FILE        the chip's contents are written here at the end\n"
    "  --log FILE         the chip model's operations, and every byte on the line\n"
    "  --rbb HOST:PORT    an OpenOCD remote_bitbang server plays the chip instead\n"
    "                     (--device, --load and --save then do not apply)\n"
    "  --reset-on-open    reset the microcontroller when a program opens the port and\n"
    "                     ignore input for 1.4 s, as a Nano's bootloader does\n"
    "  --target-mv MV     the target supply seen on A4 (default 5000; 0: unpowered)\n"
    "  --nano-mv MV       the Nano's own supply (AVcc; default 5000)\n"
    "  --strap            D8 held to GND: level translators are fitted\n"
    "  --tdo-delay-ns N   TDO follows the chip N ns after TCK's fall (a level\n"
    "                     shifter, a long cable)\n"
    "  --wait-margin PPM  the chip model demands every wait this many millionths\n"
    "                     longer than the chip maker's (10000: 1.01 times)\n"
    "  --frame-error N    the Nth byte from the host arrives with a framing error\n"
    "D9 is VPP, the 12 V switch onto OE1: it drives the model's VHH input (with\n"
    "--rbb: SRST).\n"
    "The log also says when the JTAG outputs are driven and released; driving\n"
    "them into a target without a safe supply is logged as a FAULT and makes the\n"
    "exit status 3.\n"
    "  --help             this text\n";


const avr_cycle_count_t byte_cycles = 16000000 / 11520;  // 10 bits at 115200 baud

// 10 bits at the speed the firmware has set (115200, or 1,000,000 in probe
// mode's fast line).
avr_cycle_count_t line_byte_cycles(avr_t* avr) {
    const unsigned ubrr = avr->data[0xC4] | (avr->data[0xC5] & 0x0F) << 8;  // UBRR0L, UBRR0H
    const unsigned per_bit = (avr->data[0xC0] & 0x02) ? 8 : 16;             // UCSR0A's U2X0
    return 10u * per_bit * (ubrr + 1);
}

struct Sim {
    avr_t* avr = nullptr;
    vr::model::ChipModel* model = nullptr;
    vr::line::Pty pty;
    std::string link;
    std::FILE* log = nullptr;
    bool reset_on_open = false;
    double wall0 = 0;
    // The line.
    // What the host sent, each byte with when it arrived (seconds from
    // wall0): a byte is fed no earlier in simulated time than it arrived in
    // wall-clock time, so a simulation that fell behind (descheduled) never
    // sees a host's wait shorter than it was.
    std::deque<std::pair<uint8_t, double>> input;
    bool uart_ready = true;  // simavr's receive FIFO has room
    vr::line::HostWatch host;  // a program has the port open
    double ignore_until = 0; // the bootloader's time after a reset
    double last_open = 0;    // the host's open it counts from
    // The pins.
    uint32_t pins = 0;
    avr_cycle_count_t last_edge = 0;
    // remote_bitbang.
    vr::TcpClient rbb;
    std::string rbb_out;
    bool tdo = false;
    uint32_t target_mv = 5000;
    uint32_t nano_mv = 5000;
    bool strap = false;
    bool strap_due = true;  // port B written since the strap was last applied
    avr_cycle_count_t tdo_delay = 0;  // cycles
    bool pending_tdo = false;
    long frame_error_at = -1;         // the byte (counted from 1) sent with a framing error
    long received = 0;
    uint32_t ddrc = 0;
    int faults = 0;
};
Sim sim;

void log_line(const char* dir, const uint8_t* data, std::size_t n) {
    vr::log_bytes(sim.log, vr::now_seconds() - sim.wall0, dir, data, n);
}

void set_tdo(bool v) {
    sim.tdo = v;
    avr_raise_irq(avr_io_getirq(sim.avr, AVR_IOCTL_IOPORT_GETIRQ('C'), 3), v ? 1 : 0);
}

avr_cycle_count_t apply_tdo(avr_t*, avr_cycle_count_t, void*) {
    set_tdo(sim.pending_tdo);
    return 0;
}

// What the chip drives on TDO after TCK's fall reaches the pin after the delay.
void tdo_after_fall(bool v) {
    if (!sim.tdo_delay) return set_tdo(v);
    sim.pending_tdo = v;
    avr_cycle_timer_register(sim.avr, sim.tdo_delay, apply_tdo, nullptr);
}

bool rbb_flush_read() {
    sim.rbb_out += 'R';
    const bool sent = sim.rbb.send_all(sim.rbb_out.data(), sim.rbb_out.size());
    sim.rbb_out.clear();
    char c = 0;
    return sent && sim.rbb.receive(&c, 1, 10000) == 1 && c == '1';
}

void rbb_flush() {
    if (!sim.rbb.is_open() || sim.rbb_out.empty()) return;
    sim.rbb.send_all(sim.rbb_out.data(), sim.rbb_out.size());
    sim.rbb_out.clear();
}

// Port C changed: simavr raises the pins lowest first, then the whole port,
// so TMS and TDI are read from the whole value at TCK's change.
void on_port(avr_irq_t*, uint32_t value, void*) {
    const uint32_t before = sim.pins;
    sim.pins = value;
    if (((before ^ value) & 7) == 0) return;
    const bool tck = value & 1, was = before & 1;
    if (sim.rbb.is_open()) {
        // '0'-'7' = TCK*4 + TMS*2 + TDI; the port has TCK in bit 0, TMS 1, TDI 2.
        sim.rbb_out += static_cast<char>('0' + ((value & 1) << 2 | (value & 2) | (value >> 2 & 1)));
        if (was && !tck) tdo_after_fall(rbb_flush_read());
        return;
    }
    if (tck && !was) {
        const avr_cycle_count_t now = sim.avr->cycle;
        const uint64_t us = (now - sim.last_edge) / 16;
        sim.last_edge += us * 16;
        if (us > 1) sim.model->advance(us - 1);  // the clock itself counts one
        sim.model->clock(value & 2, value & 4);
    } else if (!tck && was) {
        tdo_after_fall(sim.model->tdo());
    }
}

// Port C's directions: the JTAG outputs (A0-A2) driven or released, and
// whether the target then has a supply they may be driven into.
// D9 (PB1): VPP, the 12 V switch onto OE1: the model's VHH input, or SRST
// over remote_bitbang.
void on_vpp(avr_irq_t*, uint32_t value, void*) {
    const bool on = value & 1;
    if (sim.log) std::fprintf(sim.log, "%.6f vpp %s\n", vr::now_seconds() - sim.wall0, on ? "on" : "off");
    if (sim.rbb.is_open()) sim.rbb_out += on ? 's' : 'r';
    else sim.model->set_vhh(on);
}

void on_direction(avr_irq_t*, uint32_t value, void*) {
    const bool before = sim.ddrc & 7, now = value & 7;
    sim.ddrc = value;
    if (before == now) return;
    if (sim.log) std::fprintf(sim.log, "%.6f jtag pins %s\n", vr::now_seconds() - sim.wall0, now ? "driven" : "released");
    const bool safe = sim.nano_mv >= 4500 && sim.target_mv >= 2000 && (sim.target_mv >= 4400 || sim.strap);
    if (now && !safe) {
        ++sim.faults;
        if (sim.log)
            std::fprintf(sim.log, "FAULT: JTAG pins driven into a target at %u mV (Nano at %u mV%s)\n", sim.target_mv,
                         sim.nano_mv, sim.strap ? ", translators strapped" : "");
    }
}

// Logged a reply at a time, as the emulator logs them.
std::string out_line;
void flush_out_log() {
    log_line("out", reinterpret_cast<const uint8_t*>(out_line.data()), out_line.size());
    out_line.clear();
}

void on_uart_out(avr_irq_t*, uint32_t value, void*) {
    const uint8_t c = static_cast<uint8_t>(value);
    if (sim.pty.master >= 0) (void)!::write(sim.pty.master, &c, 1);
    out_line += static_cast<char>(c);
    if (c == '\r') flush_out_log();
}
void on_xon(avr_irq_t*, uint32_t, void*) { sim.uart_ready = true; }
void on_xoff(avr_irq_t*, uint32_t, void*) { sim.uart_ready = false; }

// One received byte per byte time, while simavr's FIFO has room.
avr_cycle_count_t feed(avr_t* avr, avr_cycle_count_t when, void*) {
    if (!sim.input.empty() && sim.uart_ready && sim.input.front().second <= static_cast<double>(when) / 16e6) {
        const uint8_t c = sim.input.front().first;
        sim.input.pop_front();
        // simavr sets FE0 for a byte raised with UART_INPUT_FE.
        const uint32_t fe = ++sim.received == sim.frame_error_at ? UART_INPUT_FE : 0;
        avr_raise_irq(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT), c | fe);
    }
    return when + line_byte_cycles(avr);
}

// Simulated time never runs ahead of wall-clock time (it may fall behind):
// a host times its waits on its own clock from the replies it sees, as it
// would with a real Nano, and the chip model must not see them shorter.
double sim_ahead(avr_cycle_count_t cycle) {
    return static_cast<double>(cycle) / 16e6 - (vr::now_seconds() - sim.wall0);
}
// When the host last opened the port, on the monotonic clock. A thread of its
// own watches the pseudo-terminal for it, however busy the simulation is, so
// that the bootloader's window after the reset is counted from the open
// itself (as the Nano's, whose reset the open's DTR pulls at once), not from
// whenever the simulation looked at the line.
std::atomic<double> opened_at{0};
std::atomic<int> watched{-1};
// Each fresh pseudo-terminal is a generation; an open counts for its own.
std::atomic<unsigned> generation{0}, opened_generation{~0u};

void watch_opens() {
    bool open = false;
    unsigned seen = generation.load();
    while (!stop) {
        const unsigned now_generation = generation.load();
        if (now_generation != seen) seen = now_generation, open = false;
        pollfd p{watched.load(), 0, 0};  // POLLHUP is reported unasked: no host has the port
        const int r = p.fd >= 0 ? ::poll(&p, 1, open ? 50 : 0) : 0;
        const bool hup = r > 0 && (p.revents & POLLHUP);
        const bool valid = p.fd >= 0 && !(r > 0 && (p.revents & POLLNVAL));
        if (valid && !hup && !open) opened_at = vr::now_seconds(), opened_generation = seen;
        if (valid) open = !hup;
        if (!valid || hup) usleep(2000);
    }
}

// The line: reads what the host sent, notices it opening and closing the
// port, waits up to timeout_ms for input.
void service_line(int timeout_ms) {
    // The strap: D8 held low again after a write to port B (which raises an
    // input with its pull-up to 1 in simavr).
    if (sim.strap && sim.strap_due) {
        sim.strap_due = false;
        avr_raise_irq(avr_io_getirq(sim.avr, AVR_IOCTL_IOPORT_GETIRQ('B'), 0), 0);
    }
    pollfd p{sim.pty.master, POLLIN, 0};
    const int r = ::poll(&p, 1, timeout_ms);
    if (r < 0) return;
    const vr::line::HostWatch::Change change = sim.host.seen(p.revents);
    if (change == vr::line::HostWatch::opened) {
        if (sim.reset_on_open) {
            // The host's DTR resets the Nano; its bootloader then ignores input.
            avr_reset(sim.avr);  // which also clears the cycle timers and the cycle count
            avr_cycle_timer_register(sim.avr, byte_cycles, feed, nullptr);
            sim.last_edge = sim.avr->cycle;
            set_tdo(sim.tdo);
            avr_raise_irq(avr_io_getirq(sim.avr, AVR_IOCTL_ADC_GETIRQ, ADC_IRQ_ADC4), sim.target_mv);
            // From the open, when the watcher saw it (else from now: it is
            // not later than that).
            const double now = vr::now_seconds(), opened = opened_at.load();
            const bool seen = opened_generation.load() == generation.load() && opened <= now;
            sim.last_open = seen ? opened : now;
            sim.ignore_until = sim.last_open + 1.4;
            sim.input.clear();
            if (sim.log)
                std::fprintf(sim.log, "%.6f reset (the port opened at %.6f)\n", now - sim.wall0, sim.last_open - sim.wall0);
            sim.wall0 = now;  // simulated time starts again at 0 (the log's times with it)
        }
    }
    if (p.revents & POLLIN) {
        uint8_t buf[256];
        const ssize_t n = ::read(sim.pty.master, buf, sizeof buf);
        if (n > 0 && vr::now_seconds() >= sim.ignore_until) {
            const double arrived = vr::now_seconds() - sim.wall0;
            for (ssize_t i = 0; i < n; ++i) sim.input.emplace_back(buf[i], arrived);
            log_line("in", buf, static_cast<std::size_t>(n));
        }
        return;
    }
    if (change == vr::line::HostWatch::closed) {
        // What the host sent before it closed the port is on the wire: it
        // still reaches the firmware.
        std::string error;
        if (!vr::line::renew_pty_link(sim.link, sim.pty, error)) {
            std::fprintf(stderr, "vrjtag-firmware-sim: %s\n", error.c_str());
            stop = 1;  // no line to serve on any more
        }
        watched = sim.pty.master;
        ++generation;
        if (sim.log)
            std::fprintf(sim.log, "%.6f hangup (simulated time %.1f ms behind)\n", vr::now_seconds() - sim.wall0,
                         -1000 * sim_ahead(sim.avr->cycle));
    } else if ((p.revents & POLLHUP) && timeout_ms > 0) {
        usleep(static_cast<useconds_t>(std::min(timeout_ms, 20)) * 1000);
    }
}

void hold_back(double seconds) {
    if (seconds > 0) usleep(static_cast<useconds_t>(seconds * 1e6) + 1);
}

// The firmware sleeps: serve the line until wall-clock time reaches the end
// of the sleep.
void on_sleep(avr_t* avr, avr_cycle_count_t howLong) {
    rbb_flush();
    const avr_cycle_count_t end = avr->cycle + howLong;
    for (double ahead = sim_ahead(end); ahead > 0 && !stop; ahead = sim_ahead(end)) {
        if (ahead < 0.001) {
            service_line(0);
            hold_back(sim_ahead(end));
            break;
        }
        service_line(static_cast<int>(ahead * 1000));
    }
}

bool connect_rbb(const std::string& where) {
    const std::size_t colon = where.rfind(':');
    std::string error;
    return colon != std::string::npos && sim.rbb.connect(where.substr(0, colon), where.substr(colon + 1), error);
}

}  // namespace

int main(int argc, char** argv) {
    vr::model::ModelOptions options;
    const char *load = nullptr, *save = nullptr, *logname = nullptr, *elf = nullptr, *link = nullptr;
    std::string rbb;
    long target_mv = 5000;
    vr::Args args(argc, argv, "vrjtag-firmware-sim", usage);
    long long n = 0;
    while (args.next()) {
        const std::string& a = args.arg();
        if (args.help()) return args.usage();
        if (a == "--device") {
            const char* v = args.value();
            if (!v || !(options.chip = vr::model::find_chip(v))) return args.fail("unknown device");
        } else if (a == "--load" || a == "--save" || a == "--log") {
            const char* v = args.value();
            if (!v) return args.fail(a + " needs a file");
            (a == "--load" ? load : a == "--save" ? save : logname) = v;
        } else if (a == "--rbb") {
            const char* v = args.value();
            if (!v) return args.fail("--rbb needs HOST:PORT");
            rbb = v;
        } else if (a == "--reset-on-open") {
            sim.reset_on_open = true;
        } else if (a == "--strap") {
            sim.strap = true;
        } else if (a == "--nano-mv") {
            if (!args.number(n, 0, 6000)) return args.fail("--nano-mv needs millivolts (0-6000)");
            sim.nano_mv = static_cast<uint32_t>(n);
        } else if (a == "--target-mv") {
            if (!args.number(n, 0, 6000)) return args.fail("--target-mv needs millivolts (0-6000)");
            target_mv = static_cast<long>(n);
        } else if (a == "--tdo-delay-ns") {
            if (!args.number(n, 0, 1000000)) return args.fail("--tdo-delay-ns needs nanoseconds");
            sim.tdo_delay = static_cast<avr_cycle_count_t>(n * 16 / 1000);
        } else if (a == "--wait-margin") {
            if (!args.number(n, 0, 1000000)) return args.fail("--wait-margin needs millionths");
            options.wait_margin_ppm = static_cast<uint32_t>(n);
        } else if (a == "--frame-error") {
            if (!args.number(n, 1, 1ll << 40)) return args.fail("--frame-error needs a byte count");
            sim.frame_error_at = static_cast<long>(n);
        } else if (args.operand() && !elf) {
            elf = args.current();
        } else if (args.operand() && !link) {
            link = args.current();
        } else {
            return args.fail("unknown argument " + a);
        }
    }
    if (!elf || !link) return args.fail("FIRMWARE.elf and LINK are needed");

    static vr::model::ChipModel model(options);
    static vr::FuseMap map;
    if (load && !vr::model::read_chip_file(load, model.code(), map))
        return std::fprintf(stderr, "vrjtag-firmware-sim: %s is not an accepted JEDEC file of this device\n", load), 1;
    if (load) model.load(map);
    sim.model = &model;
    if (!rbb.empty() && !connect_rbb(rbb)) return std::fprintf(stderr, "vrjtag-firmware-sim: no remote_bitbang server at %s\n", rbb.c_str()), 1;
    if (logname && !(sim.log = std::fopen(logname, "w"))) return std::perror("vrjtag-firmware-sim: log"), 1;
    model.set_log(sim.log);

    elf_firmware_t f;
    std::memset(&f, 0, sizeof f);
    if (elf_read_firmware(elf, &f) != 0) return std::fprintf(stderr, "vrjtag-firmware-sim: cannot read %s\n", elf), 1;
    f.frequency = 16000000;
    std::strcpy(f.mmcu, "atmega328p");
    sim.avr = avr_make_mcu_by_name(f.mmcu);
    if (!sim.avr) return std::fprintf(stderr, "vrjtag-firmware-sim: simavr has no atmega328p\n"), 1;
    avr_init(sim.avr);
    avr_load_firmware(sim.avr, &f);
    sim.avr->vcc = sim.avr->avcc = sim.avr->aref = sim.nano_mv;
    sim.avr->sleep = on_sleep;
    sim.avr->log = LOG_NONE;

    uint32_t flags = 0;
    avr_ioctl(sim.avr, AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
    flags &= ~AVR_UART_FLAG_STDIO;
    avr_ioctl(sim.avr, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
    avr_irq_register_notify(avr_io_getirq(sim.avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT), on_uart_out, nullptr);
    avr_irq_register_notify(avr_io_getirq(sim.avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XON), on_xon, nullptr);
    avr_irq_register_notify(avr_io_getirq(sim.avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XOFF), on_xoff, nullptr);
    avr_irq_register_notify(avr_io_getirq(sim.avr, AVR_IOCTL_IOPORT_GETIRQ('C'), IOPORT_IRQ_PIN_ALL), on_port, nullptr);
    avr_irq_register_notify(avr_io_getirq(sim.avr, AVR_IOCTL_IOPORT_GETIRQ('C'), IOPORT_IRQ_DIRECTION_ALL), on_direction, nullptr);
    avr_irq_register_notify(avr_io_getirq(sim.avr, AVR_IOCTL_IOPORT_GETIRQ('B'), 1), on_vpp, nullptr);
    avr_irq_register_notify(avr_io_getirq(sim.avr, AVR_IOCTL_IOPORT_GETIRQ('B'), IOPORT_IRQ_REG_PORT),
                            [](avr_irq_t*, uint32_t, void*) { sim.strap_due = true; }, nullptr);
    sim.target_mv = static_cast<uint32_t>(target_mv);
    model.set_powered(sim.target_mv >= 2000);
    avr_raise_irq(avr_io_getirq(sim.avr, AVR_IOCTL_ADC_GETIRQ, ADC_IRQ_ADC4), sim.target_mv);
    set_tdo(sim.rbb.is_open() ? false : model.tdo());
    avr_cycle_timer_register(sim.avr, byte_cycles, feed, nullptr);

    std::string error;
    sim.link = link;
    if (!vr::line::open_pty_link(link, sim.pty, error)) return std::fprintf(stderr, "vrjtag-firmware-sim: %s\n", error.c_str()), 1;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::printf("%s -> %s\n", link, sim.pty.name.c_str());
    std::fflush(stdout);

    // Sleeps end when asked, not up to 50 us later: a host's wait must not
    // look shorter in simulated time than it was.
    prctl(PR_SET_TIMERSLACK, 1000UL);
    sim.wall0 = vr::now_seconds();
    watched = sim.pty.master;
    std::thread watcher;
    if (sim.reset_on_open) watcher = std::thread(watch_opens);
    int state = cpu_Running;
    uint32_t steps = 0;
    while (!stop && state != cpu_Done && state != cpu_Crashed) {
        state = avr_run(sim.avr);
        // A busy firmware does not sleep: look at the line now and then, and
        // keep it to wall-clock time.
        if (++steps % 200 == 0) hold_back(sim_ahead(sim.avr->cycle));
        if (steps % 20000 == 0) service_line(0);
    }
    if (sim.rbb.is_open()) {
        sim.rbb_out += 'Q';
        rbb_flush();
        sim.rbb.close();
    }
    stop = 1;
    if (watcher.joinable()) watcher.join();
    vr::line::close_pty_link(link, sim.pty);
    int rc = state == cpu_Crashed ? 1 : 0;
    if (sim.faults) {
        std::fprintf(stderr, "vrjtag-firmware-sim: the JTAG pins were driven %d time%s into a target without a safe supply\n",
                     sim.faults, sim.faults == 1 ? "" : "s");
        rc = 3;
    }
    if (state == cpu_Crashed) std::fprintf(stderr, "vrjtag-firmware-sim: the firmware crashed\n");
    if (save && !sim.rbb.is_open()) {
        model.save(map);
        if (!vr::model::write_chip_file(save, map, model.code())) rc = 1;
    }
    if (sim.log) std::fclose(sim.log);
    return rc;
}
