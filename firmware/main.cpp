// The adapter firmware for an ATmega328P Nano at 16 MHz: the protocol server
// and chip operations of adapter/ over the UART and the bit-banged JTAG
// probe. Nothing is sent unless the host asked: a stray byte would be read
// as a chip type digit.
//
// The JTAG outputs are driven only while the chip is in programming mode and
// while an operation runs: between commands outside programming mode they
// are released. In programming mode the target's supply is watched, and 5 s
// without a byte from the host (a host that died without its release) ends
// the session as a closed port does: programming mode left, the TAP reset.
//
// 20 NULs in a row (a NUL never belongs to an adapter-protocol line, which
// it spoils) switch to probe mode, the Nano as a plain JTAG probe; 0x00 0x0F
// there come back. In probe mode the pins are released after 5 s of silence
// (the chip taken out of programming mode first when the host armed that)
// or when the target's supply goes; they are driven again only when the host
// asks (its port mode), the TAP reset first.
#include <avr/interrupt.h>

#include "adapter/server/server.hpp"
#include "firmware/pin_probe.hpp"
#include "firmware/probe_mode.hpp"
#include "firmware/timer.hpp"
#include "firmware/uart.hpp"

namespace {

// Replies go to the UART; the firmware has no console for notes.
struct UartLink final : vr::adapter::Link {
    void send(const char* bytes, uint16_t count) override { vr::fw::uart_write(bytes, count); }
    void note(vr::adapter::Note, uint16_t, const vr::jtag::Chip&) override {}
};

vr::fw::PinProbe probe;
UartLink link;
vr::adapter::Server server;

// Bytes taken in this round of the main loop (the supply is looked at
// between rounds).
uint16_t taken = 0;

// Probe mode's view of the pins and the line.
struct Board {
    bool drive() { return probe.drive(); }
    bool driving() { return probe.driving(); }
    void release() { probe.release(); }
    uint8_t shift(uint8_t tdi, uint8_t tms, uint8_t bits) { return probe.shift(tdi, tms, bits); }
    uint16_t target_mv() { return probe.target_mv(); }
    uint16_t supply_mv() { return probe.supply_mv(); }
    void send(const uint8_t* bytes, uint8_t count) {
        if (count == 1) vr::fw::uart_put(*bytes);
        else vr::fw::uart_write(reinterpret_cast<const char*>(bytes), count);
    }
    void line_fast(bool fast) { vr::fw::uart_fast(fast); }
    bool line_damaged() { return vr::fw::uart_lost(); }
    bool next(uint8_t& byte) {
        if (!vr::fw::uart_take(byte)) return false;
        ++taken;
        return true;
    }
    bool vpp(bool on) { return probe.vpp(on); }
    // The chip operations' own leave, on the server's chip record (idle in
    // probe mode): from Test-Logic-Reset, the configuration key, the chip
    // maker's wait, a reset.
    void leave() {
        probe.reset();  // the TAP may be anywhere: a host can die in a shift
        server.chip.programming = true;
        vr::jtag::chip_leave(server.chip);
    }
    void wait(uint16_t tenths) { vr::fw::wait_us(static_cast<uint32_t>(tenths) * 101); }
};
Board board;
vr::fw::ProbeMode probe_mode;
bool probing = false;
uint8_t nuls = 0;
const uint8_t nuls_to_probe = 20;

// A byte of the adapter protocol, or a NUL towards probe mode.
void adapter_byte(char c) {
    if (c != 0) {
        nuls = 0;
        if (c == vr::fw::uart_damaged) vr::adapter::server_spoil(server);
        else vr::adapter::server_receive(server, c);
        if (!server.chip.programming) probe.release();
        return;
    }
    vr::adapter::server_spoil(server);
    if (++nuls < nuls_to_probe) return;
    nuls = 0;
    if (server.chip.programming) vr::adapter::server_hangup(server);
    probe.release();
    probing = true;
    vr::fw::uart_binary(true);
    vr::fw::probe_begin(probe_mode, board);
}

const uint32_t silence_ticks = 50000;  // 5 s of 100 us
const uint32_t watch_ticks = 1000;     // the target's supply every 100 ms

}  // namespace

namespace {
void leave_probe_mode() {
    probe.release();
    probing = false;
    vr::fw::uart_fast(false);
    vr::fw::uart_binary(false);
}
}  // namespace

int main() {
    vr::fw::timer_init();
    vr::fw::uart_init();
    probe.init();
    sei();
    vr::adapter::server_init(server, probe, link);
    uint32_t heard = vr::fw::ticks(), watched = heard;
    for (;;) {
        // The target's supply every 100 ms while the pins are driven or VPP
        // is on, also while bytes keep coming (a host streaming its scans).
        uint32_t now = vr::fw::ticks();
        const bool watching = probe.driving() || probe.vpp_on();
        const bool unpowered = watching && now - watched >= watch_ticks && (watched = now, !probe.target_powered());
        if (unpowered && probing) {
            vr::fw::probe_released(probe_mode, board);
        } else if (unpowered && server.chip.programming) {
            vr::adapter::server_hangup(server);
            probe.release();
        }
        // The bytes that wait, a ring's worth at most between looks at the
        // supply and the clock: a host streaming its scans keeps the ring
        // full, and this loop is most of the time each byte costs.
        char c;
        taken = 0;
        while (taken < 256 && vr::fw::uart_read(c)) {
            ++taken;
            if (!probing) {
                adapter_byte(c);
            } else if (!vr::fw::probe_receive(probe_mode, board, static_cast<uint8_t>(c))) {
                leave_probe_mode();
            }
        }
        if (taken) {
            heard = vr::fw::ticks();
            continue;
        }
        vr::fw::uart_poll();
        now = vr::fw::ticks();
        const bool silent = now - heard >= silence_ticks;
        if (probing && silent && !vr::fw::probe_silence(probe_mode, board)) {
            leave_probe_mode();
        } else if (probing && silent) {
            heard = now;  // the silence is dealt with: the next one after 5 s more
        } else if (server.chip.programming && silent) {
            vr::adapter::server_hangup(server);
            probe.release();
        }
        vr::fw::sleep_unless(vr::fw::uart_pending);
    }
}
