// The chip operations: identification, programming mode, erase, and the
// programming and reading of single flash words, built on the JTAG probe.
//
// Identification never enters programming mode (that would stop the user's
// running board); the other operations enter it when it is not on, and
// chip_leave leaves it.
//
// Free of the heap, exceptions, operating-system calls and the standard
// library: this also builds for a small microcontroller.
#pragma once

#include <stdint.h>

#include "jtag/chip/facts.hpp"
#include "common/bits.hpp"
#include "jtag/probe/probe.hpp"

namespace vr {
namespace jtag {

struct Chip {
    Probe* probe;
    uint32_t idcode;    // of the last identification
    int8_t kind;        // index into chip_kinds, -1 when none was found
    ChainProblem chain_problem;  // why the chain failed its check (id_bad_chain)
    bool programming;   // in programming mode (as far as we know)
};

// found: a supported chip alone on the chain; unknown: another IDCODE;
// no_chip: the line reads all zeros or all ones; bad_chain: TDO stuck, or
// another device between the probe and the chip (chain_problem says which);
// probe_failed: the probe did not carry out the scan.
enum IdResult { id_found, id_unknown, id_no_chip, id_bad_chain, id_probe_failed };

void chip_init(Chip& chip, Probe& probe);

// The identified chip's flash layout (the ATF1504's when none was found).
Layout chip_layout(const Chip& chip);
// A chip the adapter protocol serves (not the ATF1502).
bool chip_served(const Chip& chip);

// Reads the IDCODE and checks the chain: the instruction capture (where the
// probe sees it), the probe's own view of the chain, and a BYPASS test that
// must find exactly one bit between TDI and TDO. kind is set only when a
// supported chip was found alone on a sound chain.
IdResult chip_identify(Chip& chip);

// Reads the IDCODE again, telling the probe it must be `expected`; true when
// it is.
bool chip_check_idcode(Chip& chip, uint32_t expected);

bool chip_enter(Chip& chip);
// Leaves programming mode (when on) and resets the TAP.
bool chip_leave(Chip& chip);

// The chip maker's erase: the erase pulse, then Test-Logic-Reset and a wait.
bool chip_erase(Chip& chip);

// word holds word_bits(address) bits, least significant first.
bool chip_program(Chip& chip, uint16_t address, const uint8_t* word);

// Reads the word at address into word. With expect (not null) the probe is
// told the value expected back, over every bit of the word.
bool chip_read(Chip& chip, uint16_t address, uint8_t* word, const uint8_t* expect);

// The same read in two halves, so that the caller's work overlaps the chip's
// read wait: chip_read_begin selects the word and starts the read (its wait
// begins), chip_read_end completes the wait and shifts the word out. Nothing
// may use the chip between them.
bool chip_read_begin(Chip& chip, uint16_t address);
bool chip_read_end(Chip& chip, uint16_t address, uint8_t* word, const uint8_t* expect);
#ifndef __AVR__
// chip_read with the word filled only when the probe's collect() returns
// true (see Probe::read_ahead).
bool chip_read_later(Chip& chip, uint16_t address, uint8_t* word, const uint8_t* expect);
#endif

}  // namespace jtag
}  // namespace vr
