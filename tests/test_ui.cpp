// The windowing operations through the scripted backend, in process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "tests/helpers.hpp"
#include "ui/message_queue.hpp"
#include "ui/ui.hpp"

using namespace vr;

namespace {

// Starts the scripted windowing layer with a script; the transcript is read
// back with transcript().
class Scripted {
public:
    explicit Scripted(const std::string& script) : dir_(vt::temp_dir()) {
        vt::write_file(dir_ + "/op", script);
        setenv("VRJTAG_OPERATOR", (dir_ + "/op").c_str(), 1);
        setenv("VRJTAG_TRANSCRIPT", (dir_ + "/tr").c_str(), 1);
        WInitialise();
    }
    std::string transcript() const { return vt::read_file(dir_ + "/tr"); }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
};

bool has_line(const std::string& transcript, const std::string& line) {
    return ("\n" + transcript).find("\n" + line + "\n") != std::string::npos;
}

}  // namespace

TEST(Progress, RangeAndClamping) {
    Scripted ui("");
    WDialogLoad(101);
    WDialogPutProgressBar(1011, 10, 0);       // before any range: 0..100
    WDialogRangeProgressBar(1011, 0, 50);     // keeps 10
    WDialogRangeProgressBar(1011, 20, 50);    // clamps to 20
    WDialogRangeProgressBar(1011, 30, 30);    // refused: minimum not below maximum
    WDialogRangeProgressBar(1011, 0, 65536);  // refused
    WDialogRangeProgressBar(1011, -1, 10);    // refused
    WDialogPutProgressBar(1011, 100, 1);      // past the maximum
    WDialogPutProgressBar(1011, 5, 1);        // already full: no change
    WDialogPutProgressBar(1011, 7, 2);        // no such mode
    WDialogRangeProgressBar(1011, 0, 65535);
    WDialogPutProgressBar(1011, 65535, 0);
    WDialogRangeProgressBar(1010, 0, 10);     // not a progress bar
    WindowClose();
    EXPECT_EQ(ui.transcript(),
              "WDialogLoad\t101\n"
              "progress\t1011\t10\n"
              "range\t1011\t0\t50\n"
              "range\t1011\t20\t50\n"
              "progress\t1011\t20\n"
              "progress\t1011\t50\n"
              "range\t1011\t0\t65535\n"
              "progress\t1011\t65535\n"
              "WindowClose\n");
}

TEST(Fields, TextsStatesAndUnknownIds) {
    Scripted ui("");
    WDialogPutString(1010, "no dialog yet");
    WDialogLoad(201);
    WDialogPutString(210, "   ");
    WDialogPutString(210, "tab\there\\ \x01 end   ");
    WDialogPutString(999, "unknown");
    WDialogPutCheckBox(211, 0);  // already 0
    WDialogPutCheckBox(211, 1);
    WDialogPutCheckBox(215, 1);  // a push button is no check box
    int32_t s = 5;
    WDialogGetCheckBox(211, s);
    EXPECT_EQ(s, 1);
    s = 5;
    WDialogGetCheckBox(999, s);
    EXPECT_EQ(s, 5);
    WDialogFieldState(216, 3);
    WDialogFieldState(216, 3);
    WDialogFieldState(216, 1);
    WDialogUnload();
    WDialogPutString(210, "after unload");
    WindowClose();
    EXPECT_EQ(ui.transcript(),
              "WDialogLoad\t201\n"
              "WDialogPutString\t210\t\n"
              "WDialogPutString\t210\ttab\\there\\\\ \\x01 end\n"
              "check\t211\t1\n"
              "field\t216\t3\n"
              "field\t216\t1\n"
              "WDialogUnload\n"
              "WindowClose\n");
}

TEST(Checkstop, CancelsOnceAndLeavesTheBufferOtherwise) {
    Scripted ui("press 1012\npress 1012\npress 1012\npress 215\nclose\n");
    WDialogLoad(101);
    MsgBuf buf;
    put_text(buf, "untouched");
    // One call polls until the queue is empty: it finds the three Cancels,
    // the other button and the close request, and reports one cancel.
    int32_t first = checkstop(buf);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(shown(buf), "Abort requested...write not finished.");
    EXPECT_EQ(buf[36], '.');
    EXPECT_EQ(buf[37], ' ');
    EXPECT_EQ(buf[255], ' ');
    put_text(buf, "kept");
    EXPECT_EQ(checkstop(buf), 0);
    EXPECT_EQ(shown(buf), "kept");
    WindowClose();
}

TEST(Checkstop, ACloseRequestCountsLikeCancel) {
    Scripted ui("close\n");
    MsgBuf buf;
    blank(buf);
    EXPECT_EQ(checkstop(buf), 1);
    EXPECT_EQ(shown(buf), "Abort requested...write not finished.");
    WindowClose();
}

TEST(SelectFile, OptionsOfTheReadAndTheWriteSelections) {
    const std::string dir = vt::temp_dir();
    vt::write_file(dir + "/there.jed", "x");
    const std::string long_name = dir + "/" + std::string(130, 'n') + ".jed";
    Scripted ui("choose " + dir + "/newfile\n"           // save: extension added
                "choose " + dir + "/there.jed\nanswer no\n"    // save over existing: asked, refused
                "choose " + dir + "/there\nanswer yes\n"       // asked, agreed
                "choose " + dir + "/missing.jed\nanswer yes\n" // open: create? yes
                "choose " + dir + "/missing2.jed\n"            // open: no answer queued = no
                "choose " + dir + "/nodir/x.jed\n"             // open: folder must exist
                "cancel\n"
                "choose " + long_name + "\n");
    FileName name;
    struct Step {
        int32_t options;
        int32_t status;
        std::string path;  // expected name on success
    } steps[] = {
        {47, 1, dir + "/newfile.jed"},
        {47, 0, ""},
        {47, 1, dir + "/there.jed"},
        {42, 1, dir + "/missing.jed"},
        {42, 0, ""},
        {42, 0, ""},
        {42, 0, ""},
        {47, 0, ""},
    };
    for (const Step& s : steps) {
        blank(name);
        WSelectFile("Jedec files|*.jed|", s.options, name, "title   ");
        EXPECT_EQ(WInfoDialog(4), s.status) << s.path;
        EXPECT_EQ(shown(name), s.path);
    }
    WindowClose();
    const std::string t = ui.transcript();
    EXPECT_TRUE(has_line(t, "WSelectFile\t47\tJedec files|*.jed|\ttitle"));
    EXPECT_TRUE(has_line(t, "question\t\"" + dir + "/there.jed\" already exists.\\r\\nDo you want to replace it?\tno"));
    EXPECT_TRUE(has_line(t, "question\t\"" + dir + "/missing.jed\" does not exist.\\r\\nDo you want to create it?\tyes"));
    EXPECT_TRUE(has_line(t, "question\t\"" + dir + "/missing2.jed\" does not exist.\\r\\nDo you want to create it?\tno"));
    EXPECT_NE(t.find("notice\tThe path \"" + long_name), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir + "/missing.jed"));  // agreeing creates nothing
    EXPECT_FALSE(std::filesystem::exists(dir + "/newfile.jed"));
}

TEST(SelectFile, CurrentDirectoryFollowsTheChosenFolder) {
    const std::string dir = vt::temp_dir();
    std::filesystem::create_directory(dir + "/sub");
    const auto before = std::filesystem::current_path();
    Scripted ui("choose sub/a\nchoose " + dir + "/b\n");
    std::filesystem::current_path(dir);
    FileName name;
    WSelectFile("Jedec files|*.jed|", 47, name, "t");  // relative to the current directory
    EXPECT_EQ(shown(name), dir + "/sub/a.jed");
    EXPECT_EQ(std::filesystem::current_path(), std::filesystem::path(dir + "/sub"));
    WSelectFile("Jedec files|*.jed|", 47 - 8, name, "t");  // bit 8 clear: stays
    EXPECT_EQ(std::filesystem::current_path(), std::filesystem::path(dir + "/sub"));
    WindowClose();
    std::filesystem::current_path(before);
}

TEST(Pause, WaitsAbout110ms) {
    const auto t = std::chrono::steady_clock::now();
    vr::pause();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    EXPECT_GE(took, 0.110);
    EXPECT_LT(took, 0.5);  // wide: a loaded machine may wake it late
}

// The windowed backends' message queue: arrival order across the wrap,
// the newest dropped when full, -1 when empty.
TEST(MessageQueue, KeepsArrivalOrderAndDropsTheNewestWhenFull) {
    vr::ui::backend::MessageQueue q;
    int32_t type = 0, value1 = 0;
    q.pop(type, value1);
    EXPECT_EQ(type, -1);
    EXPECT_EQ(value1, -1);
    for (int round = 0; round < 3; ++round) {  // 3 × 50 crosses the end of the ring
        for (int32_t i = 0; i < 50; ++i) q.push(3, i);
        for (int32_t i = 0; i < 50; ++i) {
            q.pop(type, value1);
            ASSERT_EQ(type, 3);
            ASSERT_EQ(value1, i);
        }
        EXPECT_TRUE(q.empty());
    }
    for (int32_t i = 0; i < 70; ++i) q.push(9, i);
    int32_t last = -1, count = 0;
    while (!q.empty()) {
        q.pop(type, last);
        ++count;
    }
    EXPECT_EQ(count, 64);
    EXPECT_EQ(last, 63);
}
