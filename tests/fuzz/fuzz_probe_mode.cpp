// Fuzzes the firmware's probe-mode decoder with any bytes from the host, on
// a board whose target may be unpowered, may lose its supply, and whose line
// may lose a byte. After every byte the decoder must agree with a reference
// written here from the protocol's description, not from the decoder: the
// same count of bytes answered, and every shift clocking exactly the bits it
// asked for while the pins may be driven (nothing once they may not, after a
// lost byte, or for a shift longer than 8192 bits). Also: the pins are
// clocked only while driven after a supply check that passed, 1 to 8 bits at
// a time; probe mode ends only on 0x0F in the bit-bang mode; VPP is never on
// without the target's supply, nor after a lost byte.
//
// The first three bytes set the board: bit 0 of the first the target's
// supply, the second the byte after which the supply goes (0: never), the
// third the byte that arrives damaged (0: none).
#include <cstdlib>

#include "firmware/probe_mode.hpp"

namespace {

struct FakeBoard {
    bool powered = false, drives = false, damaged = false, vpp_on = false;
    unsigned long clocked = 0, sent = 0;
    bool drive() {
        drives = powered;
        return drives;
    }
    bool driving() { return drives; }
    void release() { drives = vpp_on = false; }
    uint8_t shift(uint8_t tdi, uint8_t tms, uint8_t bits) {
        if (!drives || !powered || bits < 1 || bits > 8) std::abort();
        clocked += bits;
        return static_cast<uint8_t>(tdi ^ tms);
    }
    uint16_t target_mv() { return powered ? 5000 : 0; }
    uint16_t supply_mv() { return 5000; }
    void send(const uint8_t*, uint8_t count) {
        if (count == 0) std::abort();
        sent += count;
    }
    void line_fast(bool) {}
    bool vpp(bool on) {
        vpp_on = on && (drives || drive());
        return vpp_on;
    }
    bool line_damaged() {
        const bool was = damaged;
        damaged = false;
        return was;
    }
};

// The protocol as OpenOCD's buspirate driver and our two commands define it:
// what each byte makes the Nano answer and clock.
struct Reference {
    enum Mode { bitbang, jtag, ended, lost } mode = bitbang;
    // Argument bytes still to come for the command being read, and which.
    int pending = 0;
    uint8_t command = 0;
    uint8_t first_arg = 0;
    bool want_pins = false;  // the last port mode asked for driven pins
    bool pins = false;       // the pins may be driven now (as far as the host can tell)
    unsigned long sent = 5;  // "BBIO1" at the start
    unsigned long clocked = 0;
    // The shift being read: bits still owed, whether it clocks, a TDI byte
    // waiting for its TMS byte.
    unsigned bits = 0;
    bool clocks = false, half = false;
    // The line speed's handshake: 0 waiting for 0xAA, 1 for 0x55.
    int ack = -1;

    // The board lost its supply (the pins released).
    void power_lost() { pins = false; }

    void byte(uint8_t b, bool powered) {
        if (mode == ended || mode == lost) return;
        if (mode == bitbang) {
            if (b == 0x00) sent += 5;
            if (b == 0x06) mode = jtag, sent += 4;
            if (b == 0x0F) mode = ended, sent += 1;
            return;
        }
        if (ack >= 0) {
            if (ack == 0 && b == 0xAA) ack = 1;
            else if (ack == 1 && b == 0x55) ack = -1, sent += 2;
            else if (ack == 1 && b != 0xAA) ack = 0;
            return;
        }
        if (bits > 0) {
            if (!half) {
                half = true;
                return;
            }
            half = false;
            const unsigned n = bits < 8 ? bits : 8;
            // Each pair needs the pins: driven already, or drivable now.
            if (clocks && !pins && want_pins && powered) pins = true;
            if (clocks && !pins) clocks = false;
            if (clocks) clocked += n;
            bits -= n;
            sent += 1;
            return;
        }
        if (pending > 0) {
            --pending;
            if (pending == 0) finish(b, powered);
            else first_arg = b;
            return;
        }
        command = b;
        switch (b) {
        case 0x00: mode = bitbang, sent += 5; break;
        case 0x01: case 0x07: case 0x08: case 0x21: pending = 1; break;
        case 0x02: case 0x05: pending = 2; break;
        case 0x03: sent += 10; break;
        case 0x20: sent += 2; break;
        default: break;  // unknown commands are ignored
        }
    }

    void finish(uint8_t b, bool powered) {
        switch (command) {
        case 0x01:
            want_pins = b != 0;
            pins = want_pins && powered;
            break;
        case 0x07: ack = 0; break;
        case 0x21: sent += 2; break;
        case 0x05:
            bits = static_cast<unsigned>(first_arg << 8 | b);
            sent += 3;
            clocks = bits <= 8192;
            break;
        default: break;
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size > VR_FUZZ_MAX_INPUT) size = VR_FUZZ_MAX_INPUT;
    if (size < 3) return 0;
    FakeBoard board;
    board.powered = data[0] & 1;
    const std::size_t power_goes = data[1], damage_at = data[2];
    vr::fw::ProbeMode mode;
    vr::fw::probe_begin(mode, board);
    Reference ref;
    for (std::size_t i = 3; i < size; ++i) {
        const std::size_t at = i - 3;
        if (power_goes && at == power_goes) board.powered = false, board.release(), ref.power_lost();  // the power watch
        if (damage_at && at == damage_at) board.damaged = true, ref.mode = Reference::lost;
        const unsigned long before = board.clocked;
        const bool was_bbio = !mode.jtag;
        const bool going_on = vr::fw::probe_receive(mode, board, data[i]);
        ref.byte(data[i], board.powered);
        if (!going_on) {
            if (!was_bbio || data[i] != 0x0F || board.drives || ref.mode != Reference::ended) std::abort();
            return 0;
        }
        if (ref.mode == Reference::ended) std::abort();
        if (ref.mode == Reference::lost && (board.clocked != before || board.drives || board.vpp_on)) std::abort();
        // The reference's own account, byte by byte.
        if (board.sent != ref.sent) std::abort();
        if (board.clocked != ref.clocked) std::abort();
        if (board.vpp_on && !board.powered) std::abort();
    }
    return 0;
}
