// vrjtag-firmware-sim: runs the Nano adapter firmware (vrjtag-nano.elf) in
// simavr and makes it an adapter on a pseudo-terminal, as the emulator is
// one. The board's parts (board.hpp) are wired to the processor's IRQs: the
// serial line bridged to the pseudo-terminal (bytes fed at the wire's byte
// time, the simulation kept to wall-clock time), the JTAG pins driving the
// JTAG-level chip model in process (its clock advanced by simulated time, so
// the model checks the firmware's waits) or any OpenOCD remote_bitbang
// server, and the supply sense.
#include <sys/prctl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <simavr/sim_elf.h>
#include <simavr/sim_vcd_file.h>

#include "common/options.hpp"
#include "jtag/model/chip_files.hpp"
#include "programs/vrjtag-firmware-sim/board.hpp"

namespace {

vr::fwsim::Board board;
void on_signal(int) { board.stop = true; }

const char synopsis[] =
    "usage: vrjtag-firmware-sim [options] FIRMWARE.elf LINK\n"
    "Runs the adapter firmware of an ATmega328P Nano (vrjtag-nano.elf) in simavr\n"
    "and serves its serial line on a pseudo-terminal, LINK a symbolic link to it.\n"
    "The JTAG pins (A0 TCK, A1 TMS, A2 TDI, A3 TDO) drive the JTAG-level chip model,\n"
    "which checks the firmware's waits against simulated time. Runs until\n"
    "SIGINT/SIGTERM.\n";

constexpr vr::Option table[] = {
    {"--device", "NAME", "the chip: ATF1508AS (default), ATF1504AS, ATF1508ASV, ATF1504ASV, ATF1502AS, ATF1502ASV"},
    {"--load", "FILE", "the chip starts holding this JEDEC file"},
    {"--save", "FILE", "the chip's contents are written here at the end"},
    {"--log", "FILE", "the chip model's operations, and every byte on the line"},
    {"--rbb", "HOST:PORT",
     "an OpenOCD remote_bitbang server plays the chip instead (--device, --load and --save then do not apply)"},
    {"--reset-on-open", "",
     "reset the microcontroller when a program opens the port and ignore input for 1.4 s, as a Nano's bootloader "
     "does"},
    {"--target-mv", "MV", "the target supply seen on A4 (default 5000; 0: unpowered)"},
    {"--nano-mv", "MV", "the Nano's own supply (AVcc; default 5000)"},
    {"--strap", "", "D8 held to GND: level translators are fitted"},
    {"--tdo-delay-ns", "N", "TDO follows the chip N ns after TCK's fall (a level shifter, a long cable)"},
    {"--wait-margin", "PPM",
     "the chip model demands every wait this many millionths longer than the chip maker's (10000: 1.01 times)"},
    {"--frame-error", "N", "the Nth byte from the host arrives with a framing error"},
    {"--flip-in", "N", "the Nth byte from the host arrives with bit 0 flipped, in a valid frame (a bit error)"},
    {"--flip-out", "N", "the Nth byte to the host leaves with bit 0 flipped, in a valid frame"},
    {"--target-dip", "N:MS", "the target's supply leaves A4 for MS milliseconds when the Nth byte from the host arrives"},
    {"--usb", "CHIP",
     "the USB serial chip between host and Nano: ft232r[:MS] holds the Nano's replies until 62 bytes wait or its "
     "latency timer (MS, default 16) ends; ch340 sends the host's bytes with two stop bits above 500 kbaud"},
    {"--vcd", "FILE",
     "a trace of TCK, TMS, TDI, TDO and VPP for a waveform viewer (GTKWave), in simulated time (not with "
     "--reset-on-open)"},
};

const char notes[] =
    "D9 is VPP, the 12 V switch onto OE1: it drives the model's VHH input (with\n"
    "--rbb: SRST).\n"
    "The log also says when the JTAG outputs are driven and released; driving\n"
    "them into a target without a safe supply is logged as a FAULT and makes the\n"
    "exit status 3.\n";

vr::Options opts("vrjtag-firmware-sim", table, synopsis, notes);

void hold_back(double seconds) {
    if (seconds > 0) usleep(static_cast<useconds_t>(seconds * 1e6) + 1);
}

vr::fwsim::Supply supply(board);
vr::fwsim::JtagPins pins(board, supply);
vr::fwsim::UartLine uart(board);

void service(int timeout_ms) {
    supply.refresh();
    uart.service(timeout_ms);
}

// With the chip on remote_bitbang, timed there by the wall clock, simulated
// time never runs faster than the wall clock either: a lag (a loaded
// machine) is kept rather than made up at full speed, so that no wait the
// firmware times reaches that chip shorter than the firmware timed it.
void keep_pace() {
    if (!pins.on_rbb()) return;
    const double ahead = board.ahead(board.avr->cycle);
    if (ahead < 0) board.wall0 -= ahead;
}

// The firmware sleeps: serve the line until wall-clock time reaches the end
// of the sleep.
void on_sleep(avr_t* avr, avr_cycle_count_t how_long) {
    pins.flush();
    keep_pace();
    const avr_cycle_count_t end = avr->cycle + how_long;
    for (double ahead = board.ahead(end); ahead > 0 && !board.stop; ahead = board.ahead(end)) {
        if (ahead < 0.001) {
            service(0);
            hold_back(board.ahead(end));
            break;
        }
        service(static_cast<int>(ahead * 1000));
    }
}

}  // namespace

int main(int argc, char** argv) {
    vr::model::ModelOptions options;
    if (const int status = opts.read(argc, argv); status >= 0) return status;
    if (const char* v = opts.value("--device"); v && !(options.chip = vr::model::find_chip(v)))
        return opts.fail(std::string("unknown device ") + v);
    const char *load = opts.value("--load"), *save = opts.value("--save"), *logname = opts.value("--log"),
               *vcd_name = opts.value("--vcd");
    const std::string rbb = opts.given("--rbb") ? opts.value("--rbb") : "";
    uart.reset_on_open = opts.given("--reset-on-open");
    supply.strap = opts.given("--strap");
    long long nano_mv = supply.nano_mv, target_mv = supply.target_mv, tdo_delay = 0, margin = 0, frame_error = 0;
    if (!opts.number("--nano-mv", nano_mv, 0, 6000)) return opts.fail("--nano-mv needs millivolts (0-6000)");
    if (!opts.number("--target-mv", target_mv, 0, 6000)) return opts.fail("--target-mv needs millivolts (0-6000)");
    if (!opts.number("--tdo-delay-ns", tdo_delay, 0, 1000000)) return opts.fail("--tdo-delay-ns needs nanoseconds");
    if (!opts.number("--wait-margin", margin, 0, 1000000)) return opts.fail("--wait-margin needs millionths");
    if (!opts.number("--frame-error", frame_error, 1, 1ll << 40)) return opts.fail("--frame-error needs a byte count");
    supply.nano_mv = static_cast<uint32_t>(nano_mv);
    supply.target_mv = static_cast<uint32_t>(target_mv);
    pins.tdo_delay = static_cast<avr_cycle_count_t>(tdo_delay * 16 / 1000);
    options.wait_margin_ppm = static_cast<uint32_t>(margin);
    if (frame_error) uart.frame_error_at = static_cast<long>(frame_error);
    long long flip_in = -1, flip_out = -1;
    if (!opts.number("--flip-in", flip_in, 1, 1ll << 40) || !opts.number("--flip-out", flip_out, 1, 1ll << 40))
        return opts.fail("--flip-in and --flip-out need a byte count");
    uart.flip_in_at = static_cast<long>(flip_in);
    uart.flip_out_at = static_cast<long>(flip_out);
    if (const char* dip = opts.value("--target-dip")) {
        long at = 0, ms = 0;
        char end = 0;
        if (std::sscanf(dip, "%ld:%ld%c", &at, &ms, &end) != 2 || at < 1 || ms < 1)
            return opts.fail("--target-dip needs N:MS");
        uart.dip_at = at;
        uart.on_dip = [ms] { supply.dip(ms / 1000.0); };
    }
    if (const char* usb = opts.value("--usb")) {
        long ms = 16;
        char end = 0;
        if (std::strcmp(usb, "ch340") == 0) uart.two_stop_bits = true;
        else if (std::strcmp(usb, "ft232r") == 0 || (std::sscanf(usb, "ft232r:%ld%c", &ms, &end) == 1 && ms >= 1 && ms <= 255))
            uart.usb_latency_s = ms / 1000.0;
        else
            return opts.fail("--usb needs ft232r[:MS] or ch340");
    }
    if (opts.operand_count() != 2) return opts.fail("FIRMWARE.elf and LINK are needed");
    const char *elf = opts.operand(0), *link = opts.operand(1);
    // A reset starts simulated time again at 0, which a trace cannot follow.
    if (vcd_name && uart.reset_on_open) return opts.fail("--vcd and --reset-on-open exclude each other");

    static vr::model::ChipModel model(options);
    static vr::FuseMap map;
    if (load && !vr::model::read_chip_file(load, model.code(), map))
        return std::fprintf(stderr, "vrjtag-firmware-sim: %s is not an accepted JEDEC file of this device\n", load), 1;
    if (load) model.load(map);
    if (!rbb.empty() && !pins.connect_rbb(rbb))
        return std::fprintf(stderr, "vrjtag-firmware-sim: no remote_bitbang server at %s\n", rbb.c_str()), 1;
    if (logname && !(board.log = std::fopen(logname, "w"))) return std::perror("vrjtag-firmware-sim: log"), 1;
    model.set_log(board.log);
    model.set_powered(supply.target_mv >= 2000);

    elf_firmware_t f;
    std::memset(&f, 0, sizeof f);
    if (elf_read_firmware(elf, &f) != 0) return std::fprintf(stderr, "vrjtag-firmware-sim: cannot read %s\n", elf), 1;
    f.frequency = vr::fwsim::cpu_hz;
    std::strcpy(f.mmcu, "atmega328p");
    board.avr = avr_make_mcu_by_name(f.mmcu);
    if (!board.avr) return std::fprintf(stderr, "vrjtag-firmware-sim: simavr has no atmega328p\n"), 1;
    avr_init(board.avr);
    avr_load_firmware(board.avr, &f);
    board.avr->sleep = on_sleep;
    board.avr->log = LOG_NONE;

    supply.attach();
    pins.attach(&model);
    uart.attach();
    uart.on_reset = [] {
        pins.after_reset();
        supply.raise_target();
    };
    static avr_vcd_t vcd;
    if (vcd_name) {
        if (avr_vcd_init(board.avr, vcd_name, &vcd, 1000) != 0)
            return std::fprintf(stderr, "vrjtag-firmware-sim: cannot write %s\n", vcd_name), 1;
        for (int s = 0; s < vr::fwsim::JtagPins::signal_count; ++s)
            avr_vcd_add_signal(&vcd, pins.signal(static_cast<vr::fwsim::JtagPins::Signal>(s)), 1,
                               pins.signal(static_cast<vr::fwsim::JtagPins::Signal>(s))->name);
        avr_vcd_start(&vcd);
        // The levels at the start, which no change has told the trace yet:
        // TDO as the chip drives it, VPP off.
        avr_raise_irq(&vcd.signal[vr::fwsim::JtagPins::tdo].irq, pins.signal(vr::fwsim::JtagPins::tdo)->value);
        avr_raise_irq(&vcd.signal[vr::fwsim::JtagPins::vpp].irq, 0);
    }

    std::string error;
    if (!uart.open(link, error)) return std::fprintf(stderr, "vrjtag-firmware-sim: %s\n", error.c_str()), 1;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    // Sleeps end when asked, not up to 50 us later: a host's wait must not
    // look shorter in simulated time than it was.
    prctl(PR_SET_TIMERSLACK, 1000UL);
    board.wall0 = vr::os::now_seconds();
    uart.start_watch();
    int state = cpu_Running;
    uint32_t steps = 0;
    while (!board.stop && state != cpu_Done && state != cpu_Crashed) {
        state = avr_run(board.avr);
        // A busy firmware does not sleep: look at the line now and then, and
        // keep it to wall-clock time. Pin changes go out to a remote_bitbang
        // chip at every look, behind or ahead: the chip times a wait from
        // the edges that start it, and edges held back until the wait's end
        // (a simulation running behind a loaded machine's clock) would reach
        // it together with that end, as no wait at all.
        if (++steps % 200 == 0) {
            keep_pace();
            pins.flush();
            hold_back(board.ahead(board.avr->cycle));
        }
        if (steps % 20000 == 0) service(0);
    }
    const bool on_rbb = pins.on_rbb();
    pins.finish();
    uart.close();
    if (vcd_name) avr_vcd_stop(&vcd), avr_vcd_close(&vcd);
    int rc = state == cpu_Crashed ? 1 : 0;
    if (pins.faults) {
        std::fprintf(stderr, "vrjtag-firmware-sim: the JTAG pins were driven %d time%s into a target without a safe supply\n",
                     pins.faults, pins.faults == 1 ? "" : "s");
        rc = 3;
    }
    if (state == cpu_Crashed) std::fprintf(stderr, "vrjtag-firmware-sim: the firmware crashed\n");
    if (save && !on_rbb) {
        model.save(map);
        if (!vr::model::write_chip_file(save, map, model.code())) rc = 1;
    }
    if (board.log) std::fclose(board.log);
    return rc;
}
