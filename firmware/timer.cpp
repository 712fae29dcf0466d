#include "firmware/timer.hpp"

#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/sleep.h>

namespace vr {
namespace fw {
namespace {
volatile uint16_t overflows;
}

void timer_init() {
    TCCR1A = 0;
    TCCR1B = _BV(CS11) | _BV(CS10);  // clk/64: 4 us
    TIMSK1 = _BV(TOIE1);
    set_sleep_mode(SLEEP_MODE_IDLE);
}

uint32_t ticks() {
    const uint8_t sreg = SREG;
    cli();
    const uint16_t t = TCNT1;
    uint16_t o = overflows;
    if ((TIFR1 & _BV(TOV1)) && t < 0x8000) ++o;  // an overflow not yet counted
    SREG = sreg;
    return static_cast<uint32_t>(o) << 16 | t;
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

namespace {
bool never() { return false; }
}

void wait_us(uint32_t microseconds) {
    const uint32_t start = ticks();
    const uint32_t need = microseconds / 4 + 2;  // rounded up, and a tick for the phase
    for (;;) {
        const uint32_t gone = ticks() - start;
        if (gone >= need) break;
        const uint32_t left = need - gone;
        cli();
        OCR1A = static_cast<uint16_t>(TCNT1 + (left > 60000u ? 60000u : left));
        TIFR1 = _BV(OCF1A);
        TIMSK1 |= _BV(OCIE1A);
        sei();
        sleep_unless(never);
    }
    TIMSK1 &= static_cast<uint8_t>(~_BV(OCIE1A));
}

}  // namespace fw
}  // namespace vr

ISR(TIMER1_OVF_vect) { ++vr::fw::overflows; }
ISR(TIMER1_COMPA_vect) {}  // wakes the waiting CPU
