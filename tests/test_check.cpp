// vrjtag-jed check: a table of crafted files, one per hazard and warning,
// and every sample file without a false hazard.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "fusemap/device.hpp"
#include "tests/helpers.hpp"
#include "tools/check.hpp"

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
        if (c.severity == svf::check::Severity::warning) EXPECT_EQ(count(fs, svf::check::Severity::hazard, ""), 0) << c.name;
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
            EXPECT_EQ(count(fs, svf::check::Severity::warning, ""), 0) << e.path();
        }
    EXPECT_GE(files, 6);
}
