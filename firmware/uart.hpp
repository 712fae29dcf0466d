// The serial line to the host: 115200 baud 8N1 on the ATmega328P's USART0,
// interrupt-driven both ways. Receive fills a ring that holds everything a
// host sends while the chip works (a 91-byte line, or "#8E" CR "#8X" CR during
// the 210 ms erase); transmit drains a ring, so a reply goes out while the
// next word is read. XON/XOFF from the host pause and resume transmission (a
// pause ends by itself after a second) and never reach the command stream.
// A byte received with a framing error or after an overrun, or one the full
// ring cannot take, is read as uart_damaged instead (on the text line).
#pragma once

#include <stdint.h>

namespace vr {
namespace fw {

// Read in place of a byte that was lost or damaged (the protocol is 7-bit
// text: a real 0xFF is line noise too).
const char uart_damaged = '\xFF';

void uart_init();
// The next received byte; false when none is waiting.
bool uart_read(char& c);
// Queues bytes for sending; sleeps while the ring is full.
void uart_write(const char* bytes, uint16_t count);
// Ends an XOFF pause that has lasted a second (call from the main loop).
void uart_poll();
// True when a received byte waits (interrupts off when called).
bool uart_pending();

// Probe mode's binary line: every byte is data (XON, XOFF and 0xFF too); a
// lost or damaged byte is reported by uart_lost instead of a marker.
void uart_binary(bool on);
// True when a byte was lost or damaged since the last call (binary line).
bool uart_lost();
// 1,000,000 baud (else 115200), switched once what is queued has gone.
void uart_fast(bool fast);

}  // namespace fw
}  // namespace vr
