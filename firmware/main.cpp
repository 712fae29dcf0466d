// The adapter firmware for an ATmega328P Nano at 16 MHz: the protocol server
// and chip operations of adapter/ over the UART and the bit-banged JTAG
// probe. Nothing is sent unless the host asked: a stray byte would be read
// as a chip type digit.
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

}  // namespace

int main() {
    vr::fw::timer_init();
    vr::fw::uart_init();
    probe.init();
    sei();
    vr::jtag::server_init(server, probe, link);
    for (;;) {
        char c;
        if (vr::fw::uart_read(c)) {
            vr::jtag::server_receive(server, c);
        } else {
            vr::fw::uart_poll();
            vr::fw::sleep_unless(vr::fw::uart_pending);
        }
    }
}
