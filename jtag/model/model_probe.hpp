// A probe that drives the chip model in process, bit by bit through its TAP.
// Waits advance the model's clock instead of sleeping, so the emulator runs
// as fast as the serial line lets it.
#pragma once

#include "jtag/model/chip_model.hpp"
#include "jtag/probe/probe.hpp"

namespace vr::model {

class ModelProbe final : public jtag::Probe {
public:
    explicit ModelProbe(ChipModel& model);
    bool ir_scan(uint16_t instruction, uint16_t* captured = 0) override;
    bool dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t* expect,
                 const uint8_t* mask) override;
    bool idle(uint32_t microseconds) override;
    bool reset() override;

    // Test faults: every call fails while `failing` is set; the program pulse
    // of the word at fail_program (an address) fails once selected; with
    // fail_erase the erase pulse fails (nothing erased); the program pulse of
    // the word at drop_program never reaches the chip, the call succeeding
    // (a write lost).
    bool failing = false;
    int fail_program = -1;
    bool fail_erase = false;
    int drop_program = -1;

private:
    void tms(bool value, bool tdi = false) { model_.clock(value, tdi); }
    ChipModel& model_;
    int selected_ = -1;  // the address last shifted into ADDRESS
    uint16_t ir_ = 0;
};

// OpenOCD's remote_bitbang protocol: one byte per pin change. Feeds the
// bytes to the model and appends the answers ('0'/'1' for each 'R') to out.
// Returns false once the client has sent 'Q'.
class Bitbang {
public:
    explicit Bitbang(ChipModel& model) : model_(model) {}
    bool feed(const char* bytes, std::size_t count, std::string& out);

private:
    ChipModel& model_;
    bool tck_ = false;
};

}  // namespace vr::model
