// The TAP's moves, written once for every probe that drives the JTAG pins
// itself (the Nano's firmware, the host's remote_bitbang probe): the TMS
// paths between the stable states come from one table, and each pin driver
// supplies only a TCK cycle.
//
// A pin driver Pins has
//   bool clock(bool tms, bool tdi)  one TCK cycle (TMS and TDI set with TCK
//                                   low, TDO sampled, TCK raised): TDO;
//   void step(bool tms, bool tdi)   the same cycle when TDO is not wanted
// (a driver that queues its cycles needs only step: tap_ir_shift,
// tap_dr_shift).
// The functions are templates over it, without virtual calls, so that they
// fit a small microcontroller; no standard library, no heap.
//
// Every scan starts and ends in Run-Test/Idle, as the probes' callers expect.
#pragma once

#include <stdint.h>

namespace vr {
namespace jtag {

// A TMS path: `length` bits, the first clocked first (bit 0).
struct TmsPath {
    uint8_t bits;
    uint8_t length;
};

// Run-Test/Idle -> Select-DR -> Capture-DR -> Shift-DR.
const TmsPath idle_to_shift_dr = {0x01, 3};
// Run-Test/Idle -> Select-DR -> Select-IR -> Capture-IR -> Shift-IR.
const TmsPath idle_to_shift_ir = {0x03, 4};
// Exit1 -> Update -> Run-Test/Idle.
const TmsPath exit1_to_idle = {0x01, 2};
// Anywhere -> Test-Logic-Reset (five 1s) -> Run-Test/Idle.
const TmsPath any_to_reset_to_idle = {0x1F, 6};
// One clock in Run-Test/Idle.
const TmsPath stay_in_idle = {0x00, 1};

template <class Pins>
inline void tap_move(Pins& pins, TmsPath path) {
    for (uint8_t i = 0; i < path.length; ++i) pins.step((path.bits >> i) & 1, false);
}

// Test-Logic-Reset, then Run-Test/Idle.
template <class Pins>
inline void tap_reset(Pins& pins) {
    tap_move(pins, any_to_reset_to_idle);
}

// One TCK cycle, TDO kept (the driver's clock) or not wanted (its step):
// chosen when the code is compiled, so that a driver that cannot give TDO
// at once (one that queues its cycles) needs no clock.
template <bool capture>
struct TapCycle;
template <>
struct TapCycle<true> {
    template <class Pins>
    static bool run(Pins& pins, bool tms, bool tdi) { return pins.clock(tms, tdi); }
};
template <>
struct TapCycle<false> {
    template <class Pins>
    static bool run(Pins& pins, bool tms, bool tdi) {
        pins.step(tms, tdi);
        return false;
    }
};

template <bool capture, class Pins>
uint16_t tap_ir(Pins& pins, uint16_t instruction, uint8_t length) {
    tap_move(pins, idle_to_shift_ir);
    uint16_t out = 0;
    for (uint8_t i = 0; i < length; ++i)
        if (TapCycle<capture>::run(pins, i + 1 == length, (instruction >> i) & 1)) out = static_cast<uint16_t>(out | 1u << i);
    tap_move(pins, exit1_to_idle);
    return out;
}

// A byte at a time: the bits shift through a register instead of being
// looked up one by one.
template <bool capture, class Pins>
void tap_dr(Pins& pins, uint16_t bits, const uint8_t* tdi, uint8_t* tdo) {
    tap_move(pins, idle_to_shift_dr);
    uint16_t left = bits;
    for (uint16_t k = 0; left > 0; ++k) {
        uint8_t in = tdi ? tdi[k] : 0, out = 0;
        const uint8_t n = left < 8 ? static_cast<uint8_t>(left) : 8;
        for (uint8_t b = 0; b < n; ++b, in >>= 1)
            if (TapCycle<capture>::run(pins, left == static_cast<uint16_t>(b + 1), in & 1))
                out = static_cast<uint8_t>(out | 1u << b);
        left = static_cast<uint16_t>(left - n);
        if (capture) tdo[k] = out;
    }
    tap_move(pins, exit1_to_idle);
}

// Scans an instruction of `length` bits (up to 16); with captured (not
// null), the bits the chain shifted out (the instruction capture).
template <class Pins>
void tap_ir_scan(Pins& pins, uint16_t instruction, uint8_t length, uint16_t* captured) {
    if (captured) *captured = tap_ir<true>(pins, instruction, length);
    else tap_ir<false>(pins, instruction, length);
}

// Scans a data register of `bits` bits: tdi in (zeros when null), what
// came out into tdo (when not null).
template <class Pins>
void tap_dr_scan(Pins& pins, uint16_t bits, const uint8_t* tdi, uint8_t* tdo) {
    if (tdo) tap_dr<true>(pins, bits, tdi, tdo);
    else tap_dr<false>(pins, bits, tdi, tdo);
}

// The same scans for a driver that only queues its cycles (step) and gets
// TDO back later in its own way.
template <class Pins>
void tap_ir_shift(Pins& pins, uint16_t instruction, uint8_t length) {
    tap_ir<false>(pins, instruction, length);
}
template <class Pins>
void tap_dr_shift(Pins& pins, uint16_t bits, const uint8_t* tdi) {
    tap_dr<false>(pins, bits, tdi, 0);
}

// The clock that ends a wait in Run-Test/Idle.
template <class Pins>
inline void tap_idle_clock(Pins& pins) {
    tap_move(pins, stay_in_idle);
}

}  // namespace jtag
}  // namespace vr
