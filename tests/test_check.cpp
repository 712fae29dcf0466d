// vrjtag-jed check: a table of crafted files, one per hazard and warning,
// and every sample file without a false hazard.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "fusemap/device.hpp"
#include "tests/helpers.hpp"
#include "tools/check.hpp"
#include "tools/pins.hpp"
#include "tools/show.hpp"

using namespace vr;
using vt::data;
using vt::read_file;

namespace {

FuseMap map;

std::vector<svf::check::Finding> of_text(const std::string& text, const std::string& device = "") {
    std::FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    int32_t code = 0;
    JedecInfo info;
    const JedecResult r = read_jedec(f, map, code, info, Devices::family);
    std::fclose(f);
    return svf::check::findings(r, map, code, info, device);
}

std::vector<svf::check::Finding> of_file(const std::string& path, const std::string& device = "") {
    std::string text = read_file(path);
    return of_text(text, device);
}

int count(const std::vector<svf::check::Finding>& fs, svf::check::Severity s, const std::string& word) {
    int n = 0;
    for (const auto& f : fs) n += f.severity == s && f.text.find(word) != std::string::npos;
    return n;
}

// The sample's text with one more fuse list, setting fuse n to v (a later
// list wins), before its checksum field.
std::string with_fuse(std::string text, int32_t n, char v) {
    const std::size_t c = text.rfind("\nC");
    return text.insert(c + 1, "L" + std::to_string(n) + " " + v + "*\r\n");
}

}  // namespace

TEST(Check, CraftedFilesGiveTheirFindings) {
    const std::string sample = read_file(data("atf1504as-harrowm-rosco_verilog-CPUglue.jed"));
    const int32_t special = device_of(code_1504).special.first;
    // The checksum line goes: a crafted change must not read as damage.
    auto unchecked = [](std::string t) {
        const std::size_t c = t.find("\nC");
        if (c != std::string::npos) t.erase(c + 1, t.find('*', c) - c);
        return t;
    };
    const struct {
        std::string name, text, device;
        svf::check::Severity severity;
        std::string word;
    } cases[] = {
        {"JTAG off", unchecked(with_fuse(sample, special + 1, '0')), "", svf::check::Severity::hazard, "JTAG"},
        {"read protection", unchecked(with_fuse(sample, special, '0')), "", svf::check::Severity::warning, "read protection"},
        {"another part", sample, "ATF1508AS", svf::check::Severity::hazard, "ATF1508AS"},
        {"test vectors", sample.substr(0, sample.rfind("\nC") + 1) + "V0001 00000000000000000000*\r\n" +
                             sample.substr(sample.rfind("\nC") + 1),
         "", svf::check::Severity::warning, "test vectors"},
        {"sparse F1", "\x02" "ATF1504AS*\nQF34192*\nF1*\nL00000 0*\n\x03" "0000\n", "", svf::check::Severity::warning,
         "F1 default"},
        {"fuse count", "\x02" "ATF1504AS*\nQF34000*\nL00000 0*\n\x03" "0000\n", "", svf::check::Severity::hazard,
         "fuse count"},
        {"checksum", sample.substr(0, sample.rfind("\nC") + 2) + "0000" + sample.substr(sample.rfind("\nC") + 6), "",
         svf::check::Severity::warning, "checksum"},
    };
    for (const auto& c : cases) {
        const auto fs = of_text(c.text, c.device);
        EXPECT_EQ(count(fs, c.severity, c.word), 1) << c.name;
        if (c.severity == svf::check::Severity::warning) {
            EXPECT_EQ(count(fs, svf::check::Severity::hazard, ""), 0) << c.name;
        }
    }
    // The ASV part of the same map is the same file.
    EXPECT_EQ(count(of_text(sample, "ATF1504ASV"), svf::check::Severity::hazard, ""), 0);
}

TEST(Check, NoSampleFileIsAHazard) {
    int files = 0;
    for (const std::string& dir : {data(""), data("jtag")})
        for (const auto& e : std::filesystem::directory_iterator(dir)) {
            if (e.path().extension() != ".jed") continue;
            ++files;
            // One sample turns JTAG off (its provenance says so): that hazard,
            // and no other, anywhere.
            const bool jtag_off = e.path().string().find("BREAKOUT") != std::string::npos;
            const auto fs = of_file(e.path().string());
            EXPECT_EQ(count(fs, svf::check::Severity::hazard, ""), jtag_off ? 1 : 0) << e.path();
            EXPECT_EQ(count(fs, svf::check::Severity::hazard, "JTAG"), jtag_off ? 1 : 0) << e.path();
        }
    EXPECT_GE(files, 6);
}

// The "blank" template's shape: every pad's output enabled by a global OE
// while its macrocell holds no logic. One such pin is no hazard, nor is an
// erased chip's pattern (all ones).
TEST(Check, BlankTemplateShapeIsAHazard) {
    const std::string sample = read_file(data("atf1504as-harrowm-rosco_verilog-CPUglue.jed"));
    of_text(sample);  // the sample into map
    const svf::bureau::Chip& chip = svf::bureau::atf1504as;
    JedecInfo info;
    info.package_pins = 44;
    auto drive_empty = [&](FuseMap& m, int how_many) {
        for (uint8_t i = 0; i < chip.macrocell_count && how_many > 0; ++i) {
            const svf::bureau::Macrocell& mc = chip.macrocells[i];
            if (mc.oe_count == 0) continue;
            for (uint32_t first : mc.pterm)
                for (uint32_t f = first; f < first + chip.pterm_width; ++f) m[f] = 1;
            m[mc.oe[0]] = 1, m[mc.oe[1]] = 0, m[mc.oe[2]] = 0;  // GOE4
            --how_many;
        }
    };
    static FuseMap blank_template, one_pin, erased;
    blank_template = map, one_pin = map;
    drive_empty(blank_template, 64);
    drive_empty(one_pin, 1);
    erased.fill(1);
    EXPECT_EQ(count(svf::check::findings(JedecResult::ok, blank_template, code_1504, info, ""), svf::check::Severity::hazard,
                    "blank"),
              1);
    EXPECT_EQ(count(svf::check::findings(JedecResult::ok, one_pin, code_1504, info, ""), svf::check::Severity::hazard, ""), 0);
    EXPECT_EQ(count(svf::check::findings(JedecResult::ok, erased, code_1504, info, ""), svf::check::Severity::hazard, ""), 0);
    // The picture marks the pins the hazard concerns.
    const std::string svg = svf::show::svg(blank_template, code_1504, info,
                                           svf::check::findings(JedecResult::ok, blank_template, code_1504, info, ""), "t.jed");
    EXPECT_NE(svg.find("data-finding=\"1\""), std::string::npos);
}

// The picture's structure: the device named, every pin of the package once,
// coloured by use (the JTAG pins as JTAG), the findings listed; the
// ATF1508AS without pins.
TEST(Show, PicturesNameTheDeviceAndEveryPin) {
    const struct {
        const char* file;
        const char* device;
        int pins;
    } cases[] = {{"jtag/atf1504as-neogeo-plcc44.jed", "ATF1504AS", 44},
                 {"jtag/atf1502as-snes-dejitter-a.jed", "ATF1502AS", 44},
                 {"atf1508as-harrowm-Simple030-rosco.jed", "ATF1508AS", 0}};
    for (const auto& c : cases) {
        std::FILE* f = std::fopen(data(c.file).c_str(), "rb");
        ASSERT_NE(f, nullptr);
        int32_t code = 0;
        JedecInfo info;
        const JedecResult r = read_jedec(f, map, code, info, Devices::family);
        std::fclose(f);
        const std::string svg = svf::show::svg(map, code, info, svf::check::findings(r, map, code, info, ""), c.file);
        EXPECT_NE(svg.find(std::string("<title>") + c.device), std::string::npos) << c.file;
        int pins = 0, jtag = 0;
        for (std::size_t at = svg.find("class=\"pin\""); at != std::string::npos; at = svg.find("class=\"pin\"", at + 1)) {
            ++pins;
            jtag += svg.compare(svg.find("data-use=", at), 15, "data-use=\"JTAG\"") == 0;
        }
        EXPECT_EQ(pins, c.pins) << c.file;
        EXPECT_EQ(jtag, c.pins ? 4 : 0) << c.file;
        EXPECT_NE(svg.find("class=\"finding\""), std::string::npos) << c.file;
        EXPECT_EQ(svg.rfind("</svg>"), svg.size() - 7) << c.file;
    }
}

// Two files: the pins and macrocells whose fuses differ outlined, the words
// that differ listed; the same file twice: nothing.
TEST(Show, TwoFilesMarkWhereTheyDiffer) {
    std::FILE* f = std::fopen(data("jtag/atf1504as-neogeo-plcc44.jed").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    int32_t code = 0;
    JedecInfo info;
    read_jedec(f, map, code, info, Devices::family);
    std::fclose(f);
    static FuseMap other;
    other = map;
    const svf::bureau::Macrocell& mc = svf::bureau::atf1504as.macrocells[0];  // MC1, PLCC44 pin 12
    other[mc.pterm[0]] = !other[mc.pterm[0]];
    const std::string same = svf::show::svg(map, code, info, {}, "a.jed", &map, "a.jed");
    const std::string diff = svf::show::svg(map, code, info, {}, "a.jed", &other, "b.jed");
    EXPECT_EQ(same.find("data-differs"), std::string::npos);
    EXPECT_NE(diff.find("data-pin=\"12\" data-use=\"output\" data-differs=\"1\""), std::string::npos);
    EXPECT_NE(diff.find("data-mc=\"MC1\" data-differs=\"1\""), std::string::npos);
    EXPECT_NE(diff.find("1 fuses in 1 words"), std::string::npos);
    EXPECT_NE(same.find("0 fuses in 0 words"), std::string::npos);
}
