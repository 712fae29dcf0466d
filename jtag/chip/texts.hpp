// The chip operations' findings in words, for the operator: chip names, the
// chain's problems, the identification's outcome. Host programs only: the
// microcontroller adapter has no console and keeps none of these texts.
#pragma once

#include <string>

#include "jtag/chip/chip.hpp"

namespace vr::jtag {

// "ATF1508AS", or "unknown" for a kind outside the table.
const char* chip_name(int kind);
// The kind with this name, or -1.
int8_t chip_kind_named(const std::string& name);

// The chain's problem in one line; chain_probe gives the probe's own text.
const char* chain_text(ChainProblem problem, const Probe& probe);

// For a chain where nothing answers: the likely way back when a chip of the
// family answered there before.
const char* recover_hint();

// What an identification found: "ATF1508AS found (IDCODE 0x0150803F)" (for
// an ATF1502, that the adapter protocol does not program it), "IDCODE 0x...:
// not an ATF1502AS/ATF1504AS/ATF1508AS" (with a hint for an Atmel-like
// IDCODE), "no chip found (IDCODE 0x...)", the chain's problem or the probe's
// failure.
std::string identification_text(const Chip& chip, IdResult result);

// Whether an identification's outcome is a line where nothing answers.
inline bool nothing_answers(const Chip& chip, IdResult result) {
    return result == id_no_chip || (result == id_bad_chain && chain_silent(chip.chain_problem));
}

// A 32-bit value as "0x" and eight hex digits.
std::string hex32(uint32_t value);

}  // namespace vr::jtag
