// vrjtag-jed: checks a JEDEC file the way the programmer reads it, and
// rewrites a file the way the programmer writes one.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/options.hpp"
#include "fusemap/jedec.hpp"
#include "tools/check.hpp"
#include "tools/design.hpp"
#include "tools/show.hpp"
#include "tools/svf.hpp"

namespace {

const char synopsis[] =
    "usage: vrjtag-jed inspect FILE\n"
    "       vrjtag-jed check [--device PART] FILE\n"
    "       vrjtag-jed show FILE [OTHER] OUT.svg\n"
    "       vrjtag-jed rewrite IN OUT\n"
    "       vrjtag-jed diff A B\n"
    "       vrjtag-jed svf write|secure|verify [--device DEVICE] IN.jed OUT.svf\n"
    "       vrjtag-jed svf erase DEVICE OUT.svf\n"
    "       vrjtag-jed svf2jed IN.svf OUT.jed\n"
    "       vrjtag-jed xsvf write|secure|verify [--device DEVICE] IN.jed OUT.xsvf\n"
    "       vrjtag-jed xsvf erase DEVICE OUT.xsvf\n"
    "       vrjtag-jed xsvf2jed IN.xsvf OUT.jed\n"
    "The devices: ATF1502AS, ATF1504AS and ATF1508AS, and their 3.3 V parts\n"
    "ATF1502ASV, ATF1504ASV and ATF1508ASV (vrjtag-cli programs every one of them on\n"
    "the direct route; the adapter protocol serves the ATF1504 and ATF1508).\n";

// The commands, with their operands, and the one option.
constexpr vr::Option table[] = {
    {"inspect", "FILE",
     "prints the device, the fuse count, the file's C field and the computed checksum, the fuses at 0 and at 1, "
     "and warnings about read protection and the JTAG pin bit (exit 0 when the tools accept the file, 1 when it "
     "is refused)."},
    {"check", "FILE",
     "looks for what the design would do to a board or its owner before it reaches a chip, one finding a line: "
     "hazards (the JTAG pins given to the design, a fuse count or --device that does not match), warnings (read "
     "protection set, test vectors, a checksum that does not match, fuses left to an F1 default) and notes on what "
     "was not checked. Exit 0 nothing found, 1 warnings only, 3 a hazard, 2 the file cannot be read."},
    {"show", "FILE [OTHER] OUT.svg",
     "draws the chip as FILE would make it, as an SVG picture: the package with every pin coloured by use "
     "(output, input or unused, dedicated input, JTAG, power), with its number and macrocell; the macrocells of "
     "each logic block, used or not; the global settings; check's findings, marked on the pins they concern. The "
     "ATF1508AS (no public fuse database) shows its settings and findings only. With OTHER (a file of the same "
     "device, a verify failure's READ say), the pins and macrocells whose fuses differ are outlined and the words "
     "that differ listed. Exit 1 when a file is refused or OUT cannot be written."},
    {"rewrite", "IN OUT",
     "reads IN and writes OUT exactly as the programmer writes a chip it has read (exit 1 when IN is refused or "
     "OUT cannot be written)."},
    {"diff", "A B",
     "lists the fuse numbers whose values differ between two accepted files of the same device, one per line "
     "with both values (exit 0 when there are none, 1 when there are, 2 when a file is refused or the devices "
     "differ)."},
    {"svf", "ACTION IN.jed OUT.svf",
     "writes the programming flow of the direct route (vrjtag-cli --probe) for the action as an SVF file, for "
     "any SVF player (openocd -c \"svf -tap atf15xx.tap OUT.svf\"): write: erase, program, verify; secure: the "
     "same, then read protection; verify: compare only; erase (with DEVICE in place of IN.jed): erase and blank "
     "check. IN is read and refused as the tools read it (exit 1, nothing written)."},
    {"svf2jed", "IN.svf OUT.jed",
     "the words an SVF file programs (ours or the chip maker's) as a JEDEC file; the device from its IDCODE "
     "check. Exit 1 when it is refused."},
    {"xsvf", "ACTION IN.jed OUT.xsvf",
     "the same sequence as svf, as XSVF (Xilinx's binary form of SVF) for the small players that take no SVF "
     "(openocd -c \"xsvf atf15xx.tap OUT.xsvf\", microcontroller boards): waits in microseconds, never shorter "
     "than the SVF's; the same TDO checks and masks; XREPEAT 0, so a mismatch stops the player with no retry."},
    {"xsvf2jed", "IN.xsvf OUT.jed", "reads an XSVF file back as svf2jed reads an SVF file (exit 1 when it is refused)."},
    {"--device", "DEVICE",
     "with check: the part the chip is. With svf or xsvf write, secure or verify: the part the file is for. A JEDEC file cannot tell the 5 V part from "
     "the 3.3 V one (default the 5 V part: ATF1502AS, ATF1504AS or ATF1508AS)."},
};

vr::Options options("vrjtag-jed", table, synopsis);

bool known(int32_t code) { return code == vr::code_1502 || code == vr::code_1504 || code == vr::code_1508; }

const char* reason(vr::JedecResult r, int32_t code) { return vr::jedec_refusal(r, code, vr::Devices::family); }

vr::FuseMap map, second;

vr::JedecResult load(const char* path, int32_t& code, vr::JedecInfo& info) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return vr::JedecResult::read_error;
    const vr::JedecResult r = vr::read_jedec(f, map, code, info, vr::Devices::family);
    std::fclose(f);
    return r;
}

int check_file(const char* path, const char* device) {
    int32_t code = 0;
    vr::JedecInfo info;
    const vr::JedecResult r = load(path, code, info);
    if (r == vr::JedecResult::read_error || !known(code)) {
        std::printf("refused: %s\n", reason(r, code) ? reason(r, code) : "JEDEC file read error");
        return 2;
    }
    std::printf("device: %s\n", vr::device_of(code).name);
    int status = 0;
    for (const vr::svf::check::Finding& f : vr::svf::check::findings(r, map, code, info, device ? device : "")) {
        std::printf("%s\n", vr::svf::check::line_of(f).c_str());
        if (f.severity == vr::svf::check::Severity::hazard) status = 3;
        else if (f.severity == vr::svf::check::Severity::warning && status < 1) status = 1;
    }
    if (status == 0 && r != vr::JedecResult::ok && r != vr::JedecResult::checksum_error) {
        std::printf("refused: %s\n", reason(r, code));
        return 2;
    }
    return status;
}

int inspect(const char* path) {
    int32_t code = 0;
    vr::JedecInfo info;
    const vr::JedecResult r = load(path, code, info);
    const char* why = reason(r, code);
    const vr::Device& d = vr::device_of(code);
    std::printf("device: %s\n", known(code) ? d.name : "unknown");
    if (known(code)) {
        int32_t zeros = 0, ones = 0;
        for (int32_t i = 0; i < d.fuse_count; ++i) (map[i] == 1 ? ones : zeros)++;
        std::printf("fuses: %d\n", d.fuse_count);
        if (info.has_checksum)
            std::printf("file checksum: %04X\n", info.file_checksum);
        else
            std::printf("file checksum: none\n");
        std::printf("computed checksum: %04X\n", info.computed_checksum);
        std::printf("fuses at 0: %d\nfuses at 1: %d\n", zeros, ones);
    }
    if (why) {
        std::printf("refused: %s\n", why);
        return 1;
    }
    for (const std::string& w : vr::svf::special_warnings(map, code)) std::printf("%s\n", w.c_str());
    if (code == vr::code_1502)
        std::printf("the adapter protocol does not serve this device: program it with vrjtag-cli --probe (or --openocd), or vrjtag-jed svf write and an SVF player\n");
    std::printf("accepted\n");
    return 0;
}

// Writes out through a temporary file beside it, renamed into place only
// when complete: a refused input or a failed write leaves nothing behind.
template <class Write>
int write_file(const char* out, Write write) {
    const std::string tmp = std::string(out) + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    const bool ok = f && write(f);
    if (!f || std::fclose(f) != 0 || !ok || std::rename(tmp.c_str(), out) != 0) {
        std::remove(tmp.c_str());
        std::fprintf(stderr, "vrjtag-jed: cannot write %s\n", out);
        return 1;
    }
    return 0;
}

int show_file(const char* path, const char* other_path, const char* out) {
    int32_t code = 0, other_code = 0;
    vr::JedecInfo info, other_info;
    if (other_path) {
        const vr::JedecResult r = load(other_path, other_code, other_info);
        if (const char* why = reason(r, other_code); why && r != vr::JedecResult::checksum_error)
            return std::fprintf(stderr, "vrjtag-jed: %s: %s\n", other_path, why), 1;
        second = map;
    }
    const vr::JedecResult r = load(path, code, info);
    if (const char* why = reason(r, code); why && r != vr::JedecResult::checksum_error) {
        std::fprintf(stderr, "vrjtag-jed: %s: %s\n", path, why);
        return 1;
    }
    if (other_path && other_code != code)
        return std::fprintf(stderr, "vrjtag-jed: %s is for another device than %s\n", other_path, path), 1;
    auto base = [](std::string name) {
        if (const std::size_t slash = name.find_last_of("/\\"); slash != std::string::npos) name = name.substr(slash + 1);
        return name;
    };
    const std::string text = vr::svf::show::svg(map, code, info, vr::svf::check::findings(r, map, code, info, ""), base(path),
                                                other_path ? &second : nullptr, other_path ? base(other_path) : "");
    return write_file(out, [&](std::FILE* f) { return std::fwrite(text.data(), 1, text.size(), f) == text.size(); });
}

int svf_export(const char* action, const char* device, const char* in, const char* out, bool xsvf) {
    const std::string a = action;
    vr::svf::Action act;
    if (a == "write") act = vr::svf::Action::write;
    else if (a == "secure") act = vr::svf::Action::secure;
    else if (a == "verify") act = vr::svf::Action::verify;
    else if (a == "erase") act = vr::svf::Action::erase;
    else return options.fail("unknown action " + a);
    int32_t code = 0;
    int8_t kind = -1;
    if (act == vr::svf::Action::erase) {
        if ((kind = vr::svf::kind_of_name(in)) < 0) return std::fprintf(stderr, "vrjtag-jed: unknown device %s\n", in), 2;
        code = vr::svf::code_of(vr::jtag::chip_kinds[kind].layout);
        map.fill(1);
    } else {
        vr::JedecInfo info;
        const vr::JedecResult r = load(in, code, info);
        if (const char* why = reason(r, code)) {
            std::fprintf(stderr, "vrjtag-jed: %s refused: %s\n", in, why);
            return 1;
        }
        kind = device ? vr::svf::kind_of_name(device) : vr::svf::default_kind(code);
        if (kind < 0) return std::fprintf(stderr, "vrjtag-jed: unknown device %s\n", device), 2;
        if (vr::svf::code_of(vr::jtag::chip_kinds[kind].layout) != code) {
            std::fprintf(stderr, "vrjtag-jed: %s is a file for the %s, not the %s\n", in, vr::device_of(code).name,
                         device);
            return 1;
        }
    }
    // As the programmer prepares the expected map for the action.
    vr::force_special(map, code);
    if (act == vr::svf::Action::secure) map[vr::read_protection_fuse(code)] = 0;
    return write_file(out, [&](std::FILE* f) {
        return xsvf ? vr::svf::export_xsvf(f, act, map, kind) : vr::svf::export_svf(f, act, map, kind, in);
    });
}

int svf2jed(const char* in, const char* out, vr::svf::Form form) {
    const vr::svf::Design d = vr::svf::read_design(in, map, form);
    if (d.result == vr::JedecResult::read_error) return std::fprintf(stderr, "vrjtag-jed: cannot read %s\n", in), 1;
    if (!d.refusal.empty()) return std::fprintf(stderr, "vrjtag-jed: %s refused: %s\n", in, d.refusal.c_str()), 1;
    for (const std::string& w : vr::svf::special_warnings(map, d.code)) std::fprintf(stderr, "vrjtag-jed: %s\n", w.c_str());
    std::printf("%s\n", d.summary.c_str());
    return write_file(out, [&](std::FILE* o) { return vr::write_jedec(o, map, d.code); });
}

int rewrite(const char* in, const char* out) {
    int32_t code = 0;
    vr::JedecInfo info;
    const vr::JedecResult r = load(in, code, info);
    const char* why = reason(r, code);
    if (why) {
        std::fprintf(stderr, "vrjtag-jed: %s refused: %s\n", in, why);
        return 1;
    }
    std::FILE* f = std::fopen(out, "wb");
    const bool ok = f && vr::write_jedec(f, map, code);
    if (!f || std::fclose(f) != 0 || !ok) {
        std::fprintf(stderr, "vrjtag-jed: cannot write %s\n", out);
        return 1;
    }
    return 0;
}

int diff(const char* a, const char* b) {
    int32_t code_a = 0, code_b = 0;
    vr::JedecInfo info;
    const vr::JedecResult ra = load(a, code_a, info);
    const char* why = reason(ra, code_a);
    second = map;
    const vr::JedecResult rb = load(b, code_b, info);
    const char* why_b = why ? nullptr : reason(rb, code_b);
    if (why || why_b) {
        std::fprintf(stderr, "vrjtag-jed: %s refused: %s\n", why ? a : b, why ? why : why_b);
        return 2;
    }
    if (code_a != code_b) {
        std::fprintf(stderr, "vrjtag-jed: the files are for different devices\n");
        return 2;
    }
    int differ = 0;
    for (int32_t i = 0; i < vr::device_of(code_a).fuse_count; ++i)
        if (second[i] != map[i]) {
            std::printf("%d %d %d\n", i, second[i], map[i]);
            ++differ;
        }
    return differ ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (const int status = options.read(argc, argv); status >= 0) return status;
    const char* command = options.operand(0);
    if (!command) return options.fail("the command is missing");
    if (!options.word(command)) return options.fail(std::string("unknown command ") + command);
    // The operands the table names for the command.
    int wanted = 0;
    for (const vr::Option& o : table)
        if (o.name == command) wanted = 2 + static_cast<int>(std::count(o.argument.begin(), o.argument.end(), ' '));
    // show's OTHER may be left out.
    if (options.operand_count() != wanted && !(std::string(command) == "show" && options.operand_count() == wanted - 1))
        return options.fail(std::string(command) + ": wrong number of arguments");
    const std::string c = command;
    const char* device = options.value("--device");
    const bool exporting = c == "svf" || c == "xsvf";
    if (device && !(c == "check" || (exporting && std::strcmp(options.operand(1), "erase") != 0)))
        return options.fail("--device is for check, and svf or xsvf write, secure and verify");
    if (device && c == "check" && vr::svf::kind_of_name(device) < 0) return options.fail(std::string("unknown device ") + device);
    if (c == "check") return check_file(options.operand(1), device);
    if (c == "show")
        return options.operand_count() == 4 ? show_file(options.operand(1), options.operand(2), options.operand(3))
                                            : show_file(options.operand(1), nullptr, options.operand(2));
    if (c == "inspect") return inspect(options.operand(1));
    if (c == "rewrite") return rewrite(options.operand(1), options.operand(2));
    if (c == "diff") return diff(options.operand(1), options.operand(2));
    if (exporting) return svf_export(options.operand(1), device, options.operand(2), options.operand(3), c == "xsvf");
    return svf2jed(options.operand(1), options.operand(2), c == "xsvf2jed" ? vr::svf::Form::xsvf : vr::svf::Form::svf);
}
