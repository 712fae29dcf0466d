// A JTAG-level model of one ATF1502AS/ATF1504AS/ATF1508AS family chip, for tests and
// the emulator: the TAP state machine, the instruction and data registers,
// and flash words that programming only clears and erasing sets.
//
// Programming, erasing and reading are accepted only in programming mode
// (CONFIG key 1B9 since the last CONFIG 000). A read, program or erase pulse
// is the time the TAP spends in Run-Test/Idle after the instruction, taken
// when it leaves that state; with waits enforced, a pulse shorter than the
// chip maker's is refused (counted and logged, nothing changes; a refused
// read leaves zeros in the data register).
//
// Word 200: its most significant bit is read protection, the next the JTAG
// pin function. Once read protection is programmed, every word reads as all
// zeros until the next erase. Clearing the JTAG pin bit is recorded (a real
// chip would lose its JTAG pins at the next power-up).
//
// The mapping between JEDEC fuse numbers and flash words (for loading and
// saving files) is this model's own, written from the word layout, so that
// a mistake in the programmer's codec is not shared by the model that checks
// it.
#pragma once

#include <bitset>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fusemap/fusemap.hpp"

namespace vr::model {

// The six chips: ATF1504AS, ATF1508AS, ATF1504ASV, ATF1508ASV, ATF1502AS,
// ATF1502ASV.
struct ChipDesc {
    const char* name;
    uint32_t idcode;
    int code;        // the JEDEC tools' device: 2, 4 or 8
    int last_row;    // rows 000-06B and 080 up to this one
    int row_width;   // bits of a row word
    int32_t fuses;   // the JEDEC file's fuse count
};
const ChipDesc* find_chip(const std::string& name);
extern const ChipDesc chips[6];

struct ModelOptions {
    const ChipDesc* chip = &chips[1];
    int64_t idcode = -1;       // answer this IDCODE instead of the chip's own
    bool enforce_waits = true;
    int flip_read = -1;        // reads of this address come back with bit 0 inverted
    int stuck_fuse = -1;       // this fuse number will not program
    // Another device on the chain: its instruction register's length (0: none),
    // and whether it sits between the chip and TDO (else between TDI and the
    // chip). It has no IDCODE: every instruction selects a 1-bit bypass.
    int extra_ir = 0;
    bool extra_after = false;
    int tdo_stuck = -1;        // 0 or 1: TDO reads this whatever the chip drives
};

class ChipModel {
public:
    explicit ChipModel(const ModelOptions& options = {});

    // The pins: TDO as it stands while TCK is low, and one rising edge of TCK.
    bool tdo() const;
    void clock(bool tms, bool tdi);
    // The chip's own TDO, and the other device's.
    bool chip_tdo() const;
    bool extra_tdo() const;
    // Time passing (microseconds) without clock edges.
    void advance(uint64_t microseconds);
    void trst();

    // File contents in and out (a fuse map of the chip's JEDEC layout).
    void load(const FuseMap& map);
    void save(FuseMap& map) const;
    int32_t code() const { return desc_.code; }

    void set_log(std::FILE* log) { log_ = log; }
    const std::vector<std::string>& events() const { return events_; }
    int erases() const { return erases_; }
    int refusals() const { return refusals_; }
    bool read_protected() const { return protected_; }
    bool jtag_pins_lost() const { return jtag_lost_; }
    bool programming() const { return programming_; }
    // Data scans other than IDCODE between the last IDCODE read and the last
    // erase (-1 when the IDCODE was never read before it).
    int scans_before_erase() const { return scans_before_erase_; }
    // The word at address, least significant bit first (empty where none).
    const std::vector<uint8_t>& word(int address) const { return flash_[static_cast<std::size_t>(address)]; }

private:
    enum State {
        reset, idle, select_dr, capture_dr, shift_dr, exit1_dr, pause_dr, exit2_dr, update_dr,
        select_ir, capture_ir, shift_ir, exit1_ir, pause_ir, exit2_ir, update_ir,
    };
    static State next(State s, bool tms);
    int width(int address) const;
    int dr_length() const;
    void capture();
    void update();
    void pulse();
    void event(const std::string& text);
    void refuse(const std::string& text);
    bool locate(int32_t fuse, int& address, int& bit) const;
    bool locate_1502(int32_t fuse, int& address, int& bit) const;

    ChipDesc desc_;
    ModelOptions options_;
    uint32_t idcode_;
    State state_ = reset;
    uint16_t ir_ = 0x059, ir_shift_ = 0;
    uint32_t extra_ir_shift_ = 0;
    bool extra_dr_ = false;
    std::bitset<400> dr_;
    int dr_len_ = 1;
    bool programming_ = false;
    bool erase_latched_ = false;
    bool pulse_armed_ = false;
    uint16_t address_ = 0;
    std::vector<uint8_t> latch_;
    int latch_page_ = -1;
    uint64_t now_ = 0, idle_since_ = 0;
    std::vector<uint8_t> flash_[0x301];
    bool protected_ = false, jtag_lost_ = false;
    int erases_ = 0, refusals_ = 0;
    int scans_since_idcode_ = -1, scans_before_erase_ = -1;
    std::vector<std::string> events_;
    std::FILE* log_ = nullptr;
};

}  // namespace vr::model
