// Waits as the chip sees them: the host-wait rule on a fake clock, and the
// chip model's floors, each the chip maker's value to the microsecond.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "jtag/model/chip_model.hpp"
#include "jtag/probe/host_wait.hpp"

using namespace vr;

namespace {

// A clock whose reading moves in steps of `tick` ns; the true time starts at
// `phase` within a step, and sleeping advances it by what was asked plus
// `oversleep`, or by less when `undersleep`.
struct FakeClock final : jtag::HostClock {
    int64_t t, tick, oversleep = 0;
    bool undersleep = false;
    int sleeps = 0;
    FakeClock(int64_t start, int64_t tick_ns) : t(start), tick(tick_ns) {}
    int64_t now_ns() override { return t / tick * tick; }
    int64_t tick_ns() const override { return tick; }
    void sleep_ns(int64_t ns) override {
        ++sleeps;
        t += undersleep ? (ns > 1 ? ns / 2 : 1) : ns + oversleep;
    }
};

TEST(HostWait, EndsNoEarlierThanAskedWhateverTheClocksTickAndPhase) {
    // Ticks of 1 ns, 100 ns (Windows), 1 ms and 15.6 ms (a coarse timer);
    // the wait starting anywhere within a tick; sleeps that return early.
    for (int64_t tick : {int64_t{1}, int64_t{100}, int64_t{1000000}, int64_t{15625000}})
        for (int64_t phase : {int64_t{0}, int64_t{1}, tick / 2, tick - 1})
            for (bool under : {false, true})
                for (uint32_t us : {1u, 999u, 20001u, 30001u, 210001u}) {
                    FakeClock clock(1000 * tick + phase, tick);
                    clock.undersleep = under;
                    const int64_t true_start = clock.t;
                    jtag::host_wait(clock, clock.now_ns(), us);
                    EXPECT_GE(clock.t - true_start, int64_t{us} * 1000)
                        << "tick " << tick << " phase " << phase << " wait " << us;
                    // Never more than the rule's two extra ticks beyond it.
                    if (!under) {
                        EXPECT_LE(clock.t - true_start, int64_t{us} * 1000 + 2 * tick);
                    }
                }
}

TEST(HostWait, CountsFromTheConfirmationNotFromTheCall) {
    // The probe confirmed its last clock 5 ms before the wait is asked for:
    // only the rest is slept.
    FakeClock clock(1000000000, 1);
    const int64_t confirmed = clock.now_ns();
    clock.t += 5000000;
    jtag::host_wait(clock, confirmed, 30001);
    EXPECT_GE(clock.t - confirmed, 30001000);
    EXPECT_LE(clock.t - confirmed, 30001002);
}

// The model driven scan by scan with clocks that take no time: every wait is
// exactly the advance() asked.
struct Bench {
    model::ChipModel m;
    static model::ModelOptions options() {
        model::ModelOptions o;
        o.chip = &model::chips[0];
        o.clock_ns = 0;
        return o;
    }
    Bench() : m(options()) { reset(); }
    void reset() {
        for (int i = 0; i < 5; ++i) m.clock(true, false);
        m.clock(false, false);
    }
    void ir(uint16_t v) {
        const uint8_t in[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
        m.scan(true, 10, in, nullptr);
    }
    void dr(uint16_t bits, uint32_t v, uint8_t* out = nullptr) {
        uint8_t in[48] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                          static_cast<uint8_t>(v >> 24)};
        m.scan(false, bits, in, out);
    }
    void enter() { ir(0x280), dr(10, 0x1B9); }
    void select(uint16_t a) { ir(0x2A1), dr(11, a); }
    // Word 300 (16 bits) programmed to `value`, with the pulse lasting `us`.
    void program_ues(uint16_t value, uint64_t us) {
        select(0x300), ir(0x293), dr(16, value), ir(0x29E);
        m.advance(us);
        ir(0x2BF);
    }
    uint32_t read_ues(uint64_t us) {
        select(0x300), ir(0x28C);
        m.advance(us);
        ir(0x293);
        uint8_t out[4] = {};
        dr(16, 0xFFFF, out);
        return out[0] | out[1] << 8;
    }
    void erase(uint64_t pulse_us, uint64_t reset_us) {
        ir(0x2B3), ir(0x29E);
        m.advance(pulse_us);
        ir(0x2BF);
        reset();
        m.advance(reset_us);
        ir(0x059);
    }
};

TEST(ModelWaits, EachFloorIsTheChipMakersToTheMicrosecond) {
    enum Kind { program, read, erase_pulse, erase_reset, leave };
    struct Case {
        Kind kind;
        uint64_t floor_us;
    } cases[] = {{program, 30001}, {read, 20001}, {erase_pulse, 210001}, {erase_reset, 50001}, {leave, 10001}};
    for (const Case& c : cases)
        for (const bool short_by_1us : {true, false}) {
            SCOPED_TRACE(std::to_string(c.floor_us) + (short_by_1us ? " less 1 us" : ""));
            const uint64_t w = c.floor_us - (short_by_1us ? 1 : 0);
            Bench b;
            b.enter();
            switch (c.kind) {
            case program:
                b.program_ues(0x1234, w);
                EXPECT_EQ(b.read_ues(20001), short_by_1us ? 0xFFFFu : 0x1234u);
                break;
            case read:
                b.program_ues(0x1234, 30001);
                EXPECT_EQ(b.read_ues(w), short_by_1us ? 0u : 0x1234u);
                break;
            case erase_pulse:
            case erase_reset:
                b.program_ues(0x1234, 30001);
                if (c.kind == erase_pulse) b.erase(w, 50001);
                else b.erase(210001, w);
                b.enter();
                EXPECT_EQ(b.m.erases(), short_by_1us ? 0 : 1);
                // A short pulse erases nothing; a short reset leaves the
                // erase incomplete (the word reads 0).
                EXPECT_EQ(b.read_ues(20001), !short_by_1us ? 0xFFFFu : c.kind == erase_pulse ? 0x1234u : 0u);
                break;
            case leave:
                b.ir(0x280), b.dr(10, 0x000);
                b.m.advance(w);
                b.reset();
                EXPECT_EQ(b.m.programming(), short_by_1us);
                break;
            }
            EXPECT_EQ(b.m.refusals(), short_by_1us ? 1 : 0) << b.m.last_refusal();
        }
}

TEST(ModelWaits, AnEraseWithoutTheResetAfterItIsIncomplete) {
    Bench b;
    b.enter();
    b.program_ues(0x1234, 30001);
    b.ir(0x2B3), b.ir(0x29E);
    b.m.advance(210001);
    b.ir(0x2BF);
    b.m.advance(60000);
    b.select(0x300);  // the next data scan, with no Test-Logic-Reset between
    EXPECT_EQ(b.m.erases(), 0);
    EXPECT_NE(b.m.last_refusal().find("erase incomplete"), std::string::npos);
}

TEST(ModelWaits, TheWallClockCountsBetweenChunksAndClocksAtMost100ns) {
    // As served over remote_bitbang: time from catch_up, clocks 100 ns.
    model::ModelOptions o;
    o.chip = &model::chips[0];
    o.clock_ns = 100;
    model::ChipModel m(o);
    for (int i = 0; i < 5; ++i) m.clock(true, false);
    m.clock(false, false);
    auto ir = [&](uint16_t v) {
        const uint8_t in[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
        m.scan(true, 10, in, nullptr);
    };
    const uint8_t key[2] = {0xB9, 0x01};
    ir(0x280), m.scan(false, 10, key, nullptr);
    const uint8_t addr[2] = {0x00, 0x03}, data[2] = {0x34, 0x12};
    ir(0x2A1), m.scan(false, 11, addr, nullptr);
    ir(0x293), m.scan(false, 16, data, nullptr);
    // 300,000 clocks of Run-Test/Idle in one chunk: 30 ms at 10 MHz, not the
    // 300 ms that 1 us per clock would make of them.
    m.catch_up(1000000);
    ir(0x29E);
    for (int i = 0; i < 300000; ++i) m.clock(false, false);
    ir(0x2BF);
    EXPECT_EQ(m.refusals(), 1);
    // The same, with the wall clock giving the pulse its 30.001 ms.
    ir(0x2A1), m.scan(false, 11, addr, nullptr);
    ir(0x293), m.scan(false, 16, data, nullptr);
    ir(0x29E);
    m.catch_up(1000000000);
    ir(0x2BF);
    EXPECT_EQ(m.refusals(), 1) << m.last_refusal();
    EXPECT_EQ(m.word(0x300)[4], 1);  // 0x1234: bit 4 is 1, bit 0 is 0
    EXPECT_EQ(m.word(0x300)[0], 0);
}

}  // namespace
