// The supply sense: A4 reads the target's supply, the bandgap against AVcc
// the Nano's own, and D8 the strap that says level translators are fitted.
#include <simavr/avr_adc.h>
#include <simavr/avr_ioport.h>
#include <simavr/sim_cycle_timers.h>

#include "jtag/probe/nano_supply.hpp"
#include "programs/vrjtag-firmware-sim/board.hpp"

namespace vr::fwsim {

void Supply::attach() {
    avr_t* avr = board_.avr;
    avr->vcc = avr->avcc = avr->aref = nano_mv;
    avr_irq_register_notify(
        avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('B'), IOPORT_IRQ_REG_PORT),
        [](avr_irq_t*, uint32_t, void* self) { static_cast<Supply*>(self)->strap_due_ = true; }, this);
    raise_target();
}

void Supply::raise_target() {
    avr_raise_irq(avr_io_getirq(board_.avr, AVR_IOCTL_ADC_GETIRQ, ADC_IRQ_ADC4), dipped_ ? 0 : target_mv);
}

void Supply::dip(double seconds) {
    dipped_ = true;
    raise_target();
    if (board_.log) std::fprintf(board_.log, "%.6f target supply dips for %.0f ms\n", board_.seconds(), seconds * 1000);
    avr_cycle_timer_register(
        board_.avr, static_cast<avr_cycle_count_t>(seconds * cpu_hz),
        [](avr_t*, avr_cycle_count_t, void* self) -> avr_cycle_count_t {
            auto* s = static_cast<Supply*>(self);
            s->dipped_ = false;
            s->raise_target();
            if (s->board_.log) std::fprintf(s->board_.log, "%.6f target supply back\n", s->board_.seconds());
            return 0;
        },
        this);
}

void Supply::refresh() {
    if (!strap || !strap_due_) return;
    strap_due_ = false;
    avr_raise_irq(avr_io_getirq(board_.avr, AVR_IOCTL_IOPORT_GETIRQ('B'), 0), 0);
}

// The board's own judgement, from the true voltages (the firmware sees them
// through its ADC).
bool Supply::safe() const {
    if (dipped_) return false;
    return jtag::supply_problem_of(static_cast<uint16_t>(nano_mv), static_cast<uint16_t>(target_mv), strap) == 0;
}

}  // namespace vr::fwsim
