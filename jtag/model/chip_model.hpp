// A JTAG-level model of one ATF1502AS/ATF1504AS/ATF1508AS family chip, for tests and
// the emulator: the TAP state machine, the instruction and data registers,
// and flash words that programming only clears and erasing sets.
//
// Programming, erasing and reading are accepted only in programming mode
// (CONFIG key 1B9 since the last CONFIG 000). A read, program or erase pulse
// is the time the TAP spends in Run-Test/Idle after the instruction, taken
// when it leaves that state; with waits enforced, a pulse shorter than the
// chip maker's is refused (counted and logged, nothing changes; a refused
// read leaves zeros in the data register). Likewise programming mode ends
// only after the chip maker's stay in Run-Test/Idle after CONFIG 000, and an
// erase is incomplete (every word but 200 reads 0) unless the Test-Logic-Reset
// after it lasts the chip maker's time before the next scan.
//
// Word 200: its most significant bit is read protection, the next the JTAG
// pin function. Once read protection is programmed, every word reads as all
// zeros until the next erase. A cleared JTAG pin bit takes the JTAG pins
// away when programming mode is left (and at power-up, for a loaded file):
// the TAP then stays in Test-Logic-Reset and TDO reads 1 (its pull-up),
// unless OE1 is at VHH (about 12 V), which makes the pins JTAG again for as
// long as it is there; an erase clears the bit. VHH on an unpowered chip, or
// still on when a row is programmed, is refused (logged as a fault).
//
// A scan of the register's own length is shifted in one step (shift);
// the pins (clock) remain for the probes that drive them bit by bit.
//
// The mapping between JEDEC fuse numbers and flash words (for loading and
// saving files) is this model's own, written from the word layout, so that
// a mistake in the programmer's codec is not shared by the model that checks
// it.
#pragma once

#include <array>
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

// A flash word, least significant bit first: bit i is word[i].
class WordBits {
public:
    WordBits(const uint8_t* bytes, int width) : bytes_(bytes), width_(width) {}
    std::size_t size() const { return static_cast<std::size_t>(width_); }
    uint8_t operator[](std::size_t i) const { return (bytes_[i / 8] >> (i % 8)) & 1; }

private:
    const uint8_t* bytes_;
    int width_;
};

// Told of each flash operation the chip carries out, as it happens: for
// checks that follow the chip step by step without reading its event log.
class ModelWatch {
public:
    virtual void erased() = 0;
    virtual void programmed(int address, WordBits data) = 0;
    virtual void read(int address) = 0;

protected:
    ~ModelWatch() = default;
};

struct ModelOptions {
    const ChipDesc* chip = &chips[1];
    int64_t idcode = -1;       // answer this IDCODE instead of the chip's own
    bool enforce_waits = true;
    // The waits demanded beyond the chip maker's, in millionths (10000: each
    // at least 1.01 times the vendor's).
    uint32_t wait_margin_ppm = 0;
    int flip_read = -1;        // reads of this address come back with bit 0 inverted
    int stuck_fuse = -1;       // this fuse number will not program
    // Another device on the chain: its instruction register's length (0: none),
    // and whether it sits between the chip and TDO (else between TDI and the
    // chip). It has no IDCODE: every instruction selects a 1-bit bypass.
    int extra_ir = 0;
    bool extra_after = false;
    int tdo_stuck = -1;        // 0 or 1: TDO reads this whatever the chip drives
    bool record = true;        // keep the event log (events()); a refusal's text is kept always
    // The time one clock takes, in nanoseconds: 1000 (1 MHz) in process,
    // where waits are advance() calls; 100 (10 MHz, the chips' highest
    // clock, so that clocks never count for more than a chip would give
    // them) when the time between clocks is the wall clock's (catch_up).
    uint64_t clock_ns = 1000;
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
    // In Shift-DR or Shift-IR: `bits` clocks, TMS 1 on the last (to Exit1),
    // shifting tdi in (zeros when null) and storing what came out into tdo
    // (when not null; its bits from `bits` on are left as they are). Bit
    // vectors are bytes, least significant bit first.
    void shift(uint16_t bits, const uint8_t* tdi, uint8_t* tdo);
    // A whole scan from Run-Test/Idle back to it (Select-DR, for an
    // instruction Select-IR, Capture, the bits, Exit1, Update): as the clocks
    // would take it, in one step when the chip is alone on its chain.
    void scan(bool instruction, uint16_t bits, const uint8_t* tdi, uint8_t* tdo);
    // Time passing (microseconds) without clock edges.
    void advance(uint64_t microseconds);
    // The wall clock (nanoseconds from any fixed start) has reached ns: the
    // model's time moves on to it, never back.
    void catch_up(uint64_t ns);
    void trst();
    // OE1 at VHH, and the chip's supply (VHH on without it is a fault).
    void set_vhh(bool on);
    // The probe drives TCK, TMS and TDI (or has released them). Driven into
    // a chip whose JTAG pins are user I/O while OE1 is not at VHH, they
    // fight the chip's own outputs: logged as a FAULT and counted.
    void set_driven(bool on);
    int faults() const { return faults_; }
    void set_powered(bool on) { powered_ = on; }
    bool vhh() const { return vhh_; }
    // The JTAG pins are user I/O now (the bit cleared), VHH or not.
    bool jtag_pins_io() const { return pins_io_; }

    // File contents in and out (a fuse map of the chip's JEDEC layout).
    void load(const FuseMap& map);
    void save(FuseMap& map) const;
    int32_t code() const { return desc_.code; }

    void set_log(std::FILE* log) { log_ = log; }
    void set_watch(ModelWatch* watch) { watch_ = watch; }
    const std::vector<std::string>& events() const { return events_; }
    int erases() const { return erases_; }
    int refusals() const { return refusals_; }
    const std::string& last_refusal() const { return last_refusal_; }
    bool read_protected() const { return protected_; }
    bool jtag_pins_lost() const { return jtag_lost_; }
    bool programming() const { return programming_; }
    // Data scans other than IDCODE between the last IDCODE read and the last
    // erase (-1 when the IDCODE was never read before it).
    int scans_before_erase() const { return scans_before_erase_; }
    // The word at address (empty where none).
    WordBits word(int address) const { return {flash_[static_cast<std::size_t>(address)].data(), width(address)}; }

private:
    // A wait of the chip maker's with the margin demanded, in nanoseconds.
    uint64_t demanded(uint64_t vendor_us) const;
    static std::string waited_text(uint64_t ns);
    void leave_idle();
    void step_begins(bool instruction);
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
    bool telling() const { return options_.record || log_; }
    // The TAP cannot be reached: pins as I/O and no VHH.
    bool deaf() const { return pins_io_ && !vhh_; }
    void event(const std::string& text);
    void refuse(const std::string& text);
    void clock_shift(bool tms, bool tdi);
    void update_instruction();
    bool locate(int32_t fuse, int& address, int& bit) const;
    bool locate_1502(int32_t fuse, int& address, int& bit) const;

    ChipDesc desc_;
    ModelOptions options_;
    uint32_t idcode_;
    State state_ = reset;
    uint16_t ir_ = 0x059, ir_shift_ = 0;
    uint32_t extra_ir_shift_ = 0;
    bool extra_dr_ = false;
    // Bits, least significant first, as the chip's registers and words.
    using Bits = std::array<uint8_t, 52>;
    using Word = std::array<uint8_t, 41>;
    Bits dr_{};
    int dr_len_ = 1;
    bool programming_ = false;
    bool erase_latched_ = false;
    bool pulse_armed_ = false;
    uint16_t address_ = 0;
    Word latch_{};
    int latch_len_ = 0;
    int latch_page_ = -1;
    // Nanoseconds.
    uint64_t now_ = 0, idle_since_ = 0, erase_reset_at_ = 0;
    bool leave_pending_ = false;
    // An erase pulse taken, then the Test-Logic-Reset after it.
    enum EraseStage { erase_none, erase_pulsed, erase_reset } erase_stage_ = erase_none;
    std::array<uint8_t, 41> special_before_erase_{};
    bool pins_io_before_erase_ = false;
    std::array<Word, 0x301> flash_{};
    bool protected_ = false, jtag_lost_ = false;
    bool pins_io_ = false, vhh_ = false, powered_ = true, driven_ = false;
    int faults_ = 0;
    void check_driven();
    int erases_ = 0, refusals_ = 0;
    int scans_since_idcode_ = -1, scans_before_erase_ = -1;
    std::vector<std::string> events_;
    std::string last_refusal_;
    std::FILE* log_ = nullptr;
    ModelWatch* watch_ = nullptr;
};

}  // namespace vr::model
