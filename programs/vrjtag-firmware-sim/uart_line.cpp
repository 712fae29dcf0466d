// The serial line: UART0 bridged to a pseudo-terminal. The host's bytes are
// fed at the line's byte time while simavr's receive FIFO has room; what the
// firmware sends goes straight out. Every byte is logged, a reply at a time.
#include <poll.h>
#include <unistd.h>

#include <simavr/avr_uart.h>
#include <simavr/sim_cycle_timers.h>

#include "common/byte_log.hpp"
#include "programs/vrjtag-firmware-sim/board.hpp"

namespace vr::fwsim {
namespace {

// 10 bits at the speed the firmware has set (115200, or 1,000,000 in probe
// mode's fast line).
avr_cycle_count_t byte_cycles(avr_t* avr) {
    const unsigned ubrr = avr->data[0xC4] | (avr->data[0xC5] & 0x0F) << 8;  // UBRR0L, UBRR0H
    const unsigned per_bit = (avr->data[0xC0] & 0x02) ? 8 : 16;             // UCSR0A's U2X0
    return 10u * per_bit * (ubrr + 1);
}

const avr_cycle_count_t first_feed = cpu_hz / 11520;  // 10 bits at 115200 baud

}  // namespace

bool UartLine::open(const std::string& link, std::string& error) {
    link_ = link;
    if (!line::open_pty_link(link, pty_, error)) return false;
    watched_ = pty_.master;
    std::printf("%s -> %s\n", link.c_str(), pty_.name.c_str());
    std::fflush(stdout);
    return true;
}

void UartLine::attach() {
    avr_t* avr = board_.avr;
    uint32_t flags = 0;
    avr_ioctl(avr, AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
    flags &= ~AVR_UART_FLAG_STDIO;
    avr_ioctl(avr, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT), on_output, this);
    avr_irq_register_notify(
        avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XON),
        [](avr_irq_t*, uint32_t, void* self) { static_cast<UartLine*>(self)->ready_ = true; }, this);
    avr_irq_register_notify(
        avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XOFF),
        [](avr_irq_t*, uint32_t, void* self) { static_cast<UartLine*>(self)->ready_ = false; }, this);
    avr_cycle_timer_register(avr, first_feed, feed, this);
}

void UartLine::log_out() {
    log_bytes(board_.log, board_.seconds(), "out", out_line_.data(), out_line_.size());
    out_line_.clear();
}

void UartLine::send_held() {
    if (pty_.master >= 0 && !held_.empty()) (void)!::write(pty_.master, held_.data(), held_.size());
    held_.clear();
}

avr_cycle_count_t UartLine::release_held(avr_t*, avr_cycle_count_t, void* self) {
    auto* line = static_cast<UartLine*>(self);
    line->hold_timer_ = false;
    line->send_held();
    return 0;
}

void UartLine::on_output(avr_irq_t*, uint32_t value, void* self) {
    auto* line = static_cast<UartLine*>(self);
    uint8_t c = static_cast<uint8_t>(value);
    if (++line->sent_ == line->flip_out_at) c ^= 1;  // a bit changed on the way, the frame still valid
    line->out_line_ += static_cast<char>(c);
    if (c == '\r') line->log_out();
    if (line->usb_latency_s <= 0) {
        if (line->pty_.master >= 0) (void)!::write(line->pty_.master, &c, 1);
        return;
    }
    // An FT232R: a USB packet goes when 62 bytes wait, or when the latency
    // timer ends after the first of them.
    line->held_ += static_cast<char>(c);
    if (line->held_.size() >= 62) {
        line->send_held();
    } else if (!line->hold_timer_) {
        line->hold_timer_ = true;
        avr_cycle_timer_register(line->board_.avr, static_cast<avr_cycle_count_t>(line->usb_latency_s * cpu_hz),
                                 release_held, line);
    }
}

// One received byte per byte time, while simavr's FIFO has room.
avr_cycle_count_t UartLine::feed(avr_t* avr, avr_cycle_count_t when, void* self) {
    auto* line = static_cast<UartLine*>(self);
    if (!line->input_.empty() && line->ready_ && line->input_.front().second <= static_cast<double>(when) / cpu_hz) {
        uint8_t c = line->input_.front().first;
        line->input_.pop_front();
        // simavr sets FE0 for a byte raised with UART_INPUT_FE.
        const uint32_t fe = ++line->received_ == line->frame_error_at ? UART_INPUT_FE : 0;
        if (line->received_ == line->flip_in_at) c ^= 1;  // a bit changed, the frame valid
        if (line->received_ == line->dip_at && line->on_dip) line->on_dip();
        avr_raise_irq(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT), c | fe);
    }
    // A CH340 sends two stop bits above 500 kbaud: 11 bit times a byte.
    const avr_cycle_count_t cycles = byte_cycles(avr);
    return when + (line->two_stop_bits && cycles < cpu_hz / 50000 ? cycles * 11 / 10 : cycles);
}

// The host's DTR resets the Nano; its bootloader then ignores input.
void UartLine::reset_board() {
    avr_t* avr = board_.avr;
    avr_reset(avr);  // which also clears the cycle timers and the cycle count
    avr_cycle_timer_register(avr, first_feed, feed, this);
    if (on_reset) on_reset();
    // From the open, when the watcher saw it (else from now: it is not later
    // than that).
    const double now = os::now_seconds(), opened = opened_at_.load();
    const bool seen = opened_generation_.load() == generation_.load() && opened <= now;
    const double open = seen ? opened : now;
    ignore_until_ = open + 1.4;
    input_.clear();
    if (board_.log) std::fprintf(board_.log, "%.6f reset (the port opened at %.6f)\n", now - board_.wall0, open - board_.wall0);
    board_.wall0 = now;  // simulated time starts again at 0 (the log's times with it)
}

void UartLine::service(int timeout_ms) {
    pollfd p{pty_.master, POLLIN, 0};
    const int r = ::poll(&p, 1, timeout_ms);
    if (r < 0) return;
    const line::HostWatch::Change change = host_.seen(p.revents);
    if (change == line::HostWatch::opened && reset_on_open) reset_board();
    if (change == line::HostWatch::opened) opened_cycle_ = board_.avr->cycle, opened_wall_ = os::now_seconds();
    if (p.revents & POLLIN) {
        uint8_t buf[256];
        const ssize_t n = ::read(pty_.master, buf, sizeof buf);
        if (n > 0 && os::now_seconds() >= ignore_until_) {
            const double arrived = board_.seconds();
            for (ssize_t i = 0; i < n; ++i) input_.emplace_back(buf[i], arrived);
            log_bytes(board_.log, board_.seconds(), "in", buf, static_cast<std::size_t>(n));
        }
        return;
    }
    if (change == line::HostWatch::closed) {
        // What the host sent before it closed the port is on the wire: it
        // still reaches the firmware.
        std::string error;
        if (!line::renew_pty_link(link_, pty_, error)) {
            std::fprintf(stderr, "vrjtag-firmware-sim: %s\n", error.c_str());
            board_.stop = true;  // no line to serve on any more
        }
        watched_ = pty_.master;
        ++generation_;
        // How long the host's session took on a real 16 MHz Nano, and on
        // the wall clock (the simulation may fall behind while it bit-bangs).
        if (board_.log)
            std::fprintf(board_.log, "%.6f hangup (simulated time %.1f ms behind; session %.6f s simulated, %.6f s wall)\n",
                         board_.seconds(), -1000 * board_.ahead(board_.avr->cycle),
                         static_cast<double>(board_.avr->cycle - opened_cycle_) / cpu_hz, os::now_seconds() - opened_wall_);
    } else if ((p.revents & POLLHUP) && timeout_ms > 0) {
        usleep(static_cast<useconds_t>(std::min(timeout_ms, 20)) * 1000);
    }
}

// When the host last opened the port, on the monotonic clock, so that the
// bootloader's window is counted from the open itself (as the Nano's, whose
// reset the open's DTR pulls at once), not from whenever the simulation
// looked at the line.
void UartLine::watch_opens() {
    bool open = false;
    unsigned seen = generation_.load();
    while (!board_.stop) {
        const unsigned now_generation = generation_.load();
        if (now_generation != seen) seen = now_generation, open = false;
        pollfd p{watched_.load(), 0, 0};  // POLLHUP is reported unasked: no host has the port
        const int r = p.fd >= 0 ? ::poll(&p, 1, open ? 50 : 0) : 0;
        const bool hup = r > 0 && (p.revents & POLLHUP);
        const bool valid = p.fd >= 0 && !(r > 0 && (p.revents & POLLNVAL));
        if (valid && !hup && !open) opened_at_ = os::now_seconds(), opened_generation_ = seen;
        if (valid) open = !hup;
        if (!valid || hup) usleep(2000);
    }
}

void UartLine::start_watch() {
    if (reset_on_open) watcher_ = std::thread([this] { watch_opens(); });
}

void UartLine::close() {
    board_.stop = true;
    if (watcher_.joinable()) watcher_.join();
    line::close_pty_link(link_, pty_);
}

}  // namespace vr::fwsim
