// The adapter's protocol server and chip operations against the JTAG-level
// chip model, in process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "adapter/model/model_probe.hpp"
#include "adapter/server/server.hpp"

using namespace vr;

namespace {

struct Capture final : jtag::Link {
    std::string sent;
    std::vector<std::string> notes;
    void send(const char* b, uint16_t n) override { sent.append(b, n); }
    void stall(uint16_t) override {}
    void note(const char* t) override { notes.push_back(t); }
};

struct Bench {
    model::ChipModel chip;
    model::ModelProbe probe{chip};
    Capture link;
    jtag::Server server;

    explicit Bench(const char* device = "ATF1504AS", int64_t idcode = -1, int stuck_fuse = -1) : chip(options(device, idcode, stuck_fuse)) {
        jtag::server_init(server, probe, link);
    }
    static model::ModelOptions options(const char* device, int64_t idcode, int stuck_fuse) {
        model::ModelOptions o;
        o.chip = model::find_chip(device);
        o.idcode = idcode;
        o.stuck_fuse = stuck_fuse;
        return o;
    }
    // Sends commands (each followed by CR) and returns what came back.
    std::string send(std::initializer_list<std::string> commands) {
        link.sent.clear();
        for (const std::string& c : commands) {
            for (char ch : c) jtag::server_receive(server, ch);
            jtag::server_receive(server, '\r');
        }
        return link.sent;
    }
    bool noted(const std::string& text) const {
        for (const auto& n : link.notes)
            if (n.find(text) != std::string::npos) return true;
        return false;
    }
    int count(const std::string& prefix) const {
        int n = 0;
        for (const auto& e : chip.events()) n += e.rfind(prefix, 0) == 0;
        return n;
    }
};

// A row data field of the ATF1504AS (42 digits): the unused bits as the
// programmer sends them, every fuse programmed.
std::string row1504(char first = '0', char last2 = '3') { return std::string(1, first) + std::string(39, '0') + last2 + "F"; }

}  // namespace

TEST(AdapterServer, IdcodeGivesTheChipTypeDigitOrNoReply) {
    struct Case {
        const char* device;
        int64_t idcode;
        const char* reply;
    } cases[] = {
        {"ATF1504AS", -1, "0\r"},          {"ATF1504AS", 0x0150503F, "0\r"}, {"ATF1508AS", -1, "1\r"},
        {"ATF1508AS", 0x0150903F, "1\r"},  {"ATF1504ASV", -1, "2\r"},        {"ATF1508ASV", -1, "3\r"},
        {"ATF1508AS", 0x0150203F, ""},     {"ATF1508AS", 0xFFFFFFFF, ""},    {"ATF1508AS", 0x1150803F, ""},
    };
    for (const Case& c : cases) {
        Bench b(c.device, c.idcode);
        EXPECT_EQ(b.send({"#8I"}), c.reply) << c.device << " " << std::hex << c.idcode;
        EXPECT_FALSE(b.chip.programming()) << "identification alone must not enter programming mode";
        // Without a supported chip nothing is erased.
        b.send({"#8E", "#8X"});
        EXPECT_EQ(b.chip.erases(), *c.reply ? 1 : 0);
    }
}

TEST(AdapterServer, WordsReachTheirAddressOnBothDevices) {
    struct Case {
        const char* device;
        const char* address;
        bool exists;
    } cases[] = {
        {"ATF1504AS", "000", true}, {"ATF1504AS", "06B", true},  {"ATF1504AS", "06C", false},
        {"ATF1504AS", "0E8", true}, {"ATF1504AS", "0E9", false}, {"ATF1508AS", "0FA", true},
        {"ATF1508AS", "0FB", false},
    };
    for (const Case& c : cases) {
        Bench b(c.device);
        const bool big = std::string(c.device) == "ATF1508AS";
        const std::string field = big ? std::string(80, '0') + "3F" : row1504();
        b.send({"#8I", std::string("#8W") + c.address + "d" + field + "e", "#8X"});
        const int a = std::stoi(c.address, nullptr, 16);
        const int width = big ? 326 : 166;
        if (!c.exists) {
            EXPECT_EQ(b.count("program"), 0) << c.device << " " << c.address;
            continue;
        }
        ASSERT_EQ(static_cast<int>(b.chip.word(a).size()), width);
        // Block d rows (from 0E0) have no unused low bits: the digits "3F" program nothing there either.
        EXPECT_EQ(b.chip.word(a)[width - 1], 0) << c.device << " " << c.address;
        EXPECT_EQ(b.chip.word(a)[0], 1);
    }
}

TEST(AdapterServer, ProgrammingOnlyClearsAndEraseSetsAgain) {
    Bench b;
    b.send({"#8I", "#8W100dF0F0FFFFe", "#8W100dFF00FFFFe"});
    std::string back = b.send({"#81"});
    EXPECT_EQ(back, "r100dF000FFFFe\r");
    EXPECT_EQ(b.send({"#8X", "#8I", "#8E", "#8X"}), "0\rok\r");
    EXPECT_EQ(b.send({"#81"}), "r100dFFFFFFFFe\r");
    // An erase without an identification since the last release is refused.
    EXPECT_EQ(b.send({"#8X", "#8E"}), "er\r");
    EXPECT_EQ(b.chip.erases(), 1);
}

TEST(AdapterServer, WordsThatWouldDamageTheLayoutAreNotProgrammed) {
    struct Case {
        std::string command;
        const char* why;
    } cases[] = {
        {"#8W00Cd" + row1504('4') + "e", "above the word"},
        {"#8W00Cd" + row1504('0', '0') + "e", "unused low bits"},
        {"#8W200dBe", "JTAG pin bit"},
        {"#8W200d3e", "JTAG pin bit"},
        {"#8W100dFFFFFFFe", "length"},
    };
    for (const Case& c : cases) {
        Bench b;
        b.send({"#8I", c.command, "#8X"});
        EXPECT_EQ(b.count("program"), 0) << c.command;
        EXPECT_TRUE(b.noted(c.why)) << c.command;
        EXPECT_FALSE(b.chip.jtag_pins_lost());
    }
    // Block d rows have no unused low bits: all zeros is a valid word there.
    Bench b;
    b.send({"#8I", "#8W0E0d" + std::string(42, '0') + "e"});
    EXPECT_EQ(b.count("program 0E0"), 1);
}

// The secure write's tail: word 200 = 7 is held back until the release after
// word 100 has been read back and everything programmed read back equal.
TEST(AdapterServer, ReadProtectionIsProgrammedLastOrForgotten) {
    struct Case {
        const char* name;
        std::vector<std::string> between;  // after the writes, before the final release
        int stuck_fuse;
        bool set;
    } cases[] = {
        {"complete", {"#8a", "#82", "#83", "#81"}, -1, true},
        {"released before word 100 was read", {"#8a", "#82", "#8X", "#8I", "#81"}, -1, false},
        {"a word read back different", {"#8a", "#82", "#83", "#81"}, 0, false},
        {"erased again", {"#8a", "#82", "#81", "#8E"}, -1, false},
        {"identified again", {"#8a", "#82", "#81", "#8I"}, -1, false},
        {"word 100 never read", {"#8a", "#82"}, -1, false},
    };
    for (const Case& c : cases) {
        Bench b("ATF1504AS", -1, c.stuck_fuse);
        b.send({"#8I", "#8E", "#8X", "#8I", "#8W00Cd" + row1504() + "e", "#8W200d7e", "#8W300d1234e",
                "#8W100d0000FFFFe"});
        EXPECT_FALSE(b.chip.read_protected()) << c.name << ": set before the end";
        for (const std::string& cmd : c.between) {
            const std::string reply = b.send({cmd});
            if (cmd == "#82") {
                EXPECT_EQ(reply, "r200d7e\r") << c.name << ": word 200 shows what was written";
            }
        }
        b.send({"#8X"});
        EXPECT_EQ(b.chip.read_protected(), c.set) << c.name;
        EXPECT_TRUE(b.noted(c.set ? "read protection set" : "read protection NOT set")) << c.name;
        if (c.set) {
            // Alone and last: the final program is word 200 with 7 only.
            std::string last;
            for (const auto& e : b.chip.events())
                if (e.rfind("program", 0) == 0) last = e;
            EXPECT_EQ(last, "program 200 7") << c.name;
            EXPECT_EQ(b.send({"#8I", "#81"}), "0\rr100d00000000e\r") << "a protected chip reads zeros";
        }
    }
}

// The model refuses a pulse shorter than the chip maker's wait.
TEST(ChipModel, ShortWaitsAreRefused) {
    struct Case {
        const char* step;
        uint32_t wait_us;
        bool refused;
    } cases[] = {
        {"erase", 209000, true}, {"erase", 210001, false},  {"program", 29000, true},
        {"program", 30001, false}, {"read", 19000, true},   {"read", 20001, false},
    };
    for (const Case& c : cases) {
        model::ChipModel chip;
        model::ModelProbe p(chip);
        uint8_t key[2] = {0xB9, 0x01}, address[2] = {0x00, 0x01}, word[4] = {0, 0, 0, 0};
        p.ir_scan(jtag::ir_config), p.dr_scan(10, key, nullptr, nullptr, nullptr);
        const std::string step = c.step;
        if (step == "erase") {
            p.ir_scan(jtag::ir_latch_erase), p.ir_scan(jtag::ir_program_erase);
        } else {
            p.ir_scan(jtag::ir_address), p.dr_scan(11, address, nullptr, nullptr, nullptr);
            if (step == "program") p.ir_scan(0x291), p.dr_scan(32, word, nullptr, nullptr, nullptr);
            p.ir_scan(step == "program" ? jtag::ir_program_erase : jtag::ir_read);
        }
        p.idle(c.wait_us);
        p.ir_scan(jtag::ir_after);
        EXPECT_EQ(chip.refusals(), c.refused ? 1 : 0) << c.step << " " << c.wait_us;
        if (step == "program") {
            EXPECT_EQ(chip.word(0x100)[0], c.refused ? 1 : 0);
        }
    }
}
