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

uint32_t half_us() {
    const uint8_t sreg = SREG;
    cli();
    uint32_t t = tenths;
    uint8_t count = TCNT2;
    // A compare match whose interrupt has not run yet (interrupts are off):
    // the count has started again, the tick is not in tenths.
    if (TIFR2 & _BV(OCF2A)) ++t, count = TCNT2;
    SREG = sreg;
    return t * 200 + count;
}

void wait_since(uint32_t start, uint32_t microseconds) {
    const uint32_t need = microseconds * 2;
    // Asleep while more than a tick is left (the tick's interrupt wakes the
    // processor), then on the timer's count to the half microsecond.
    while (half_us() - start + 200 < need) sleep_unless(never_ready);
    while (half_us() - start < need) {
    }
}

void wait_us(uint32_t microseconds) { wait_since(half_us(), microseconds); }

}  // namespace fw
}  // namespace vr

ISR(TIMER2_COMPA_vect) { ++vr::fw::tenths; }
