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
    const model::ChipModel* chip = nullptr;
    int protected_sends = 0;  // replies sent while the chip was read-protected
    void send(const char* b, uint16_t n) override {
        sent.append(b, n);
        protected_sends += chip && chip->read_protected();
    }
    void stall(uint16_t) override {}
    void note(const char* t) override { notes.push_back(t); }
};

struct Bench {
    model::ChipModel chip;
    model::ModelProbe probe{chip};
    Capture link;
    jtag::Server server;

    explicit Bench(const char* device = "ATF1504AS", int64_t idcode = -1, int stuck_fuse = -1)
        : Bench(options(device, idcode, stuck_fuse)) {}
    explicit Bench(const model::ModelOptions& o) : chip(o) {
        jtag::server_init(server, probe, link);
        link.chip = &chip;
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
        {"ATF1508AS", 0x0150603F, ""},     {"ATF1508AS", 0xFFFFFFFF, ""},    {"ATF1508AS", 0x1150803F, ""},
        {"ATF1502AS", -1, ""},             {"ATF1502ASV", -1, ""},           {"ATF1504AS", 0x00000000, ""},
    };
    for (const Case& c : cases) {
        Bench b(c.device, c.idcode);
        EXPECT_EQ(b.send({"#8I"}), c.reply) << c.device << " " << std::hex << c.idcode;
        EXPECT_FALSE(b.chip.programming()) << "identification alone must not enter programming mode";
        // Without a supported chip nothing is erased.
        b.send({"#8E", "#8X"});
        EXPECT_EQ(b.chip.erases(), *c.reply ? 1 : 0);
        if (std::string(c.device).rfind("ATF1502", 0) == 0) {
            EXPECT_TRUE(b.noted("found (IDCODE 0x015")) << c.device;
            EXPECT_TRUE(b.noted("not programmable through vrjtag's adapter protocol")) << c.device;
        }
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

// Every row of the ATF1504AS, programmed, as the host writes them.
std::vector<std::string> row_writes(bool skip_block_a = false) {
    std::vector<std::string> v;
    for (int r = 0; r <= 0xE8; ++r) {
        if ((r > 0x6B && r < 0x80) || (skip_block_a && r >= 12 && r <= 107)) continue;
        char a[4];
        std::snprintf(a, sizeof a, "%03X", r);
        v.push_back(std::string("#8W") + a + "d" + row1504() + "e");
    }
    return v;
}

// A secure write's words: read protection is programmed only when the host
// reads word 100 back, after every word was written and read back equal, and
// before that reply; anything short of that gets no protection.
TEST(AdapterServer, ReadProtectionOnlyAfterTheWholeChipReadBackEqual) {
    struct Case {
        const char* name;
        int stuck_fuse, drop_write, fail_program;
        bool skip_rows;
        std::vector<std::string> before_last_read;  // between the read of 300 and the read of 100
        bool set;
    } cases[] = {
        {"complete", -1, -1, -1, false, {}, true},
        {"write of word 100 lost", -1, 0x100, -1, false, {}, false},
        {"block a never written", -1, -1, -1, true, {}, false},
        {"a word read back different", 0, -1, -1, false, {}, false},
        {"released first", -1, -1, -1, false, {"#8X"}, false},
        {"identified again", -1, -1, -1, false, {"#8I"}, false},
        {"erased again", -1, -1, -1, false, {"#8I", "#8E", "#8X"}, false},
        {"host hung up", -1, -1, -1, false, {"HANGUP"}, false},
        {"program pulse fails", -1, -1, 0x200, false, {}, false},
    };
    for (const Case& c : cases) {
        Bench b("ATF1504AS", -1, c.stuck_fuse);
        b.server.faults.drop_write = static_cast<int16_t>(c.drop_write);
        b.probe.fail_program = c.fail_program;
        b.send({"#84", "#8E", "#8X", "#84"});
        for (const std::string& w : row_writes(c.skip_rows)) b.send({w});
        b.send({"#8W200d7e", "#8W300d1234e", "#8W100d0000FFFFe"});
        EXPECT_EQ(b.send({"#8a", "#8b", "#8c", "#8d"}).size(), 213u * 49) << c.name;
        EXPECT_EQ(b.send({"#82"}), "r200d7e\r") << c.name << ": word 200 shows what was written";
        b.send({"#83"});
        for (const std::string& cmd : c.before_last_read) {
            if (cmd == "HANGUP")
                jtag::server_hangup(b.server);
            else
                b.send({cmd});
        }
        EXPECT_FALSE(b.chip.read_protected()) << c.name << ": set before word 100 was read";
        const std::string last = b.send({"#81"});
        b.send({"#8X"});
        EXPECT_EQ(b.chip.read_protected(), c.set) << c.name;
        EXPECT_TRUE(b.noted(c.set ? "read protection set" : "read protection NOT set")) << c.name;
        if (c.fail_program >= 0) {
            EXPECT_EQ(last, "") << "no reply when the protection could not be programmed";
        }
        if (!c.set) continue;
        // Programmed after word 100 was read, alone and last, before its reply.
        const auto& ev = b.chip.events();
        std::vector<std::string> tail;
        for (const auto& e : ev)
            if ((e.rfind("program ", 0) == 0 || e.rfind("read ", 0) == 0) && e.find("protection") == std::string::npos)
                tail.push_back(e);
        ASSERT_GE(tail.size(), 2u);
        EXPECT_EQ(tail[tail.size() - 2], "read 100") << c.name;
        EXPECT_EQ(tail.back(), "program 200 7") << c.name;
        EXPECT_EQ(last, "r100d0000FFFFe\r");
        EXPECT_EQ(b.link.protected_sends, 1) << "the reply of word 100 left after the protection";
    }
}

// "#84" asks for an ATF1504 layout: an ATF1508 answering is not erased.
TEST(AdapterServer, EraseRefusedForAnotherLayoutThanAskedFor) {
    Bench b("ATF1508AS");
    EXPECT_EQ(b.send({"#84", "#8E", "#8X"}), "1\rer\r");
    EXPECT_EQ(b.chip.erases(), 0);
    EXPECT_EQ(b.send({"#8I", "#8E", "#8X"}), "1\rok\r");
    EXPECT_EQ(b.chip.erases(), 1);
}

// A chain with another device on it, or a dead TDO: no identification
// reply, nothing erased, and the operator is told what is wrong.
TEST(AdapterServer, ChainMustHoldTheChipAlone) {
    struct Case {
        const char* name;
        int extra_ir;
        bool extra_after;
        int tdo_stuck;
        const char* note;
    } cases[] = {
        {"device before the chip", 8, false, -1, "another device on the chain"},
        {"device after the chip", 5, true, -1, "another device on the chain"},
        {"TDO stuck at 1", 0, false, 1, "TDO stuck at 1"},
        {"TDO stuck at 0", 0, false, 0, "TDO stuck at 0"},
    };
    for (const Case& c : cases) {
        model::ModelOptions o;
        o.chip = model::find_chip("ATF1504AS");
        o.extra_ir = c.extra_ir;
        o.extra_after = c.extra_after;
        o.tdo_stuck = c.tdo_stuck;
        Bench b(o);
        EXPECT_EQ(b.send({"#84", "#8E", "#8X"}), "er\r") << c.name;
        EXPECT_EQ(b.chip.erases(), 0) << c.name;
        EXPECT_TRUE(b.noted(c.note)) << c.name << ": " << (b.link.notes.empty() ? "" : b.link.notes[0]);
    }
}

// The host closing the port ends its session: programming mode left, the
// identification forgotten.
TEST(AdapterServer, HangUpEndsTheSession) {
    Bench b;
    b.send({"#84", "#8W100dFFFFFFFFe"});
    ASSERT_TRUE(b.chip.programming());
    jtag::server_hangup(b.server);
    EXPECT_FALSE(b.chip.programming());
    EXPECT_EQ(b.send({"#8E"}), "er\r") << "an erase needs a new identification";
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
