// The Nano's supply checks, shared by its firmware (which decides whether
// the JTAG pins may be driven) and the host (which explains a refusal).
//
// The firmware measures its own supply (AVcc) through the 1.1 V bandgap,
// whose real voltage varies by +-10 % between chips, and the target's supply
// on A4 against AVcc. The thresholds leave room for that: a USB-powered Nano
// (about 4.6 V) reads at least 4.2 V whatever its bandgap, so it is accepted;
// a 5 V target reads no more than the Nano's own supply (A4 cannot read
// above AVcc), so 4.1 V still takes it for a 5 V part; a 3.3 V part (at most
// 3.6 V) reads at most 3.96 V, so it is never taken for one.
//
// Pure functions of the ADC counts: the unit tests drive them with the
// counts a real ADC gives at either end of the bandgap's tolerance.
#pragma once

#include <stdint.h>

namespace vr {
namespace jtag {

const uint16_t nano_min_mv = 4200;    // the Nano's own supply, for 16 MHz and its 5 V levels
const uint16_t target_min_mv = 2000;  // below it, the target has no supply
const uint16_t target_5v_mv = 4100;   // below it (and above the last), a 3.3 V part

// The Nano's supply from the bandgap's 10-bit count against AVcc, bandgap_mv
// the bandgap's voltage (1100 nominal; a calibrated value when known).
inline uint16_t nano_mv_of(uint16_t bandgap_count, uint16_t bandgap_mv = 1100) {
    if (bandgap_count == 0) return 0;
    const uint32_t mv = static_cast<uint32_t>(bandgap_mv) * 1024u / bandgap_count;
    return static_cast<uint16_t>(mv < 65535u ? mv : 65535u);
}

// A4's count against AVcc in millivolts.
inline uint16_t target_mv_of(uint16_t a4_count, uint16_t nano_mv) {
    return static_cast<uint16_t>(static_cast<uint32_t>(a4_count) * nano_mv / 1024u);
}

// Why the target may not be driven: 0 when it may; 's' the Nano's own supply
// too low, '-' no target supply, 'v' a 3.3 V target without the level
// translators' strap.
inline char supply_problem_of(uint16_t nano_mv, uint16_t target_mv, bool strapped) {
    if (nano_mv < nano_min_mv) return 's';
    if (target_mv < target_min_mv) return '-';
    if (target_mv < target_5v_mv && !strapped) return 'v';
    return 0;
}

}  // namespace jtag
}  // namespace vr
