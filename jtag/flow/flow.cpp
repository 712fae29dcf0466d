#include "jtag/flow/flow.hpp"

#include <algorithm>
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

// One run of the flow: the chip, the plan, the map, and what the steps
// found on the way.
struct Run {
    jtag::Chip& chip;
    const Plan& plan;
    FuseMap& map;
    Watch& watch;
    bool compare;  // a live probe's run, every word read compared here; else a recording
    jtag::Layout layout;
    WordList order;
    std::size_t count;
    Outcome result;
    // Words read back and found as expected (recorded with their expected
    // value, for a recording): read protection needs every one of them.
    std::size_t confirmed = 0;
};

// Step 1: from Test-Logic-Reset into programming mode, and the IDCODE
// checked there before anything else.
bool enter_and_check(Run& r) {
    jtag::Chip& chip = r.chip;
    Watch& watch = r.watch;
    const Plan& plan = r.plan;
    const Action action = plan.action;
    chip.probe->reset();
    chip.probe->idle(jtag::wait_reset_us);
    if (!jtag::chip_enter(chip)) return r.result = fail(chip, Outcome::probe_failed), false;
    if (erases(action) ? !check_idcode(chip, watch, plan.idcode_checks, "the erase")
                       : !check_idcode(chip, watch, 1, "the reads"))
        return r.result = fail(chip, Outcome::wrong_chip), false;
    return true;
}

// Step 2: the erase, and programming mode entered again after it.
bool erase(Run& r) {
    jtag::Chip& chip = r.chip;
    if (r.watch.cancelled()) return r.result = fail(chip, Outcome::cancelled), false;
    r.watch.stage(Stage::erase);
    if (!jtag::chip_erase(chip) || !jtag::chip_leave(chip)) return r.result = fail(chip, Outcome::probe_failed), false;
    // The chip maker's files give the erased chip two more resets' time.
    chip.probe->reset();
    chip.probe->idle(2 * jtag::wait_reset_us);
    if (!jtag::chip_enter(chip)) return r.result = fail(chip, Outcome::probe_failed), false;
    r.watch.advance(10);
    return true;
}

// Step 3: every word programmed from the map (word 200 as the caller made
// it F: see execute).
void program_all(Run& r) {
    uint8_t word[jtag::max_word_bytes];
    r.watch.stage(Stage::program);
    for (std::size_t i = 0; i < r.count && r.result.kind == Outcome::done; ++i) {
        if (r.watch.cancelled()) {
            r.result.kind = Outcome::cancelled;
            break;
        }
        word_of(r.map, r.layout, r.order[i], word);
        if (!jtag::chip_program(r.chip, r.order[i], word)) r.result.kind = Outcome::probe_failed;
        r.watch.advance(1);
    }
}

// Step 4: every word read back and compared with what it must hold (read:
// taken into the map). Words are read a batch at a time: a probe that
// streams its scans keeps the chip reading the next batch while this one's
// replies travel and are compared (one word at a time for the others).
constexpr std::size_t batch_most = 32;
struct ReadBatch {
    std::size_t first = 0, count = 0;
    std::array<std::array<uint8_t, jtag::max_word_bytes>, batch_most> words, backs;
};

// The reads of a batch's words, on their way; false when the run ends here.
bool issue_reads(Run& r, ReadBatch& b) {
    const Action action = r.plan.action;
    for (std::size_t n = 0; n < b.count; ++n) {
        if (r.watch.cancelled()) return r.result.kind = Outcome::cancelled, false;
        const uint16_t a = r.order[b.first + n], bits = jtag::word_bits(r.layout, a);
        uint8_t* word = b.words[n].data();
        if (action == Action::erase || action == Action::blank)
            fill_ones(word, bits);
        else if (action != Action::read)
            word_of(r.map, r.layout, a, word);
        if (!jtag::chip_read_later(r.chip, a, b.backs[n].data(), action == Action::read ? nullptr : word))
            return r.result.kind = Outcome::probe_failed, false;
    }
    r.chip.probe->batch_end();
    return true;
}

void compare_reads(Run& r, const ReadBatch& b) {
    const Action action = r.plan.action;
    for (std::size_t k = 0; k < b.count && r.result.kind == Outcome::done; ++k) {
        const uint16_t a = r.order[b.first + k], bits = jtag::word_bits(r.layout, a);
        const uint8_t* back = b.backs[k].data();
        r.watch.advance(1);
        if (action == Action::read) {
            map_from_word(r.map, r.layout, a, back);
            continue;
        }
        uint16_t first = 0;
        const uint16_t differ = r.compare ? differing(b.words[k].data(), back, bits, first) : 0;
        if (differ) {
            r.result.kind = action == Action::erase || action == Action::blank ? Outcome::not_blank : Outcome::differs;
            r.result.address = a, r.result.bits_differ = differ, r.result.first_bit = first;
        } else {
            ++r.confirmed;
        }
    }
}

void read_and_compare_all(Run& r) {
    jtag::Probe& probe = *r.chip.probe;
    const std::size_t ahead = std::min<std::size_t>(std::max<uint8_t>(probe.read_ahead(), 1), batch_most);
    // A reply damaged on the line (the probe's check of it fails, the probe
    // itself sound) has the batch read again, a few times at most: never a
    // changed word taken for the chip's.
    constexpr int most_again = 3;
    int again = 0;
    std::array<ReadBatch, 2> batches;
    std::size_t next = 0, oldest = 0, on_way = 0;
    if (r.result.kind == Outcome::done) r.watch.stage(Stage::read);
    while (r.result.kind == Outcome::done && (on_way || next < r.count)) {
        while (on_way < batches.size() && next < r.count) {
            ReadBatch& b = batches[(oldest + on_way) % batches.size()];
            b.first = next, b.count = std::min(ahead, r.count - next);
            ++on_way;  // counted before issuing: what was issued is collected below
            if (!issue_reads(r, b)) break;
            next += b.count;
        }
        if (r.result.kind != Outcome::done) break;
        ReadBatch& b = batches[oldest];
        oldest = (oldest + 1) % batches.size(), --on_way;
        if (probe.collect()) {
            compare_reads(r, b);
        } else if (probe.collect_again() && again++ < most_again) {
            // The batches after it are still owed: taken and read again too.
            for (; on_way; --on_way) probe.collect();
            next = b.first;
        } else {
            r.result.kind = Outcome::probe_failed;
        }
    }
    // Scans still on their way write into these batches: taken before they go.
    for (; on_way; --on_way) probe.collect();
}

// Step 5, a secure write's last: read protection, alone, once every word
// was programmed and read back equal in this run. False when the run ends
// here.
bool protect_last(Run& r, int8_t protect) {
    jtag::Chip& chip = r.chip;
    Watch& watch = r.watch;
    const Plan& plan = r.plan;
    const Action action = plan.action;
    const Outcome& result = r.result;
    const std::size_t confirmed = r.confirmed, count = r.count;
    if (result.kind == Outcome::done && action == Action::secure && protect == 0 && confirmed != count)
        return r.result = fail(chip, Outcome::unconfirmed), false;
    if (result.kind == Outcome::done && action == Action::secure && protect == 0 && confirmed == count) {
        if (!check_idcode(chip, watch, plan.idcode_checks, "read protection is set"))
            return r.result = fail(chip, Outcome::wrong_chip), false;
        watch.stage(Stage::protect);
        const uint8_t bit[1] = {jtag::special_protected};
        if (!jtag::chip_program(chip, jtag::page_special, bit)) return r.result = fail(chip, Outcome::probe_failed), false;
        watch.advance(1);
    }
    return true;
}

Outcome execute(jtag::Chip& chip, const Plan& plan, FuseMap& map, Watch& watch, bool compare) {
    const Action action = plan.action;
    Run r{chip, plan, map, watch, compare, jtag::chip_kinds[chip.kind].layout, {}, 0, {}};
    r.count = word_order(r.layout, r.order);
    if (!enter_and_check(r)) return r.result;
    if (erases(action) && !erase(r)) return r.result;

    // Word 200 is programmed F, whatever the map says: the JTAG pins stay
    // JTAG, and read protection is the secure write's last step alone.
    const int32_t code = code_of(r.layout);
    const int32_t protect_fuse = read_protection_fuse(code);
    const int8_t protect = map[protect_fuse];
    const Region special = device_of(code).special;
    std::array<int8_t, 8> special_kept{};
    for (int32_t i = 0; i < special.count && programs(action); ++i) {
        special_kept[static_cast<std::size_t>(i)] = map[special.first + i];
        map[special.first + i] = 1;
    }
    if (programs(action)) program_all(r);
    // Only an erase may go without reading back.
    if (plan.read_back || action != Action::erase) read_and_compare_all(r);
    for (int32_t i = 0; i < special.count && programs(action); ++i)
        map[special.first + i] = special_kept[static_cast<std::size_t>(i)];

    if (!protect_last(r, protect)) return r.result;
    if (r.result.kind != Outcome::done) {
        Outcome o = fail(chip, r.result.kind);
        o.address = r.result.address, o.bits_differ = r.result.bits_differ, o.first_bit = r.result.first_bit;
        return o;
    }
    if (!jtag::chip_leave(chip)) return fail(chip, Outcome::probe_failed);
    return r.result;
}

}  // namespace

Outcome run(jtag::Chip& chip, const Plan& plan, FuseMap& map, Watch& watch) {
    return execute(chip, plan, map, watch, true);
}

Outcome record(jtag::Chip& chip, const Plan& plan, FuseMap& map, Watch& watch) {
    return execute(chip, plan, map, watch, false);
}

}  // namespace vr::flow
