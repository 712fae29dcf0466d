#include "tools/check.hpp"

#include <cstdio>

#include "fusemap/device.hpp"
#include "tools/design.hpp"
#include "tools/pins.hpp"

namespace vr::svf::check {
namespace {

const char* base_name(const std::string& part) {
    // ATF1504ASV and ATF1504AS share a fuse map: the file cannot tell them apart.
    if (part.rfind("ATF1502", 0) == 0) return "ATF1502AS";
    if (part.rfind("ATF1504", 0) == 0) return "ATF1504AS";
    if (part.rfind("ATF1508", 0) == 0) return "ATF1508AS";
    return "";
}

}  // namespace

std::vector<Finding> findings(JedecResult r, const FuseMap& map, int32_t code, const JedecInfo& info,
                              const std::string& device_named) {
    std::vector<Finding> out;
    const Device& d = device_of(code);
    if (info.has_fuse_count && info.fuse_count != d.fuse_count)
        out.push_back({Severity::hazard, "the file's fuse count (QF" + std::to_string(info.fuse_count) + ") is not the " +
                                             d.name + "'s (" + std::to_string(d.fuse_count) +
                                             "): the file is damaged or for another device; do not program it",
                       "fuse count"});
    if (!device_named.empty() && base_name(device_named) != std::string(d.name))
        out.push_back({Severity::hazard, std::string("the file is for the ") + d.name + ", not the " + device_named +
                                             ": use the file fitted for that part", "another part"});
    if (r != JedecResult::ok && r != JedecResult::checksum_error) return out;
    const int32_t special = d.special.first;
    if (map[special + 1] == 0)
        out.push_back({Severity::hazard,
                       "JTAG: the design turns the JTAG pins (TCK, TMS, TDI, TDO) into user I/O: its outputs there "
                       "would fight the probe, and after the next power-up only 12 V on OE1 brings JTAG back "
                       "(vrjtag keeps JTAG on and writes the rest); refit the design with the JTAG pins kept "
                       "(\"keep JTAG\", the fitter's JTAG option on)",
                       "JTAG"});
    if (map[special] == 0)
        out.push_back({Severity::warning,
                       "read protection is set in the file: vrjtag sets it only with the secure action (write "
                       "leaves it off); nobody can read or verify the chip once it is set"});
    if (r == JedecResult::checksum_error)
        out.push_back({Severity::warning, "the file's C checksum does not match its fuses: the file may be damaged "
                                          "(vrjtag refuses it); fit the design again"});
    if (info.has_vectors)
        out.push_back({Severity::warning, "the file holds test vectors (V fields): they are ignored, nothing applies them"});
    // Fitters, and the programmer's own READ files, leave the fuses at 0 they
    // do not list (F0, or no F field); ones by default are rare and worth a
    // look: another tool may have read the file with zeros there.
    if (info.defaulted > 0 && info.default_fuse == 1)
        out.push_back({Severity::warning, std::to_string(info.defaulted) +
                                              " fuses are not listed and take the F1 default (1): tools that ignore "
                                              "the F field read them as 0; check that the file is meant so"});
    const bureau::Chip* chip = pins::chip_of(code);
    if (!chip) {
        out.push_back({Severity::note, std::string("the pins and macrocells of the ") + d.name +
                                           " cannot be checked (no public fuse database covers it): only its "
                                           "configuration fuses (JTAG, read protection) were"});
        return out;
    }
    const bureau::Package& package = pins::package_of(*chip, info.package_pins);
    const std::vector<pins::Pin> all = pins::pins_of(map, *chip, package, map[special + 1] == 1);
    // The "blank" template's shape: most I/O pins driven through the global
    // output enables while their macrocells hold no logic. One driven
    // constant is a design's choice; an erased chip's pattern is no design.
    int io = 0, driven_empty = 0;
    std::string driven_list;
    for (const pins::Pin& p : all) {
        if (p.pad[0] != 'M' || p.use == pins::Use::jtag) continue;
        ++io;
        if (p.use == pins::Use::output && p.global_oe && !p.logic) {
            ++driven_empty;
            if (driven_list.size() < 60) driven_list += (driven_list.empty() ? "" : " ") + std::to_string(p.number);
        }
    }
    if (io > 0 && driven_empty >= 8 && driven_empty * 4 >= io * 3)
        out.push_back({Severity::hazard, std::to_string(driven_empty) + " of the " + std::to_string(io) + " I/O pins (" +
                                             package.name + " pins " + driven_list +
                                             (driven_empty > 15 ? " ..." : "") +
                                             ") are driven as outputs by macrocells that hold no logic: the shape "
                                             "of a \"blank\" template that shorts a board; erase the chip instead "
                                             "of writing this file",
                                         "blank template"});
    if (map[chip->tms_termination] == 1 || map[chip->tdi_termination] == 1)
        out.push_back({Severity::warning, std::string("the pull-up of ") +
                                              (map[chip->tms_termination] == 1 && map[chip->tdi_termination] == 1
                                                   ? "TMS and TDI is"
                                                   : map[chip->tms_termination] == 1 ? "TMS is" : "TDI is") +
                                              " off: without pull-ups on the board, a floating TMS or TDI can "
                                              "disturb the TAP"});
    if (map[chip->termination] == 1)
        out.push_back({Severity::warning, "the pin keepers are off: unused inputs float unless the board ties them"});
    for (const char* pd : {"PD1", "PD2"})
        if (map[std::string(pd) == "PD1" ? chip->pd1_func : chip->pd2_func] == 0)
            for (const pins::Pin& p : all)
                if (p.function == pd)
                    out.push_back({Severity::warning, std::string("the power-down pin ") + pd + " (" + package.name +
                                                          " pin " + std::to_string(p.number) +
                                                          ") is in use: the chip sleeps while it is high"});
    out.push_back({Severity::note, std::string("pins as the ") + package.name + " numbers them" +
                                       (info.package_pins < 0 ? " (the file names no package)" : "")});
    return out;
}

bool findings_of_file(const std::string& path, const std::string& device_named, std::vector<Finding>& out) {
    static FuseMap map;  // 74 KB: kept off the stack
    out.clear();
    const Design d = read_design(path, map);
    if (!d.refusal.empty() || d.result == JedecResult::read_error ||
        (jedec_refusal(d.result, d.code, Devices::family) && d.result != JedecResult::format_error &&
         d.result != JedecResult::checksum_error))
        return false;
    out = findings(d.result, map, d.code, d.info, device_named);
    return true;
}

std::string line_of(const Finding& f) {
    const char* word = f.severity == Severity::hazard ? "hazard: " : f.severity == Severity::warning ? "warning: " : "note: ";
    return word + f.text;
}

}  // namespace vr::svf::check
