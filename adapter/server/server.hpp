// The adapter's protocol server: takes the "#8" commands byte by byte and
// carries each out through the chip operations, answering on the link.
//
// Rules it keeps because a real chip is at stake:
// - an identification answers only for a chip the protocol serves (an
//   ATF1504AS or ATF1508AS, 5 V or 3.3 V) alone on a sound chain; an erase needs the host's own identification of it since the last
//   release (a refused erase needs a new one), the layout the host asked for
//   ("#84": an ATF1504 layout), and re-reads the IDCODE first; the release
//   that follows "#8E" does not cancel it;
// - words are checked before they are programmed (unused bits as the row
//   layout has them, word 200 only F or 7), so the JTAG pin bit is never
//   cleared;
// - read protection asked for by a word 200 of 7 is programmed when the host
//   reads word 100 back ("#81", the last read of a secure write), before that
//   reply, and only when every flash word of the chip (rows, 100 and 300) was
//   written by the host since this session's erase of the same chip and read
//   back equal, and word 200 read back erased. When the program pulse fails
//   the reply is not sent, so the host reports a failure.
//
// Session: a host's run from opening the port to closing it. Every end of a
// run or a step of it (release, identification, erase, hang-up, shutdown)
// drops a pending read protection, saying why; a hang-up or shutdown also
// leaves programming mode, resets the TAP and forgets the identification and
// the words written.
//
// Free of the heap, exceptions, operating-system calls and the standard
// library: this also builds for a small microcontroller.
#pragma once

#include <stdint.h>

#include "jtag/chip/chip.hpp"

namespace vr {
namespace jtag {

// Where the server's replies and notes go.
class Link {
public:
    virtual void send(const char* bytes, uint16_t count) = 0;
    // A pause inside a reply (a fault the emulator can inject).
    virtual void stall(uint16_t milliseconds) = 0;
    // One line for the operator or the log.
    virtual void note(const char* text) = 0;

protected:
    ~Link() {}
};

// Faults the emulator injects into replies and writes; address -1 is none.
struct Faults {
    bool no_id;
    bool erase_fail;
    bool crlf;
    int16_t stall_row, wrong_address, bad_hex, nul_row, no_r, no_d, no_e, drop_write;
};
void faults_none(Faults& faults);

const uint16_t word_slots = 234;  // rows 000-06B and 080-0FA, then 100, 200, 300

struct Server {
    Chip chip;
    Link* link;
#ifndef __AVR__
    // The emulator's faults; the microcontroller adapter has none.
    Faults faults;
    char id_reply;  // replaces the chip type digit of the reply when not 0
#endif

    char line[100];
    uint8_t length;
    bool too_long;

    bool identified;   // a supported chip found since the last release
    char asked;        // the host's identification since then: 'I', '4' (an ATF1504 layout) or 0
    uint32_t commands;
    uint32_t erases;

    // Read protection asked for and not yet programmed, and what it waits on.
    bool protect_pending;
    bool special_erased;    // word 200 last read back F
    bool locked;            // read protection programmed: no more programming until an erase
    uint32_t erased_idcode;  // the chip erased in this session, 0 when none
    uint8_t written[(word_slots + 7) / 8];    // by the host since the erase
    uint8_t confirmed[(word_slots + 7) / 8];  // read back equal since written
    uint16_t sums[word_slots];                // CRC-16 of what was written
};

void server_init(Server& server, Probe& probe, Link& link);

// One byte from the host, or as many as came at once.
void server_receive(Server& server, char c);
void server_receive(Server& server, const char* bytes, uint16_t count);

// What an identification found, for the operator: "ATF1508AS found (IDCODE
// 0x0150803F)" (for an ATF1502, that it is not programmable through the
// adapter protocol), "IDCODE 0x...: not an ATF1502AS/ATF1504AS/ATF1508AS"
// (with a hint for an Atmel-like IDCODE), "no chip found (IDCODE 0x...)", the
// chain's problem or the probe's failure. Cut to size - 1 characters; 160
// holds every one.
void identification_text(const Chip& chip, IdResult result, char* out, uint16_t size);

// The line under way was damaged on its way (a framing error, an overrun, a
// byte lost): it is not carried out, as a line too long is not.
void server_spoil(Server& server);

// The host closed the port: the session ends (see above).
void server_hangup(Server& server);

// Shutdown: the session ends as at a hang-up.
void server_stop(Server& server);

}  // namespace jtag
}  // namespace vr
