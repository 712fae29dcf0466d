// The adapter's protocol server and chip operations against the JTAG-level
// chip model, in process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "jtag/model/model_probe.hpp"
#include "adapter/server/notes.hpp"

using namespace vr;

namespace {

struct Capture final : adapter::Link {
    std::string sent;
    std::vector<std::string> notes;
    const model::ChipModel* chip = nullptr;
    int protected_sends = 0;  // replies sent while the chip was read-protected
    void send(const char* b, uint16_t n) override {
        sent.append(b, n);
        protected_sends += chip && chip->read_protected();
    }
    void note(adapter::Note what, uint16_t value, const jtag::Chip& c) override {
        notes.push_back(adapter::note_text(what, value, c));
    }
};

struct Bench {
    model::ChipModel chip;
    model::ModelProbe probe{chip};
    Capture link;
    adapter::Server server;

    explicit Bench(const char* device = "ATF1504AS", int64_t idcode = -1, int stuck_fuse = -1)
        : Bench(options(device, idcode, stuck_fuse)) {}
    explicit Bench(const model::ModelOptions& o) : chip(o) {
        adapter::server_init(server, probe, link);
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
            for (char ch : c) adapter::server_receive(server, ch);
            adapter::server_receive(server, '\r');
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
        b.probe.drop_program = c.drop_write;
        b.probe.fail_program = c.fail_program;
        b.send({"#84", "#8E", "#8X", "#84"});
        for (const std::string& w : row_writes(c.skip_rows)) b.send({w});
        b.send({"#8W200d7e", "#8W300d1234e", "#8W100d0000FFFFe"});
        EXPECT_EQ(b.send({"#8a", "#8b", "#8c", "#8d"}).size(), 213u * 49) << c.name;
        EXPECT_EQ(b.send({"#82"}), "r200d7e\r") << c.name << ": word 200 shows what was written";
        b.send({"#83"});
        for (const std::string& cmd : c.before_last_read) {
            if (cmd == "HANGUP")
                adapter::server_hangup(b.server);
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
    adapter::server_hangup(b.server);
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

namespace {

// Drives the model a clock at a time through its pins, as a pin-level probe
// (OpenOCD's remote_bitbang, the microcontroller) does.
struct ClockedProbe final : jtag::Probe {
    model::ChipModel& m;
    explicit ClockedProbe(model::ChipModel& chip) : m(chip) { reset(); }
    void shift(uint16_t bits, const uint8_t* tdi, uint8_t* tdo) {
        for (uint16_t i = 0; i < bits; ++i) {
            if (tdo) set_bit(tdo, i, m.tdo());
            m.clock(i + 1 == bits, tdi && bit_of(tdi, i));
        }
        m.clock(true, false), m.clock(false, false);  // Update, Run-Test/Idle
    }
    bool ir_scan(uint16_t instruction, uint16_t* captured) override {
        const uint8_t in[2] = {static_cast<uint8_t>(instruction), static_cast<uint8_t>(instruction >> 8)};
        uint8_t out[2] = {0, 0};
        m.clock(true, false), m.clock(true, false), m.clock(false, false), m.clock(false, false);
        shift(jtag::ir_length, in, out);
        if (captured) *captured = static_cast<uint16_t>(out[0] | out[1] << 8);
        return true;
    }
    bool dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t*, const uint8_t*) override {
        m.clock(true, false), m.clock(false, false), m.clock(false, false);
        shift(bits, tdi, tdo);
        return true;
    }
    bool idle(uint32_t us) override { return m.advance(us), m.clock(false, false), true; }
    bool reset() override {
        for (int i = 0; i < 5; ++i) m.clock(true, false);
        return m.clock(false, false), true;
    }
};

// A row field with a pattern of its own per address.
std::string row_field(int address, bool big) {
    std::string f;
    for (int k = 0; k < (big ? 80 : 40); ++k) f += "0123456789ABCDEF"[(address * 7 + k * 5) % 16];
    return (big ? "1" : "2") + f.substr(1) + "FF";
}

}  // namespace

// The model's whole-register shift (the in-process probe) must leave the chip
// and the host's replies exactly as clocking every bit through the pins does.
TEST(ChipModel, WholeRegisterScansEqualClockedOnes) {
    for (const char* device : {"ATF1504AS", "ATF1508AS"}) {
        const bool big = std::string(device) == "ATF1508AS";
        std::vector<std::string> commands = {"#8I", "#8E", "#8X", "#8I"};
        for (int a : {0x000, 0x00C, 0x06B, 0x080, 0x0E0, big ? 0x0FA : 0x0E8}) {
            char head[8];
            std::snprintf(head, sizeof head, "#8W%03Xd", a);
            commands.push_back(head + row_field(a, big) + "e");
        }
        for (const char* c : {"#8W100d0102A0B0e", "#8W300dBEEFe", "#8a", "#8b", "#8c", "#8d", "#81", "#82", "#83", "#8X"})
            commands.push_back(c);

        Bench whole(device);
        model::ChipModel chip(Bench::options(device, -1, -1));
        ClockedProbe clocked_probe(chip);
        Capture link;
        adapter::Server server;
        adapter::server_init(server, clocked_probe, link);
        std::string whole_sent;
        for (const std::string& c : commands) {
            whole_sent += whole.send({c});
            for (char ch : c + "\r") adapter::server_receive(server, ch);
        }
        EXPECT_EQ(whole_sent, link.sent) << device;
        EXPECT_EQ(whole.chip.events(), chip.events()) << device;
        EXPECT_EQ(whole.chip.refusals(), 0) << device;
        for (int a = 0; a <= 0x300; ++a)
            for (std::size_t i = 0; i < chip.word(a).size(); ++i)
                ASSERT_EQ(whole.chip.word(a)[i], chip.word(a)[i]) << device << " word " << a << " bit " << i;
        EXPECT_NE(whole_sent.find("r100d0102A0B0e"), std::string::npos) << device;
    }
}

// Bytes that come in chunks (a pty read) are taken as one by one: lines cut
// anywhere, control bytes inside them, a line over 100 characters void.
TEST(AdapterServer, BytesInChunksAsOneByOne) {
    static const char tail[] = "\r#81\r#8W300d\0" "1234e\r#83\r#8X\r";
    const std::string stream_with_nul = std::string("#8I\r#8W100d0000FFFFe\r#8\x11") + "1\r\n#8" + std::string(120, 'W') +
                                        std::string(tail, sizeof tail - 1);
    ASSERT_NE(stream_with_nul.find('\0'), std::string::npos);
    Bench one;
    for (char c : stream_with_nul) adapter::server_receive(one.server, c);
    ASSERT_NE(one.link.sent.find("r100d0000FFFFe"), std::string::npos);
    // What follows the NUL is heard: the word 300 written and read back, and
    // the release leaves programming mode.
    ASSERT_NE(one.link.sent.find("r300d1234e"), std::string::npos) << one.link.sent;
    ASSERT_FALSE(one.chip.events().empty());
    EXPECT_EQ(one.chip.events().back(), "leave programming mode");
    for (std::size_t chunk : {1u, 2u, 7u, 64u, 400u}) {
        Bench b;
        for (std::size_t i = 0; i < stream_with_nul.size(); i += chunk) {
            const std::size_t n = std::min(chunk, stream_with_nul.size() - i);
            adapter::server_receive(b.server, stream_with_nul.data() + i, static_cast<uint16_t>(n));
        }
        EXPECT_EQ(b.link.sent, one.link.sent) << "chunks of " << chunk;
        EXPECT_EQ(b.chip.events(), one.chip.events()) << "chunks of " << chunk;
    }
}

// The data field codec: every width the chips have, round trip and the
// fields a word cannot take (a bit above the word, a non-hex digit).
TEST(FieldCodec, RoundTripsAndRefusesWhatTheWordCannotHold) {
    for (uint16_t bits : {4, 16, 32, 86, 166, 326}) {
        const uint8_t digits = static_cast<uint8_t>((bits + 3) / 4);
        uint8_t word[jtag::max_word_bytes] = {}, back[jtag::max_word_bytes];
        for (uint16_t i = 0; i < bits; ++i) set_bit(word, i, (i * 37 + bits) % 3 == 0 || i + 1 == bits);
        char field[100] = {};
        field_from_word(word, bits, digits, field);
        ASSERT_TRUE(word_from_field(field, digits, bits, back)) << bits << " " << field;
        for (uint16_t i = 0; i < (bits + 7) / 8; ++i) ASSERT_EQ(back[i], word[i]) << bits << " byte " << i;
        // The top digit with the first bit above the word set.
        std::string above = field;
        const int top_bits = bits % 4 ? bits % 4 : 4;
        if (top_bits < 4) {
            above[0] = hex_char(hex_digit(above[0]) | 1 << top_bits);
            EXPECT_FALSE(word_from_field(above.c_str(), digits, bits, back)) << bits << " " << above;
        }
        // One more digit than the word has: only a leading 0 is taken.
        EXPECT_TRUE(word_from_field(("0" + std::string(field)).c_str(), digits + 1, bits, back)) << bits;
        EXPECT_FALSE(word_from_field(("1" + std::string(field)).c_str(), digits + 1, bits, back)) << bits;
        std::string bad = field;
        bad[digits / 2] = 'G';
        EXPECT_FALSE(word_from_field(bad.c_str(), digits, bits, back)) << bits;
    }
}

// A design that turned the JTAG pins off: the chip answers only under VHH,
// and an erase under VHH brings it back; VHH on an unpowered chip, or on
// while a row is programmed, is refused.
TEST(ChipModel, JtagOffChipAnswersOnlyUnderVhh) {
    model::ChipModel chip;  // ATF1508AS
    model::ModelProbe p(chip);
    static FuseMap map;
    map.fill(1);
    map[jtag_pin_fuse(code_1508)] = 0;
    chip.load(map);
    auto idcode = [&] {
        uint8_t out[4] = {};
        p.reset(), p.ir_scan(jtag::ir_idcode), p.dr_scan(32, nullptr, out, nullptr, nullptr);
        return static_cast<uint32_t>(out[0] | out[1] << 8 | out[2] << 16 | static_cast<uint32_t>(out[3]) << 24);
    };
    EXPECT_EQ(idcode(), 0xFFFFFFFFu);
    chip.set_vhh(true);
    EXPECT_EQ(idcode(), 0x0150803Fu);
    uint8_t key[2] = {0xB9, 0x01}, address[2] = {0x0C, 0x00}, row[41] = {};
    p.ir_scan(jtag::ir_config), p.dr_scan(10, key, nullptr, nullptr, nullptr);
    p.ir_scan(jtag::ir_address), p.dr_scan(11, address, nullptr, nullptr, nullptr);
    p.ir_scan(0x290), p.dr_scan(326, row, nullptr, nullptr, nullptr);  // page 0's data register
    p.ir_scan(jtag::ir_program_erase), p.idle(30001), p.ir_scan(jtag::ir_after);
    EXPECT_EQ(chip.refusals(), 1) << "a row programmed under VHH";
    p.ir_scan(jtag::ir_latch_erase), p.ir_scan(jtag::ir_program_erase), p.idle(210001), p.ir_scan(jtag::ir_after);
    p.reset(), p.idle(50001), p.ir_scan(jtag::ir_idcode);  // the erase's reset and wait
    EXPECT_EQ(chip.erases(), 1);
    chip.set_vhh(false);
    EXPECT_FALSE(chip.jtag_pins_io());
    EXPECT_EQ(idcode(), 0x0150803Fu);
    chip.set_powered(false);
    chip.set_vhh(true);
    EXPECT_EQ(chip.refusals(), 2) << "VHH on an unpowered chip";
}
