// The TAP engine the Nano's firmware runs, on the host against the chip
// model's pins, next to the model's own probe: the same chip operations must
// find the same chip, read the same words and leave the same chip behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "jtag/chip/chip.hpp"
#include "jtag/model/model_probe.hpp"
#include "jtag/probe/tap_engine.hpp"

using namespace vr;

namespace {

// The model's pins driven through the engine, as the firmware drives a chip.
struct EnginePins final : jtag::Probe {
    // From Test-Logic-Reset to Run-Test/Idle, as the firmware does when it
    // starts driving the pins.
    explicit EnginePins(model::ChipModel& m) : model(m) { reset(); }
    model::ChipModel& model;
    bool clock(bool tms, bool tdi) {
        const bool tdo = model.tdo();
        model.clock(tms, tdi);
        return tdo;
    }
    void step(bool tms, bool tdi) { model.clock(tms, tdi); }
    bool ir_scan(uint16_t instruction, uint16_t* captured) override {
        jtag::tap_ir_scan(*this, instruction, jtag::ir_length, captured);
        return true;
    }
    bool dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t*, const uint8_t*) override {
        jtag::tap_dr_scan(*this, bits, tdi, tdo);
        return true;
    }
    bool idle(uint32_t microseconds) override {
        model.advance(microseconds);
        jtag::tap_idle_clock(*this);
        return true;
    }
    bool reset() override {
        jtag::tap_reset(*this);
        return true;
    }
};

// One run of chip operations: what each returned, and the words read.
std::vector<std::string> operate(jtag::Probe& probe) {
    std::vector<std::string> seen;
    jtag::Chip chip;
    jtag::chip_init(chip, probe);
    const jtag::IdResult id = jtag::chip_identify(chip);
    seen.push_back("identify " + std::to_string(id) + " " + std::to_string(chip.idcode) + " " +
                   std::to_string(chip.chain_problem));
    if (id != jtag::id_found) return seen;
    const jtag::Layout layout = jtag::chip_layout(chip);
    seen.push_back("erase " + std::to_string(jtag::chip_erase(chip)));
    uint8_t word[jtag::max_word_bytes];
    // Rows with a pattern of their own (the six unused low bits of rows
    // below E0 kept set), then words 100 and 300.
    const uint16_t addresses[] = {0x000, 0x00C, 0x06B, 0x080, 0x0E0, jtag::last_row(layout), 0x100, 0x300};
    for (uint16_t a : addresses) {
        const uint16_t bits = jtag::word_bits(layout, a);
        for (uint16_t i = 0; i < (bits + 7) / 8; ++i) word[i] = static_cast<uint8_t>(a * 37 + i * 11);
        if (a < 0x0E0) word[0] |= 0x3F;
        seen.push_back("program " + std::to_string(a) + " " + std::to_string(jtag::chip_program(chip, a, word)));
    }
    for (uint16_t a : addresses) {
        const uint16_t bits = jtag::word_bits(layout, a);
        const bool ok = a == 0x080 ? jtag::chip_read_begin(chip, a) && jtag::chip_read_end(chip, a, word, nullptr)
                                   : jtag::chip_read(chip, a, word, nullptr);
        std::string text = "read " + std::to_string(a) + " " + std::to_string(ok) + " ";
        for (uint16_t i = 0; i < (bits + 7) / 8; ++i) text += std::to_string(word[i]) + ",";
        seen.push_back(text);
    }
    seen.push_back("check " + std::to_string(jtag::chip_check_idcode(chip, chip.idcode)));
    seen.push_back("leave " + std::to_string(jtag::chip_leave(chip)));
    return seen;
}

}  // namespace

TEST(TapEngine, DrivesEveryChipAsTheModelsOwnProbeDoes) {
    struct Case {
        const char* device;
        int extra_ir;
        int tdo_stuck;
    } cases[] = {
        {"ATF1502AS", 0, -1}, {"ATF1502ASV", 0, -1}, {"ATF1504AS", 0, -1}, {"ATF1504ASV", 0, -1},
        {"ATF1508AS", 0, -1}, {"ATF1508ASV", 0, -1}, {"ATF1508AS", 6, -1}, {"ATF1504AS", 0, 1},
    };
    for (const Case& c : cases) {
        model::ModelOptions o;
        o.chip = model::find_chip(c.device);
        o.extra_ir = c.extra_ir;
        o.tdo_stuck = c.tdo_stuck;
        model::ChipModel reference(o), engine(o);
        model::ModelProbe reference_probe(reference);
        EnginePins engine_probe(engine);
        const std::string name = std::string(c.device) + " extra " + std::to_string(c.extra_ir) + " stuck " +
                                 std::to_string(c.tdo_stuck);
        const std::vector<std::string> expected = operate(reference_probe);
        EXPECT_EQ(operate(engine_probe), expected) << name;
        EXPECT_EQ(engine.events(), reference.events()) << name;
        EXPECT_EQ(engine.refusals(), 0) << name << ": " << engine.last_refusal();
        // The run reached the chip's words where the chain was sound.
        EXPECT_EQ(expected.size() > 1, c.extra_ir == 0 && c.tdo_stuck < 0) << name;
    }
}
