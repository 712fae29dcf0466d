// CRC-8 (polynomial x^8 + x^2 + x + 1, 0x07, initial value 0, no
// reflection): what the Nano in probe mode returns with its status over the
// bytes it received and sent, so that a byte changed on the line with a
// valid stop bit is caught. The firmware and the host share it.
#pragma once

#include <stdint.h>

namespace vr {
namespace jtag {

inline uint8_t crc8(uint8_t crc, uint8_t byte) {
    crc = static_cast<uint8_t>(crc ^ byte);
    for (uint8_t i = 0; i < 8; ++i) crc = static_cast<uint8_t>(crc & 0x80 ? crc << 1 ^ 0x07 : crc << 1);
    return crc;
}

}  // namespace jtag
}  // namespace vr
