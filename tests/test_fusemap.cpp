#include <gtest/gtest.h>

#include "fusemap/fusemap.hpp"
#include "tests/helpers.hpp"

using namespace vr;

namespace {
FuseMap a, b;
}

TEST(Verify, CountsFollowTheExpectedValue) {
    struct Case {
        int32_t code;
        int32_t fuse;   // the one fuse that differs, or -1
        int8_t expected_value, read_value;
        Counts counts;
    } cases[] = {
        {8, -1, 1, 1, {0, 0, 0, 74134}},
        {4, -1, 1, 1, {0, 0, 0, 34192}},
        {0, -1, 1, 1, {0, 0, 0, 34192}},      // any code but 8 is the smaller chip
        {5, -1, 1, 1, {0, 0, 0, 34192}},
        {8, 100, 0, 1, {1, 1, 0, 74132}},    // expected 0, read 1: counter 2
        {8, 100, 1, 0, {0, 0, 1, 74133}},    // expected 1, read 0: counter 3
        {8, 74134, 1, 0, {0, 0, 0, 74134}},  // reserved fuses of the ATF1508AS are not compared
        {8, 74135, 0, 1, {0, 0, 0, 74134}},
        {4, 34191, 1, 0, {0, 0, 1, 34191}},  // reserved fuses of the ATF1504AS are
        {4, 34186, 0, 1, {1, 1, 0, 34190}},
        {4, 34192, 1, 0, {0, 0, 0, 34192}},  // beyond the ATF1504AS
    };
    for (const Case& c : cases) {
        a.fill(1);
        b.fill(1);
        if (c.fuse >= 0) {
            a[c.fuse] = c.expected_value;
            b[c.fuse] = c.read_value;
            // The same value in both maps next to it: an equal fuse expected 0.
            if (c.expected_value == 0 && c.fuse + 1 < 74134) a[c.fuse + 1] = b[c.fuse + 1] = 0;
        }
        Counts counts{9, 9, 9, 9};
        verifyit48(c.code, a, b, counts);
        EXPECT_EQ(counts, c.counts) << "code " << c.code << " fuse " << c.fuse;
    }
}

TEST(Checksum, SumsBytesOfEightFusesLowestFirst) {
    struct Case {
        int32_t code;
        int32_t one;  // the only fuse at 1, or -1 for all ones
        uint16_t sum;
    } cases[] = {
        {8, 0, 0x0001}, {8, 7, 0x0080}, {8, 8, 0x0001}, {4, 34191, 0x0080}, {8, 74135, 0x0080},
    };
    for (const Case& c : cases) {
        a.fill(0);
        a[c.one] = 1;
        EXPECT_EQ(fuse_checksum(a, c.code), c.sum) << c.one;
    }
    // All ones, reserved fuses cleared first, as the writer does.
    a.fill(1);
    clear_reserved(a, 8);
    EXPECT_EQ(fuse_checksum(a, 8), 0x0E0D);
    a.fill(1);
    clear_reserved(a, 4);
    EXPECT_EQ(fuse_checksum(a, 4), 0xA052);
    EXPECT_EQ(a[34185], 1);
    EXPECT_EQ(a[34186], 0);
    EXPECT_EQ(a[34191], 0);
    EXPECT_EQ(a[34192], 1);  // nothing beyond the reserved fuses is touched
}

TEST(Device, RegionsAreConsecutiveAndEndAtTheFuseCount) {
    for (const Device* d : {&atf1504, &atf1508}) {
        const Region rs[] = {d->array, d->macrocell, d->uim, d->global_oe, d->config, d->special, d->ues, d->reserved};
        int32_t next = 0;
        for (const Region& r : rs) {
            EXPECT_EQ(r.first, next) << d->name;
            EXPECT_EQ(r.count % r.group, 0) << d->name;
            next = r.first + r.count;
        }
        EXPECT_EQ(next, d->fuse_count) << d->name;
    }
    EXPECT_EQ(read_protection_fuse(8), 74114);
    EXPECT_EQ(read_protection_fuse(4), 34166);
    EXPECT_EQ(read_protection_fuse(0), 34166);
}
