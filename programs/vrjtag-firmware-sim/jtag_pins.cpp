// The JTAG pins: port C's A0 TCK, A1 TMS, A2 TDI (outputs) and A3 TDO
// (input), and D9 VPP. They drive the chip model, its clock advanced by
// simulated time so that it checks the firmware's waits, or a remote_bitbang
// server. The directions are watched: outputs driven into a target without a
// safe supply are logged as a FAULT.
#include <simavr/avr_ioport.h>
#include <simavr/sim_cycle_timers.h>

#include "programs/vrjtag-firmware-sim/board.hpp"

namespace vr::fwsim {

void JtagPins::attach(model::ChipModel* model) {
    model_ = model;
    avr_t* avr = board_.avr;
    static const char* names[signal_count] = {"TCK", "TMS", "TDI", "TDO", "VPP"};
    irq_ = avr_alloc_irq(&avr->irq_pool, 0, signal_count, names);
    for (int pin = tck; pin <= tdo; ++pin) avr_connect_irq(avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('C'), pin), irq_ + pin);
    avr_connect_irq(avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('B'), 1), irq_ + vpp);
    // simavr raises the pins lowest first, then the whole port: TMS and TDI
    // are read from the whole value at TCK's change.
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('C'), IOPORT_IRQ_PIN_ALL), on_port, this);
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('C'), IOPORT_IRQ_DIRECTION_ALL), on_direction, this);
    avr_irq_register_notify(irq_ + vpp, on_vpp, this);
    after_reset();
}

bool JtagPins::connect_rbb(const std::string& where) {
    const std::size_t colon = where.rfind(':');
    std::string error;
    return colon != std::string::npos && rbb_.connect(where.substr(0, colon), where.substr(colon + 1), error);
}

void JtagPins::after_reset() {
    last_edge_ = board_.avr->cycle;
    set_tdo(rbb_.is_open() || !model_ ? tdo_ : model_->tdo());
}

void JtagPins::set_tdo(bool value) {
    tdo_ = value;
    avr_raise_irq(avr_io_getirq(board_.avr, AVR_IOCTL_IOPORT_GETIRQ('C'), tdo), value ? 1 : 0);
}

avr_cycle_count_t JtagPins::apply_tdo(avr_t*, avr_cycle_count_t, void* self) {
    auto* p = static_cast<JtagPins*>(self);
    p->set_tdo(p->pending_tdo_);
    return 0;
}

// What the chip drives on TDO after TCK's fall reaches the pin after the delay.
void JtagPins::tdo_after_fall(bool value) {
    if (!tdo_delay) return set_tdo(value);
    pending_tdo_ = value;
    avr_cycle_timer_register(board_.avr, tdo_delay, apply_tdo, this);
}

bool JtagPins::rbb_read() {
    rbb_out_ += 'R';
    const bool sent = rbb_.send_all(rbb_out_.data(), rbb_out_.size());
    rbb_out_.clear();
    char c = 0;
    return sent && rbb_.receive(&c, 1, 10000) == 1 && c == '1';
}

void JtagPins::flush() {
    if (!rbb_.is_open() || rbb_out_.empty()) return;
    rbb_.send_all(rbb_out_.data(), rbb_out_.size());
    rbb_out_.clear();
}

void JtagPins::finish() {
    if (!rbb_.is_open()) return;
    rbb_out_ += 'Q';
    flush();
    rbb_.close();
}

void JtagPins::on_port(avr_irq_t*, uint32_t value, void* self) {
    auto* p = static_cast<JtagPins*>(self);
    const uint32_t before = p->pins_;
    p->pins_ = value;
    if (((before ^ value) & 7) == 0) return;
    const bool clock = value & 1, was = before & 1;
    if (p->rbb_.is_open()) {
        // Released outputs move nothing on the chip's pins.
        if (!(p->ddrc_ & 7)) return;
        p->rbb_write(value);
        if (was && !clock) p->tdo_after_fall(p->rbb_read());
        return;
    }
    if (clock && !was) {
        const avr_cycle_count_t now = p->board_.avr->cycle;
        const uint64_t us = (now - p->last_edge_) / (cpu_hz / 1000000);
        p->last_edge_ += us * (cpu_hz / 1000000);
        if (us > 1) p->model_->advance(us - 1);  // the clock itself counts one
        p->model_->clock(value & 2, value & 4);
    } else if (!clock && was) {
        p->tdo_after_fall(p->model_->tdo());
    }
}

// '0'-'7' = TCK*4 + TMS*2 + TDI; the port has TCK in bit 0, TMS 1, TDI 2.
void JtagPins::rbb_write(uint32_t value) {
    rbb_out_ += static_cast<char>('0' + ((value & 1) << 2 | (value & 2) | (value >> 2 & 1)));
}

void JtagPins::on_direction(avr_irq_t*, uint32_t value, void* self) {
    auto* p = static_cast<JtagPins*>(self);
    const bool before = p->ddrc_ & 7, now = value & 7;
    p->ddrc_ = value;
    if (before == now) return;
    // Driven now: the levels the port holds reach the chip.
    if (now && p->rbb_.is_open()) p->rbb_write(p->pins_);
    std::FILE* log = p->board_.log;
    if (log) std::fprintf(log, "%.6f jtag pins %s\n", p->board_.seconds(), now ? "driven" : "released");
    if (!p->rbb_.is_open() && p->model_) p->model_->set_driven(now);
    if (now && !p->supply_.safe()) {
        ++p->faults;
        if (log)
            std::fprintf(log, "FAULT: JTAG pins driven into a target at %u mV (Nano at %u mV%s)\n", p->supply_.target_mv,
                         p->supply_.nano_mv, p->supply_.strap ? ", translators strapped" : "");
    }
}

// D9: the 12 V switch onto OE1, the model's VHH input or SRST over
// remote_bitbang.
void JtagPins::on_vpp(avr_irq_t*, uint32_t value, void* self) {
    auto* p = static_cast<JtagPins*>(self);
    const bool on = value & 1;
    if (p->board_.log) std::fprintf(p->board_.log, "%.6f vpp %s\n", p->board_.seconds(), on ? "on" : "off");
    if (p->rbb_.is_open()) p->rbb_out_ += on ? 's' : 'r';
    else p->model_->set_vhh(on);
}

}  // namespace vr::fwsim
