// Row and page transfers over a pseudo-terminal, against the bytes the
// commands must carry and against the emulator (whose fuse mapping is its own).
#include <gtest/gtest.h>

#include <vector>

#include "link/protocol.hpp"
#include "link/serial.hpp"
#include "tests/helpers.hpp"

using namespace vr;

namespace {

FuseMap map, back;

std::vector<std::string> commands(const std::string& bytes) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t e = bytes.find('\r', pos);
        if (e == std::string::npos) break;
        out.push_back(bytes.substr(pos, e - pos));
        pos = e + 1;
    }
    return out;
}

std::string hex3(int r) {
    char b[4];
    std::snprintf(b, sizeof b, "%03X", r);
    return b;
}

}  // namespace

TEST(RowWrite, BlockAOfTheLargerChipCarriesFusesInterleaved) {
    vt::Line line;
    ASSERT_TRUE(line.open());
    map.fill(1);
    map[96] = 0;     // row 12, digit 1 becomes 2
    map[30624] = 0;  // row 12, digit 81 becomes B
    std::string bytes;
    std::thread reader([&] { bytes = line.sent(400); });
    write48a(8, map);
    reader.join();
    const auto cmds = commands(bytes);
    ASSERT_EQ(cmds.size(), 96u);
    EXPECT_EQ(bytes.size(), 96u * 91);
    for (int r = 12; r <= 107; ++r) {
        const std::string& c = cmds[static_cast<std::size_t>(r - 12)];
        const std::string digits = r == 12 ? "2" + std::string(79, 'F') + "BF" : "3" + std::string(80, 'F') + "F";
        EXPECT_EQ(c, "#8W" + hex3(r) + "d" + digits + "e") << r;
    }
    EXPECT_EQ(cmds.back().substr(0, 7), "#8W06Bd");
}

TEST(RowWrite, BlockDAndBlockCLayouts) {
    vt::Line line;
    ASSERT_TRUE(line.open());
    struct Case {
        int32_t code;
        void (*write)(int32_t, const FuseMap&);
        int8_t fill;
        int32_t zero_fuse;  // -1: none
        int first, rows;
        std::size_t length;
        std::string first_digits, other_digits;
    } cases[] = {
        // Fuse 65307 alone at 0: row 0E0, digit 1 = 2.
        {8, write48d, 1, 65307, 224, 27, 91, "2" + std::string(81, 'F'), "3" + std::string(81, 'F')},
        {4, write48d, 0, -1, 224, 9, 51, std::string(42, '0'), std::string(42, '0')},
        {8, write48c, 0, -1, 0, 12, 91, std::string(80, '0') + "3F", std::string(80, '0') + "3F"},
        {4, write48c, 1, 30720 + 160 * 3 + 159, 0, 12, 51, "3" + std::string(41, 'F'), "3" + std::string(41, 'F')},
    };
    for (const Case& c : cases) {
        map.fill(c.fill);
        if (c.zero_fuse >= 0) map[c.zero_fuse] = 0;
        std::string bytes;
        std::thread reader([&] { bytes = line.sent(400); });
        c.write(c.code, map);
        reader.join();
        const auto cmds = commands(bytes);
        ASSERT_EQ(cmds.size(), static_cast<std::size_t>(c.rows));
        EXPECT_EQ(bytes.size(), c.rows * c.length);
        for (int k = 0; k < c.rows; ++k) {
            std::string digits = k == 0 ? c.first_digits : c.other_digits;
            // The last fuse of ATF1504AS row 3 of block c: digit 41 = 8 + 0 + 3.
            if (c.zero_fuse == 30720 + 160 * 3 + 159 && k == 3) digits[40] = 'B';
            EXPECT_EQ(cmds[static_cast<std::size_t>(k)], "#8W" + hex3(c.first + k) + "d" + digits + "e")
                << c.first + k;
        }
    }
}

TEST(PageWrite, CommandsOfTheThreePages) {
    vt::Line line;
    ASSERT_TRUE(line.open());
    map.fill(1);
    struct Case {
        void (*write)(int32_t, const FuseMap&);
        int32_t code;
        int32_t zero_fuse;
        std::string command;
    } cases[] = {
        {write482, 8, -1, "#8W200dFe\r"},
        {write482, 8, 74114, "#8W200d7e\r"},  // read protection set
        {write482, 4, 34166, "#8W200d7e\r"},
        {write481, 8, -1, "#8W100dFFFFFFFFe\r"},
        {write481, 4, 34134 + 31, "#8W100dFFFFFFFEe\r"},
        {write483, 8, 74118 + 4, "#8W300dF7FFe\r"},
    };
    for (const Case& c : cases) {
        map.fill(1);
        if (c.zero_fuse >= 0) map[c.zero_fuse] = 0;
        c.write(c.code, map);
        EXPECT_EQ(line.sent(), c.command);
    }
}

TEST(PageRead, DecodesOnlyItsPage) {
    vt::Line line;
    ASSERT_TRUE(line.open());
    back.fill(1);
    line.reply("r300dABCDe\r");
    MsgBuf buf;
    int32_t err = 1;
    read483(8, back, err, buf);
    EXPECT_EQ(line.sent(), "#83\r");
    EXPECT_EQ(err, 0);
    const int8_t want[16] = {1, 0, 1, 0, 1, 0, 1, 1, 1, 1, 0, 0, 1, 1, 0, 1};
    for (int k = 0; k < 16; ++k) EXPECT_EQ(back[74118 + k], want[k]) << k;
    EXPECT_EQ(back[74117], 1);
    EXPECT_EQ(back[74134], 0);  // reserved fuses cleared by page 3
    EXPECT_EQ(back[74135], 0);

    back.fill(1);
    line.reply("r200d0e\r");
    read482(4, back, err, buf);
    EXPECT_EQ(err, 0);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(back[34166 + k], 0);
    EXPECT_EQ(back[34165], 1);
    EXPECT_EQ(back[34170], 1);
    EXPECT_EQ(back[34186], 1);  // only page 3 clears the reserved fuses

    line.reply("r100dFFFFFFFFx\r");
    read481(8, back, err, buf);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(shown(buf), "read fuse map error - format, \"e\" missing");
}

TEST(RowRead, FailuresKeepTheRowsAlreadyDecoded) {
    vt::Line line;
    ASSERT_TRUE(line.open());
    // Row 12 with digit 1 = 2 (fuse 0 = 1, fuse 96 = 0), then row 14 where 13 is due.
    back.fill(7);
    line.reply("r00Cd2" + std::string(81, '0') + "e\r" + "r00Ed" + std::string(82, 'F') + "e\r");
    MsgBuf buf;
    int32_t err = 0;
    read48a(8, back, err, buf);
    EXPECT_EQ(line.sent().substr(0, 4), "#8a\r");
    EXPECT_EQ(err, 1);
    EXPECT_EQ(shown(buf), "read fuse map error - row reported out of order(a)");
    EXPECT_EQ(back[0], 1);
    EXPECT_EQ(back[96], 0);
    EXPECT_EQ(back[96 * 319], 0);
    EXPECT_EQ(back[1], 7);  // row 13 was not stored
    EXPECT_EQ(back[2], 7);
}

class Emulator : public ::testing::TestWithParam<int32_t> {};

// A random map through every write and read, against the emulator: the two
// sides' fuse mappings must agree fuse by fuse.
TEST_P(Emulator, EveryFuseTravelsBothWays) {
    const int32_t code = GetParam();
    vt::Line line;
    ASSERT_TRUE(line.open());
    vt::Emulated chip(line, code, code == 8 ? '1' : '0');
    vt::random_map(map, code, 7);
    // The adapter programs word 200 only as F or 7 (the JTAG pin bit stays).
    for (int32_t i = 0; i < 4; ++i) map[device_of(code).special.first + i] = 1;
    void (*writes[])(int32_t, const FuseMap&) = {write48a, write48b, write48c, write48d, write482, write483, write481};
    void (*reads[])(int32_t, FuseMap&, int32_t&, MsgBuf&) = {read48a, read48b, read48c, read48d,
                                                              read482, read483, read481};
    for (auto w : writes) w(code, map);
    back.fill(1);
    MsgBuf buf;
    for (auto r : reads) {
        int32_t err = 1;
        com_f();
        r(code, back, err, buf);
        ASSERT_EQ(err, 0) << shown(buf);
    }
    const int32_t n = device_of(code).fuse_count;
    for (int32_t i = 0; i < n; ++i) ASSERT_EQ(back[i], map[i]) << "fuse " << i;
    // The emulator's own view of the chip agrees too.
    FuseMap saved;
    chip.stop();
    chip.adapter.save(saved);
    for (int32_t i = 0; i < n; ++i) ASSERT_EQ(saved[i], map[i]) << "fuse " << i;
}

INSTANTIATE_TEST_SUITE_P(BothDevices, Emulator, ::testing::Values(8, 4));

TEST(EmulatorFaults, RepliesEndingInCrLfFailTheNextRow) {
    vt::Line line;
    ASSERT_TRUE(line.open());
    sim::Faults f;
    f.crlf = true;
    vt::Emulated chip(line, 8, '1', f);
    MsgBuf buf;
    int32_t err = 0;
    read48c(8, back, err, buf);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(shown(buf), "read fuse map error - format, \"r\" missing");
}

TEST(EmulatorFaults, ABlockReadLeavesOtherFusesAlone) {
    vt::Line line;
    ASSERT_TRUE(line.open());
    vt::Emulated chip(line, 4, '0');
    back.fill(5);
    MsgBuf buf;
    int32_t err = 1;
    read48c(4, back, err, buf);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(back[30719], 5);
    EXPECT_EQ(back[30720], 1);
    EXPECT_EQ(back[32639], 1);
    EXPECT_EQ(back[32640], 5);
}
