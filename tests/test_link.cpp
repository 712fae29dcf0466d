#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <cstdlib>
#include <thread>

#include "os/port.hpp"
#include "link/protocol.hpp"
#include "link/serial.hpp"
#include "tests/helpers.hpp"

using namespace vr;
using clk = std::chrono::steady_clock;

namespace {

double seconds_since(clk::time_point t) { return std::chrono::duration<double>(clk::now() - t).count(); }

std::string text(const MsgBuf& b) { return std::string(shown(b)); }

}  // namespace

TEST(Config, PathFollowsSystemRoot) {
    struct Case {
        const char* root;  // nullptr: unset
        const char* path;
    } cases[] = {
        {nullptr, "c:\\varnholme\\jtag.ini"}, {"", "c:\\varnholme\\jtag.ini"},
        {"C", "c:\\varnholme\\jtag.ini"},     {"D:", "c:\\varnholme\\jtag.ini"},
        {"D:  ", "c:\\varnholme\\jtag.ini"},  {"D:\\WINDOWS", "D:\\varnholme\\jtag.ini"},
        {"E:\\", "E:\\varnholme\\jtag.ini"},
    };
    for (const Case& c : cases) {
        if (c.root)
            setenv("SystemRoot", c.root, 1);
        else
            unsetenv("SystemRoot");
        MsgBuf p;
        config_path(p);
        EXPECT_EQ(text(p), c.path) << (c.root ? c.root : "unset");
        EXPECT_EQ(p[255], ' ');
    }
    unsetenv("SystemRoot");
}

TEST(Config, WindowsPathMapsOntoTheConfigurationHome) {
    char out[512];
    setenv("XDG_CONFIG_HOME", "/x/cfg", 1);
    ASSERT_TRUE(os::local_config_path("D:\\varnholme\\jtag.ini", out, sizeof out));
    EXPECT_STREQ(out, "/x/cfg/varnholme/jtag.ini");
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", "/home/op", 1);
    ASSERT_TRUE(os::local_config_path("c:\\varnholme\\jtag.ini", out, sizeof out));
    EXPECT_STREQ(out, "/home/op/.config/varnholme/jtag.ini");
}

TEST(Initcom, FailureTexts) {
    const std::string not_found = "file \"<root>\\varnholme\\jtag.ini\" was not found.";
    const std::string open_failed =
        "Comport Open Failed\r\nEdit file \"<root>\\varnholme\\jtag.ini\" for correct comport.";
    const std::string dir = vt::temp_dir();
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    mkdir((dir + "/varnholme").c_str(), 0700);
    vt::write_file(dir + "/varnholme/plain", "not a terminal");
    struct Case {
        const char* ini;  // nullptr: no file
        std::string text;
    } cases[] = {
        {nullptr, not_found},
        {"", not_found},                      // no first line
        {"nosuchport7\r\n", open_failed},     // "nosuch": no such device
        {"\n", open_failed},                  // an empty port name
        {"plain\n", open_failed},             // exists, but is not a terminal
        {"null\n", open_failed},              // /dev/null is no terminal either
    };
    for (const Case& c : cases) {
        unlink((dir + "/varnholme/jtag.ini").c_str());
        if (c.ini) vt::write_file(dir + "/varnholme/jtag.ini", c.ini);
        MsgBuf buf;
        int32_t status = 0;
        initcom(buf, status);
        EXPECT_EQ(status, 1) << (c.ini ? c.ini : "none");
        EXPECT_EQ(text(buf), c.text) << (c.ini ? c.ini : "none");
        EXPECT_EQ(std::string(buf.data(), buf.size()).find('\0'), std::string::npos);
        // Nothing stays open: a read fails at once.
        unsigned char ch;
        EXPECT_EQ(os::read_byte(ch), -1);
    }
}

TEST(Initcom, PortNameIsTheFirstSixCharacters) {
    vt::Line line;
    const char* home = std::getenv("XDG_CONFIG_HOME");
    const std::string cfg = std::string(home) + "/varnholme";
    symlink(ptsname(line.master()), (cfg + "/COM3 ;").c_str());
    symlink(ptsname(line.master()), (cfg + "/COM3").c_str());
    for (const char* ini : {"COM3 ; adapter\r\n", "COM3\r\n", "COM3  \n", "COM3"}) {
        vt::write_file(cfg + "/jtag.ini", ini);
        MsgBuf buf;
        int32_t status = 1;
        initcom(buf, status);
        EXPECT_EQ(status, 0) << ini;
        EXPECT_EQ(text(buf), "ok, done");
        comclose();
    }
}

TEST(Initcom, APortHeldByAnotherProgramIsRefused) {
    vt::Line line;
    const int other = open(ptsname(line.master()), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(line.open());
    close(other);
    EXPECT_TRUE(line.open());
}

TEST(ComR, StopsAtLimitOrLineEnd) {
    vt::Line line;
    ASSERT_TRUE(line.open());
    struct Case {
        std::string input;
        int32_t limit;
        std::string stored;
        std::string left;  // what the next read gets
    } cases[] = {
        {"5\r\n", 2, "5\r", "\n"},
        {"ok\nzz\r", 3, "ok\n", "zz\r"},
        {"abcdef\r", 3, "abc", "def\r"},
        {"\r", 5, "\r", ""},
    };
    for (const Case& c : cases) {
        line.reply(c.input);
        MsgBuf buf;
        put_command(buf, "#8a");
        int32_t err = 9;
        com_r(buf, c.limit, err, 0);
        EXPECT_EQ(err, 0);
        EXPECT_EQ(std::string(buf.data(), c.stored.size()), c.stored);
        if (c.stored.size() < 4) {
            EXPECT_EQ(buf[c.stored.size()], "#8a\r"[c.stored.size()]);  // untouched
        }
        if (!c.left.empty()) {
            com_r(buf, 10, err, 0);
            EXPECT_EQ(err, 0);
            EXPECT_EQ(std::string(buf.data(), c.left.size()), c.left);
        }
    }
}

TEST(ComR, NulOrSilenceFailsAndKeepsTheRest) {
    vt::Line line;
    ASSERT_TRUE(line.open());
    for (bool nul : {true, false}) {
        line.reply(nul ? std::string("abc\0xyz\r", 8) : std::string("abc"));
        MsgBuf buf;
        put_text(buf, "123456789");
        int32_t err = 0;
        const auto t = clk::now();
        com_r(buf, 89, err, 0);
        const double took = seconds_since(t);
        EXPECT_EQ(err, 1);
        EXPECT_EQ(buf[0], '\0');
        EXPECT_EQ(std::string(buf.data() + 1, 8), "bc456789");
        // Bounds wide enough for a loaded machine: what matters is whether
        // the read waited for the 500 ms time-out.
        if (nul) {
            EXPECT_LT(took, 0.45);
        } else {
            EXPECT_GE(took, 0.45);
            EXPECT_LT(took, 1.5);
        }
        com_f();
    }
}

TEST(ComR, EachByteMayTakeUpTo500ms) {
    vt::Line line;
    ASSERT_TRUE(line.open());
    std::thread slow([&] {
        line.reply("o");
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        line.reply("k");
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        line.reply("\r");
    });
    MsgBuf buf;
    int32_t err = 1;
    com_r(buf, 3, err, 0);
    slow.join();
    EXPECT_EQ(err, 0);
    EXPECT_EQ(std::string(buf.data(), 3), "ok\r");
}

TEST(ComF, EndsAfter500msOfSilence) {
    vt::Line line;
    ASSERT_TRUE(line.open());
    auto t = clk::now();
    com_f();
    EXPECT_GE(seconds_since(t), 0.45);
    EXPECT_LT(seconds_since(t), 1.5);

    line.reply("leftover\r\n");
    t = clk::now();
    com_f();
    EXPECT_GE(seconds_since(t), 0.45);
    EXPECT_LT(seconds_since(t), 1.5);
    MsgBuf buf;
    int32_t err = 0;
    com_r(buf, 5, err, 0);
    EXPECT_EQ(err, 1);  // drained
}

TEST(Protocol, IdentificationAndReleaseBytes) {
    vt::Line line;
    ASSERT_TRUE(line.open());
    struct Case {
        int32_t code;
        const char* sent;
    } cases[] = {{0, "#8I\r"}, {8, "#8I\r"}, {4, "#84\r"}, {7, "#8I\r"}};
    for (const Case& c : cases) {
        line.reply("1\r");
        MsgBuf buf;
        init48(c.code, buf);
        EXPECT_EQ(line.sent(), c.sent);
        EXPECT_EQ(buf[0], '1');
        EXPECT_EQ(buf[1], '\r');
    }
    MsgBuf buf;
    init48(8, buf);  // no reply
    EXPECT_EQ(buf[0], '\0');
    line.sent();
    exit48();
    EXPECT_EQ(line.sent(), "#8X\r");
}

TEST(Protocol, EraseStatusFromItsReply) {
    struct Case {
        const char* reply;  // nullptr: silence
        int32_t status;
    } cases[] = {{"ok\r", 0}, {"OK\r", 1}, {"ok", 1}, {nullptr, 1}, {"o\r", 1}};  // "ok" alone: the third character never comes
    for (const Case& c : cases) {
        vt::Line line;
        ASSERT_TRUE(line.open());
        std::string seen;
        std::thread peer([&] {
            // Answer the identification, then the erase.
            for (int i = 0; i < 40 && seen.find("#8E\r#8X\r") == std::string::npos; ++i) {
                const std::string s = line.sent(50);
                seen += s;
                if (s.find("#8I\r") != std::string::npos) line.reply("1\r");
            }
            if (c.reply) line.reply(c.reply);
        });
        int32_t status = 7;
        erase48(8, status);
        peer.join();
        EXPECT_EQ(status, c.status) << (c.reply ? c.reply : "silence");
        EXPECT_EQ(seen.substr(0, 16), "#8X\r#8I\r#8E\r#8X\r");
    }
}

TEST(Protocol, ReplyCheckReportsTheFirstFaultInOrder) {
    vt::Line line;
    ASSERT_TRUE(line.open());
    const std::string ok_row = "r00Cd" + std::string(82, 'F') + "e\r";
    const std::string t = "read fuse map error - ";
    struct Case {
        const char* name;
        std::string reply;
        int32_t code, digits, address;
        char tag;
        std::string text;  // empty: accepted
    } cases[] = {
        {"valid row", ok_row, 8, 82, 12, 'a', ""},
        {"lowercase digits", "r00cd" + std::string(82, 'f') + "e\r", 8, 82, 12, 'a', ""},
        {"no r", "x00Cd" + std::string(82, 'F') + "e\r", 8, 82, 12, 'a', t + "format, \"r\" missing"},
        {"out of order", "r00Dd" + std::string(82, 'F') + "e\r", 8, 82, 12, 'a', t + "row reported out of order(a)"},
        {"blank in address", "r0 Cd" + std::string(82, 'F') + "e\r", 8, 82, 12, 'b',
         t + "format error parsing hex data r0 CdFFFFF"},
        {"capital D", "r00CD" + std::string(82, 'F') + "e\r", 8, 82, 12, 'a', t + "format, \"d\" missing"},
        {"no e", "r00Cd" + std::string(82, 'F') + "x\r", 8, 82, 12, 'a', t + "format, \"e\" missing"},
        {"G among digits", "r00Cd" + std::string(40, 'F') + "G" + std::string(41, 'F') + "e\r", 8, 82, 12, 'a',
         t + "format error parsing hex data r00CdFFFFF"},
        {"blank among digits", "r00Cd" + std::string(40, '0') + " " + std::string(41, '0') + "e\r", 8, 82, 12, 'a',
         t + "format error parsing hex data r00Cd00000"},
        {"unused last digit G", "r00Cd" + std::string(81, 'F') + "Ge\r", 8, 82, 12, 'c',
         t + "format error parsing hex data r00CdFFFFF"},
        {"wrong address and no e", "r00Dd" + std::string(82, 'F') + "x\r", 8, 82, 12, 'd',
         t + "row reported out of order(d)"},
        {"page 2 out of order", "r201dFe\r", 8, 1, 0x200, '2', t + "row reported out of order(2)"},
        {"page 1 x for e", "r100dFFFFFFFFx\r", 4, 8, 0x100, '1', t + "format, \"e\" missing"},
        {"ATF1504AS row", "r0E8d" + std::string(42, '0') + "e\r", 4, 42, 232, 'd', ""},
        {"timeout", "", 8, 82, 12, 'a', t + "com-read timeout "},
    };
    for (const Case& c : cases) {
        line.reply(c.reply);
        MsgBuf buf;
        put_command(buf, "#8a");
        int32_t err = 5;
        const bool ok = check_reply(c.code, c.digits, c.address, c.tag, buf, err);
        EXPECT_EQ(ok, c.text.empty()) << c.name;
        EXPECT_EQ(err, 1) << c.name;  // 0 only once a whole read operation succeeds
        if (!c.text.empty()) {
            EXPECT_EQ(std::string(buf.data(), c.text.size()), c.text) << c.name;
            EXPECT_EQ(buf[c.text.size()], '\0') << c.name;
            EXPECT_EQ(buf[255], ' ') << c.name;
        }
        com_f();
    }
}

// The line as the adapter needs it, read back from the terminal itself.
TEST(Port, LineSettingsAndExclusiveUse) {
    vt::Line line;
    ASSERT_TRUE(line.open());
    const std::string path = std::string(ptsname(line.master()));
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);  // root may open it despite TIOCEXCL
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B115200);
    EXPECT_EQ(cfgetispeed(&t), B115200);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    int excl = 0;
    ASSERT_EQ(ioctl(fd, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 1);
    vr::comclose();
    ASSERT_EQ(ioctl(fd, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0) << "exclusive use must end with the run";
    ::close(fd);
}

// Nothing hangs: an adapter that stops our output with XOFF and never lets
// it go, and an adapter that vanishes.
TEST(Port, StalledOrVanishedAdapterEndsInBoundedTime) {
    using clock = std::chrono::steady_clock;
    {
        vt::Line line;
        ASSERT_TRUE(line.open());
        ASSERT_EQ(::write(line.master(), "\x13", 1), 1);  // XOFF, then it reads nothing
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto t0 = clock::now();
        MsgBuf big;
        big.fill('x');
        for (int i = 0; i < 64; ++i) com_w(big, 256);  // more than the line can hold
        vr::comclose();
        EXPECT_LT(clock::now() - t0, std::chrono::seconds(8));
    }
    {
        auto line = std::make_unique<vt::Line>();
        ASSERT_TRUE(line->open());
        ::close(line->master());  // the adapter is unplugged
        MsgBuf buf;
        int32_t err = 0;
        const auto t0 = clock::now();
        for (int i = 0; i < 5; ++i) com_r(buf, 10, err, 0);  // each fails at once
        com_w(buf, 4);
        vr::comclose();
        EXPECT_EQ(err, 1);
        EXPECT_LT(clock::now() - t0, std::chrono::milliseconds(900));
    }
}
