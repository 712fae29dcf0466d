// Probe mode: the Nano as a plain JTAG probe, speaking the binary protocol of
// OpenOCD's `buspirate` driver, so that OpenOCD (any JTAG chip) and
// vrjtag-cli's direct route (the whole ATF15xx family) can drive the pins.
//
// Entered from the adapter protocol by 20 NULs ("BBIO1"); 0x06 then starts
// the JTAG mode ("OCD1"). In the JTAG mode:
//   0x00          back to the bit-bang mode ("BBIO1")
//   0x01 M        port mode: 0 releases the pins, anything else wants them
//                 driven (open-drain is driven as push-pull); no reply
//   0x02 F A      feature (LED, regulator, pull-ups, TRST, SRST): no reply
//   0x03          the voltages: 0x03 0x08, then four 16-bit counts of
//                 1/155.15 V: A4 (the target), 0, 0, the Nano's supply
//   0x05 H L ...  TAP shift of H:L bits (at most 8192): TDI/TMS byte pairs in,
//                 least significant bit first; the reply 0x05 H L, then a TDO
//                 byte per pair as soon as it is shifted (nothing is buffered).
//                 A shift that cannot drive the pins when it starts (not
//                 wanted since a release, no safe supply) is answered 0x05 0 0
//                 alone: its pairs are read and nothing else is answered, so
//                 a host that counts the reply (OpenOCD) sees an error
//   0x07 S        line speed (0 115200, 1 1,000,000 baud): switched once the
//                 reply before it has gone; then 0xAA 0x55 at the new speed
//                 are answered 0x07 S
//   0x08 S        JTAG clock: ignored (the pins run as fast as they can)
//   0x20          (ours) status: 0x20, a byte of flags (cleared by reading),
//                 the CRC-8 of every byte received since the last status
//                 (this 0x20 included) and the CRC-8 of every byte sent since
//                 the last status reply
//   0x21 K1 K2    (ours) VPP, 12 V on OE1 for a recovery: on when K1 K2 is the
//                 key 0x56 0x50 ("VP") and the supplies are safe, off for
//                 anything else; answered 0x21 and the state. On before the
//                 pins are driven (12 V first). Off releases the pins first
//                 (driven again at the next port mode); VPP is off too
//                 whenever the pins are released: leaving probe mode, port
//                 mode 0, a lost byte, 5 s of silence, the target's supply
//                 gone
//   0x22 A        (ours) A 1 arms, 0 disarms, taking the chip out of
//                 programming mode when the host falls silent for 5 s while
//                 the pins are driven (a host that died mid-write); answered
//                 0x22 A
//   0x24 H L ...  (ours) TAP shift as 0x05 with TMS low throughout: one TDI
//                 byte per 8 bits instead of a pair (the middle of a long
//                 scan in half the bytes); answered 0x24 H L and a TDO byte
//                 per TDI byte, refused as 0x05 is
//   0x23 H L      (ours) waits H:L times 100 us (timed on the Nano's own
//                 clock, at least 1.01 times that) with the TAP where it is,
//                 then answers 0x23
//   0x25 N        (ours) answers N bytes 0x25: after a reply the host waits
//                 for, they fill the USB serial chip's packet, which then goes
//                 at once instead of when its latency timer ends (an FT232R
//                 holds fewer than 62 bytes up to 16 ms)
// In the bit-bang mode 0x0F leaves probe mode (reply 0x01): the adapter
// protocol again. Anything else there is answered "BBIO1"-less: ignored.
//
// Pins are driven only when the board allows it (its supply checks); a
// shift the board refuses in its middle clocks nothing more and answers 0xFF
// for each byte still owed, and the status says so. After a byte lost or
// damaged on the line (a host faster than the Nano, noise), or 5 s of silence
// in the middle of a command (a stalled host), nothing more is read: the
// data still to come would be taken for commands. The pins are released,
// and once the line has been silent for a while probe mode ends
// (probe_silence); the host, having seen its replies stop, starts again with
// the 20 NULs. Silence between commands, or the target's supply going,
// releases the pins too and forgets the port mode: they are driven again
// only when the host asks, and the status says "released" until read.
//
// Free of the AVR's headers: the host builds it too, for the fuzz target.
#pragma once

#include <stdint.h>

namespace vr {
namespace fw {

// What probe mode needs of the board (a class with these members; a
// template parameter, so that no virtual table takes the Nano's RAM):
//   bool drive()        drives the JTAG pins after checking the supplies (the
//                       TAP then in Run-Test/Idle); false, pins released,
//                       when that is not safe
//   bool driving()
//   void release()
//   uint8_t shift(uint8_t tdi, uint8_t tms, uint8_t bits)
//                       clocks 1 to 8 bits, least significant first; TDO
//                       back in the same order; only while driving
//   uint16_t target_mv(), supply_mv()
//   void send(const uint8_t* bytes, uint8_t count)
//   void line_fast(bool) the line's speed, once what was sent has gone
//   bool vpp(bool on)   VPP switched (on only while the supplies are safe);
//                       its state
//   bool line_damaged() a byte lost or damaged since the last call
//   bool next(uint8_t& byte)  the next byte from the host when one is waiting
//                       and none was lost or damaged (false leaves both to
//                       the next probe_receive)
//   void leave()        the chip out of programming mode (while driving)
//   void wait(uint16_t tenths)  tenths times 100 us, times at least 1.01

// Status flags (command 0x20).
const uint8_t status_driving = 0x01;  // the pins are driven now
const uint8_t status_refused = 0x02;  // a shift was refused: no safe supply
const uint8_t status_too_long = 0x04; // a shift asked for more than 8192 bits
const uint8_t status_released = 0x08; // the pins were released without the host asking

struct ProbeMode {
    uint8_t state;      // where in a command the decoder is
    uint8_t arg;
    bool jtag : 1;      // in the JTAG mode (else the bit-bang mode)
    bool wanted : 1;    // the port mode asks for driven pins
    bool failed : 1;    // this shift clocks nothing more
    bool silent : 1;    // this shift answers nothing (refused when it started)
    bool armed : 1;     // leave programming mode on silence
    bool compact : 1;   // this shift has TDI bytes alone (TMS low)
    uint8_t status;
    uint8_t crc_in, crc_out;  // since the last status
    uint16_t bits;      // still to shift
    uint8_t tdi;        // the first byte of a pair
};

// Starts probe mode (the 20 NULs were read): answers "BBIO1".
template <class Board>
void probe_begin(ProbeMode& mode, Board& board);
// One byte from the host. False when probe mode has ended.
template <class Board>
bool probe_receive(ProbeMode& mode, Board& board, uint8_t byte);
// The host has been silent for seconds: the chip out of programming mode
// when armed, the pins released and the port mode forgotten; a command cut
// off makes the line lost. False when probe mode ends (after a lost line).
template <class Board>
bool probe_silence(ProbeMode& mode, Board& board);
// The board released the pins by itself (the target's supply went).
template <class Board>
void probe_released(ProbeMode& mode, Board& board);

}  // namespace fw
}  // namespace vr

#include "firmware/probe_mode_impl.hpp"
