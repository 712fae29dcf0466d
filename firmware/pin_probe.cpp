#include "firmware/pin_probe.hpp"

#include <avr/io.h>

#include "firmware/timer.hpp"
#include "jtag/probe/nano_supply.hpp"
#include "jtag/probe/tap_engine.hpp"

namespace vr {
namespace fw {
namespace {

const uint8_t tck = _BV(PC0), tms_bit = _BV(PC1), tdi_bit = _BV(PC2), tdo_bit = _BV(PC3);
const uint8_t jtag_out = tck | tms_bit | tdi_bit;

// Every wait 1.01 times the chip maker's, rounded up: the margin covers a
// ceramic resonator's tolerance (the Nano's clock may run 0.5 % fast).
uint32_t with_margin(uint32_t microseconds) { return microseconds + (microseconds + 99) / 100; }

const uint8_t mux_a4 = _BV(REFS0) | 4;        // A4 against AVcc
const uint8_t mux_bandgap = _BV(REFS0) | 14;  // the 1.1 V bandgap against AVcc

uint16_t convert() {
    ADCSRA |= _BV(ADSC);
    while (ADCSRA & _BV(ADSC)) {
    }
    return ADC;
}

// A channel after a change of the multiplexer: the first conversion is
// thrown away (the bandgap needs it to settle).
uint16_t convert_on(uint8_t mux) {
    if (ADMUX != mux) {
        ADMUX = mux;
        convert();
    }
    return convert();
}

uint16_t nano_mv = 5000;  // AVcc, measured with the bandgap

void measure_nano() { nano_mv = jtag::nano_mv_of(convert_on(mux_bandgap)); }

uint16_t a4_mv() { return jtag::target_mv_of(convert_on(mux_a4), nano_mv); }

bool strapped() { return !(PINB & _BV(PB0)); }

// Why the target may not be driven now ("s", "-", "v"), or 0.
const char* supply_problem() {
    measure_nano();
    switch (jtag::supply_problem_of(nano_mv, a4_mv(), strapped())) {
    case 's': return "s";
    case '-': return "-";
    case 'v': return "v";
    default: return 0;
    }
}

// One TCK cycle: TMS and TDI set with TCK low (its fall, when it was high),
// TDO read at the end of a 1 us low phase, then TCK raised (the chip
// samples TMS and TDI). Returns TDO.
inline bool clock(bool tms, bool tdi) {
    PORTC = static_cast<uint8_t>((tms ? tms_bit : 0) | (tdi ? tdi_bit : 0));
    __builtin_avr_delay_cycles(16);
    const bool tdo = PINC & tdo_bit;
    PORTC = static_cast<uint8_t>(PORTC | tck);
    return tdo;
}

// TCK rests low.
inline void rest() { PORTC = static_cast<uint8_t>(PORTC & ~tck); }

// The pins as the TAP engine drives them.
struct Pins {
    bool clock(bool tms, bool tdi) { return fw::clock(tms, tdi); }
    void step(bool tms, bool tdi) { fw::clock(tms, tdi); }
};
Pins pins;

}  // namespace

void PinProbe::init() {
    release();
    DDRB &= static_cast<uint8_t>(~_BV(PB0));
    PORTB |= _BV(PB0);  // the strap's pull-up
    DIDR0 = _BV(ADC4D);
    ADMUX = mux_a4;
    ADCSRA = _BV(ADEN) | _BV(ADPS2) | _BV(ADPS1) | _BV(ADPS0);  // 125 kHz
}

void PinProbe::release() {
    // The pins before VPP: a chip whose JTAG pins are user I/O takes them
    // back the moment OE1 falls, and must not find them driven.
    DDRC = 0;  // TDO and the supply sense are inputs too, no pull-ups
    PORTC = 0;
    driving_ = false;
    vpp(false);
}

bool PinProbe::vpp_on() const { return PORTB & _BV(PB1); }

bool PinProbe::vpp(bool on) {
    // 12 V before the pins: only the supplies are checked, not the drive.
    if (on && (vpp_on() || driving_ || !supply_problem())) {
        PORTB |= _BV(PB1);
        DDRB |= _BV(PB1);
        return true;
    }
    // Port B is written only when VPP was on: the strap on D8 is read from
    // the same port.
    if ((PORTB | DDRB) & _BV(PB1)) {
        PORTB &= static_cast<uint8_t>(~_BV(PB1));
        DDRB &= static_cast<uint8_t>(~_BV(PB1));
    }
    return false;
}

bool PinProbe::target_powered() {
    if (!driving_ && !vpp_on()) return false;
    if (a4_mv() >= jtag::target_min_mv) return true;
    release();
    return false;
}

bool PinProbe::drive() {
    if (driving_ && measured_) return true;
    if (driving_) {
        measured_ = true;
        return target_powered();
    }
    const char* problem = supply_problem();
    if (problem) {
        problem_ = problem;
        return false;
    }
    PORTC = tms_bit;   // TCK low, TMS high: driven so from the first moment
    DDRC = jtag_out;
    driving_ = measured_ = true;
    // Released, the TAP may have seen anything: from Test-Logic-Reset to
    // Run-Test/Idle, where every operation starts. (Outside programming mode
    // only: the pins are released only there.)
    jtag::tap_reset(pins);
    rest();
    return true;
}

bool PinProbe::flush() {
    measured_ = false;
    return driving_;
}

bool PinProbe::ir_scan(uint16_t instruction, uint16_t* captured) {
    if (!drive()) return false;
    jtag::tap_ir_scan(pins, instruction, jtag::ir_length, captured);
    rest();
    return true;
}

bool PinProbe::dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t*, const uint8_t*) {
    if (!drive()) return false;
    jtag::tap_dr_scan(pins, bits, tdi, tdo);
    rest();
    return true;
}

uint8_t PinProbe::shift(uint8_t tdi, uint8_t tms, uint8_t bits) {
    // Probe mode shifts whole words this way, so the cycles are counted, 22
    // a bit: TCK falls with this bit's TMS and TDI (out); the next bit's
    // values are worked out while it is low; TCK rises 10 cycles after the
    // fall (the chip samples TMS and TDI); TDO is read 16 cycles (1 us)
    // after the fall, while TCK is high (TDO changes only when TCK falls),
    // so that a slow TDO line still reads right; 6 cycles later TCK falls
    // for the next bit. TDO bits enter at the top and are moved down at the
    // end, so that each bit costs the same.
    if (!bits) return 0;
    uint8_t out = 0, port = static_cast<uint8_t>((tms & 1 ? tms_bit : 0) | (tdi & 1 ? tdi_bit : 0));
    const uint8_t count = bits;
    asm volatile(
        "1:  out  %[portc], %[port]\n"  // TCK falls: cycle 0
        "    lsr  %[tms]\n"
        "    lsr  %[tdi]\n"
        "    lsr  %[out]\n"
        "    ldi  %[port], 0\n"
        "    sbrc %[tms], 0\n"
        "    ori  %[port], %[tms_bit]\n"
        "    sbrc %[tdi], 0\n"
        "    ori  %[port], %[tdi_bit]\n"
        "    sbi  %[portc], %[tck_pin]\n"  // TCK rises: cycles 9-10
        "    rjmp .+0\n"
        "    rjmp .+0\n"
        "    rjmp .+0\n"
        "    sbic %[pinc], %[tdo_pin]\n"  // 16 cycles after the fall
        "    ori  %[out], 0x80\n"
        "    dec  %[bits]\n"
        "    brne 1b\n"
        : [out] "+d"(out), [tdi] "+r"(tdi), [tms] "+r"(tms), [bits] "+r"(bits), [port] "+d"(port)
        : [portc] "I"(_SFR_IO_ADDR(PORTC)), [pinc] "I"(_SFR_IO_ADDR(PINC)), [tms_bit] "M"(tms_bit), [tdi_bit] "M"(tdi_bit),
          [tdo_pin] "I"(PC3), [tck_pin] "I"(PC0));
    rest();
    return static_cast<uint8_t>(out >> (8 - count));
}

uint16_t PinProbe::target_mv() {
    measure_nano();
    return a4_mv();
}

uint16_t PinProbe::supply_mv() {
    measure_nano();
    return nano_mv;
}

bool PinProbe::idle(uint32_t microseconds) {
    if (!drive()) return false;
    wait_us(with_margin(microseconds));
    jtag::tap_idle_clock(pins);
    rest();
    return true;
}

bool PinProbe::wait_begin(uint32_t microseconds) {
    if (!drive()) return false;
    wait_start_ = half_us();
    wait_us_ = with_margin(microseconds);
    return true;
}

bool PinProbe::wait_end() {
    if (!driving_) return false;
    wait_since(wait_start_, wait_us_);
    jtag::tap_idle_clock(pins);
    rest();
    return true;
}

bool PinProbe::reset() {
    if (!drive()) return false;
    jtag::tap_reset(pins);
    rest();
    return true;
}

jtag::ChainProblem PinProbe::chain_problem() {
    measured_ = false;
    const char* problem = supply_problem();
    if (!problem) return jtag::chain_sound;
    problem_ = problem;
    release();
    return jtag::chain_probe;
}

}  // namespace fw
}  // namespace vr
