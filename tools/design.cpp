#include "tools/design.hpp"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>

#include "fusemap/device.hpp"
#include "jtag/chip/texts.hpp"
#include "tools/svf.hpp"

namespace vr::svf {

namespace {

bool ends_in(const std::string& path, const char* tail) {
    std::string lower;
    for (char c : path) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t n = std::strlen(tail);
    return lower.size() > n && lower.compare(lower.size() - n, n, tail) == 0;
}

}  // namespace

bool is_xsvf(const std::string& path) { return ends_in(path, ".xsvf"); }

bool is_svf(const std::string& path) {
    if (ends_in(path, ".svf")) return true;
    if (is_xsvf(path)) return false;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    char head[64] = {};
    const std::size_t n = std::fread(head, 1, sizeof head - 1, f);
    std::fclose(f);
    std::string word;
    std::size_t i = 0;
    while (i < n && std::isspace(static_cast<unsigned char>(head[i]))) ++i;
    if (i < n && (head[i] == '!' || (head[i] == '/' && i + 1 < n && head[i + 1] == '/'))) return true;
    while (i < n && std::isalpha(static_cast<unsigned char>(head[i])))
        word += static_cast<char>(std::toupper(static_cast<unsigned char>(head[i++])));
    static const std::set<std::string> commands = {"ENDDR", "ENDIR", "FREQUENCY", "HDR", "HIR", "PIO", "PIOMAP", "RUNTEST",
                                                   "SDR", "SIR", "STATE", "TDR", "TIR", "TRST"};
    return commands.count(word) != 0;
}

Design read_design(const std::string& path, FuseMap& map, Form form) {
    Design d;
    const bool xsvf = form == Form::xsvf || (form == Form::guess && is_xsvf(path));
    if (form == Form::guess && !xsvf && !is_svf(path)) {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (!f) return d;
        d.result = read_jedec(f, map, d.code, d.info, Devices::family);
        std::fclose(f);
        return d;
    }
    d.from_svf = true;
    d.form = xsvf ? "XSVF" : "SVF";
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return d;
    std::string text;
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) return d;
    Trace trace;
    std::vector<std::string> warnings;
    std::string error;
    std::vector<std::size_t> offsets;
    if (xsvf) {
        std::string svf;
        if (!xsvf_to_svf(text, svf, offsets, error)) {
            d.result = JedecResult::format_error;
            d.refusal = error;
            return d;
        }
        text.swap(svf);
    }
    if (!trace_svf(text, trace, error) || !trace_to_map(trace, map, d.code, error, warnings)) {
        // An XSVF's refusal names the byte where its instruction stands.
        int line = 0;
        if (xsvf && std::sscanf(error.c_str(), "line %d: ", &line) == 1 && line > 0 &&
            static_cast<std::size_t>(line) < offsets.size())
            error = "byte " + std::to_string(offsets[static_cast<std::size_t>(line)]) + error.substr(error.find(':'));
        d.result = JedecResult::format_error;
        d.refusal = error;
        return d;
    }
    d.result = JedecResult::ok;
    d.part = jtag::chip_name(jtag::chip_kind_of(static_cast<uint32_t>(trace.idcode)));
    // The words of the last erase's programming, as trace_to_map took them.
    std::set<int> words;
    for (const Step& s : trace.steps) {
        if (s.kind == Step::erase) words.clear();
        if (s.kind == Step::program) words.insert(s.address);
    }
    d.info.computed_checksum = fuse_checksum(map, d.code);
    const bool protect = map[device_of(d.code).special.first] == 0;
    d.summary = std::string("from ") + d.form + ": " + d.part + ", " + std::to_string(words.size()) + " words programmed, read protection: " +
                (protect ? "yes" : "no");
    return d;
}

}  // namespace vr::svf
