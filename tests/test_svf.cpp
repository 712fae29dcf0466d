// SVF export and import against the chip maker's own files.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <set>
#include <string>

#include "fusemap/jedec.hpp"
#include "tests/helpers.hpp"
#include "tools/design.hpp"
#include "tools/svf.hpp"

using namespace vr;

namespace {

svf::Trace trace_of(const std::string& text) {
    svf::Trace t;
    std::string error;
    EXPECT_TRUE(svf::trace_svf(text, t, error)) << error;
    return t;
}

// What write(f) wrote to a temporary file.
template <class Write>
std::string written(Write write) {
    std::FILE* f = std::tmpfile();
    EXPECT_TRUE(write(f));
    std::rewind(f);
    std::string text;
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    std::fclose(f);
    return text;
}

std::string exported(svf::Action action, FuseMap& map, int8_t kind) {
    return written([&](std::FILE* f) { return svf::export_svf(f, action, map, kind, "test"); });
}

void load(const std::string& path, FuseMap& map, int32_t& code) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr) << path;
    JedecInfo info;
    ASSERT_EQ(read_jedec(f, map, code, info, Devices::family), JedecResult::ok);
    std::fclose(f);
}

// The steps of one kind, as "address word" lines in order.
std::vector<std::string> steps(const svf::Trace& t, svf::Step::Kind kind) {
    std::vector<std::string> v;
    for (const auto& s : t.steps)
        if (s.kind == kind) v.push_back(std::to_string(s.address) + " " + s.word);
    return v;
}

// Step by step the same kinds at the same addresses (resets and leaving
// programming mode included), each waiting at least as long as the vendor's.
void expect_same_flow(const svf::Trace& ours, const svf::Trace& vendor, const std::string& name) {
    ASSERT_EQ(ours.steps.size(), vendor.steps.size()) << name;
    for (std::size_t i = 0; i < ours.steps.size(); ++i) {
        const svf::Step &o = ours.steps[i], &v = vendor.steps[i];
        ASSERT_EQ(o.kind, v.kind) << name << " step " << i;
        EXPECT_EQ(o.address, v.address) << name << " step " << i;
        EXPECT_GE(o.wait_us, v.wait_us) << name << " step " << i << " kind " << o.kind;
    }
}

}  // namespace

// Our write of the chip maker's JEDEC file programs and reads back the same
// words, at the same addresses, in the same order, with the same resets, and
// waits at least as long; and the chip maker's SVF read back gives its JEDEC
// file's fuses.
TEST(Svf, WriteEqualsTheVendorFileWordForWord) {
    struct Case {
        const char* name;
        const char* device;
        std::size_t words;
    } cases[] = {
        {"atf1504as-neogeo-plcc44", "ATF1504AS", 216},  {"atf1504as-neogeo-tqfp44", "ATF1504AS", 216},
        {"atf1502as-snes-dejitter-a", "ATF1502AS", 212}, {"atf1502as-snes-dejitter-b", "ATF1502AS", 212},
        {"atf1502asv-multi-function", "ATF1502ASV", 212},
    };
    for (const Case& c : cases) {
        const std::string base = vt::data(std::string("jtag/") + c.name);
        FuseMap map;
        int32_t code = 0;
        load(base + ".jed", map, code);
        FuseMap design = map;
        force_special(map, code);
        const svf::Trace ours = trace_of(exported(svf::Action::write, map, svf::kind_of_name(c.device)));
        const svf::Trace vendor = trace_of(vt::read_file(base + ".svf"));
        EXPECT_EQ(ours.idcode, vendor.idcode) << c.name;
        ASSERT_EQ(steps(ours, svf::Step::program).size(), c.words) << c.name;
        EXPECT_EQ(steps(ours, svf::Step::program), steps(vendor, svf::Step::program)) << c.name;
        EXPECT_EQ(steps(ours, svf::Step::read), steps(vendor, svf::Step::read)) << c.name;
        EXPECT_EQ(steps(ours, svf::Step::erase).size(), 1u);
        expect_same_flow(ours, vendor, c.name);
        // svf2jed of the vendor's file: the design's fuses (reserved fuses 0).
        FuseMap back;
        int32_t back_code = 0;
        std::string error;
        std::vector<std::string> warnings;
        ASSERT_TRUE(svf::trace_to_map(vendor, back, back_code, error, warnings)) << error;
        EXPECT_EQ(back_code, code) << c.name;
        clear_reserved(design, code);
        int differ = 0;
        for (int32_t i = 0; i < device_of(code).fuse_count; ++i) differ += back[i] != design[i];
        EXPECT_EQ(differ, 0) << c.name;
    }
}

// The chip maker's erase file and ours: the same erase, resets and blank
// check, waits at least as long.
TEST(Svf, EraseFollowsTheVendorFlow) {
    for (const char* device : {"ATF1504AS", "ATF1508AS", "ATF1502AS", "ATF1502ASV"}) {
        std::string name = std::string(device) + "-erase";
        for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        FuseMap map;
        map.fill(1);
        const svf::Trace ours = trace_of(exported(svf::Action::erase, map, svf::kind_of_name(device)));
        const svf::Trace vendor = trace_of(vt::read_file(vt::data("jtag/" + name + ".svf")));
        EXPECT_EQ(ours.idcode, vendor.idcode) << name;
        expect_same_flow(ours, vendor, name);
    }
}

// The mo5 file (no JEDEC published) to a JEDEC file and back to SVF: the
// same programmed words.
TEST(Svf, Mo5RoundTripKeepsTheProgrammedWords) {
    const svf::Trace vendor = trace_of(vt::read_file(vt::data("jtag/atf1508as-mo5-gate-array.svf")));
    FuseMap map;
    int32_t code = 0;
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(svf::trace_to_map(vendor, map, code, error, warnings)) << error;
    EXPECT_EQ(code, code_1508);
    EXPECT_TRUE(warnings.empty());
    const svf::Trace ours = trace_of(exported(svf::Action::write, map, svf::default_kind(code)));
    EXPECT_EQ(steps(ours, svf::Step::program), steps(vendor, svf::Step::program));
}

// Import refuses what it cannot trust and warns about the hazardous bits.
TEST(Svf, ImportRefusesAndWarns) {
    struct Case {
        std::string body;
        bool accepted;
        int warnings;
    } cases[] = {
        {"SIR 10 TDI (059); SDR 32 TDI (ffffffff) TDO (0150603f);", false, 0},  // another chip
        {"SIR 10 TDI (2a1); SDR 11 TDI (06c); SIR 10 TDI (290); SDR 166 TDI (0); SIR 10 TDI (29e);", false, 0},
        {"SIR 10 TDI (2a1); SDR 11 TDI (200); SIR 10 TDI (292); SDR 4 TDI (7); SIR 10 TDI (29e);", true, 1},
        {"SIR 10 TDI (2a1); SDR 11 TDI (200); SIR 10 TDI (292); SDR 4 TDI (3); SIR 10 TDI (29e);", true, 2},
        // Programmed twice: the AND of both.
        {"SIR 10 TDI (2a1); SDR 11 TDI (100); SIR 10 TDI (291); SDR 32 TDI (f0f0ffff); SIR 10 TDI (29e);"
         "SDR 32 TDI (ff00ffff); SIR 10 TDI (29e);", true, 0},
    };
    for (const Case& c : cases) {
        const std::string head = c.body.find("0150603f") == std::string::npos
                                     ? "SIR 10 TDI (059); SDR 32 TDI (ffffffff) TDO (0150403f); SIR 10 TDI (2b3);"
                                       " SIR 10 TDI (29e);"
                                     : "";
        svf::Trace t = trace_of(head + c.body);
        FuseMap map;
        int32_t code = 0;
        std::string error;
        std::vector<std::string> warnings;
        EXPECT_EQ(svf::trace_to_map(t, map, code, error, warnings), c.accepted) << c.body;
        if (!c.accepted) continue;
        EXPECT_EQ(static_cast<int>(warnings.size()), c.warnings) << c.body;
        if (c.body.find("f0f0ffff") != std::string::npos) {
            // word 100 = F000FFFF: fuses 34134.. read 1111 0000 0000 0000 1111 ...
            EXPECT_EQ(map[34134], 1);
            EXPECT_EQ(map[34138], 0);
            EXPECT_EQ(map[34146], 0);
            EXPECT_EQ(map[34150], 1);
        }
    }
}

// What is no programming sequence of these chips is refused, with the line
// where it shows: scans of fixed registers at other lengths, instructions of
// another length, a word programmed before the erase or loaded by a scan of
// another length than the word's, a file that programs nothing.
TEST(Svf, ImportRefusesWhatIsNoProgrammingSequence) {
    const std::string id = "SIR 10 TDI (059);\nSDR 32 TDI (ffffffff) TDO (0150403f);\n";
    const std::string erase = "SIR 10 TDI (2b3);\nSIR 10 TDI (29e);\n";
    const struct {
        std::string body, error;
    } refused[] = {
        {"SIR 10 TDI (2a1);\nSDR 4000 TDI (0);", "line 4: a data scan of 4000 bits of a 11-bit register"},
        {"SIR 10 TDI (059);\nSDR 16 TDI (0);", "line 4: a data scan of 16 bits of a 32-bit register"},
        {"SIR 8 TDI (59);", "line 3: an instruction scan of 8 bits"},
        {"SIR 10 TDI (2a1); SDR 11 TDI (100); SIR 10 TDI (291); SDR 32 TDI (ffffffff);\nSIR 10 TDI (29e);",
         "line 4: a word is programmed before the chip is erased"},
        {erase + "SIR 10 TDI (2a1); SDR 11 TDI (100); SIR 10 TDI (291); SDR 16 TDI (ffff);\nSIR 10 TDI (29e);",
         "line 6: word 100 loaded by a scan of 16 bits"},
        {erase, "the file programs no word of the chip"},
    };
    for (const auto& c : refused) {
        svf::Trace t;
        FuseMap map;
        int32_t code = 0;
        std::string error;
        std::vector<std::string> warnings;
        EXPECT_FALSE(svf::trace_svf(id + c.body, t, error) && svf::trace_to_map(t, map, code, error, warnings))
            << c.body.substr(0, 50);
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    }
}

// Lengths and waits the importer cannot hold are refused, naming the line;
// a word with many leading zero digits keeps its value.
TEST(Svf, ImportRefusesLengthsItCannotHold) {
    const std::string id = "SIR 10 TDI (059);\nSDR 32 TDI (ffffffff) TDO (0150403f);\n";
    const struct {
        std::string body, error;
    } refused[] = {
        {"SDR -5 TDI (0);", "line 3: a scan of -5 bits"},
        {"SDR 0 TDI (0);", "line 3: a scan of 0 bits"},
        {"SDR 99999999999999999999 TDI (0);", "line 3: a scan of 99999999999999999999 bits"},
        {"SIR 100 TDI (0);", "line 3: a scan of 100 bits"},
        {"SIR 10 TDI (290);\n\nSDR 1100 TDI (" + std::string(274, '0') + "1);", "line 5: a data scan of 1100 bits"},
        {"SDR 8 TDI (1ff);", "line 3: tdi holds more than the scan's 8 bits"},
        {"SDR 6 TDI (40);", "line 3: tdi holds more than the scan's 6 bits"},
        {"SIR 10 TDI (28c);\nRUNTEST -1 SEC;", "line 4: a wait of -1 s"},
        {"SIR 10 TDI (28c); RUNTEST 1e30 SEC;", "line 3: a wait of 1e30 s"},
    };
    for (const auto& c : refused) {
        svf::Trace t;
        std::string error;
        EXPECT_FALSE(svf::trace_svf(id + c.body, t, error)) << c.body.substr(0, 40);
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    }
    // Word 100 written with 300 leading zero digits before F0F0FFFF.
    svf::Trace t = trace_of(id + "SIR 10 TDI (2a1); SDR 11 TDI (100); SIR 10 TDI (291); SDR 32 TDI (" +
                            std::string(300, '0') + "f0f0ffff); SIR 10 TDI (29e);");
    ASSERT_EQ(t.steps.size(), 1u);
    EXPECT_EQ(t.steps[0].word, "F0F0FFFF");
}

namespace {

// The statements of SVF text, one a line, without comments and the
// header's settings; an IDCODE check (its SIR and SDR) repeated is one.
std::vector<std::string> statements(const std::string& text) {
    static const std::set<std::string> settings = {"TRST ABSENT;", "ENDIR IDLE;", "ENDDR IDLE;", "HDR 0;",
                                                   "HIR 0;",       "TDR 0;",      "TIR 0;"};
    std::vector<std::string> out;
    std::string cur;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "//") == 0) {
            if ((i = text.find('\n', i)) == std::string::npos) break;
            continue;
        }
        const bool blank = text[i] == '\n' || text[i] == '\t';
        if (blank && (cur.empty() || cur.back() == ' ')) continue;
        cur += blank ? ' ' : text[i];
        if (text[i] != ';') continue;
        const std::size_t n = out.size();
        const bool repeat = n >= 3 && out[n - 1] == "SIR 10 TDI (059);" && out[n - 3] == out[n - 1] && cur == out[n - 2];
        if (repeat) out.pop_back();
        else if (!settings.count(cur)) out.push_back(cur);
        cur.clear();
    }
    return out;
}

}  // namespace

// The XSVF of every action carries the SVF's scans, checks, masks and waits
// statement for statement (one IDCODE check where the SVF repeats it), and
// reads back as the same fuses.
TEST(Xsvf, CarriesTheSvfsScansAndWaits) {
    const struct {
        const char* file;
        const char* device;
    } designs[] = {{"jtag/atf1502asv-multi-function.jed", "ATF1502ASV"},
                   {"atf1508as-harrowm-Simple030-rosco.jed", "ATF1508AS"}};
    for (const auto& d : designs) {
        FuseMap map;
        int32_t code = 0;
        load(vt::data(d.file), map, code);
        force_special(map, code);
        const int8_t kind = svf::kind_of_name(d.device);
        for (svf::Action a : {svf::Action::write, svf::Action::secure, svf::Action::verify, svf::Action::erase}) {
            FuseMap m = map;
            if (a == svf::Action::secure) m[read_protection_fuse(code)] = 0;
            const std::string bytes = written([&](std::FILE* f) { return svf::export_xsvf(f, a, m, kind); });
            ASSERT_EQ(bytes.substr(0, 2), std::string("\x07\x00", 2)) << "XREPEAT 0 first";
            ASSERT_EQ(bytes.back(), '\0') << "XCOMPLETE last";
            std::string text, error;
            std::vector<std::size_t> offsets;
            ASSERT_TRUE(svf::xsvf_to_svf(bytes, text, offsets, error)) << error;
            EXPECT_EQ(statements(text), statements(exported(a, m, kind))) << d.device << " " << static_cast<int>(a);
        }
    }
}

// XSVF that cannot be read, or that is no programming sequence of these
// chips, is refused naming the byte where its instruction stands.
TEST(Xsvf, RefusesNamingTheByte) {
    const std::string id("\x02\x0a\x00\x59\x08\x00\x00\x00\x20\x01\xff\xff\xff\xff\x09\xff\xff\xff\xff\x01\x50\x40\x3f", 23);
    const struct {
        std::string bytes, error;
    } refused[] = {
        {std::string("\x07\x00", 2), "byte 2: the file ends without XCOMPLETE"},
        {std::string("\x02\x0a\x00", 3), "byte 0: the file ends inside an instruction"},
        {std::string("\x03\x00\x00", 3), "byte 0: a data scan before XSDRSIZE"},
        {std::string("\x08\x00\x01\x00\x00\x00", 6), "byte 0: a data scan size of 65536 bits"},
        {std::string("\x07\x00\x0b\x00", 4), "byte 2: XSVF instruction 0x0B is not taken"},
        {std::string("\x12\x04\x00", 3), "byte 0: XSTATE to a passing state"},
        {id + std::string("\x02\x08\x59\x00", 4), "byte 23: an instruction scan of 8 bits"},
        {id + std::string("\x02\x0a\x02\xb3\x02\x0a\x02\x9e\x00", 9), "the file programs no word of the chip"},
    };
    const std::string path = vt::temp_dir() + "/t.xsvf";
    for (const auto& c : refused) {
        vt::write_file(path, c.bytes);
        FuseMap map;
        const svf::Design d = svf::read_design(path, map);
        EXPECT_EQ(d.result, JedecResult::format_error);
        EXPECT_EQ(d.refusal.rfind(c.error, 0), 0u) << c.error << ": " << d.refusal;
    }
}
