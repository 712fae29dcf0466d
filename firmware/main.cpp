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
#include <avr/interrupt.h>

#include "adapter/server/server.hpp"
#include "firmware/pin_probe.hpp"
#include "firmware/timer.hpp"
#include "firmware/uart.hpp"

namespace {

// Replies go to the UART; the firmware has no console for notes.
struct UartLink final : vr::jtag::Link {
    void send(const char* bytes, uint16_t count) override { vr::fw::uart_write(bytes, count); }
    void stall(uint16_t) override {}
    void note(const char*) override {}
};

vr::fw::PinProbe probe;
UartLink link;
vr::jtag::Server server;

const uint32_t silence_ticks = 50000;  // 5 s of 100 us
const uint32_t watch_ticks = 1000;     // the target's supply every 100 ms

}  // namespace

int main() {
    vr::fw::timer_init();
    vr::fw::uart_init();
    probe.init();
    sei();
    vr::jtag::server_init(server, probe, link);
    uint32_t heard = vr::fw::ticks(), watched = heard;
    for (;;) {
        char c;
        if (vr::fw::uart_read(c)) {
            heard = vr::fw::ticks();
            if (c == vr::fw::uart_damaged) vr::jtag::server_spoil(server);
            else vr::jtag::server_receive(server, c);
            if (!server.chip.programming) probe.release();
            continue;
        }
        vr::fw::uart_poll();
        const uint32_t now = vr::fw::ticks();
        const bool silent = now - heard >= silence_ticks;
        const bool unpowered = probe.driving() && now - watched >= watch_ticks && (watched = now, !probe.target_powered());
        if (server.chip.programming && (silent || unpowered)) {
            vr::jtag::server_hangup(server);
            probe.release();
        }
        vr::fw::sleep_unless(vr::fw::uart_pending);
    }
}
