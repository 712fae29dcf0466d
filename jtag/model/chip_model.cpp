#include "jtag/model/chip_model.hpp"

#include <cstring>

#include <cinttypes>

namespace vr::model {

const ChipDesc chips[6] = {
    {"ATF1504AS", 0x0150403F, 4, 0xE8, 166, 34192},  {"ATF1508AS", 0x0150803F, 8, 0xFA, 326, 74136},
    {"ATF1504ASV", 0x0151403F, 4, 0xE8, 166, 34192}, {"ATF1508ASV", 0x0151803F, 8, 0xFA, 326, 74136},
    {"ATF1502AS", 0x0150203F, 2, 0xE4, 86, 16808},   {"ATF1502ASV", 0x0151203F, 2, 0xE4, 86, 16808},
};

const ChipDesc* find_chip(const std::string& name) {
    for (const ChipDesc& c : chips)
        if (name == c.name) return &c;
    return nullptr;
}

namespace {

// The instructions this model knows; every other one selects the 1-bit bypass.
enum : uint16_t {
    IDCODE = 0x059, CONFIG = 0x280, READ = 0x28C, DATA0 = 0x290, DATA3 = 0x293,
    PROGRAM_ERASE = 0x29E, ADDRESS = 0x2A1, LATCH_ERASE = 0x2B3,
};
// The chip maker's waits (its SVF files' RUNTEST figures), in microseconds:
// the floors of the pulses, of the stay in Run-Test/Idle after programming
// mode is left, and of the time from the Test-Logic-Reset after an erase to
// the next scan.
constexpr uint64_t min_erase_us = 210001, min_program_us = 30001, min_read_us = 20001, min_leave_us = 10001,
                   min_erase_reset_us = 50001;

bool get(const uint8_t* v, int i) { return (v[i / 8] >> (i % 8)) & 1; }

void put(uint8_t* v, int i, bool b) {
    if (b)
        v[i / 8] = static_cast<uint8_t>(v[i / 8] | (1u << (i % 8)));
    else
        v[i / 8] = static_cast<uint8_t>(v[i / 8] & ~(1u << (i % 8)));
}

// Bits 0 .. n-1 of src into dst, the rest of dst's last byte kept.
void copy_bits(uint8_t* dst, const uint8_t* src, int n) {
    const int whole = n / 8;
    std::memcpy(dst, src, static_cast<std::size_t>(whole));
    if (n % 8) {
        const uint8_t m = static_cast<uint8_t>((1u << (n % 8)) - 1);
        dst[whole] = static_cast<uint8_t>((dst[whole] & ~m) | (src[whole] & m));
    }
}

std::string hex_word(const uint8_t* bits, int n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (int top = (n + 3) / 4 * 4 - 4; top >= 0; top -= 4) {
        int v = 0;
        for (int b = 3; b >= 0; --b) v = v * 2 + (top + b < n ? get(bits, top + b) : 0);
        s += digits[v];
    }
    return s;
}

std::string hex3(int v) {
    char b[8];
    std::snprintf(b, sizeof b, "%03X", v);
    return b;
}

}  // namespace

ChipModel::ChipModel(const ModelOptions& options)
    : desc_(*options.chip), options_(options),
      idcode_(options.idcode >= 0 ? static_cast<uint32_t>(options.idcode) : options.chip->idcode) {
    for (Word& w : flash_) w.fill(0xFF);
}

// Rows 000-06B and 080 up to 0E4, 0E8 or 0FA; words 100 (32 bits), 200 (4), 300 (16).
int ChipModel::width(int address) const {
    if (address == 0x100) return 32;
    if (address == 0x200) return 4;
    if (address == 0x300) return 16;
    const bool row = (address >= 0 && address <= 0x6B) || (address >= 0x80 && address <= desc_.last_row);
    return row ? desc_.row_width : 0;
}

ChipModel::State ChipModel::next(State s, bool tms) {
    static const State table[16][2] = {
        {idle, reset},           {idle, select_dr},       {capture_dr, select_ir}, {shift_dr, exit1_dr},
        {shift_dr, exit1_dr},    {pause_dr, update_dr},   {pause_dr, exit2_dr},    {shift_dr, update_dr},
        {idle, select_dr},       {capture_ir, reset},     {shift_ir, exit1_ir},    {shift_ir, exit1_ir},
        {pause_ir, update_ir},   {pause_ir, exit2_ir},    {shift_ir, update_ir},   {idle, select_dr},
    };
    return table[s][tms ? 1 : 0];
}

bool ChipModel::chip_tdo() const {
    if (state_ == shift_dr) return dr_[0] & 1;
    if (state_ == shift_ir) return ir_shift_ & 1;
    return false;
}

bool ChipModel::extra_tdo() const {
    if (state_ == shift_dr) return extra_dr_;
    if (state_ == shift_ir) return extra_ir_shift_ & 1;
    return false;
}

bool ChipModel::tdo() const {
    if (options_.tdo_stuck >= 0) return options_.tdo_stuck;
    if (deaf() && !(options_.extra_ir > 0 && options_.extra_after)) return true;
    return options_.extra_ir > 0 && options_.extra_after ? extra_tdo() : chip_tdo();
}

int ChipModel::dr_length() const {
    switch (ir_) {
    case IDCODE: return 32;
    case CONFIG: return 10;
    case ADDRESS: return 11;
    default:
        if (ir_ >= DATA0 && ir_ <= DATA3) {
            const int page = ir_ - DATA0;
            return page == 0 ? width(0) : width(page * 0x100);
        }
        return 1;
    }
}

void ChipModel::capture() {
    dr_.fill(0);
    dr_len_ = dr_length();
    if (ir_ == IDCODE)
        scans_since_idcode_ = 0;
    else if (scans_since_idcode_ >= 0)
        ++scans_since_idcode_;
    if (ir_ == IDCODE) {
        for (int i = 0; i < 4; ++i) dr_[static_cast<std::size_t>(i)] = static_cast<uint8_t>(idcode_ >> (8 * i));
    } else if (ir_ == ADDRESS) {
        dr_[0] = static_cast<uint8_t>(address_), dr_[1] = static_cast<uint8_t>(address_ >> 8 & 7);
    } else if (ir_ >= DATA0 && ir_ <= DATA3) {
        copy_bits(dr_.data(), latch_.data(), latch_len_ < dr_len_ ? latch_len_ : dr_len_);
    }
}

void ChipModel::update() {
    if (ir_ == CONFIG) {
        const unsigned key = (dr_[0] | dr_[1] << 8) & 0x3FF;
        if (key == 0x1B9 && !programming_) event("enter programming mode");
        if (key == 0x1B9) programming_ = true, leave_pending_ = false;
        // Programming mode ends once the TAP has stayed its time in
        // Run-Test/Idle after the key (leave_idle judges it).
        if (key == 0x000 && programming_) leave_pending_ = true;
    } else if (ir_ == ADDRESS) {
        address_ = static_cast<uint16_t>((dr_[0] | dr_[1] << 8) & 0x7FF);
    } else if (ir_ >= DATA0 && ir_ <= DATA3) {
        latch_.fill(0);
        copy_bits(latch_.data(), dr_.data(), dr_len_);
        latch_len_ = dr_len_;
        latch_page_ = ir_ - DATA0;
    }
}

uint64_t ChipModel::demanded(uint64_t vendor_us) const {
    return (vendor_us + vendor_us * options_.wait_margin_ppm / 1000000) * 1000;
}

std::string ChipModel::waited_text(uint64_t ns) { return "waited " + std::to_string(ns / 1000) + "." + std::to_string(ns / 100 % 10) + " us"; }

// The TAP leaves Run-Test/Idle: the armed pulse is taken, a pending leave of
// programming mode judged.
void ChipModel::leave_idle() {
    const uint64_t waited = now_ - idle_since_;
    if (leave_pending_) {
        leave_pending_ = false;
        if (options_.enforce_waits && waited < demanded(min_leave_us)) {
            refuse("leave refused: " + waited_text(waited));
        } else {
            programming_ = false;
            event("leave programming mode");
            if (jtag_lost_) {
                pins_io_ = true;
                event("JTAG pins now user I/O");
                check_driven();
            }
        }
    }
    if (pulse_armed_) {
        pulse_armed_ = false;
        pulse();
    }
}

// A scan begins (Capture-DR or Capture-IR): an erase is complete only when
// the TAP passed through Test-Logic-Reset after it and stayed there and in
// Run-Test/Idle for the chip maker's time before this next step; else the
// erase is incomplete: the chip reads as no programmed design would (every
// word 0), but for word 200, which keeps what it held.
void ChipModel::step_begins(bool instruction) {
    if (erase_stage_ == erase_none) return;
    if (erase_stage_ == erase_pulsed && instruction) return;  // the instruction after the pulse
    const bool reset_seen = erase_stage_ == erase_reset;
    const uint64_t waited = now_ - erase_reset_at_;
    erase_stage_ = erase_none;
    const bool short_wait = options_.enforce_waits && waited < demanded(min_erase_reset_us);
    if (reset_seen && !short_wait) return;
    for (Word& word : flash_) word.fill(0);
    flash_[0x200] = special_before_erase_;
    protected_ = !get(flash_[0x200].data(), 3);
    jtag_lost_ = !get(flash_[0x200].data(), 2);
    pins_io_ = pins_io_before_erase_;
    --erases_;
    refuse(reset_seen ? "erase incomplete: " + waited_text(waited) + " from Test-Logic-Reset"
                      : std::string("erase incomplete: no Test-Logic-Reset after it"));
}

// The instruction's pulse, taken as the TAP leaves Run-Test/Idle.
void ChipModel::pulse() {
    const uint64_t waited = now_ - idle_since_;
    const int w = width(address_);
    if (ir_ == READ) {
        latch_.fill(0);
        latch_len_ = w;
        latch_page_ = address_ >> 8;
        if (!programming_) return refuse("read " + hex3(address_) + " refused: not in programming mode");
        if (w == 0) return refuse("read " + hex3(address_) + " refused: no such word");
        if (options_.enforce_waits && waited < demanded(min_read_us))
            return refuse("read " + hex3(address_) + " refused: " + waited_text(waited));
        if (!protected_) copy_bits(latch_.data(), flash_[address_].data(), w);
        if (address_ == options_.flip_read) latch_[0] ^= 1;
        if (telling()) event("read " + hex3(address_));
        if (watch_) watch_->read(address_);
        return;
    }
    // PROGRAM_ERASE
    if (erase_latched_) {
        erase_latched_ = false;
        if (!programming_) return refuse("erase refused: not in programming mode");
        if (options_.enforce_waits && waited < demanded(min_erase_us))
            return refuse("erase refused: " + waited_text(waited));
        // Undone unless the reset after it has its time (step_begins).
        special_before_erase_ = flash_[0x200];
        pins_io_before_erase_ = pins_io_;
        erase_stage_ = erase_pulsed;
        for (Word& word : flash_) word.fill(0xFF);
        protected_ = false;
        jtag_lost_ = pins_io_ = false;
        ++erases_;
        scans_before_erase_ = scans_since_idcode_;
        event("erase");
        if (watch_) watch_->erased();
        return;
    }
    // The refusal's text is built only when there is one.
    auto refuse_program = [&](const std::string& why) { refuse("program " + hex3(address_) + " refused: " + why); };
    if (!programming_) return refuse_program("not in programming mode");
    if (w == 0) return refuse_program("no such word");
    if (latch_page_ != address_ >> 8 || latch_len_ != w) return refuse_program("data register of another page");
    if (options_.enforce_waits && waited < demanded(min_program_us))
        return refuse_program(waited_text(waited));
    if (vhh_ && address_ < 0x100) return refuse_program("VHH still on");
    int stuck_address = -1, stuck_bit = -1;
    if (options_.stuck_fuse >= 0) locate(options_.stuck_fuse, stuck_address, stuck_bit);
    // Programming only clears bits: the word is the AND of itself and the latch.
    // A stuck fuse keeps what it held.
    Word& word = flash_[address_];
    const bool stuck_held = address_ == stuck_address && get(word.data(), w - 1 - stuck_bit);
    for (int i = 0; i < (w + 7) / 8; ++i) word[static_cast<std::size_t>(i)] &= latch_[static_cast<std::size_t>(i)];
    if (stuck_held) put(word.data(), w - 1 - stuck_bit, true);
    if (telling()) event("program " + hex3(address_) + " " + hex_word(latch_.data(), w));
    if (address_ == 0x200) {
        const bool protect = !get(word.data(), 3), lost = !get(word.data(), 2);
        if (protect && !protected_) event("read protection programmed");
        if (lost && !jtag_lost_) event("JTAG pin bit cleared");
        protected_ = protect;
        jtag_lost_ = lost;
    }
    if (watch_) watch_->programmed(address_, WordBits(latch_.data(), w));
}

void ChipModel::clock(bool tms, bool tdi) {
    now_ += options_.clock_ns;
    if (deaf()) {
        // Held in Test-Logic-Reset; the other device, if any, still shifts.
        state_ = reset;
        ir_ = IDCODE;
        pulse_armed_ = false;
        return;
    }
    if (options_.extra_ir > 0) {
        // The other device shifts beside the chip: TDI -> it -> chip, or
        // TDI -> chip -> it.
        const bool extra_in = options_.extra_after ? chip_tdo() : tdi;
        if (!options_.extra_after) tdi = extra_tdo();
        const int n = options_.extra_ir;
        if (state_ == capture_ir) extra_ir_shift_ = 1;  // the standard's 01 in the low bits
        if (state_ == shift_ir) extra_ir_shift_ = (extra_ir_shift_ >> 1) | (extra_in ? 1u << (n - 1) : 0u);
        if (state_ == capture_dr) extra_dr_ = false;
        if (state_ == shift_dr) extra_dr_ = extra_in;
    }
    switch (state_) {
    case reset: ir_ = IDCODE; break;
    case capture_dr: step_begins(false), capture(); break;
    case capture_ir: step_begins(true), ir_shift_ = 0x059; break;
    case shift_dr: clock_shift(tms, tdi); return;
    case update_dr: update(); break;
    case shift_ir: ir_shift_ = static_cast<uint16_t>((ir_shift_ >> 1) | (tdi ? 0x200 : 0)); break;
    case update_ir: update_instruction(); break;
    default: break;
    }
    const State n = next(state_, tms);
    if (state_ == idle && n != idle) leave_idle();
    if (n == idle && state_ != idle) idle_since_ = now_;
    if (n == reset) ir_ = IDCODE;
    if (n == reset && state_ != reset && erase_stage_ == erase_pulsed) erase_stage_ = erase_reset, erase_reset_at_ = now_;
    state_ = n;
}

void ChipModel::update_instruction() {
    ir_ = ir_shift_;
    pulse_armed_ = ir_ == READ || ir_ == PROGRAM_ERASE;
    if (ir_ == LATCH_ERASE && programming_) erase_latched_ = true;
    else if (ir_ != PROGRAM_ERASE) erase_latched_ = false;
}

void ChipModel::scan(bool instruction, uint16_t bits, const uint8_t* tdi, uint8_t* tdo) {
    const bool alone = options_.extra_ir == 0 && options_.tdo_stuck < 0 && !deaf();
    if (!alone || state_ != idle || bits == 0) {
        clock(true, false);
        if (instruction) clock(true, false);
        clock(false, false), clock(false, false);
        shift(bits, tdi, tdo);
        clock(true, false), clock(false, false);
        return;
    }
    // Leaving Run-Test/Idle takes the armed pulse; then Select-DR (and
    // Select-IR), Capture, Shift.
    now_ += options_.clock_ns;
    leave_idle();
    now_ += (instruction ? 3 : 2) * options_.clock_ns;
    step_begins(instruction);
    if (instruction)
        ir_shift_ = 0x059;
    else
        capture();
    state_ = instruction ? shift_ir : shift_dr;
    shift(bits, tdi, tdo);
    // Exit1, Update, Run-Test/Idle.
    now_ += 2 * options_.clock_ns;
    if (instruction)
        update_instruction();
    else
        update();
    state_ = idle;
    idle_since_ = now_;
}

// One clock in Shift-DR: the register moves one bit towards TDO.
void ChipModel::clock_shift(bool tms, bool tdi) {
    const int bytes = (dr_len_ + 7) / 8;
    for (int i = 0; i < bytes; ++i)
        dr_[static_cast<std::size_t>(i)] = static_cast<uint8_t>(dr_[static_cast<std::size_t>(i)] >> 1 | dr_[static_cast<std::size_t>(i) + 1] << 7);
    put(dr_.data(), dr_len_ - 1, tdi);
    // Bits above the register stay clear.
    if (dr_len_ % 8) dr_[static_cast<std::size_t>(dr_len_ / 8)] &= static_cast<uint8_t>((1u << (dr_len_ % 8)) - 1);
    dr_[static_cast<std::size_t>(bytes)] = 0;
    state_ = next(state_, tms);
}

void ChipModel::shift(uint16_t bits, const uint8_t* tdi, uint8_t* tdo) {
    // A scan of the register's own length, the chip alone on its chain: what
    // the register held comes out, tdi takes its place.
    const bool alone = options_.extra_ir == 0 && options_.tdo_stuck < 0 && !deaf();
    if (alone && state_ == shift_dr && bits == dr_len_) {
        now_ += bits * options_.clock_ns;
        if (tdo) copy_bits(tdo, dr_.data(), bits);
        dr_.fill(0);
        if (tdi) copy_bits(dr_.data(), tdi, bits);
        state_ = exit1_dr;
        return;
    }
    if (alone && state_ == shift_ir && bits == 10) {
        now_ += bits * options_.clock_ns;
        const uint8_t out[2] = {static_cast<uint8_t>(ir_shift_), static_cast<uint8_t>(ir_shift_ >> 8)};
        if (tdo) copy_bits(tdo, out, bits);
        ir_shift_ = tdi ? static_cast<uint16_t>((tdi[0] | tdi[1] << 8) & 0x3FF) : 0;
        state_ = exit1_ir;
        return;
    }
    for (uint16_t i = 0; i < bits; ++i) {
        if (tdo) put(tdo, i, this->tdo());
        clock(i + 1 == bits, tdi && get(tdi, i));
    }
}

void ChipModel::advance(uint64_t microseconds) { now_ += microseconds * 1000; }

void ChipModel::catch_up(uint64_t ns) {
    if (ns > now_) now_ = ns;
}

void ChipModel::set_driven(bool on) {
    if (on == driven_) return;
    driven_ = on;
    check_driven();
}

void ChipModel::check_driven() {
    if (!driven_ || !deaf()) return;
    ++faults_;
    char t[112];
    std::snprintf(t, sizeof t, "FAULT: TCK, TMS and TDI driven into JTAG pins that are user I/O, without VHH, at %.6f s",
                  static_cast<double>(now_) / 1e9);
    event(t);
}

void ChipModel::set_vhh(bool on) {
    if (on == vhh_) return;
    vhh_ = on;
    char t[64];
    std::snprintf(t, sizeof t, "VHH %s at %.6f s", on ? "on" : "off", static_cast<double>(now_) / 1e9);
    event(t);
    if (on && !powered_) refuse("VHH refused: the chip is unpowered");
    if (!on && pins_io_) {
        state_ = reset;
        ir_ = IDCODE;
    }
    check_driven();
}

void ChipModel::trst() {
    pulse_armed_ = false;
    if (state_ == idle) leave_idle();
    leave_pending_ = false;
    if (state_ != reset && erase_stage_ == erase_pulsed) erase_stage_ = erase_reset, erase_reset_at_ = now_;
    state_ = reset;
    ir_ = IDCODE;
}

void ChipModel::event(const std::string& text) {
    if (options_.record) events_.push_back(text);
    if (log_) {
        std::fprintf(log_, "%s\n", text.c_str());
        std::fflush(log_);
    }
}

void ChipModel::refuse(const std::string& text) {
    ++refusals_;
    last_refusal_ = text;
    event(text);
}

// Where a JEDEC fuse lives: the word's address and the fuse's place in the
// word, counted from the word's most significant bit (the first fuse).
bool ChipModel::locate(int32_t fuse, int& address, int& bit) const {
    if (fuse < 0) return false;
    if (desc_.code == 2) return locate_1502(fuse, address, bit);
    const bool big = desc_.code == 8;
    const int32_t half = big ? 30720 : 15360;     // fuses of rows 12-107
    const int32_t cfg = big ? 61440 : 30720;      // configuration rows start
    const int32_t per_cfg = big ? 320 : 160;
    const int32_t uim = big ? 65280 : 32640;
    const int32_t uim_rows = big ? 27 : 9;
    const int32_t page1 = big ? 74082 : 34134;
    if (fuse < half) {
        address = 12 + fuse % 96, bit = fuse / 96;
    } else if (fuse < cfg) {
        address = 128 + (fuse - half) % 96, bit = (fuse - half) / 96;
    } else if (fuse < uim) {
        address = (fuse - cfg) / per_cfg, bit = (fuse - cfg) % per_cfg;
    } else if (fuse < page1) {
        address = 224 + (fuse - uim) % uim_rows, bit = (fuse - uim) / uim_rows;
    } else if (fuse < page1 + 32) {
        address = 0x100, bit = fuse - page1;
    } else if (fuse < page1 + 36) {
        address = 0x200, bit = fuse - page1 - 32;
    } else if (fuse < page1 + 52) {
        address = 0x300, bit = fuse - page1 - 36;
    } else {
        return false;
    }
    return true;
}

// The ATF1502: 86-bit rows whose six unused bits are the top ones (85-80),
// the first fuse of a row at bit 79; rows 0E0-0E4 carry the global OE fuses
// in those top bits. bit counts from the word's most significant bit.
bool ChipModel::locate_1502(int32_t fuse, int& address, int& bit) const {
    auto at = [&](int a, int lsb) { address = a, bit = 85 - lsb; };
    if (fuse < 7680) at(0x0C + fuse % 96, 79 - fuse / 96);
    else if (fuse < 15360) at(0x80 + (fuse - 7680) % 96, 79 - (fuse - 7680) / 96);
    else if (fuse < 16320) at((fuse - 15360) / 80, 79 - (fuse - 15360) % 80);
    else if (fuse < 16720) at(0xE0 + (fuse - 16320) % 5, 79 - (fuse - 16320) / 5);
    else if (fuse < 16750) at(0xE0 + (fuse - 16720) % 5, 85 - (fuse - 16720) / 5);
    else if (fuse < 16782) address = 0x100, bit = fuse - 16750;
    else if (fuse < 16786) address = 0x200, bit = fuse - 16782;
    else if (fuse < 16802) address = 0x300, bit = fuse - 16786;
    else return false;
    return true;
}

void ChipModel::load(const FuseMap& map) {
    for (Word& word : flash_) word.fill(0xFF);
    for (int32_t i = 0; i < desc_.fuses; ++i) {
        int a = 0, b = 0;
        if (!locate(i, a, b)) continue;
        put(flash_[static_cast<std::size_t>(a)].data(), width(a) - 1 - b, map[static_cast<std::size_t>(i)] == 1);
    }
    protected_ = !get(flash_[0x200].data(), 3);
    jtag_lost_ = !get(flash_[0x200].data(), 2);
    pins_io_ = jtag_lost_;  // as at power-up
}

void ChipModel::save(FuseMap& map) const {
    map.fill(0);
    for (int32_t i = 0; i < desc_.fuses; ++i) {
        int a = 0, b = 0;
        if (!locate(i, a, b)) continue;
        map[static_cast<std::size_t>(i)] = static_cast<int8_t>(get(flash_[static_cast<std::size_t>(a)].data(), width(a) - 1 - b));
    }
}

}  // namespace vr::model
