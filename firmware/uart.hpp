// The serial line to the host: 115200 baud 8N1 on the ATmega328P's USART0,
// interrupt-driven both ways. Receive fills a ring that holds everything a
// host sends while the chip works (a 91-byte line, or "#8E" CR "#8X" CR during
// the 210 ms erase); transmit drains a ring, so a reply goes out while the
// next word is read. XON/XOFF from the host pause and resume transmission (a
// pause ends by itself after a second) and never reach the command stream.
// A byte received with a framing error or after an overrun, or one the full
// ring cannot take, is read as uart_damaged instead (on the text line).
#pragma once

#include <avr/interrupt.h>
#include <avr/io.h>
#include <stdint.h>

namespace vr {
namespace fw {

// Read in place of a byte that was lost or damaged (the protocol is 7-bit
// text: a real 0xFF is line noise too).
const char uart_damaged = '\xFF';

void uart_init();
// Queues bytes for sending; sleeps while the ring is full.
void uart_write(const char* bytes, uint16_t count);
// Ends an XOFF pause that has lasted a second (call from the main loop).
void uart_poll();
// True when a received byte waits (interrupts off when called).
bool uart_pending();

// Probe mode's binary line: every byte is data (XON, XOFF and 0xFF too); a
// lost or damaged byte is reported by uart_lost instead of a marker.
void uart_binary(bool on);

// The rings, for the two calls below that probe mode makes for every byte
// of a shift (inline: a call would cost more than their work).
namespace uart_detail {
// Power-of-two rings with 8-bit indices: wrapping is a mask. A ring of 256
// holds 255 (the indices cannot tell 256 from 0).
template <uint16_t Size>
struct Ring {
    static_assert(Size && Size <= 256 && !(Size & (Size - 1)), "a ring's size is a power of two up to 256");
    volatile uint8_t head, tail;
    uint8_t bytes[Size];
    bool empty() const { return head == tail; }
    bool full() const { return static_cast<uint8_t>(head - tail) == static_cast<uint8_t>(Size == 256 ? 255 : Size); }
    void put(uint8_t c) { bytes[head++ & (Size - 1)] = c; }
    uint8_t get() { return bytes[tail++ & (Size - 1)]; }
};
extern Ring<256> rx;
extern Ring<128> tx;
extern volatile bool paused, lost;
}  // namespace uart_detail

// Queues a byte for the transmit interrupt; sleeps while the ring is full.
void uart_queue(uint8_t c);

// The next received byte; false when none is waiting.
__attribute__((always_inline)) inline bool uart_read(char& c) {
    using namespace uart_detail;
    if (rx.empty()) return false;
    c = static_cast<char>(rx.get());
    return true;
}

// True when a byte was lost or damaged since the last call (binary line).
__attribute__((always_inline)) inline bool uart_lost() {
    using namespace uart_detail;
    if (!lost) return false;
    cli();
    lost = false;
    sei();
    return true;
}

// The next received byte on the binary line, only when one waits and none
// was lost or damaged (that is for uart_read's caller to see).
__attribute__((always_inline)) inline bool uart_take(uint8_t& c) {
    using namespace uart_detail;
    if (rx.empty() || lost) return false;
    c = rx.get();
    return true;
}

// One byte to send: straight into the transmitter when it is free and
// nothing waits before it (probe mode answers a byte at a time, and an
// interrupt for each would cost more than the byte), else queued.
__attribute__((always_inline)) inline void uart_put(uint8_t c) {
    using namespace uart_detail;
    cli();
    if (tx.empty() && !paused && (UCSR0A & _BV(UDRE0))) {
        UDR0 = c;
        sei();
        return;
    }
    sei();
    uart_queue(c);
}
// 1,000,000 baud (else 115200), switched once what is queued has gone.
void uart_fast(bool fast);

}  // namespace fw
}  // namespace vr
