#include "firmware/pin_probe.hpp"

#include <avr/io.h>

#include "firmware/timer.hpp"

namespace vr {
namespace fw {
namespace {

const uint8_t tck = _BV(PC0), tms_bit = _BV(PC1), tdi_bit = _BV(PC2), tdo_bit = _BV(PC3);

// One TCK cycle: TMS and TDI set with TCK low (the falling edge), TDO read,
// then TCK raised (the chip samples TMS and TDI). Returns TDO.
inline bool clock(bool tms, bool tdi) {
    PORTC = static_cast<uint8_t>((tms ? tms_bit : 0) | (tdi ? tdi_bit : 0));
    __asm__ __volatile__("nop\n\tnop");  // the pin synchroniser's delay
    const bool tdo = PINC & tdo_bit;
    PORTC = static_cast<uint8_t>(PORTC | tck);
    return tdo;
}

}  // namespace

void PinProbe::init() {
    DDRC = tck | tms_bit | tdi_bit;  // TDO and the supply sense are inputs, no pull-ups
    PORTC = 0;
    DIDR0 = _BV(ADC4D);
    ADMUX = _BV(REFS0) | 4;                                 // AVcc reference, ADC4
    ADCSRA = _BV(ADEN) | _BV(ADPS2) | _BV(ADPS1) | _BV(ADPS0);  // 125 kHz
    reset();
}

// From Run-Test/Idle: Select-DR, Select-IR, Capture-IR, Shift-IR; the bits,
// the last one leaving for Exit1-IR; Update-IR; back to Run-Test/Idle.
bool PinProbe::ir_scan(uint16_t instruction, uint16_t* captured) {
    clock(1, 0), clock(1, 0), clock(0, 0), clock(0, 0);
    uint16_t out = 0;
    for (uint8_t i = 0; i < jtag::ir_length; ++i)
        if (clock(i + 1 == jtag::ir_length, (instruction >> i) & 1)) out = static_cast<uint16_t>(out | 1u << i);
    clock(1, 0), clock(0, 0);
    if (captured) *captured = out;
    return true;
}

// A byte at a time: the bits shift through a register instead of being
// looked up one by one (326 bits per row word).
bool PinProbe::dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t*, const uint8_t*) {
    clock(1, 0), clock(0, 0), clock(0, 0);
    uint16_t left = bits;
    for (uint16_t k = 0; left > 0; ++k) {
        uint8_t in = tdi ? tdi[k] : 0, out = 0;
        const uint8_t n = left < 8 ? static_cast<uint8_t>(left) : 8;
        for (uint8_t b = 0; b < n; ++b, in >>= 1)
            if (clock(left == static_cast<uint16_t>(b + 1), in & 1)) out = static_cast<uint8_t>(out | 1u << b);
        left = static_cast<uint16_t>(left - n);
        if (tdo) tdo[k] = out;
    }
    clock(1, 0), clock(0, 0);
    return true;
}

bool PinProbe::idle(uint32_t microseconds) {
    wait_us(microseconds);
    clock(0, 0);
    return true;
}

bool PinProbe::reset() {
    for (uint8_t i = 0; i < 5; ++i) clock(1, 0);
    clock(0, 0);
    return true;
}

const char* PinProbe::chain_problem() {
    ADCSRA |= _BV(ADSC);
    while (ADCSRA & _BV(ADSC)) {
    }
    // Below about 1.5 V the chip has no supply (a 3.3 V part reads about 675).
    return ADC < 300 ? "-" : 0;
}

}  // namespace fw
}  // namespace vr
