#include "tools/svf.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <string_view>
#include <cstdlib>
#include <cstring>

#include "jtag/chip/chip.hpp"
#include "jtag/probe/svf_probe.hpp"
#include "jtag/probe/xsvf_probe.hpp"
#include "common/bits.hpp"
#include "common/hex.hpp"
#include "jtag/flow/flow.hpp"
#include "jtag/flow/words.hpp"
#include "jtag/chip/texts.hpp"

namespace vr::svf {

int32_t code_of(jtag::Layout layout) { return flow::code_of(layout); }

int8_t kind_of_name(const std::string& name) { return jtag::chip_kind_named(name); }

int8_t default_kind(int32_t code) { return code == code_1508 ? 1 : code == code_1502 ? 4 : 0; }

namespace {

// OpenOCD's SVF player judges captured TDO only in batches of 512 checks, so a
// failed check may be reported only after the steps behind it have run. 512
// more checks behind a check make the player judge it before going on.
constexpr int batch = 512;

// The flow's remarks as SVF comments.
class Recording final : public flow::Watch {
public:
    explicit Recording(jtag::SvfProbe& probe) : probe_(probe) {}
    void checks(int count, const char* guards) override {
        if (count < batch) return;
        probe_.comment(std::string("IDCODE check, ") + std::to_string(count) + " times: OpenOCD's SVF player judges TDO in");
        probe_.comment(std::string("batches of 512 checks; this makes it judge the check before ") + guards);
    }
    void stage(flow::Stage s) override {
        if (s == flow::Stage::protect) probe_.comment("read protection alone (the word programs only that bit)");
    }

private:
    jtag::SvfProbe& probe_;
};

}  // namespace

namespace {

// The flow of the action recorded on probe, for the chip kind.
void record(jtag::Probe& probe, Action action, const FuseMap& map, int8_t kind, int idcode_checks, flow::Watch& watch) {
    jtag::Chip chip;
    jtag::chip_init(chip, probe);
    chip.kind = kind;
    static const flow::Action actions[] = {flow::Action::write, flow::Action::secure, flow::Action::verify,
                                           flow::Action::erase};
    flow::Plan plan;
    plan.action = actions[static_cast<int>(action)];
    plan.idcode_checks = idcode_checks;
    FuseMap words = map;
    flow::record(chip, plan, words, watch);
}

struct Quiet final : flow::Watch {};

}  // namespace

bool export_svf(std::FILE* out, Action action, const FuseMap& map, int8_t kind, const std::string& source) {
    static const char* names[] = {"write", "secure", "verify", "erase"};
    const std::string header = "// SVF file written by vrjtag-jed svf " + std::string(names[static_cast<int>(action)]) +
                               "\n// source: " + source + "\n// device: " + jtag::chip_name(kind) + "\n// action: " +
                               (action == Action::write    ? "erase, program, verify"
                                : action == Action::secure ? "erase, program, verify, then set read protection"
                                : action == Action::verify ? "verify"
                                                           : "erase and blank check") +
                               "\n";
    if (std::fputs(header.c_str(), out) < 0) return false;
    jtag::SvfProbe probe(out);
    Recording recording(probe);
    record(probe, action, map, kind, batch, recording);
    return probe.ok() && std::fflush(out) == 0;
}

bool export_xsvf(std::FILE* out, Action action, const FuseMap& map, int8_t kind) {
    // An XSVF player judges every check as it comes: one IDCODE check is enough.
    jtag::XsvfProbe probe(out);
    Quiet quiet;
    record(probe, action, map, kind, 1, quiet);
    return probe.finish() && std::fflush(out) == 0;
}

namespace {

// One SVF statement's words, lower case, hex groups in parentheses kept as
// one word.
void tokens(std::string_view statement, std::vector<std::string>& t) {
    t.clear();
    std::string cur;
    bool paren = false;
    for (char c : statement) {
        if (c == '(') {
            if (!cur.empty()) t.push_back(cur), cur.clear();
            paren = true;
        } else if (c == ')') {
            t.push_back(cur), cur.clear();
            paren = false;
        } else if (std::isspace(static_cast<unsigned char>(c))) {
            if (!paren && !cur.empty()) t.push_back(cur), cur.clear();
        } else {
            cur += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    if (!cur.empty()) t.push_back(cur);
}

uint64_t hex_value(const std::string& h) {
    uint64_t v = 0;
    for (char c : h) v = v * 16 + static_cast<uint64_t>(hex_digit(c));
    return v;
}

bool is_hex(const std::string& h) {
    for (char c : h)
        if (hex_digit(c) < 0) return false;
    return !h.empty();
}

// Normalises hex to `bits` bits: upper case, (bits + 3) / 4 digits; false
// when it holds more than that (bits above the scan set).
bool fit(std::string& h, int bits) {
    const std::size_t n = static_cast<std::size_t>((bits + 3) / 4);
    const std::size_t zeros = h.find_first_not_of('0');
    h.erase(0, zeros == std::string::npos ? h.size() : zeros);
    if (h.size() > n) return false;
    h.insert(0, n - h.size(), '0');
    for (char& c : h) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (bits % 4 && hex_digit(h[0]) >> (bits % 4)) return false;
    return true;
}

// The longest scans taken: an instruction of up to 64 bits, a data scan of a
// flash word (326 bits) or of another register on the chain, with a margin.
constexpr long max_ir_bits = 64;
constexpr long max_dr_bits = 4096;
// The longest wait taken from one RUNTEST, in seconds.
constexpr double max_wait_s = 3600;

}  // namespace

bool trace_svf(const std::string& text, Trace& trace, std::string& error) {
    // Comments ("//" or "!") run to the end of the line.
    std::string clean;
    clean.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t comment = text.find_first_of("!/", i);
        while (comment != std::string::npos && text[comment] == '/' && text.compare(comment, 2, "//") != 0)
            comment = text.find_first_of("!/", comment + 1);
        if (comment == std::string::npos) comment = text.size();
        clean.append(text, i, comment - i);
        if (comment == text.size()) break;
        const std::size_t eol = text.find('\n', comment);
        if (eol == std::string::npos) break;
        clean += '\n';
        i = eol + 1;
    }
    int ir = -1;
    bool erase_latched = false;
    int address = -1;
    std::string latch;
    int latch_bits = 0;
    std::map<int, std::string> last_tdi;  // by length, for an SDR without TDI
    Step* pulse = nullptr;                // the step the next RUNTEST belongs to
    std::size_t start = 0;
    std::vector<std::string> t;
    int line = 1;       // where the statement starts
    int next_line = 1;  // the line of clean[start]
    auto refuse = [&](const std::string& why) {
        error = "line " + std::to_string(line) + ": " + why;
        return false;
    };
    auto lines_in = [&](std::size_t from, std::size_t to) {
        int n = 0;
        for (const char* p = clean.data() + from, *e = clean.data() + to;
             (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(e - p)))) != nullptr; ++p)
            ++n;
        return n;
    };
    for (std::size_t end; (end = clean.find(';', start)) != std::string::npos; start = end + 1) {
        const std::size_t first = std::min(clean.find_first_not_of(" \t\r\n", start), end);
        line = next_line + lines_in(start, first);
        next_line += lines_in(start, end + 1);
        tokens(std::string_view(clean).substr(start, end - start), t);
        if (t.empty()) continue;
        const std::string& cmd = t[0];
        if (cmd == "sir" || cmd == "sdr") {
            if (t.size() < 2) return refuse("a scan without a length");
            char* stop = nullptr;
            const long length = std::strtol(t[1].c_str(), &stop, 10);
            const long most = cmd == "sir" ? max_ir_bits : max_dr_bits;
            if (!stop || *stop || length <= 0 || length > most)
                return refuse("a scan of " + t[1] + " bits (from 1 to " + std::to_string(most) + " are taken)");
            const int bits = static_cast<int>(length);
            std::string tdi, tdo;
            for (std::size_t k = 2; k + 1 < t.size(); k += 2) {
                if (t[k] == "tdi" || t[k] == "tdo" || t[k] == "mask" || t[k] == "smask") {
                    if (!is_hex(t[k + 1])) return refuse("bad hex in a scan");
                    if (!fit(t[k + 1], bits)) return refuse(t[k] + " holds more than the scan's " + t[1] + " bits");
                }
                if (t[k] == "tdi") tdi = t[k + 1];
                if (t[k] == "tdo") tdo = t[k + 1];
            }
            if (cmd == "sir") {
                if (tdi.empty()) return refuse("SIR without TDI");
                if (bits != jtag::ir_length)
                    return refuse("an instruction scan of " + t[1] + " bits (these chips' instructions have " +
                                  std::to_string(jtag::ir_length) + "; other devices on the chain are not taken)");
                ir = static_cast<int>(hex_value(tdi));
                pulse = nullptr;
                if (ir == jtag::ir_latch_erase) {
                    erase_latched = true;
                } else if (ir == jtag::ir_program_erase) {
                    if (erase_latched) {
                        trace.steps.push_back({Step::erase, -1, "", 0, 0, line});
                    } else {
                        if (address < 0 || latch.empty()) return refuse("a program pulse with no word loaded");
                        trace.steps.push_back({Step::program, address, latch, 0, latch_bits, line});
                    }
                    pulse = &trace.steps.back();
                    erase_latched = false;
                } else if (ir == jtag::ir_read) {
                    trace.steps.push_back({Step::read, address, "", 0});
                    pulse = &trace.steps.back();
                } else {
                    erase_latched = false;
                }
                continue;
            }
            if (tdi.empty()) tdi = last_tdi[bits];
            last_tdi[bits] = tdi;
            pulse = nullptr;
            // The registers of fixed length: a scan of another length is no
            // programming sequence of these chips.
            const int fixed = ir == jtag::ir_address ? jtag::address_bits
                              : ir == jtag::ir_config ? jtag::config_bits
                              : ir == jtag::ir_idcode ? jtag::idcode_bits
                                                      : 0;
            if (fixed && bits != fixed)
                return refuse("a data scan of " + t[1] + " bits of a " + std::to_string(fixed) + "-bit register");
            if (ir == jtag::ir_config && hex_value(tdi) == jtag::config_leave) {
                trace.steps.push_back({Step::leave, -1, "", 0});
                pulse = &trace.steps.back();
            }
            if (ir == jtag::ir_idcode && !tdo.empty()) trace.idcode = static_cast<int64_t>(hex_value(tdo));
            if (ir == jtag::ir_address) address = static_cast<int>(hex_value(tdi));
            if (ir >= jtag::ir_data0 && ir <= jtag::ir_data0 + 3) {
                if (bits > jtag::max_word_bits)
                    return refuse("a data scan of " + std::to_string(bits) + " bits, longer than any word of these chips (" +
                                  std::to_string(jtag::max_word_bits) + ")");
                latch = tdi;
                latch_bits = bits;
                // A read's expected value: the check of the read step before it.
                if (!tdo.empty() && !trace.steps.empty() && trace.steps.back().kind == Step::read &&
                    trace.steps.back().word.empty())
                    trace.steps.back().word = tdo;
            }
        } else if (cmd == "state" && t.size() > 1 && t[1] == "reset") {
            // Resets with no scan between them are one.
            if (!pulse || pulse->kind != Step::reset) {
                trace.steps.push_back({Step::reset, -1, "", 0});
                pulse = &trace.steps.back();
            }
        } else if (cmd == "runtest" && pulse) {
            // RUNTEST [state] [n TCK|SCK] [t SEC] ...: the SEC value.
            for (std::size_t k = 1; k + 1 < t.size(); ++k) {
                if (t[k + 1] != "sec") continue;
                char* stop = nullptr;
                const double seconds = std::strtod(t[k].c_str(), &stop);
                if (!stop || *stop || !(seconds >= 0 && seconds <= max_wait_s))
                    return refuse("a wait of " + t[k] + " s (up to " + std::to_string(static_cast<int>(max_wait_s)) + " are taken)");
                pulse->wait_us += static_cast<uint64_t>(seconds * 1e6 + 0.5);
            }
        }
    }
    return true;
}

bool trace_to_map(const Trace& trace, FuseMap& map, int32_t& code, std::string& error,
                  std::vector<std::string>& warnings) {
    const int8_t kind = trace.idcode >= 0 ? jtag::chip_kind_of(static_cast<uint32_t>(trace.idcode)) : -1;
    if (kind < 0) {
        char b[64];
        std::snprintf(b, sizeof b, "IDCODE 0x%08llX", static_cast<unsigned long long>(trace.idcode));
        error = trace.idcode < 0 ? "the file checks no IDCODE"
                                 : std::string("the file checks ") + b + ", not an ATF1502AS/ATF1504AS/ATF1508AS";
        return false;
    }
    const jtag::Layout layout = jtag::chip_kinds[kind].layout;
    code = code_of(layout);
    // The words programmed since the last erase (a word programmed twice
    // holds the AND of both: programming only clears bits).
    using Word = std::array<uint8_t, jtag::max_word_bytes + 1>;
    std::map<int, Word> words;
    bool erased = false;
    for (const Step& s : trace.steps) {
        if (s.kind == Step::erase) words.clear(), erased = true;
        if (s.kind != Step::program) continue;
        if (!erased)
            return error = "line " + std::to_string(s.line) + ": a word is programmed before the chip is erased", false;
        const uint16_t bits = s.address >= 0 && s.address < 0x800 ? jtag::word_bits(layout, static_cast<uint16_t>(s.address)) : 0;
        if (bits != 0 && s.bits != bits) {
            char b[120];
            std::snprintf(b, sizeof b, "line %d: word %03X loaded by a scan of %d bits (the %s's word has %u)", s.line,
                          s.address, s.bits, jtag::chip_name(kind), static_cast<unsigned>(bits));
            return error = b, false;
        }
        Word w{};
        if (bits == 0 || !word_from_field(s.word.c_str(), static_cast<uint8_t>(s.word.size()), bits, w.data())) {
            char b[80];
            std::snprintf(b, sizeof b, "the file programs word %03X, which the %s does not have", s.address,
                          jtag::chip_name(kind));
            return error = b, false;
        }
        const auto [it, fresh] = words.emplace(s.address, w);
        if (!fresh)
            for (std::size_t i = 0; i < w.size(); ++i) it->second[i] &= w[i];
    }
    if (words.empty()) return error = "the file programs no word of the chip", false;
    // A word never programmed is erased: all its fuses 1, as the map starts.
    map.fill(1);
    for (const auto& [address, w] : words) flow::map_from_word(map, layout, static_cast<uint16_t>(address), w.data());
    clear_reserved(map, code);
    warnings = special_warnings(map, code);
    return true;
}

std::vector<std::string> special_warnings(const FuseMap& map, int32_t code) {
    std::vector<std::string> w;
    const int32_t first = device_of(code).special.first;
    if (map[first] == 0) w.push_back("warning: read protection is set: the chip cannot be read back afterwards");
    if (map[first + 1] == 0)
        w.push_back("warning: the JTAG pin bit is cleared: the chip's JTAG pins become user I/O at the next "
                    "power-up, and only 12 V on OE1 brings JTAG back");
    return w;
}

}  // namespace vr::svf
