#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <thread>
#include <string>
#include <vector>

#include "fusemap/jedec.hpp"
#include "tests/helpers.hpp"

using namespace vr;

namespace {

FuseMap map, other;

// A stream that reads back text (a temporary file: the same on every platform).
std::FILE* stream_of(const std::string& text) {
    std::FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    return f;
}

JedecResult read_text(const std::string& text, int32_t& code, JedecInfo& info, FuseMap& into = map,
                      Devices devices = Devices::programmer) {
    std::FILE* f = stream_of(text);
    const JedecResult r = read_jedec(f, into, code, info, devices);
    std::fclose(f);
    return r;
}

std::string write_text(FuseMap& m, int32_t code) {
    std::FILE* f = std::tmpfile();
    EXPECT_TRUE(write_jedec(f, m, code));
    std::rewind(f);
    std::string s;
    int c;
    while ((c = std::fgetc(f)) != EOF) s += static_cast<char>(c);
    std::fclose(f);
    return s;
}

std::vector<std::string> lines_of(const std::string& s) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < s.size()) {
        const std::size_t e = s.find("\r\n", pos);
        EXPECT_NE(e, std::string::npos) << "every line ends with CR LF";
        if (e == std::string::npos) break;
        out.push_back(s.substr(pos, e - pos));
        pos = e + 2;
    }
    return out;
}

std::size_t index_of(const std::vector<std::string>& lines, const std::string& prefix) {
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].rfind(prefix, 0) == 0) return i;
    return lines.size();
}

const std::string head1508 = "\x02JEDEC file for: ATF1508AS\n*\n";
const std::string head1504 = "\x02JEDEC file for: ATF1504AS\n*\n";
const std::string tail = "\x03" "0000\n";

}  // namespace

TEST(Writer, EmptyMapsGiveTheStatedLineCountsAndHeader) {
    for (int32_t code : {8, 4, 0}) {
        map.fill(0);
        const auto lines = lines_of(write_text(map, code));
        const bool big = code == 8;
        EXPECT_EQ(lines.size(), big ? 505u : 273u);
        EXPECT_EQ(lines[0], big ? "\x02JEDEC file for: ATF1508AS" : "\x02JEDEC file for: ATF1504AS");
        EXPECT_EQ(lines[0].size(), 26u);
        EXPECT_EQ(lines[2], "Reader:  vrjtag.exe   v04.");
        EXPECT_EQ(lines[3], "Varnholme Research JTAG Tool");
        EXPECT_EQ(lines[4], "*");
        EXPECT_EQ(lines[5], big ? "QF74136*" : "QF34192*");
        EXPECT_EQ(lines[7].size(), 51u);
        EXPECT_EQ(lines[8], "");  // no array row written
        EXPECT_EQ(lines[9], "NOTE macrocell configurations");
        EXPECT_EQ(lines[10].size(), 41u);
        EXPECT_EQ(lines[lines.size() - 2], "C0000*");
        EXPECT_EQ(lines.back(), "\x03" "0000");
    }
}

TEST(Writer, RegionLinesStartWhereTheLayoutSays) {
    struct Case {
        int32_t code;
        const char* first_macrocell;
        const char* last_uim;
        const char* reserved;
        const char* oe;
    } cases[] = {
        {8, "L61440 ", "L73893 ", "L74134 00*", "L73920"},
        {4, "L30720 ", "L34071 ", "L34186 000000*", "L34080"},
    };
    for (const Case& c : cases) {
        map.fill(1);
        const auto lines = lines_of(write_text(map, c.code));
        const std::size_t mc = index_of(lines, c.first_macrocell);
        ASSERT_LT(mc, lines.size());
        EXPECT_EQ(lines[mc], std::string(c.first_macrocell) + std::string(16, '1') + "*");
        const std::size_t uim = index_of(lines, c.last_uim);
        ASSERT_LT(uim, lines.size());
        EXPECT_EQ(lines[uim + 1], "");
        EXPECT_EQ(lines[uim + 2], "NOTE  6 global OE");
        EXPECT_EQ(lines[index_of(lines, c.oe)], c.oe);
        // The reserved line is fixed whatever the map held, and the map holds 0 there after.
        EXPECT_EQ(lines[index_of(lines, c.reserved)], c.reserved);
        EXPECT_EQ(map[device_of(c.code).reserved.first], 0);
        EXPECT_EQ(lines[lines.size() - 2], c.code == 8 ? "C0E0D*" : "CA052*");
    }
}

TEST(Writer, ArrayRowsAreWrittenWhenAnyFuseIsOneAndClosedWithStar) {
    map.fill(1);
    auto lines = lines_of(write_text(map, 8));
    EXPECT_EQ(lines.size(), 505u + 4 * 640);
    EXPECT_EQ(lines[8], "L00000");
    EXPECT_EQ(lines[9], std::string(16, '1'));
    EXPECT_EQ(lines[10], std::string(40, '1'));
    EXPECT_EQ(lines[11], std::string(40, '1') + "*");
    EXPECT_EQ(lines[12], "L00096");

    map.fill(0);
    map[96 * 7 + 95] = 1;  // only the last fuse of row 7
    lines = lines_of(write_text(map, 4));
    EXPECT_EQ(lines.size(), 273u + 4);
    EXPECT_EQ(lines[8], "L00672");
    EXPECT_EQ(lines[11], std::string(39, '0') + "1*");
}

TEST(Writer, RandomMapsReadBackIdentically) {
    for (int32_t code : {8, 4, 2}) {
        for (unsigned v = 1; v <= 3; ++v) {
            vt::random_map(map, code, v);
            // Leave some array rows all 0, so that they are omitted.
            for (int32_t r = 0; r < 40; r += 3)
                for (int32_t i = 0; i < 96; ++i) map[96 * r + i] = 0;
            const std::string text = write_text(map, code);
            int32_t read_code = 0;
            JedecInfo info;
            EXPECT_EQ(read_text(text, read_code, info, other, Devices::family), JedecResult::ok);
            EXPECT_EQ(read_code, code);
            EXPECT_TRUE(info.has_checksum);
            EXPECT_TRUE(std::equal(map.begin(), map.begin() + device_of(code).fuse_count, other.begin()));
        }
    }
}

// The ATF1502AS: the tools read it (with QF16808 only); the programmer's
// reader leaves the device unknown, as for any other chip.
TEST(Reader, Atf1502ForTheToolsOnly) {
    struct Case {
        std::string header;
        Devices devices;
        int32_t code;
        JedecResult result;
    } cases[] = {
        {"ATF1502AS\n*\nQF16808*\n", Devices::family, code_1502, JedecResult::ok},
        {"ATF1502AS\n*\nQF16808*\n", Devices::programmer, 0, JedecResult::ok},
        {"ATF1502AS\n*\n", Devices::family, code_1502, JedecResult::format_error},
        {"ATF1502AS\n*\nQF34192*\n", Devices::family, code_1502, JedecResult::format_error},
        {"ATF1502AS ATF1504AS\n*\nQF34192*\n", Devices::family, code_1504, JedecResult::ok},
    };
    for (const Case& c : cases) {
        int32_t code = 0;
        JedecInfo info;
        EXPECT_EQ(read_text(c.header + "L16782 0111*\n", code, info, other, c.devices), c.result) << c.header;
        EXPECT_EQ(code, c.code) << c.header;
    }
    for (const char* name : {"atf1502as-snes-dejitter-a", "atf1502asv-multi-function"}) {
        int32_t code = 0;
        JedecInfo info;
        EXPECT_EQ(read_text(vt::read_file(vt::data(std::string("jtag/") + name + ".jed")), code, info, map,
                            Devices::family), JedecResult::ok) << name;
        EXPECT_EQ(code, code_1502);
        EXPECT_EQ(info.file_checksum, info.computed_checksum);
        EXPECT_EQ(map[16782], 1) << "read protection fuse";
    }
}

TEST(Reader, VariantsOfRealFiles) {
    struct Case {
        const char* name;
        std::string body;            // after the first line
        JedecResult result;
        std::vector<std::pair<int32_t, int8_t>> fuses;
    } cases[] = {
        {"values on the following lines", "L00096\n0000000000000000\n1111*\n", JedecResult::ok,
         {{96, 0}, {111, 0}, {112, 1}, {115, 1}, {116, 0}}},
        {"blanks among values", "L00010 1 0 1*\n", JedecResult::ok, {{10, 1}, {11, 0}, {12, 1}}},
        {"a lone value after the blank", "L00010 1\n*\n", JedecResult::ok, {{10, 1}, {11, 0}}},
        {"a lone star closes the field", "L00010 *\n0101\n", JedecResult::ok, {{10, 0}, {11, 0}}},
        {"unpadded number, CRLF", "L288\r\n11\r\n1*\r\n", JedecResult::ok, {{288, 1}, {290, 1}, {291, 0}}},
        {"note after the closing star", "L5 11*  NOTE PT 1 of MC 1 *\n", JedecResult::ok, {{5, 1}, {6, 1}, {7, 0}}},
        {"other fields ignored, F1 for the fuses not listed",
         "QF74136* QP84 * F1*\nG0*\nV0001 1010XX*\nN note 0101 *\nNOTE 111*\nL3 0*\n", JedecResult::ok,
         {{0, 1}, {3, 0}}},
        {"lowercase l is no field", "l00000 1111*\n", JedecResult::ok, {{0, 0}}},
        {"trailing blanks", "L00000 11   \n  1*   \n", JedecResult::ok, {{0, 1}, {2, 1}}},
        {"unclosed field continues at the next line", "L0 1\nL4 1*\n", JedecResult::ok, {{0, 1}, {1, 0}, {4, 1}}},
        {"long line kept whole", "L0 " + std::string(300, '1') + "*\n", JedecResult::ok, {{299, 1}, {300, 0}}},
        {"number missing", "L 0101*\n", JedecResult::format_error, {}},
        {"number not decimal", "L12x4 01*\n", JedecResult::format_error, {}},
        {"value beyond the fuse count", "L74135 11*\n", JedecResult::format_error, {{74135, 1}}},
        {"huge number does not overflow", "L999999999999999999999999 1*\n", JedecResult::format_error, {}},
        {"ends inside a field", "L0 0101\n", JedecResult::format_error, {{1, 1}}},
        {"checksum matches", "L0 1*\nC0001*\n", JedecResult::ok, {{0, 1}}},
        {"checksum differs", "L0 1*\nC0002*\n", JedecResult::checksum_error, {{0, 1}}},
        {"C inside a note is no checksum", "NOTE C0002 text*\nL0 1*\n", JedecResult::ok, {{0, 1}}},
        {"checksum over bytes", "L0 11111111 11*\nC0101*\n", JedecResult::checksum_error, {}},
        {"lowercase checksum digits", "L0 11111111*\nC00ff*\n", JedecResult::ok, {{7, 1}}},
    };
    for (const Case& c : cases) {
        int32_t code = 0;
        JedecInfo info;
        const JedecResult r = read_text("JEDEC file for ATF1508AS\n" + c.body, code, info);
        EXPECT_EQ(r, c.result) << c.name;
        EXPECT_EQ(code, 8) << c.name;
        for (auto [fuse, value] : c.fuses) EXPECT_EQ(map[fuse], value) << c.name << " fuse " << fuse;
    }
}

TEST(Reader, FuseCountOfTheSmallerDevice) {
    int32_t code = 0;
    JedecInfo info;
    EXPECT_EQ(read_text(head1504 + "L34191 1*\n" + tail, code, info), JedecResult::ok);
    EXPECT_EQ(map[34191], 1);
    EXPECT_EQ(read_text(head1504 + "L34191 11*\n" + tail, code, info), JedecResult::format_error);
    EXPECT_EQ(map[34192], 0);
}

TEST(Reader, UnlistedFusesTakeTheDefaultField) {
    // F1 before or after the lists, F0, no F: the fuses no L field lists.
    const struct {
        std::string body;
        int8_t unlisted;
    } cases[] = {
        {"F1*\nL00010 0*\n", 1},
        {"L00010 0*\nF1*\n", 1},
        {"F0*\nL00010 0*\n", 0},
        {"L00010 0*\n", 0},
    };
    for (const auto& c : cases) {
        int32_t code = 0;
        JedecInfo info;
        ASSERT_EQ(read_text(head1504 + c.body + tail, code, info), JedecResult::ok) << c.body;
        EXPECT_EQ(map[10], 0) << c.body;
        EXPECT_EQ(map[0], c.unlisted) << c.body;
        EXPECT_EQ(map[34191], c.unlisted) << c.body;
        EXPECT_EQ(map[34192], 0) << c.body;  // beyond the device: never a fuse
        EXPECT_EQ(info.defaulted, 34192 - 1) << c.body;
    }
    // The checksum is of the fuses as they stand, defaults included.
    int32_t code = 0;
    JedecInfo info;
    read_text(head1504 + "F1*\nL00010 0*\n" + tail, code, info);
    EXPECT_EQ(info.computed_checksum, fuse_checksum(map, code));
    EXPECT_EQ(info.default_fuse, 1);
}

TEST(Reader, DeviceRecognitionAndTransmissionFraming) {
    struct Case {
        std::string text;
        int32_t code;
        JedecResult result;
    } cases[] = {
        {"ATF1508AS and ATF1504AS\nL0 1*\n", 8, JedecResult::ok},
        {"ATF1504AS and ATF1508AS\nL0 1*\n", 8, JedecResult::ok},
        {"JEDEC\nATF1504AS\nL0 1*\n", 4, JedecResult::ok},    // the header runs up to the first "*"
        {"JEDEC*\nATF1504AS\nL0 1*\n", 0, JedecResult::ok},   // ... and no further
        // Files of the chip maker's converter for Quartus designs.
        {" Version 4.45.1 \nJEDEC file for: ATF1508 TQFP100\n*\nQF74136*\nL0 1*\n", 8, JedecResult::ok},
        {" Version 4.45.1 \nJEDEC file for: ATF1504 PLCC44\n*\nQF34192*\nL0 1*\n", 4, JedecResult::ok},
        {" Version 4.45.1 \nJEDEC file for: ATF1504 PLCC44\n*\nQF74136*\nL0 1*\n", 4, JedecResult::format_error},
        {" Version 4.45.1 \nJEDEC file for: ATF1508\n*\nQF 74136 *\nL0 1*\n", 8, JedecResult::ok},
        {" Version 4.45.1 \nJEDEC file for: ATF1508\n*\nQFx*\nL0 1*\n", 8, JedecResult::format_error},
        {"Version 1\nATF1504AS, ATF1508AS\n*\nL0 1*\n", 8, JedecResult::ok},  // ATF1508 wins
        {"", 0, JedecResult::ok},                             // empty file
        {head1508 + "L0 1*\n" + tail, 8, JedecResult::ok},
        {head1508 + "L0 1*\n", 8, JedecResult::format_error}, // STX but no ETX
        {head1508 + "L0 1\n" + tail, 8, JedecResult::format_error},  // ETX inside an open field
        {head1508 + "L0 1*\nC0001*\n" + tail, 8, JedecResult::ok},
        {"ATF1504AS\nL0 1*\nC0001*\n", 4, JedecResult::ok},   // no STX, ends after a closed field
    };
    for (const Case& c : cases) {
        int32_t code = 0;
        JedecInfo info;
        EXPECT_EQ(read_text(c.text, code, info), c.result) << c.text;
        EXPECT_EQ(code, c.code) << c.text;
    }
    // An unknown first line leaves the code as it was.
    int32_t code = 4;
    JedecInfo info;
    read_text("nothing here\nL0 1*\n", code, info);
    EXPECT_EQ(code, 4);
}

TEST(Reader, EverySampleLoadsWithItsDeviceAndChecksum) {
    const char* samples[] = {
        "atf1504as-harrowm-rosco_verilog-CPUglue.jed", "atf1504as-jeffsponaugle-roscoe-VIDEOMEM.jed",
        "atf1504as-rosco-m68k-rosco_m68k-tiny_030_glue.jed", "atf1508as-harrowm-Simple030-rosco.jed",
        "atf1508as-jeffsponaugle-roscoe-VIDEOADPT.jed", "atf1508as-teknoman117-BREAKOUT-ATF1508AS-shift-register.jed",
    };
    for (const char* s : samples) {
        int32_t code = 0;
        EXPECT_EQ(readj(map, vt::file_name(vt::data(s)), code), JedecResult::ok) << s;
        EXPECT_EQ(code, s[6] == '8' ? 8 : 4) << s;
        std::FILE* f = std::fopen(vt::data(s).c_str(), "rb");
        JedecInfo info;
        code = 0;
        read_jedec(f, map, code, info);
        std::fclose(f);
        EXPECT_TRUE(info.has_checksum) << s;
        EXPECT_EQ(info.file_checksum, info.computed_checksum) << s;

        // A sample cut in the middle is refused.
        const std::string whole = vt::read_file(vt::data(s));
        code = 0;
        EXPECT_EQ(read_text(whole.substr(0, whole.size() / 2), code, info), JedecResult::format_error) << s;
    }
}

TEST(Reader, FilesThatCannotBeReadAreReadErrors) {
    int32_t code = 0;
    map.fill(1);
    EXPECT_EQ(readj(map, vt::file_name("/nonexistent/x.jed"), code), JedecResult::read_error);
    EXPECT_EQ(map[0], 0);
    EXPECT_EQ(readj(map, vt::file_name("/tmp"), code), JedecResult::read_error);  // a folder
    EXPECT_EQ(code, 0);
}

TEST(Output, ExistingFileIsReplacedOnlyByACompleteNewOne) {
    const std::string dir = vt::temp_dir();
    const std::string path = dir + "/out.jed";
    vt::write_file(path, "old contents");
    ASSERT_TRUE(open_output(vt::file_name(path)));
    EXPECT_EQ(vt::read_file(path), "old contents");  // opening does not truncate
    map.fill(1);
    ASSERT_TRUE(writej(map, 4));
    int32_t code = 0;
    EXPECT_EQ(readj(other, vt::file_name(path), code), JedecResult::ok);
    EXPECT_EQ(code, 4);
    EXPECT_EQ(vt::read_file(path).substr(0, 26), "\x02JEDEC file for: ATF1504AS");

    // A missing file is created (and left empty until written).
    const std::string fresh = dir + "/fresh.jed";
    ASSERT_TRUE(open_output(vt::file_name(fresh)));
    EXPECT_EQ(vt::read_file(fresh), "");

    // A file in a folder that is gone: writing fails, nothing is left behind.
    EXPECT_FALSE(open_output(vt::file_name(dir + "/missing/x.jed")));
    EXPECT_FALSE(writej(map, 4));
}

#ifndef _WIN32
// A pipe nobody reads would block the READ for ever: it is given up in time.
TEST(Output, APipeWithoutReaderIsGivenUp) {
    const std::string fifo = vt::temp_dir() + "/lonely.jed";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(open_output(vt::file_name(fifo)));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
}

// A pipe (like a device) is written in place, never replaced by a plain file.
TEST(Output, ANameThatIsNoRegularFileIsWrittenInPlace) {
    const std::string fifo = vt::temp_dir() + "/pipe.jed";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::string got;
    std::thread drain([&] {
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(reader, chunk, sizeof chunk);
            if (n > 0) got.append(chunk, static_cast<std::size_t>(n));
            else if (n == 0 && !got.empty()) break;
            else std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    ASSERT_TRUE(open_output(vt::file_name(fifo)));
    map.fill(0);
    map[5] = 1;
    EXPECT_TRUE(writej(map, 4));
    drain.join();
    ::close(reader);
    struct stat st {};
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(got.substr(0, 26), "\x02JEDEC file for: ATF1504AS");
    std::FILE* in = stream_of(got);
    ASSERT_NE(in, nullptr);
    int32_t code = 0;
    JedecInfo info;
    EXPECT_EQ(read_jedec(in, other, code, info), JedecResult::ok);
    std::fclose(in);
    EXPECT_EQ(code, 4);
    EXPECT_EQ(other, map);
}

TEST(Output, AFailedWriteIsReported) {
    std::FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    map.fill(1);
    EXPECT_FALSE(write_jedec(full, map, 8));
    std::fclose(full);
}
#endif
