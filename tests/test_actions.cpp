// The main and action sequences in process: the scripted windowing layer,
// the real serial code, and the emulator (or a silent line) on a
// pseudo-terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <chrono>
#include <memory>
#include <ostream>
#include <thread>

#include "control/run.hpp"
#include "tests/helpers.hpp"

using namespace vr;

namespace {

struct Outcome {
    std::string transcript;
    std::string final_text;
    std::string sent;  // what reached a silent line
    int commands_heard = 0;  // by the emulator
};

// Runs the whole program once with the script; with an emulator when chip is
// given, else against a line nobody answers.
Outcome run_program(const std::string& script, std::unique_ptr<vt::Emulated>* chip = nullptr, int32_t code = 8,
                    char id = '1', sim::Faults faults = {}, const FuseMap* contents = nullptr) {
    vt::Line line;
    if (chip) {
        *chip = std::make_unique<vt::Emulated>(line, code, id, faults);
        if (contents) (*chip)->adapter.load(*contents);
    }
    const std::string dir = vt::temp_dir();
    vt::write_file(dir + "/op", script);
    setenv("VRJTAG_OPERATOR", (dir + "/op").c_str(), 1);
    setenv("VRJTAG_TRANSCRIPT", (dir + "/tr").c_str(), 1);
    run = RunState{};
    main_sequence();
    Outcome o;
    o.transcript = vt::read_file(dir + "/tr");
    const std::size_t box = o.transcript.find("WMessageBox\tVarnholme Research JTAG Tool\t");
    if (box != std::string::npos) {
        const std::size_t start = box + 41;
        o.final_text = o.transcript.substr(start, o.transcript.find('\n', start) - start);
    }
    if (!chip) o.sent = line.sent();
    if (chip) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));  // let the release arrive
        (*chip)->stop();  // the thread no longer touches the adapter
        o.commands_heard = (*chip)->adapter.command_count();
        chip->reset();
    }
    return o;
}

std::size_t count(const std::string& s, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
    return n;
}

const std::string sample1508 = vt::data("atf1508as-harrowm-Simple030-rosco.jed");
const std::string sample1504 = vt::data("atf1504as-harrowm-rosco_verilog-CPUglue.jed");

}  // namespace

TEST(MainSequence, CancelEndsAfterTheReleaseCommand) {
    for (const char* ending : {"press 215\n", "close\n"}) {
        const Outcome o = run_program(std::string("tick 213\n") + ending);
        EXPECT_EQ(o.final_text, "Action Cancelled...exiting") << ending;
        EXPECT_EQ(o.sent, "#8X\r") << ending;
        EXPECT_EQ(count(o.transcript, "WMessageBox"), 1u);
        EXPECT_EQ(o.transcript.substr(o.transcript.size() - 12), "WindowClose\n");
    }
}

TEST(MainSequence, OneOfFourAndContinueVisibility) {
    // Continue before any choice, Escape (button 2) and an unticked box change nothing.
    const Outcome o = run_program("press 216\npress 2\ntick 211\ntick 213\ntick 213\ntick 214\npress 215\n");
    EXPECT_NE(o.transcript.find("operator\ttick 211\ncheck\t211\t1\nfield\t216\t1\n"), std::string::npos);
    EXPECT_NE(o.transcript.find("operator\ttick 213\ncheck\t213\t1\ncheck\t211\t0\n"), std::string::npos);
    EXPECT_NE(o.transcript.find("operator\ttick 213\ncheck\t213\t0\nfield\t216\t3\n"), std::string::npos);
    EXPECT_EQ(o.final_text, "Action Cancelled...exiting");
}

TEST(MainSequence, CancelledOrTooLongSelectionStartsAgain) {
    const std::string long_name = "/tmp/" + std::string(130, 'x') + ".jed";
    const Outcome o = run_program("tick 211\npress 216\ncancel\ntick 213\npress 216\nchoose " + long_name +
                                  "\npress 215\n");
    EXPECT_NE(o.transcript.find("cancelled\ncheck\t211\t0\nfield\t216\t3\n"), std::string::npos);
    EXPECT_NE(o.transcript.find("notice\tThe path"), std::string::npos);
    EXPECT_NE(o.transcript.find("cancelled\ncheck\t213\t0\nfield\t216\t3\n"), std::string::npos);
    EXPECT_EQ(count(o.transcript, "WSelectFile\t42\t"), 1u);
    EXPECT_EQ(count(o.transcript, "WSelectFile\t47\t"), 1u);
    EXPECT_EQ(o.final_text, "Action Cancelled...exiting");
    EXPECT_EQ(o.transcript.find("WDialogLoad\t101"), std::string::npos);
}

TEST(MainSequence, MissingConfiguration) {
    const std::string dir = vt::temp_dir();
    vt::write_file(dir + "/op", "tick 213\npress 215\n");
    setenv("VRJTAG_OPERATOR", (dir + "/op").c_str(), 1);
    setenv("VRJTAG_TRANSCRIPT", (dir + "/tr").c_str(), 1);
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    run = RunState{};
    main_sequence();
    const std::string t = vt::read_file(dir + "/tr");
    EXPECT_NE(t.find("WMessageBox\tVarnholme Research JTAG Tool\tfile \"<root>\\\\varnholme\\\\jtag.ini\" was not found.\n"),
              std::string::npos);
    EXPECT_EQ(t.find("operator"), std::string::npos);  // nothing could be chosen
}

// Files the reader refuses end the run before the adapter hears anything.
TEST(ActionSequence, RefusedFilesNeverReachTheAdapter) {
    const std::string dir = vt::temp_dir();
    const std::string whole = vt::read_file(sample1508);
    vt::write_file(dir + "/unknown.jed", "\x02JEDEC file for: ATF1502AS\n*\nL0 1*\n\x03");
    vt::write_file(dir + "/cut.jed", whole.substr(0, whole.size() / 2));
    // One fuse value changed: the file's own checksum no longer holds.
    std::string bad = whole;
    bad[whole.find("1111111111111111")] = '0';
    vt::write_file(dir + "/bad.jed", bad);
    vt::write_file(dir + "/unknown-cut.jed", "JEDEC for nothing\nL0 01");
    mkdir((dir + "/folder.jed").c_str(), 0700);
    struct Case {
        std::string file;
        std::string text;
    } cases[] = {
        {dir + "/unknown.jed", "File type unknown, abort"},
        {dir + "/unknown-cut.jed", "File type unknown, abort"},
        {dir + "/cut.jed", "JEDEC file format error, abort"},
        {dir + "/bad.jed", "JEDEC file checksum error, abort"},
        {dir + "/folder.jed", "JEDEC file read error, abort"},
    };
    for (const Case& c : cases) {
        std::unique_ptr<vt::Emulated> chip;
        const Outcome o = run_program("tick 214\npress 216\nchoose " + c.file + "\n", &chip);
        EXPECT_EQ(o.final_text, c.text) << c.file;
        EXPECT_NE(o.transcript.find("WDialogPutString\t1010\tReading JEDEC file:  " + c.file), std::string::npos);
        EXPECT_EQ(o.commands_heard, 1) << c.file;  // the release command of the end sequence only
    }
}

TEST(ActionSequence, ReadIntoAFileThatCannotBeOpened) {
    std::unique_ptr<vt::Emulated> chip;
    const Outcome o = run_program("tick 213\npress 216\nchoose /nonexistent-folder/out.jed\n", &chip);
    EXPECT_EQ(o.final_text, "File open error, abort.");
    EXPECT_NE(o.transcript.find("WDialogPutString\t1010\tOpening JEDEC file: /nonexistent-folder/out.jed\n"),
              std::string::npos);
}

struct IdCase {
    char reply;
    const char* chip_line;  // "" when the run must stop at once
    bool matches_1508;
};

void PrintTo(const IdCase& c, std::ostream* os) {
    *os << "reply " << static_cast<int>(c.reply) << " -> \"" << c.chip_line << "\"";
}

class ChipType : public ::testing::TestWithParam<IdCase> {};

// The identification digit decoded in its columns, against an ATF1508AS file;
// a Cancel queued for the first poll ends matching runs right after step 7.
TEST_P(ChipType, DecodedAndMatched) {
    const IdCase c = GetParam();
    sim::Faults f;
    f.no_id = c.reply == '\0';
    std::unique_ptr<vt::Emulated> chip;
    const Outcome o = run_program("tick 214\npress 216\nchoose " + sample1508 + "\npress 1012\n", &chip, 8,
                                  c.reply ? c.reply : '1', f);
    if (*c.chip_line == '\0') {
        EXPECT_EQ(o.final_text, "Programmer not responding, abort");
        EXPECT_EQ(o.transcript.find("chip type is"), std::string::npos);
        return;
    }
    const std::string id = std::string("JEDEC file type is ATF1508\\r\\n") + c.chip_line;
    EXPECT_NE(o.transcript.find("WDialogPutString\t1009\t" + id + "\n"), std::string::npos) << o.transcript;
    if (c.matches_1508) {
        EXPECT_NE(o.transcript.find(id + "\\r\\n...match!....verifying...\n"), std::string::npos);
        EXPECT_EQ(o.final_text, "Abort requested...write not finished.");
    } else {
        EXPECT_NE(o.transcript.find(id + "\\r\\n...mis-matched...aborting!\n"), std::string::npos);
        EXPECT_EQ(o.final_text, "File type and chip type mismatch...abort");
    }
}

INSTANTIATE_TEST_SUITE_P(Replies, ChipType,
                         ::testing::Values(IdCase{'0', "chip type is STD-5V-ATF1504", false},
                                           IdCase{'1', "chip type is STD-5V-ATF1508", true},
                                           IdCase{'2', "chip type is STD-3V-ATF1504", false},
                                           IdCase{'3', "chip type is STD-3V-ATF1508", true},
                                           IdCase{'4', "chip type is ALT-5V-ATF1504", false},
                                           IdCase{'5', "chip type is ALT-5V-ATF1508", true},
                                           IdCase{'7', "chip type is ALT-3V-ATF1508", true},
                                           IdCase{'9', "chip type is ALT-3V-ATF1508", true},
                                           IdCase{' ', "chip type is STD-5V-ATF1504", false},
                                           IdCase{'\0', "", false}, IdCase{'x', "", false}),
                         // Readable names: the reply's character ("NUL", "blank").
                         [](const ::testing::TestParamInfo<IdCase>& p) {
                             const char c = p.param.reply;
                             if (c == '\0') return std::string("NUL");
                             if (c == ' ') return std::string("blank");
                             return std::string("reply_") + c;
                         });

// An ATF1504AS file with 1s in its reserved fuses still writes and verifies:
// the chip has no such cells.
TEST(ActionSequence, ReservedFusesDoNotFailTheWrite) {
    const std::string dir = vt::temp_dir();
    std::string text = vt::read_file(sample1504);
    const std::size_t r = text.find("L34186 000000*");
    ASSERT_NE(r, std::string::npos);
    text.replace(r, 14, "L34186 111111*");
    const std::size_t c = text.rfind("\nC");
    text.erase(c + 1, text.find('\n', c + 1) - c);  // no checksum field
    vt::write_file(dir + "/reserved.jed", text);
    std::unique_ptr<vt::Emulated> chip;
    const Outcome o = run_program("tick 211\npress 216\nchoose " + dir + "/reserved.jed\n", &chip, 4, '0');
    EXPECT_EQ(o.final_text, "WRITE & VERIFY SUCCESS");
    EXPECT_NE(o.transcript.find("progress\t1011\t823\n"), std::string::npos);
}
