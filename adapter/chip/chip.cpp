#include "adapter/chip/chip.hpp"

#include "common/hex.hpp"

namespace vr {
namespace jtag {
namespace {

void put_value(uint8_t* v, uint32_t value, uint16_t bits) {
    for (uint16_t i = 0; i < (bits + 7) / 8; ++i) v[i] = 0;
    for (uint16_t i = 0; i < bits; ++i) set_bit(v, i, (value >> i) & 1);
}

uint32_t get_value(const uint8_t* v, uint16_t bits) {
    uint32_t value = 0;
    for (uint16_t i = 0; i < bits; ++i)
        if (bit_of(v, i)) value |= 1ul << i;
    return value;
}

bool scan_value(Probe& p, uint16_t instruction, uint32_t value, uint16_t bits) {
    uint8_t v[4];
    put_value(v, value, bits);
    return p.ir_scan(instruction) && p.dr_scan(bits, v, 0, 0, 0);
}

bool read_idcode(Chip& chip, uint32_t& idcode, const uint32_t* expected) {
    uint8_t ones[4], in[4] = {0, 0, 0, 0}, expect[4], mask[4];
    put_value(ones, 0xFFFFFFFFul, idcode_bits);
    put_value(mask, 0xFFFFFFFFul, idcode_bits);
    if (expected) put_value(expect, *expected, idcode_bits);
    if (!chip.probe->ir_scan(ir_idcode) ||
        !chip.probe->dr_scan(idcode_bits, ones, in, expected ? expect : 0, expected ? mask : 0))
        return false;
    idcode = get_value(in, idcode_bits);
    return true;
}

bool select_word(Chip& chip, uint16_t address) {
    return scan_value(*chip.probe, ir_address, address, address_bits);
}

}  // namespace

bool word_from_field(const char* digits, uint8_t n, uint16_t bits, uint8_t* word) {
    for (uint16_t i = 0; i < (bits + 7) / 8; ++i) word[i] = 0;
    for (uint8_t k = 0; k < n; ++k) {
        const int v = hex_digit(digits[k]);
        if (v < 0) return false;
        for (uint8_t b = 0; b < 4; ++b) {
            if (!((v >> b) & 1)) continue;
            const uint16_t i = static_cast<uint16_t>(4 * (n - 1 - k) + b);
            if (i >= bits) return false;
            set_bit(word, i, true);
        }
    }
    return true;
}

void field_from_word(const uint8_t* word, uint16_t bits, uint8_t n, char* digits, bool lower) {
    for (uint8_t k = 0; k < n; ++k) {
        uint8_t v = 0;
        for (uint8_t b = 0; b < 4; ++b) {
            const uint16_t i = static_cast<uint16_t>(4 * (n - 1 - k) + (3 - b));
            v = static_cast<uint8_t>(v * 2 + (i < bits && bit_of(word, i)));
        }
        digits[k] = hex_char(v, lower);
    }
}

void fill_ones(uint8_t* v, uint16_t bits) {
    for (uint16_t i = 0; i < (bits + 7) / 8; ++i) v[i] = 0xFF;
    if (bits % 8) v[bits / 8] = static_cast<uint8_t>((1u << (bits % 8)) - 1);
}

bool bits_equal(const uint8_t* a, const uint8_t* b, uint16_t bits) {
    for (uint16_t i = 0; i < bits; ++i)
        if (bit_of(a, i) != bit_of(b, i)) return false;
    return true;
}

void chip_init(Chip& chip, Probe& probe) {
    chip.probe = &probe;
    chip.idcode = 0;
    chip.kind = -1;
    chip.programming = false;
}

bool chip_big(const Chip& chip) { return chip.kind >= 0 && chip_kinds[chip.kind].big; }

IdResult chip_identify(Chip& chip) {
    uint32_t idcode = 0;
    chip.kind = -1;
    chip.idcode = 0;
    if (!read_idcode(chip, idcode, 0)) {
        chip.programming = false;  // unknown now: the next operation enters it again
        return id_probe_failed;
    }
    chip.idcode = idcode;
    // A line with nothing on it reads all ones (pulled up) or all zeros.
    if (idcode == 0 || idcode == 0xFFFFFFFFul) return id_no_chip;
    chip.kind = chip_kind_of(idcode);
    return chip.kind >= 0 ? id_found : id_unknown;
}

bool chip_check_idcode(Chip& chip, uint32_t expected) {
    uint32_t idcode = 0;
    return read_idcode(chip, idcode, &expected) && idcode == expected;
}

bool chip_enter(Chip& chip) {
    if (chip.programming) return true;
    if (!scan_value(*chip.probe, ir_config, config_enter, config_bits)) return false;
    chip.programming = true;
    return true;
}

bool chip_leave(Chip& chip) {
    Probe& p = *chip.probe;
    if (chip.programming) {
        chip.programming = false;
        if (!scan_value(p, ir_config, config_leave, config_bits) || !p.idle(wait_leave_us)) return false;
    }
    return p.reset() && p.idle(wait_reset_us);
}

bool chip_erase(Chip& chip) {
    Probe& p = *chip.probe;
    return chip_enter(chip) && p.ir_scan(ir_latch_erase) && p.ir_scan(ir_program_erase) &&
           p.idle(wait_erase_us) && p.ir_scan(ir_after);
}

bool chip_program(Chip& chip, uint16_t address, const uint8_t* word) {
    Probe& p = *chip.probe;
    const uint16_t bits = word_bits(chip_big(chip), address);
    if (bits == 0) return false;
    return chip_enter(chip) && select_word(chip, address) &&
           p.ir_scan(static_cast<uint16_t>(ir_data0 + address / 256)) && p.dr_scan(bits, word, 0, 0, 0) &&
           p.ir_scan(ir_program_erase) && p.idle(wait_program_us) && p.ir_scan(ir_after);
}

bool chip_read(Chip& chip, uint16_t address, uint8_t* word, const uint8_t* expect) {
    Probe& p = *chip.probe;
    const uint16_t bits = word_bits(chip_big(chip), address);
    if (bits == 0) return false;
    uint8_t fill[max_word_bytes], mask[max_word_bytes];
    for (uint16_t i = 0; i < (bits + 7) / 8; ++i) word[i] = 0;
    fill_ones(fill, bits);
    fill_ones(mask, bits);
    return chip_enter(chip) && select_word(chip, address) && p.ir_scan(ir_read) && p.idle(wait_read_us) &&
           p.ir_scan(static_cast<uint16_t>(ir_data0 + address / 256)) &&
           p.dr_scan(bits, expect ? expect : fill, word, expect, expect ? mask : 0);
}

}  // namespace jtag
}  // namespace vr
