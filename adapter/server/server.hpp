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
namespace adapter {

// What the server tells the operator, as a code: the host's adapter
// programs turn it into a line (adapter/server/notes.hpp); the
// microcontroller adapter has no console and drops it.
enum Note : uint8_t {
    note_identified,  // value: the IdResult
    note_erased,
    note_erase_unidentified,
    note_erase_layout,
    note_erase_idcode_changed,
    note_erase_failed,
    note_protection_asked,
    note_protection_set,
    // Read protection NOT set, and why.
    note_unprotected_identified,
    note_unprotected_erased,
    note_unprotected_released,
    note_unprotected_hung_up,
    note_unprotected_stopped,
    note_unprotected_not_erased,
    note_unprotected_not_written,
    note_unprotected_not_equal,
    note_unprotected_special,
    note_unprotected_probe_failed,
    note_leave_failed,
    note_release_failed,
    // value: the word's address.
    note_read_failed,
    note_write_unidentified,
    note_write_malformed,
    note_write_bad_address,
    note_write_bad_length,
    note_write_bad_digit,
    note_write_unused_bits,
    note_write_locked,
    note_write_special_other,
    note_program_failed,
    note_none
};

// Where the server's replies and notes go.
class Link {
public:
    virtual void send(const char* bytes, uint16_t count) = 0;
    // Something for the operator or the log; value is a word's address or an
    // identification's outcome, chip the chip as the server sees it.
    virtual void note(Note what, uint16_t value, const jtag::Chip& chip) = 0;

protected:
    ~Link() {}
};

const uint16_t word_slots = 234;  // rows 000-06B and 080-0FA, then 100, 200, 300

struct Server {
    jtag::Chip chip;
    Link* link;
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

void server_init(Server& server, jtag::Probe& probe, Link& link);

// One byte from the host, or as many as came at once.
void server_receive(Server& server, char c);
void server_receive(Server& server, const char* bytes, uint16_t count);

// The line under way was damaged on its way (a framing error, an overrun, a
// byte lost): it is not carried out, as a line too long is not.
void server_spoil(Server& server);

// The host closed the port: the session ends (see above).
void server_hangup(Server& server);

// Shutdown: the session ends as at a hang-up.
void server_stop(Server& server);

}  // namespace adapter
}  // namespace vr
