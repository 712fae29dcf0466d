#include "jtag/chip/chip.hpp"

#include "common/hex.hpp"

namespace vr {
namespace jtag {
namespace {

// A value of up to 32 bits as a bit vector, and back.
VR_PLAIN_LOOP void put_value(uint8_t* v, uint32_t value, uint16_t bits) {
    for (uint16_t i = 0; i < (bits + 7) / 8; ++i, value >>= 8) v[i] = static_cast<uint8_t>(value);
    if (bits % 8) v[bits / 8] = static_cast<uint8_t>(v[bits / 8] & ((1u << (bits % 8)) - 1));
}

VR_PLAIN_LOOP uint32_t get_value(const uint8_t* v, uint16_t bits) {
    uint32_t value = 0;
    for (uint16_t i = 0; i < (bits + 7) / 8; ++i) value |= static_cast<uint32_t>(v[i]) << (8 * i);
    return bits < 32 ? value & ((1ul << bits) - 1) : value;
}

bool scan_value(Probe& p, uint16_t instruction, uint32_t value, uint16_t bits) {
    uint8_t v[4];
    put_value(v, value, bits);
    return p.ir_scan(instruction) && p.dr_scan(bits, v, 0, 0, 0);
}

bool read_idcode(Chip& chip, uint32_t& idcode, const uint32_t* expected, uint16_t* captured = 0) {
    uint8_t ones[4], in[4] = {0, 0, 0, 0}, expect[4], mask[4];
    put_value(ones, 0xFFFFFFFFul, idcode_bits);
    put_value(mask, 0xFFFFFFFFul, idcode_bits);
    if (expected) put_value(expect, *expected, idcode_bits);
    if (!chip.probe->ir_scan(ir_idcode, captured) ||
        !chip.probe->dr_scan(idcode_bits, ones, in, expected ? expect : 0, expected ? mask : 0))
        return false;
    idcode = get_value(in, idcode_bits);
    return true;
}

bool select_word(Chip& chip, uint16_t address) {
    return scan_value(*chip.probe, ir_address, address, address_bits);
}

}  // namespace

void chip_init(Chip& chip, Probe& probe) {
    chip.probe = &probe;
    chip.idcode = 0;
    chip.kind = -1;
    chip.chain_problem = chain_sound;
    chip.programming = false;
}

const ChipKind chip_kinds[chip_kind_count] = {
    {0x0150403Ful, 0, layout_1504}, {0x0150803Ful, 1, layout_1508}, {0x0151403Ful, 2, layout_1504},
    {0x0151803Ful, 3, layout_1508}, {0x0150203Ful, -1, layout_1502}, {0x0151203Ful, -1, layout_1502},
};

Layout chip_layout(const Chip& chip) { return chip.kind >= 0 ? chip_kinds[chip.kind].layout : layout_1504; }

bool chip_served(const Chip& chip) { return chip.kind >= 0 && chip_kinds[chip.kind].digit >= 0; }

namespace {

// BYPASS puts one bit between TDI and TDO, which captures 0: sixteen ones
// shifted in come out as FFFE. Each further device in the path adds a 0 bit.
ChainProblem bypass_problem(Probe& p) {
    uint8_t ones[2] = {0xFF, 0xFF}, out[2] = {0, 0};
    if (!p.ir_scan(ir_bypass) || !p.dr_scan(16, ones, out, 0, 0) || !p.flush()) return chain_probe;
    const uint16_t v = static_cast<uint16_t>(out[0] | out[1] << 8);
    if (v == 0xFFFE) return chain_sound;
    if (v == 0xFFFF) return chain_tdo_1;
    if (v == 0) return chain_tdo_0;
    return chain_another;
}

}  // namespace

IdResult chip_identify(Chip& chip) {
    Probe& p = *chip.probe;
    uint32_t idcode = 0;
    chip.kind = -1;
    chip.idcode = 0;
    chip.chain_problem = chain_sound;
    chip.programming = false;  // unknown now: the next operation enters it again
    ChainProblem problem = p.chain_problem();
    uint16_t captured = no_capture;
    if (!problem && (!read_idcode(chip, idcode, 0, &captured) || !p.flush())) return id_probe_failed;
    if (!problem) {
        chip.idcode = idcode;
        if (captured == 0x3FF) problem = chain_tdo_1;
        else if (captured == 0) problem = chain_tdo_0;
        // A line with nothing on it reads all ones (pulled up) or all zeros.
        else if (idcode == 0 || idcode == 0xFFFFFFFFul) return id_no_chip;
        // Another device shifts its own capture (and its bits) into ours.
        else if (captured != no_capture && captured != ir_capture) problem = chain_another;
        else problem = bypass_problem(p);
        // A chip of another family, alone on a sound chain.
        if (!problem && chip_kind_of(idcode) < 0) return id_unknown;
    }
    if (problem) {
        chip.chain_problem = problem;
        return id_bad_chain;
    }
    chip.kind = chip_kind_of(idcode);
    return id_found;
}

bool chip_check_idcode(Chip& chip, uint32_t expected) {
    uint32_t idcode = 0;
    return read_idcode(chip, idcode, &expected) && chip.probe->flush() && idcode == expected;
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
        if (!scan_value(p, ir_config, config_leave, config_bits) || !p.idle(wait_leave_us)) return p.flush(), false;
    }
    return p.reset() && p.idle(wait_reset_us) && p.flush();
}

bool chip_erase(Chip& chip) {
    Probe& p = *chip.probe;
    return chip_enter(chip) && p.ir_scan(ir_latch_erase) && p.ir_scan(ir_program_erase) &&
           p.idle(wait_erase_us) && p.ir_scan(ir_after) && p.reset() && p.idle(wait_erase_reset_us) && p.flush();
}

bool chip_program(Chip& chip, uint16_t address, const uint8_t* word) {
    Probe& p = *chip.probe;
    const uint16_t bits = word_bits(chip_layout(chip), address);
    if (bits == 0) return false;
    return chip_enter(chip) && select_word(chip, address) &&
           p.ir_scan(static_cast<uint16_t>(ir_data0 + address / 256)) && p.dr_scan(bits, word, 0, 0, 0) &&
           p.ir_scan(ir_program_erase) && p.idle(wait_program_us) && p.ir_scan(ir_after) && p.flush();
}

bool chip_read_begin(Chip& chip, uint16_t address) {
    if (word_bits(chip_layout(chip), address) == 0) return false;
    return chip_enter(chip) && select_word(chip, address) && chip.probe->ir_scan(ir_read) &&
           chip.probe->wait_begin(wait_read_us);
}

bool chip_read_end(Chip& chip, uint16_t address, uint8_t* word, const uint8_t* expect) {
    Probe& p = *chip.probe;
    const uint16_t bits = word_bits(chip_layout(chip), address);
    if (bits == 0) return false;
    uint8_t ones[max_word_bytes];
    clear_bits(word, bits);
    fill_ones(ones, bits);  // shifted in, or with expect the mask of every bit
    return p.wait_end() && p.ir_scan(static_cast<uint16_t>(ir_data0 + address / 256)) &&
           p.dr_scan(bits, expect ? expect : ones, word, expect, expect ? ones : 0) && p.flush();
}

bool chip_read(Chip& chip, uint16_t address, uint8_t* word, const uint8_t* expect) {
    return chip_read_begin(chip, address) && chip_read_end(chip, address, word, expect);
}

#ifndef __AVR__
bool chip_read_later(Chip& chip, uint16_t address, uint8_t* word, const uint8_t* expect) {
    Probe& p = *chip.probe;
    const uint16_t bits = word_bits(chip_layout(chip), address);
    if (bits == 0 || !chip_read_begin(chip, address)) return false;
    uint8_t ones[max_word_bytes];
    clear_bits(word, bits);
    fill_ones(ones, bits);
    return p.wait_end() && p.ir_scan(static_cast<uint16_t>(ir_data0 + address / 256)) &&
           p.dr_scan_later(bits, expect ? expect : ones, word, expect, expect ? ones : 0);
}
#endif

}  // namespace jtag
}  // namespace vr
