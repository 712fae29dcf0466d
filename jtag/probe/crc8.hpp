// CRC-8 (polynomial x^8 + x^2 + x + 1, 0x07, initial value 0, no
// reflection): what the Nano in probe mode returns with its status over the
// bytes it received and sent, so that a byte changed on the line with a
// valid stop bit is caught. The firmware and the host share it.
//
// A byte at a time from a table of 256 (built by the compiler, in flash on
// the Nano): the firmware runs it twice for every byte of a shift.
#pragma once

#include <stdint.h>

#ifdef __AVR__
#include <avr/pgmspace.h>
#define VR_CRC8_TABLE_PLACE PROGMEM
#else
#define VR_CRC8_TABLE_PLACE
#endif

namespace vr {
namespace jtag {

struct Crc8Table {
    uint8_t of[256];
};

constexpr Crc8Table make_crc8_table() {
    Crc8Table t{};
    for (unsigned v = 0; v < 256; ++v) {
        uint8_t crc = static_cast<uint8_t>(v);
        for (uint8_t i = 0; i < 8; ++i) crc = static_cast<uint8_t>(crc & 0x80 ? crc << 1 ^ 0x07 : crc << 1);
        t.of[v] = crc;
    }
    return t;
}

constexpr Crc8Table crc8_table VR_CRC8_TABLE_PLACE = make_crc8_table();

inline uint8_t crc8(uint8_t crc, uint8_t byte) {
#ifdef __AVR__
    return pgm_read_byte(&crc8_table.of[crc ^ byte]);
#else
    return crc8_table.of[crc ^ byte];
#endif
}

}  // namespace jtag
}  // namespace vr
