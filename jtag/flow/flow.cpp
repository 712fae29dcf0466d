#include "jtag/flow/flow.hpp"

#include <array>

#include "common/bits.hpp"
#include "fusemap/device.hpp"
#include "jtag/flow/words.hpp"

namespace vr::flow {
namespace {

bool erases(Action a) { return a == Action::write || a == Action::secure || a == Action::erase; }
bool programs(Action a) { return a == Action::write || a == Action::secure; }

// Compares bits of two words; the count of differing bits and the lowest.
uint16_t differing(const uint8_t* a, const uint8_t* b, uint16_t bits, uint16_t& first) {
    uint16_t n = 0;
    for (uint16_t i = bits; i-- > 0;)
        if (bit_of(a, i) != bit_of(b, i)) ++n, first = i;
    return n;
}

// The IDCODE check in programming mode, count times: the identified chip's
// own value, else (nothing identified: an SVF file) the table's.
bool check_idcode(jtag::Chip& chip, Watch& watch, int count, const char* guards) {
    const uint32_t idcode = chip.idcode ? chip.idcode : jtag::chip_kinds[chip.kind].idcode;
    watch.checks(count, guards);
    for (int i = 0; i < count; ++i)
        if (!jtag::chip_check_idcode(chip, idcode)) return false;
    return true;
}

// Leaves programming mode whatever the run believed of it, from a TAP reset
// (the TAP may be anywhere after a failed call); when that fails, once more
// after a second reset, which reaches the chip again where the probe can.
bool leave_after_failure(jtag::Chip& chip) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        chip.programming = true;
        if (chip.probe->reset() && chip.probe->flush() && jtag::chip_leave(chip)) return true;
    }
    return false;
}

// A run that ends early: the probe's reason kept, programming mode left.
Outcome fail(jtag::Chip& chip, Outcome::Kind kind) {
    Outcome o;
    o.kind = kind;
    const char* why = chip.probe->failure_text();
    std::size_t i = 0;
    for (; why && why[i] && i + 1 < sizeof o.failure; ++i) o.failure[i] = why[i];
    o.failure[i] = 0;
    o.left_programming = leave_after_failure(chip);
    return o;
}

}  // namespace

int32_t units(Action action, jtag::Layout layout) {
    WordList order;
    const int32_t words = static_cast<int32_t>(word_order(layout, order));
    return (erases(action) ? 10 : 0) + (programs(action) ? words : 0) + words + (action == Action::secure ? 1 : 0);
}

namespace {

// compare: a live probe's run, every word read compared here; else a
// recording, whose reads the player compares.
Outcome execute(jtag::Chip& chip, const Plan& plan, FuseMap& map, Watch& watch, bool compare) {
    const Action action = plan.action;
    const bool read_back = plan.read_back || action != Action::erase;
    const jtag::Layout layout = jtag::chip_kinds[chip.kind].layout;
    jtag::Probe& probe = *chip.probe;

    probe.reset();
    probe.idle(jtag::wait_reset_us);
    if (!jtag::chip_enter(chip)) return fail(chip, Outcome::probe_failed);
    if (erases(action) ? !check_idcode(chip, watch, plan.idcode_checks, "the erase")
                       : !check_idcode(chip, watch, 1, "the reads"))
        return fail(chip, Outcome::wrong_chip);
    if (erases(action)) {
        if (watch.cancelled()) return fail(chip, Outcome::cancelled);
        watch.stage(Stage::erase);
        if (!jtag::chip_erase(chip) || !jtag::chip_leave(chip)) return fail(chip, Outcome::probe_failed);
        // The chip maker's files give the erased chip two more resets' time.
        probe.reset();
        probe.idle(2 * jtag::wait_reset_us);
        if (!jtag::chip_enter(chip)) return fail(chip, Outcome::probe_failed);
        watch.advance(10);
    }

    // Everything but read protection first: a secure write programs the
    // read-protection fuse alone, last.
    const int32_t code = code_of(layout);
    // Word 200 is programmed F, whatever the map says: the JTAG pins stay
    // JTAG, and read protection is the secure write's last step alone.
    const int32_t protect_fuse = read_protection_fuse(code);
    const int8_t protect = map[protect_fuse];
    const Region special = device_of(code).special;
    std::array<int8_t, 8> special_kept{};
    for (int32_t i = 0; i < special.count && programs(action); ++i) {
        special_kept[static_cast<std::size_t>(i)] = map[special.first + i];
        map[special.first + i] = 1;
    }

    WordList order;
    const std::size_t count = word_order(layout, order);
    uint8_t word[jtag::max_word_bytes], back[jtag::max_word_bytes];
    Outcome result;
    if (programs(action)) {
        watch.stage(Stage::program);
        for (std::size_t i = 0; i < count && result.kind == Outcome::done; ++i) {
            if (watch.cancelled()) {
                result.kind = Outcome::cancelled;
                break;
            }
            word_of(map, layout, order[i], word);
            if (!jtag::chip_program(chip, order[i], word)) result.kind = Outcome::probe_failed;
            watch.advance(1);
        }
    }
    // Words read back and found as expected (recorded with their expected
    // value, for a recording): read protection needs every one of them.
    std::size_t confirmed = 0;
    if (result.kind == Outcome::done && read_back) watch.stage(Stage::read);
    for (std::size_t i = 0; i < count && result.kind == Outcome::done && read_back; ++i) {
        if (watch.cancelled()) {
            result.kind = Outcome::cancelled;
            break;
        }
        const uint16_t a = order[i], bits = jtag::word_bits(layout, a);
        if (action == Action::erase || action == Action::blank)
            fill_ones(word, bits);
        else if (action != Action::read)
            word_of(map, layout, a, word);
        if (!jtag::chip_read(chip, a, back, action == Action::read ? nullptr : word)) {
            result.kind = Outcome::probe_failed;
            break;
        }
        watch.advance(1);
        if (action == Action::read) {
            map_from_word(map, layout, a, back);
            continue;
        }
        uint16_t first = 0;
        const uint16_t n = compare ? differing(word, back, bits, first) : 0;
        if (n) {
            result.kind = action == Action::erase || action == Action::blank ? Outcome::not_blank : Outcome::differs;
            result.address = a, result.bits_differ = n, result.first_bit = first;
        } else {
            ++confirmed;
        }
    }
    for (int32_t i = 0; i < special.count && programs(action); ++i)
        map[special.first + i] = special_kept[static_cast<std::size_t>(i)];

    // Every word programmed and read back equal: now read protection.
    if (result.kind == Outcome::done && action == Action::secure && protect == 0 && confirmed != count)
        return fail(chip, Outcome::unconfirmed);
    if (result.kind == Outcome::done && action == Action::secure && protect == 0 && confirmed == count) {
        if (!check_idcode(chip, watch, plan.idcode_checks, "read protection is set")) return fail(chip, Outcome::wrong_chip);
        watch.stage(Stage::protect);
        const uint8_t bit[1] = {jtag::special_protected};
        if (!jtag::chip_program(chip, jtag::page_special, bit)) return fail(chip, Outcome::probe_failed);
        watch.advance(1);
    }
    if (result.kind != Outcome::done) {
        Outcome o = fail(chip, result.kind);
        o.address = result.address, o.bits_differ = result.bits_differ, o.first_bit = result.first_bit;
        return o;
    }
    if (!jtag::chip_leave(chip)) return fail(chip, Outcome::probe_failed);
    return result;
}

}  // namespace

Outcome run(jtag::Chip& chip, const Plan& plan, FuseMap& map, Watch& watch) {
    return execute(chip, plan, map, watch, true);
}

Outcome record(jtag::Chip& chip, const Plan& plan, FuseMap& map, Watch& watch) {
    return execute(chip, plan, map, watch, false);
}

}  // namespace vr::flow
