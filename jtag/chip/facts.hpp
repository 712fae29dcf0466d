// What the ATF1502AS, ATF1504AS and ATF1508AS families show over JTAG:
// instructions, waits, identity codes and the widths of their flash words.
//
// Free of the standard library: this also builds for a small microcontroller.
#pragma once

#include <stdint.h>

namespace vr {
namespace jtag {

// Instruction register values (10 bits).
const uint16_t ir_idcode = 0x059;
const uint16_t ir_config = 0x280;         // data: 10-bit key, 1B9 enters programming mode, 000 leaves it
const uint16_t ir_read = 0x28C;           // loads the addressed word into the data register
const uint16_t ir_data0 = 0x290;          // 290 + address / 256: the flash data register of that page
const uint16_t ir_program_erase = 0x29E;  // programs the data register into the addressed word, or erases
const uint16_t ir_address = 0x2A1;        // data: 11-bit flash address
const uint16_t ir_latch_erase = 0x2B3;    // makes the next program_erase an erase of the whole chip
const uint16_t ir_after = 0x2BF;          // scanned after every program and erase pulse

const uint16_t config_enter = 0x1B9;
const uint16_t config_leave = 0x000;
const uint16_t config_bits = 10;
const uint16_t address_bits = 11;
const uint16_t idcode_bits = 32;

// Waits in Run-Test/Idle, in microseconds: the chip maker's own figures.
const uint32_t wait_erase_us = 210001;
const uint32_t wait_program_us = 30001;
const uint32_t wait_read_us = 20001;
const uint32_t wait_leave_us = 10001;
const uint32_t wait_reset_us = 50021;
const uint32_t wait_erase_reset_us = 50001;  // in Test-Logic-Reset after the erase

// The instruction register's captured value (the low two bits, 01, are the
// standard's), and BYPASS: all ones.
const uint16_t ir_capture = 0x059;
const uint16_t ir_bypass = 0x3FF;

// Flash words: rows 000-06B and 080-0E4 (ATF1502), 080-0E8 (ATF1504) or
// 080-0FA (ATF1508); the device configuration word 100, the JTAG/read-
// protection word 200 and the user signature 300.
const uint16_t page_config = 0x100;
const uint16_t page_special = 0x200;
const uint16_t page_ues = 0x300;
const uint16_t max_word_bits = 326;
const uint16_t max_word_bytes = (max_word_bits + 7) / 8;

// Word 200: its most significant bit is read protection (0 = set), the next
// the JTAG pin function (0 = the JTAG pins become user I/O at the next
// power-up). Erased, the word is F; with read protection only, 7.
const uint8_t special_erased = 0xF;
const uint8_t special_protected = 0x7;

// The three flash layouts.
enum Layout { layout_1504, layout_1508, layout_1502 };

// The names for the operator are the host's (chip_name in jtag/chip/texts.hpp).
struct ChipKind {
    uint32_t idcode;  // with bit 12 clear; the chips may answer it either way
    int8_t digit;     // the chip type digit of the identification reply; -1: not served by the adapter protocol
    Layout layout;
};

// The family's one table of identity codes: every place that names a chip
// looks it up here.
const uint8_t chip_kind_count = 6;
extern const ChipKind chip_kinds[chip_kind_count];

// The kind answering this IDCODE, or -1.
inline int8_t chip_kind_of(uint32_t idcode) {
    for (uint8_t k = 0; k < chip_kind_count; ++k)
        if ((idcode & ~0x1000ul) == chip_kinds[k].idcode) return static_cast<int8_t>(k);
    return -1;
}

// An IDCODE whose manufacturer field is Atmel's (0x01F): outside the table,
// such a part may be remarked or a relative the table lacks.
inline bool atmel_like(uint32_t idcode) { return (idcode & 0xFFFul) == 0x03Ful; }

inline uint16_t last_row(Layout l) { return l == layout_1508 ? 0x0FA : l == layout_1502 ? 0x0E4 : 0x0E8; }
inline uint16_t row_bits(Layout l) { return l == layout_1508 ? 326 : l == layout_1502 ? 86 : 166; }

// Rows of the four blocks the adapter protocol reads: a, b, c, d.
inline uint16_t block_first(char block) {
    return block == 'a' ? 12 : block == 'b' ? 128 : block == 'c' ? 0 : 224;
}
inline uint16_t block_last(char block, Layout l) {
    return block == 'a' ? 107 : block == 'b' ? 223 : block == 'c' ? 11 : last_row(l);
}

// Width of the word at address, 0 where there is none.
inline uint16_t word_bits(Layout l, uint16_t address) {
    if (address == page_config) return 32;
    if (address == page_special) return 4;
    if (address == page_ues) return 16;
    if (address <= 0x06B || (address >= 0x080 && address <= last_row(l))) return row_bits(l);
    return 0;
}

}  // namespace jtag
}  // namespace vr
