// Fuzzes the firmware's probe-mode decoder with any bytes from the host, on
// a board whose target may be unpowered, may lose its supply, and whose line
// may lose a byte. After every byte the decoder must agree with a reference
// written here from the protocol's description, not from the decoder: the
// same count of bytes answered, and every shift clocking exactly the bits it
// asked for while the pins may be driven (nothing once they may not, after a
// lost byte or a stall in the middle of a command, or for a shift longer
// than 8192 bits). Also: the pins are clocked only while driven after a
// supply check that passed, 1 to 8 bits at a time; probe mode ends only on
// 0x0F in the bit-bang mode or at a stall after the line was lost; VPP is
// never on without the target's supply, nor after a lost line; after a
// release the pins wait for the host's port mode.
//
// The first four bytes set the board: bit 0 of the first the target's
// supply, the second the byte after which the supply goes (0: never), the
// third the byte that arrives damaged (0: none), the fourth the byte before
// which the host stalls for seconds (0: never).
#include <cstdlib>

#include "firmware/probe_mode.hpp"

namespace {

struct Reference;

// The input as the decoder takes it: a byte per probe_receive call, and
// more through next() in the middle of a shift, up to the next byte at
// which the harness has something to do (the supply going, a stall, a
// damaged byte). Each byte reaches the reference before the decoder.
struct Input {
    const unsigned char* data = nullptr;
    std::size_t size = 0, at = 0;  // at: the byte being read
    std::size_t power_goes = 0, damage_at = 0, stall_at = 0;
    Reference* ref = nullptr;
    bool event_at(std::size_t i) const {
        const std::size_t k = i - 4;
        return (power_goes && k == power_goes) || (damage_at && k == damage_at) || (stall_at && k == stall_at);
    }
};

struct FakeBoard {
    bool powered = false, drives = false, damaged = false, vpp_on = false;
    Input* input = nullptr;
    unsigned long clocked = 0, sent = 0, leaves = 0;
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
        vpp_on = on && powered;
        return vpp_on;
    }
    void leave() {
        if (!drives) std::abort();
        ++leaves;
    }
    void wait(uint16_t) {}
    bool line_damaged() {
        const bool was = damaged;
        damaged = false;
        return was;
    }
    bool next(uint8_t& byte);
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

    // The shift being read answers nothing (refused at its start).
    bool silent = false;
    bool armed = false;
    bool tdi_only = false;  // 0x24: a TDI byte per 8 bits, no TMS byte

    // The board lost its supply: the pins released, the port mode forgotten.
    void power_lost() { pins = want_pins = false; }
    // The host stalled: the same, and a command cut off loses the line;
    // false when probe mode ends (the line was lost already).
    bool stall() {
        if (mode == lost) return false;
        if (mode == jtag && (pending > 0 || bits > 0 || ack >= 0)) mode = lost;
        power_lost();
        return true;
    }

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
            if (!half && !tdi_only) {
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
            if (!silent) sent += 1;
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
        case 0x01: case 0x07: case 0x08: case 0x22: case 0x25: pending = 1; break;
        case 0x02: case 0x05: case 0x21: case 0x23: case 0x24: pending = 2; break;
        case 0x03: sent += 10; break;
        case 0x20: sent += 4; break;
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
        case 0x21:
            sent += 2;
            if (!(first_arg == 0x56 && b == 0x50)) pins = want_pins = false;  // VPP off releases the pins
            break;
        case 0x22: sent += 2, armed = b != 0; break;
        case 0x23: sent += 1; break;
        case 0x25: sent += b; break;
        case 0x05:
        case 0x24:
            tdi_only = command == 0x24;
            bits = static_cast<unsigned>(first_arg << 8 | b);
            sent += 3;
            clocks = bits <= 8192;
            // A shift that cannot have the pins when it starts answers its
            // header alone.
            if (clocks && bits && !pins && want_pins && powered) pins = true;
            silent = clocks && bits && !pins;
            break;
        default: break;
        }
    }
};

bool FakeBoard::next(uint8_t& byte) {
    if (!input || damaged || input->at + 1 >= input->size || input->event_at(input->at + 1)) return false;
    byte = input->data[++input->at];
    input->ref->byte(byte, powered);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size > VR_FUZZ_MAX_INPUT) size = VR_FUZZ_MAX_INPUT;
    if (size < 4) return 0;
    FakeBoard board;
    board.powered = data[0] & 1;
    const std::size_t power_goes = data[1], damage_at = data[2], stall_at = data[3];
    vr::fw::ProbeMode mode;
    vr::fw::probe_begin(mode, board);
    Reference ref;
    Input input;
    input.data = data, input.size = size, input.power_goes = power_goes, input.damage_at = damage_at;
    input.stall_at = stall_at, input.ref = &ref;
    board.input = &input;
    for (std::size_t i = 4; i < size; i = input.at + 1) {
        const std::size_t at = i - 4;
        input.at = i;
        if (power_goes && at == power_goes) {  // the power watch
            board.powered = false;
            vr::fw::probe_released(mode, board);
            ref.power_lost();
        }
        if (stall_at && at == stall_at) {
            const bool was_driving = board.drives;
            const unsigned long leaves = board.leaves;
            const bool going_on = vr::fw::probe_silence(mode, board);
            // Armed, a host gone while the pins were driven: the chip out of
            // programming mode once.
            if (board.leaves != leaves + (ref.armed && was_driving ? 1 : 0)) std::abort();
            if (going_on != ref.stall()) std::abort();
            if (!going_on) return 0;
            if (board.drives || board.vpp_on) std::abort();
        }
        if (damage_at && at == damage_at) board.damaged = true, ref.mode = Reference::lost;
        const unsigned long before = board.clocked;
        const bool was_bbio = !mode.jtag;
        ref.byte(data[i], board.powered);
        const bool going_on = vr::fw::probe_receive(mode, board, data[i]);
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
