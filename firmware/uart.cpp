#include "firmware/uart.hpp"

#include <avr/interrupt.h>
#include <avr/io.h>

#include "firmware/timer.hpp"

namespace vr {
namespace fw {
namespace uart_detail {
// A 91-byte line and the erase's "#8E" CR "#8X" CR fit; in probe mode the
// host streams two words of a write and their waits ahead (255 bytes).
Ring<256> rx;
Ring<128> tx;  // more than the longest reply (90 bytes)
volatile bool paused, lost;
}  // namespace uart_detail

namespace {
using namespace uart_detail;

const uint8_t xon = 0x11, xoff = 0x13;

volatile uint32_t paused_at;
volatile bool binary;

// A byte lost or damaged on the line: the marker takes its place in the ring
// (or the newest byte's, when the ring is full), so that the line it falls in
// is not carried out.
void rx_damaged() {
    if (rx.full()) rx.bytes[static_cast<uint8_t>(rx.head - 1)] = uart_damaged;
    else rx.put(uart_damaged);
}

void rx_byte(uint8_t c, bool damaged) {
    if (binary) {
        if (damaged || rx.full()) lost = true;
        if (!rx.full()) rx.put(c);
    } else if (damaged) {
        rx_damaged();
    } else if (c == xoff) {
        paused = true;
        paused_at = ticks();
        UCSR0B &= static_cast<uint8_t>(~_BV(UDRIE0));
    } else if (c == xon) {
        paused = false;
        if (!tx.empty()) UCSR0B |= _BV(UDRIE0);
    } else if (!rx.full()) {
        rx.put(c);
    } else {
        rx_damaged();
    }
}

void tx_ready() {
    if (paused || tx.empty()) {
        UCSR0B &= static_cast<uint8_t>(~_BV(UDRIE0));
        return;
    }
    UDR0 = tx.get();
}

bool tx_room() { return !tx.full(); }
bool tx_empty() { return tx.empty(); }

}  // namespace

void uart_init() {
    UCSR0A = _BV(U2X0);
    UBRR0 = 16;  // 115200 baud at 16 MHz with U2X (2.1 % fast)
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);
    UCSR0B = _BV(RXEN0) | _BV(TXEN0) | _BV(RXCIE0);
}

bool uart_pending() { return !rx.empty(); }

void uart_queue(uint8_t c) {
    while (tx.full()) {
        uart_poll();
        sleep_unless(tx_room);
    }
    cli();
    tx.put(c);
    if (!paused) UCSR0B |= _BV(UDRIE0);
    sei();
}

void uart_write(const char* bytes, uint16_t count) {
    for (uint16_t i = 0; i < count; ++i) uart_put(static_cast<uint8_t>(bytes[i]));
}

void uart_binary(bool on) {
    cli();
    binary = on;
    lost = false;
    paused = false;
    if (!tx.empty()) UCSR0B |= _BV(UDRIE0);
    sei();
}

void uart_fast(bool fast) {
    while (!tx.empty()) sleep_unless(tx_empty);
    wait_us(200);  // the last two bytes leave the transmitter
    UBRR0 = fast ? 1 : 16;  // with U2X: 1,000,000 exactly, or 115200
}

void uart_poll() {
    cli();
    const bool stale = paused && ticks() - paused_at > 10000u;  // a second
    if (stale) {
        paused = false;
        if (!tx.empty()) UCSR0B |= _BV(UDRIE0);
    }
    sei();
}

}  // namespace fw
}  // namespace vr

// The vectors only call into the driver.
// The status (framing error, data overrun) belongs to the byte in UDR0 and
// must be read before it.
ISR(USART_RX_vect) {
    const uint8_t status = UCSR0A;
    vr::fw::rx_byte(UDR0, status & (_BV(FE0) | _BV(DOR0)));
}
ISR(USART_UDRE_vect) { vr::fw::tx_ready(); }
