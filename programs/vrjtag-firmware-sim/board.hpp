// The simulated Nano's board: the parts wired to the ATmega328P's pins, each
// attached to simavr's IRQs as simavr's own board examples do.
//   UartLine  the serial line, bridged to a pseudo-terminal;
//   JtagPins  A0 TCK, A1 TMS, A2 TDI, A3 TDO and D9 VPP, driving the chip
//             model (or a remote_bitbang server), as named IRQs that a VCD
//             trace can record;
//   Supply    the target's supply on A4, the Nano's own on AVcc, the strap
//             on D8.
#pragma once

#include <simavr/sim_avr.h>
#include <simavr/sim_irq.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "adapter/line/pty.hpp"
#include "os/clock.hpp"
#include "os/tcp.hpp"
#include "jtag/model/chip_model.hpp"

namespace vr::fwsim {

const uint32_t cpu_hz = 16000000;

// What every part shares: the processor, the log, and the wall-clock time
// that simulated time 0 stands for (simulated time never runs ahead of it).
struct Board {
    avr_t* avr = nullptr;
    std::FILE* log = nullptr;
    double wall0 = 0;
    std::atomic<bool> stop{false};
    // Seconds since wall0, for the log's time stamps.
    double seconds() const { return os::now_seconds() - wall0; }
    // How far simulated time at this cycle is ahead of the wall clock.
    double ahead(avr_cycle_count_t cycle) const { return static_cast<double>(cycle) / cpu_hz - seconds(); }
};

class Supply {
public:
    explicit Supply(Board& board) : board_(board) {}
    uint32_t target_mv = 5000;
    uint32_t nano_mv = 5000;
    bool strap = false;  // D8 held to GND: level translators fitted

    void attach();
    // The strap held low again after a write to port B (which raises an
    // input with its pull-up to 1 in simavr); the target's supply on A4.
    void refresh();
    void raise_target();
    // Whether the JTAG pins may be driven into the target.
    bool safe() const;
    // The target's supply gone from A4 for this long (simulated time).
    void dip(double seconds);

private:
    Board& board_;
    bool strap_due_ = true;
    bool dipped_ = false;
};

class JtagPins {
public:
    JtagPins(Board& board, Supply& supply) : board_(board), supply_(supply) {}
    enum Signal { tck, tms, tdi, tdo, vpp, signal_count };

    // The chip: the model in process, or a remote_bitbang server.
    void attach(model::ChipModel* model);
    bool connect_rbb(const std::string& host_port);
    bool on_rbb() const { return rbb_.is_open(); }
    avr_cycle_count_t tdo_delay = 0;  // cycles from TCK's fall to TDO at the pin
    // Times the outputs were driven into a target without a safe supply.
    int faults = 0;

    avr_irq_t* signal(Signal s) const { return irq_ + s; }
    // After the processor's reset: the pins as the chip drives them.
    void after_reset();
    // Before the firmware sleeps, and at the end: what is queued for the
    // remote_bitbang server.
    void flush();
    void finish();

private:
    static void on_port(avr_irq_t*, uint32_t value, void* self);
    static void on_direction(avr_irq_t*, uint32_t value, void* self);
    static void on_vpp(avr_irq_t*, uint32_t value, void* self);
    static avr_cycle_count_t apply_tdo(avr_t*, avr_cycle_count_t, void* self);
    void set_tdo(bool value);
    void tdo_after_fall(bool value);
    bool rbb_read();
    void rbb_write(uint32_t value);

    Board& board_;
    Supply& supply_;
    model::ChipModel* model_ = nullptr;
    avr_irq_t* irq_ = nullptr;
    uint32_t pins_ = 0, ddrc_ = 0;
    avr_cycle_count_t last_edge_ = 0;
    bool tdo_ = false, pending_tdo_ = false;
    os::TcpClient rbb_;
    std::string rbb_out_;
};

class UartLine {
public:
    explicit UartLine(Board& board) : board_(board) {}
    bool reset_on_open = false;  // a host's open resets the Nano; the bootloader drops 1.4 s of input
    long frame_error_at = -1;    // the byte (counted from 1) that arrives with a framing error
    long flip_in_at = -1;        // the byte from the host that arrives with bit 0 flipped (a valid frame)
    long flip_out_at = -1;       // the byte to the host that leaves with bit 0 flipped
    long dip_at = -1;            // the byte from the host at which the target's supply dips
    std::function<void()> on_dip;
    // The USB serial chip between the host and the Nano: replies held until
    // 62 bytes wait or the latency timer ends (an FT232R); the host's bytes
    // sent with two stop bits above 500 kbaud (a CH340).
    double usb_latency_s = 0;
    bool two_stop_bits = false;
    std::function<void()> on_reset;  // the rest of the board after such a reset

    bool open(const std::string& link, std::string& error);
    void attach();
    // The pseudo-terminal: the host's bytes, its opens and hang-ups; waits up
    // to timeout_ms for input.
    void service(int timeout_ms);
    // A thread that notes a host's open at once, however busy the simulation.
    void start_watch();
    void close();

private:
    static avr_cycle_count_t feed(avr_t*, avr_cycle_count_t when, void* self);
    static void on_output(avr_irq_t*, uint32_t value, void* self);
    void watch_opens();
    void reset_board();
    void log_out();

    Board& board_;
    line::Pty pty_;
    std::string link_;
    line::HostWatch host_;
    // The host's bytes, each with when it arrived (seconds from wall0): a byte
    // is fed no earlier in simulated time than it arrived, so a simulation
    // that fell behind never sees a host's wait shorter than it was.
    std::deque<std::pair<uint8_t, double>> input_;
    bool ready_ = true;        // simavr's receive FIFO has room
    double ignore_until_ = 0;  // the bootloader's time after a reset
    long received_ = 0, sent_ = 0;
    avr_cycle_count_t opened_cycle_ = 0;  // when the host last opened the line
    double opened_wall_ = 0;
    std::string held_;          // replies the USB chip holds
    bool hold_timer_ = false;
    static avr_cycle_count_t release_held(avr_t*, avr_cycle_count_t when, void* self);
    void send_held();
    std::string out_line_;     // logged a reply at a time
    std::thread watcher_;
    std::atomic<double> opened_at_{0};
    std::atomic<int> watched_{-1};
    // Each fresh pseudo-terminal is a generation; an open counts for its own.
    std::atomic<unsigned> generation_{0}, opened_generation_{~0u};
};

}  // namespace vr::fwsim
