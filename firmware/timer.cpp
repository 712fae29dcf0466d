#include "firmware/timer.hpp"

#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/sleep.h>

namespace vr {
namespace fw {
namespace {
volatile uint32_t tenths;  // of a millisecond, counted by Timer2
}

// Timer2 in CTC mode: 16 MHz / 8 / 200, an interrupt every 100 us. Only the
// interrupt changes the count, so it never runs backwards.
void timer_init() {
    TCCR2A = _BV(WGM21);
    OCR2A = 199;
    TCCR2B = _BV(CS21);
    TIMSK2 = _BV(OCIE2A);
    set_sleep_mode(SLEEP_MODE_IDLE);
}

uint32_t ticks() {
    const uint8_t sreg = SREG;
    cli();
    const uint32_t t = tenths;
    SREG = sreg;
    return t;
}

void sleep_unless(bool (*ready)()) {
    cli();
    if (!ready()) {
        sleep_enable();
        sei();
        sleep_cpu();
        sleep_disable();
    }
    sei();
}

bool never_ready() { return false; }

// Rounded up, and one tick more: the first one may be partly gone.
uint32_t wait_ticks(uint32_t microseconds) { return (microseconds + 99) / 100 + 1; }

void wait_us(uint32_t microseconds) {
    const uint32_t start = ticks();
    const uint32_t need = wait_ticks(microseconds);
    while (ticks() - start < need) sleep_unless(never_ready);
}

}  // namespace fw
}  // namespace vr

ISR(TIMER2_COMPA_vect) { ++vr::fw::tenths; }
