// The template bodies of probe_mode.hpp.
#pragma once

#include "firmware/probe_mode.hpp"
#include "jtag/probe/crc8.hpp"

namespace vr {
namespace fw {
namespace probe_detail {

enum : uint8_t {
    cmd_bbio = 0x00,
    cmd_port_mode = 0x01,
    cmd_feature = 0x02,
    cmd_read_adcs = 0x03,
    cmd_tap_shift = 0x05,
    cmd_enter_ocd = 0x06,
    cmd_uart_speed = 0x07,
    cmd_jtag_speed = 0x08,
    cmd_leave = 0x0F,
    cmd_status = 0x20,
    cmd_vpp = 0x21,
    cmd_arm = 0x22,
    cmd_wait = 0x23,
    cmd_tap_tdi = 0x24,
    cmd_pad = 0x25,
};

// VPP's key: two bytes that a shift's data, read as commands after a slip,
// is unlikely to hold right after 0x21.
const uint8_t vpp_key1 = 0x56, vpp_key2 = 0x50;

enum : uint8_t {
    at_command,
    at_skip2,     // a feature's two bytes
    at_skip1,     // one byte to ignore
    at_mode,
    at_speed,
    at_bits_high,
    at_bits_low,
    at_tdi,
    at_tms,
    at_ack_aa,    // after a speed change, 0xAA 0x55 at the new speed
    at_ack_55,
    at_vpp,
    at_vpp2,
    at_arm,
    at_wait_high,
    at_wait_low,
    at_pad,
    at_lost,      // a byte was lost: nothing more is read as a command
};

const uint16_t max_bits = 8192;

// The shift's steps run for every byte of a word: inlined into the loop
// that takes the bytes, their calls would cost the Nano more than their work.
#define VR_FW_STEP inline __attribute__((always_inline))

// Every reply goes through here, into the CRC the status returns.
template <class Board>
VR_FW_STEP void reply(ProbeMode& mode, Board& board, const uint8_t* bytes, uint8_t count) {
    for (uint8_t i = 0; i < count; ++i) mode.crc_out = jtag::crc8(mode.crc_out, bytes[i]);
    board.send(bytes, count);
}

// The texts a byte at a time: a string or an initialised array would take
// the Nano's RAM.
template <class Board>
void put(ProbeMode& mode, Board& board, uint8_t c) {
    reply(mode, board, &c, 1);
}
template <class Board>
void send_bbio1(ProbeMode& mode, Board& board) {
    put(mode, board, 'B'), put(mode, board, 'B'), put(mode, board, 'I'), put(mode, board, 'O'), put(mode, board, '1');
}
template <class Board>
void send_ocd1(ProbeMode& mode, Board& board) {
    put(mode, board, 'O'), put(mode, board, 'C'), put(mode, board, 'D'), put(mode, board, '1');
}

// mV as the driver's counts: 155.1515 per volt (2542 / 16384 per mV).
inline void put_volts(uint8_t* out, uint16_t mv) {
    const uint16_t v = static_cast<uint16_t>((static_cast<uint32_t>(mv) * 2542u + 8192u) >> 14);
    out[0] = static_cast<uint8_t>(v >> 8);
    out[1] = static_cast<uint8_t>(v);
}

// Before each pair: the pins driven, or this shift failed for good.
template <class Board>
VR_FW_STEP bool ready(ProbeMode& mode, Board& board) {
    if (mode.failed) return false;
    if (board.driving() || (mode.wanted && board.drive())) return true;
    mode.status |= status_refused;
    mode.failed = true;
    return false;
}

template <class Board>
VR_FW_STEP void shift_pair(ProbeMode& mode, Board& board, uint8_t tms) {
    const uint8_t n = mode.bits < 8 ? static_cast<uint8_t>(mode.bits) : 8;
    uint8_t tdo = 0xFF;
    if (ready(mode, board)) tdo = board.shift(mode.tdi, tms, n);
    if (!mode.silent) reply(mode, board, &tdo, 1);
    mode.bits = static_cast<uint16_t>(mode.bits - n);
}

// The rest of a shift straight from the line while its bytes wait: what
// probe_receive does for each, without a round of the main loop (that round
// was most of the Nano's time per word). Only while the pins are driven and
// the shift answers: nothing in here releases them. A pair whose TMS byte
// has not come yet is left to probe_receive.
template <class Board>
void shift_more(ProbeMode& mode, Board& board) {
    if (mode.state != at_tdi || mode.failed || mode.silent || !board.driving()) return;
    uint8_t crc_in = mode.crc_in, crc_out = mode.crc_out, tdi, tms = 0;
    uint16_t bits = mode.bits;
    while (bits && board.next(tdi)) {
        crc_in = jtag::crc8(crc_in, tdi);
        if (!mode.compact) {
            if (!board.next(tms)) {
                mode.tdi = tdi;
                mode.state = at_tms;
                break;
            }
            crc_in = jtag::crc8(crc_in, tms);
        }
        const uint8_t n = bits < 8 ? static_cast<uint8_t>(bits) : 8;
        const uint8_t tdo = board.shift(tdi, tms, n);
        crc_out = jtag::crc8(crc_out, tdo);
        board.send(&tdo, 1);
        bits = static_cast<uint16_t>(bits - n);
    }
    mode.crc_in = crc_in, mode.crc_out = crc_out, mode.bits = bits;
    if (!bits) mode.state = at_command;
}

template <class Board>
bool bbio_byte(ProbeMode& mode, Board& board, uint8_t byte) {
    if (byte == cmd_bbio) {
        send_bbio1(mode, board);
    } else if (byte == cmd_enter_ocd) {
        mode.jtag = true;
        send_ocd1(mode, board);
    } else if (byte == cmd_leave) {
        put(mode, board, 1);
        board.release();
        board.line_fast(false);
        return false;
    }
    return true;
}

template <class Board>
void command_byte(ProbeMode& mode, Board& board, uint8_t byte) {
    switch (byte) {
    case cmd_bbio:
        mode.jtag = false;
        send_bbio1(mode, board);
        break;
    case cmd_port_mode:
        mode.state = at_mode;
        break;
    case cmd_feature:
        mode.state = at_skip2;
        break;
    case cmd_jtag_speed:
        mode.state = at_skip1;
        break;
    case cmd_uart_speed:
        mode.state = at_speed;
        break;
    case cmd_tap_shift:
    case cmd_tap_tdi:
        mode.compact = byte == cmd_tap_tdi;
        mode.state = at_bits_high;
        break;
    case cmd_vpp:
        mode.state = at_vpp;
        break;
    case cmd_arm:
        mode.state = at_arm;
        break;
    case cmd_wait:
        mode.state = at_wait_high;
        break;
    case cmd_pad:
        mode.state = at_pad;
        break;
    case cmd_read_adcs: {
        uint8_t volts[10] = {cmd_read_adcs, 8, 0, 0, 0, 0, 0, 0, 0, 0};
        put_volts(volts + 2, board.target_mv());
        put_volts(volts + 8, board.supply_mv());
        reply(mode, board, volts, sizeof volts);
        break;
    }
    case cmd_status: {
        // The CRCs cover everything since the last status: the host
        // compares them with its own of what it sent and received.
        const uint8_t status[4] = {cmd_status, static_cast<uint8_t>(mode.status | (board.driving() ? status_driving : 0)),
                                   mode.crc_in, mode.crc_out};
        mode.status = 0;
        board.send(status, 4);
        mode.crc_in = mode.crc_out = 0;
        break;
    }
    default:  // unknown: ignored, as the driver expects no reply
        break;
    }
}

}  // namespace probe_detail

template <class Board>
void probe_begin(ProbeMode& mode, Board& board) {
    using namespace probe_detail;
    mode = ProbeMode();
    send_bbio1(mode, board);
}

template <class Board>
bool probe_receive(ProbeMode& mode, Board& board, uint8_t byte) {
    using namespace probe_detail;
    if (mode.state == at_lost) return true;
    if (board.line_damaged()) {
        // The bytes from here on may be out of step: a data byte read as a
        // command could clock anything into the chip. The pins are released
        // and the line is ignored until it falls silent.
        board.release();
        mode.state = at_lost;
        return true;
    }
    mode.crc_in = jtag::crc8(mode.crc_in, byte);
    if (!mode.jtag) return bbio_byte(mode, board, byte);
    switch (mode.state) {
    case at_command:
        command_byte(mode, board, byte);
        return true;
    case at_skip2:
        mode.state = at_skip1;
        return true;
    case at_skip1:
        break;
    case at_mode:
        mode.wanted = byte != 0;
        if (!mode.wanted) board.release();
        else if (!board.driving() && !board.drive()) mode.status |= status_refused;
        break;
    case at_vpp:
        mode.arg = byte;
        mode.state = at_vpp2;
        return true;
    case at_vpp2: {
        const bool on = mode.arg == vpp_key1 && byte == vpp_key2;
        // Off: the pins go first (a chip still without JTAG takes its pins
        // back as OE1 falls), and wait for the host's port mode again.
        if (!on) board.release(), mode.wanted = false;
        const uint8_t state[2] = {cmd_vpp, static_cast<uint8_t>(board.vpp(on))};
        reply(mode, board, state, 2);
        break;
    }
    case at_arm: {
        mode.armed = byte != 0;
        const uint8_t armed[2] = {cmd_arm, static_cast<uint8_t>(mode.armed)};
        reply(mode, board, armed, 2);
        break;
    }
    case at_wait_high:
        mode.arg = byte;
        mode.state = at_wait_low;
        return true;
    case at_wait_low:
        board.wait(static_cast<uint16_t>(mode.arg << 8 | byte));
        put(mode, board, cmd_wait);
        break;
    case at_pad:
        for (; byte; --byte) put(mode, board, cmd_pad);
        break;
    case at_speed:
        mode.arg = byte;
        board.line_fast(byte == 1);
        mode.state = at_ack_aa;
        return true;
    case at_ack_aa:
        if (byte == 0xAA) mode.state = at_ack_55;
        return true;
    case at_ack_55:
        if (byte == 0x55) {
            const uint8_t speed[2] = {cmd_uart_speed, mode.arg};
            reply(mode, board, speed, 2);
            break;
        }
        mode.state = byte == 0xAA ? at_ack_55 : at_ack_aa;
        return true;
    case at_bits_high:
        mode.arg = byte;
        mode.state = at_bits_low;
        return true;
    case at_bits_low: {
        mode.bits = static_cast<uint16_t>(mode.arg << 8 | byte);
        mode.failed = false;
        // A shift that cannot drive the pins from its start (not wanted
        // since a release, no safe supply) says so in its header and answers
        // nothing more: a host that counts the reply sees the error.
        mode.silent = mode.bits && mode.bits <= max_bits && !ready(mode, board);
        const uint8_t header[3] = {mode.compact ? cmd_tap_tdi : cmd_tap_shift, static_cast<uint8_t>(mode.silent ? 0 : mode.arg),
                                   static_cast<uint8_t>(mode.silent ? 0 : byte)};
        reply(mode, board, header, 3);
        if (mode.bits > max_bits) {
            // More than the protocol allows: the pairs are still read and
            // answered, but nothing reaches the pins.
            mode.status |= status_too_long;
            mode.failed = true;
        }
        mode.state = mode.bits ? at_tdi : at_command;
        return true;
    }
    case at_tdi:
        mode.tdi = byte;
        if (!mode.compact) {
            mode.state = at_tms;
            return true;
        }
        // TDI alone, TMS low: the middle of a long scan in half the bytes.
        shift_pair(mode, board, 0);
        mode.state = mode.bits ? at_tdi : at_command;
        shift_more(mode, board);
        return true;
    case at_tms:
        shift_pair(mode, board, byte);
        mode.state = mode.bits ? at_tdi : at_command;
        shift_more(mode, board);
        return true;
    }
    mode.state = at_command;
    return true;
}

template <class Board>
bool probe_silence(ProbeMode& mode, Board& board) {
    using namespace probe_detail;
    // A host gone in the middle of a write: the chip out of programming
    // mode while the pins are still driven.
    if (mode.armed && board.driving()) board.leave();
    probe_released(mode, board);
    if (mode.state == at_lost) return false;
    // A command cut off: its remaining bytes, when they come, must not be
    // read as commands (0x21 0x56 0x50 would switch 12 V on).
    if (mode.state != at_command) mode.state = at_lost;
    return true;
}

template <class Board>
void probe_released(ProbeMode& mode, Board& board) {
    if (board.driving() || mode.wanted) mode.status |= status_released;
    board.release();
    mode.wanted = false;
}

}  // namespace fw
}  // namespace vr
