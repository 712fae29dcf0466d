// Fuzzes the firmware's probe-mode decoder with any bytes from the host, on
// a board whose target may be unpowered, may lose its supply, and whose line
// may lose a byte: the pins are clocked only while the board drives them
// after a supply check that passed, 1 to 8 bits at a time, never more than
// the shifts asked for; nothing is clocked after a lost byte; probe mode
// ends only on 0x0F in the bit-bang mode; VPP is never on without the
// target's supply, nor after a lost byte.
//
// The first three bytes set the board: bit 0 of the first the target's
// supply, the second the byte after which the supply goes (0: never), the
// third the byte that arrives damaged (0: none).
#include <cstdlib>

#include "firmware/probe_mode.hpp"

namespace {

struct FakeBoard {
    bool powered = false, drives = false, damaged = false, vpp_on = false;
    unsigned long clocked = 0;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size > VR_FUZZ_MAX_INPUT) size = VR_FUZZ_MAX_INPUT;
    if (size < 3) return 0;
    FakeBoard board;
    board.powered = data[0] & 1;
    const std::size_t power_goes = data[1], damage_at = data[2];
    vr::fw::ProbeMode mode;
    vr::fw::probe_begin(mode, board);
    // The 8192-bit limit of one shift bounds what any input may clock.
    unsigned long allowed = 0;
    bool lost = false;
    for (std::size_t i = 3; i < size; ++i) {
        const std::size_t at = i - 3;
        if (power_goes && at == power_goes) board.powered = false, board.release();  // the power watch
        if (damage_at && at == damage_at) board.damaged = true, lost = true;
        const unsigned long before = board.clocked;
        const bool was_bbio = !mode.jtag;
        allowed += 8192;
        if (!vr::fw::probe_receive(mode, board, data[i])) {
            if (!was_bbio || data[i] != 0x0F || board.drives) std::abort();
            return 0;
        }
        if (lost && board.clocked != before) std::abort();
        if (board.clocked > allowed) std::abort();
        if (lost && (board.drives || board.vpp_on)) std::abort();
        if (board.vpp_on && !board.powered) std::abort();
    }
    return 0;
}
