#include "control/direct_sequence.hpp"
#include "control/scan.hpp"

#include <cstdio>
#include <string>

#include "common/text.hpp"
#include "control/verify_regions.hpp"
#include "fusemap/jedec.hpp"
#include "jtag/chip/texts.hpp"
#include "jtag/flow/words.hpp"
#include "tools/check.hpp"
#include "tools/design.hpp"
#include "ui/backend.hpp"
#include "ui/ui.hpp"

namespace vr {
namespace {

constexpr std::string_view title = "Varnholme Research ATF15xx JTAG Programmer (direct)";

MsgBuf buf_of(std::string_view text) {
    MsgBuf b;
    put_text(b, text);
    return b;
}

void show(int32_t field, const std::string& text) { WDialogPutString(field, text_of(buf_of(text))); }

using jtag::hex32;



// The flow's progress on the progress dialog; Cancel through checkstop.
class Dialog final : public flow::Watch {
public:
    explicit Dialog(MsgBuf& status) : status_(status) {}
    void stage(flow::Stage s) override {
        static const char* texts[] = {"Erasing fuse map from chip.....", "Writing fuse map to chip....",
                                      "  Reading fuse map..........", "Setting read protection....."};
        show(1010, texts[static_cast<int>(s)]);
    }
    void advance(int32_t units) override { WDialogPutProgressBar(1011, units, 1); }
    bool cancelled() override { return checkstop(status_) != 0; }

private:
    MsgBuf& status_;
};

bool reads_file(flow::Action a) { return a == flow::Action::write || a == flow::Action::secure || a == flow::Action::verify; }

// Loads a JEDEC file of any part of the family, or an SVF or XSVF file (the fuses
// it programs, its part from its IDCODE check, what was taken shown); "" or
// the refusal.
std::string load(const std::string& name, FuseMap& map, int32_t& code, std::string& svf_part) {
    const svf::Design d = svf::read_design(name, map);
    code = d.code;
    if (!d.refusal.empty()) return std::string(d.form) + " file refused: " + d.refusal + ", abort";
    if (d.result == JedecResult::read_error) return "JEDEC file read error, abort";
    if (const char* refusal = jedec_refusal(d.result, code, Devices::family)) return std::string(refusal) + ", abort";
    if (d.from_svf) show(1009, d.summary), svf_part = d.part;
    return {};
}

// Where a failed run left the chip, for the final text.
std::string chip_left(const flow::Outcome& o) {
    return o.left_programming ? "the chip was taken out of programming mode"
                              : "the chip may still be in programming mode: power the board off and on";
}

// What the flow's outcome says to the operator: "" when it is done.
std::string outcome_text(const flow::Outcome& o, flow::Action action, MsgBuf& status) {
    char detail[120];
    switch (o.kind) {
    case flow::Outcome::done: return {};
    case flow::Outcome::cancelled:
        return o.left_programming ? std::string(text_of(status)) : std::string(text_of(status)) + " (" + chip_left(o) + ")";
    case flow::Outcome::probe_failed: return std::string("the probe failed: ") + o.failure + "; " + chip_left(o) + ", abort";
    case flow::Outcome::wrong_chip:
        return "the IDCODE check in programming mode failed (" + std::string(o.failure) +
               "): nothing was changed; " + chip_left(o) + ", abort";
    case flow::Outcome::unconfirmed:
        return "not every word was read back equal: read protection was not set; " + chip_left(o) + ", abort";
    case flow::Outcome::differs:
        std::snprintf(detail, sizeof detail, "word %03X read back with %u bit%s differing (lowest: bit %u)", o.address,
                      o.bits_differ, o.bits_differ == 1 ? "" : "s", o.first_bit);
        show(1010, detail);
        return o.left_programming ? std::string(verify_failure_at(o.address))
                                  : std::string(verify_failure_at(o.address)) + " (" + chip_left(o) + ")";
    case flow::Outcome::not_blank:
        std::snprintf(detail, sizeof detail, "word %03X is not erased (%u bit%s programmed)", o.address, o.bits_differ,
                      o.bits_differ == 1 ? "" : "s");
        return std::string(action == flow::Action::erase ? "ERASE FAILED: " : "BLANK CHECK FAILED: ") + detail +
               (o.left_programming ? "" : "; " + chip_left(o));
    }
    return "the flow ended unexpectedly, abort";
}

// What a VPP switch that did not turn off leaves behind.
constexpr std::string_view vpp_stuck = "12 V may still be on OE1: unplug the probe";

std::string recover_under_vpp(const DirectChoice& c, jtag::Probe& probe, MsgBuf& status, FuseMap& map, bool& vpp_on);
std::string check_before_writing(const DirectChoice& c);

// Recovery of a chip whose JTAG pins its design turned off: VPP (about
// 12 V on OE1) on while the chip is identified, as the part named (its
// IDCODE cannot be read before VPP), and erased; then VPP off, and the chip
// must answer and read blank without it. "" when it did; else the final
// text. VPP is off on every way out. A file to write afterwards is checked
// first: one that turns the JTAG pins off is refused. map is the run's
// fuse map, used here as working space.
std::string recover(const DirectChoice& c, jtag::Probe& probe, MsgBuf& status, FuseMap& map) {
    // Everything that can be checked without the chip, before 12 V.
    const int8_t named = jtag::chip_kind_named(c.device);
    if (named < 0) return "recover needs --device with the chip's part (ATF1504AS, ATF1508ASV, ...), abort";
    if (!c.file.empty()) {
        int32_t code = 0;
        std::string svf_part;
        show(1010, "Reading JEDEC file:  " + c.file);
        const std::string refusal = load(c.file, map, code, svf_part);
        if (!refusal.empty()) return refusal;
        if (code != flow::code_of(jtag::chip_kinds[named].layout))
            return std::string("the file is for the ") + device_of(code).name + ", not the " + c.device +
                   " named by --device: nothing was switched on or erased, abort";
        if (map[jtag_pin_fuse(code)] == 0)
            return "the file turns the chip's JTAG pins off (fuse " + std::to_string(jtag_pin_fuse(code)) +
                   " is 0): vrjtag never clears that bit, and the chip would need recovering again; "
                   "refit the design keeping JTAG, abort";
        // The file's other hazards, before 12 V.
        if (const std::string stop = check_before_writing(c); !stop.empty()) return stop;
    }
    if (!c.vpp || !c.vpp->can_vpp())
        return "recover needs a probe that switches 12 V onto OE1: --probe nano with its VPP switch, or "
               "--probe ft232h-vpp; nothing was done";
    bool vpp_on = false;
    std::string text = recover_under_vpp(c, probe, status, map, vpp_on);
    // VPP off on every way out, and said when it would not go off.
    if (vpp_on && !c.vpp->vpp(false))
        text = (text.empty() ? std::string("RECOVER FAILED") : text) + "; " + std::string(vpp_stuck);
    return text;
}

// recover's steps from VPP on; vpp_on says whether VPP may be on.
std::string recover_under_vpp(const DirectChoice& c, jtag::Probe& probe, MsgBuf& status, FuseMap& map, bool& vpp_on) {
    show(1010, "VPP on: 12 V on OE1.....");
    vpp_on = true;
    if (!c.vpp->vpp(true)) return std::string("VPP did not switch on (") + probe.failure_text() + "), abort";
    // Let OE1 settle at VHH before the first scan.
    if (!probe.idle(50000) || !probe.flush()) return std::string("the probe failed: ") + probe.failure_text() + ", abort";
    show(1010, "Checking chip type (VPP on).....");
    jtag::Chip chip;
    jtag::chip_init(chip, probe);
    const jtag::IdResult id = jtag::chip_identify(chip);
    if (id != jtag::id_found) return identification_problem(chip, id) + " (with VPP on): nothing was erased, abort";
    const jtag::ChipKind& kind = jtag::chip_kinds[chip.kind];
    const std::string name = jtag::chip_name(chip.kind);
    show(1009, name + " found with VPP on (IDCODE " + hex32(chip.idcode) + ")");
    if (c.device != name) return name + " found, not the " + c.device + " named by --device: nothing was erased, abort";
    const int32_t code = flow::code_of(kind.layout);
    map.fill(1);
    force_special(map, code);
    WDialogRangeProgressBar(1011, 0, 20 + flow::units(flow::Action::blank, kind.layout));
    WDialogPutProgressBar(1011, 10, 0);
    // The erase alone under VPP: the blank check follows without it.
    flow::Plan plan;
    plan.action = flow::Action::erase;
    plan.read_back = false;
    Dialog dialog(status);
    std::string failed = outcome_text(flow::run(chip, plan, map, dialog), plan.action, status);
    if (!failed.empty()) return "RECOVER FAILED: " + failed;
    show(1010, "VPP off: the chip must answer without it.....");
    if (!c.vpp->vpp(false))
        return std::string("RECOVER FAILED: VPP did not switch off (") + probe.failure_text() + "); " +
               std::string(vpp_stuck);
    vpp_on = false;
    if (!probe.idle(10000) || !probe.flush()) return std::string("the probe failed: ") + probe.failure_text() + ", abort";
    jtag::chip_init(chip, probe);
    const jtag::IdResult again = jtag::chip_identify(chip);
    if (again != jtag::id_found || jtag::chip_name(chip.kind) != name)
        return "RECOVER FAILED: erased with VPP on, but without it the chip does not answer as the " + c.device + " (" +
               identification_problem(chip, again) + ")";
    plan.action = flow::Action::blank;
    plan.read_back = true;
    failed = outcome_text(flow::run(chip, plan, map, dialog), plan.action, status);
    if (!failed.empty()) return "RECOVER FAILED: " + failed;
    return {};
}

// A file about to be written, checked before anything reaches the chip:
// its findings shown; a hazard ends the run (the failure's text) unless the
// operator forced or, in the window, accepted it. "" to go on.
std::string check_before_writing(const DirectChoice& c) {
    std::vector<svf::check::Finding> found;
    // The part named by --device is the route's own check (after loading, before
    // anything is switched on or erased), with its own words.
    if (!svf::check::findings_of_file(c.file, "", found)) return {};  // the load says why
    std::string shown_lines, hazard, kind;
    for (const svf::check::Finding& finding : found) {
        if (finding.severity == svf::check::Severity::note) continue;
        shown_lines += (shown_lines.empty() ? "" : "\r\n") + svf::check::line_of(finding);
        if (finding.severity == svf::check::Severity::hazard && hazard.empty()) hazard = finding.text, kind = finding.kind;
    }
    if (!shown_lines.empty()) show(1009, shown_lines);
    if (hazard.empty() || c.force) return {};
    if (c.ask && ui::backend::ask("The file has a hazard for the board:\r\n" + hazard + "\r\n\r\nWrite it anyway?"))
        return {};
    return "File hazard (" + kind + "): nothing was written" +
           (c.ask ? std::string() : std::string("; --force writes it anyway")) + ", abort";
}

// The action's final text, or "" to go on.
std::string run_action(const DirectChoice& c, jtag::Probe& probe, MsgBuf& status) {
    static FuseMap map;  // 74 KB: kept off the stack
    const bool writes = c.action == flow::Action::write || c.action == flow::Action::secure;
    if (writes && !c.file.empty() && !c.recover) {  // a recovery checks its file before 12 V
        const std::string stop = check_before_writing(c);
        if (!stop.empty()) return stop;
    }
    if (c.recover) {
        const std::string r = recover(c, probe, status, map);
        if (!r.empty()) return r;
        if (c.file.empty()) return "RECOVER SUCCESS";
        show(1009, "Recovered: the chip answers without VPP and is blank.");
    }
    int32_t code = 0;
    std::string svf_part;  // an SVF's part: the chip must be it
    if (reads_file(c.action)) {
        show(1010, "Reading JEDEC file:  " + c.file);
        const std::string refusal = load(c.file, map, code, svf_part);
        if (!refusal.empty()) return refusal;
        if (svf_part.empty()) show(1009, std::string("JEDEC file type is ") + device_of(code).name);
    } else if (c.action == flow::Action::read) {
        show(1010, "Opening JEDEC file: " + c.file);
        FileName name;
        put_text(name, c.file);
        if (c.file.size() > name_len || !open_output(name)) return "File open error, abort.";
    }
    WDialogPutProgressBar(1011, 0, 0);

    show(1010, "Checking chip type.....");
    jtag::Chip chip;
    jtag::chip_init(chip, probe);
    const jtag::IdResult id = jtag::chip_identify(chip);
    if (id != jtag::id_found) return identification_problem(chip, id) + ", abort";
    const jtag::ChipKind& kind = jtag::chip_kinds[chip.kind];
    const std::string name = jtag::chip_name(chip.kind);
    // The part with its supply: the 3.3 V parts' names end in V.
    show(1009, name + (name.back() == 'V' ? " (3.3 V)" : " (5 V)") + " found (IDCODE " + hex32(chip.idcode) + ")");
    if (!c.device.empty() && c.device != name) return name + " found, not the " + c.device + " named by --device, abort";
    if (!svf_part.empty() && svf_part != name)
        return name + " found, not the " + svf_part + " the SVF file is for: nothing was erased, abort";
    const int32_t chip_code = flow::code_of(kind.layout);
    if (reads_file(c.action) && code != chip_code) {
        show(1009, std::string("...the file is for the ") + device_of(code).name + ", the chip is an " + name +
                       "...mis-matched...aborting!");
        return "File type and chip type mismatch...abort";
    }
    code = chip_code;
    WDialogRangeProgressBar(1011, 0, 10 + flow::units(c.action, kind.layout));
    WDialogPutProgressBar(1011, 10, 0);

    // The fuses as the programmer forces them: JTAG never disabled; read
    // protection only for a secure write.
    if (c.action == flow::Action::read || c.action == flow::Action::erase || c.action == flow::Action::blank) map.fill(1);
    force_special(map, code);
    if (c.action == flow::Action::secure) {
        map[read_protection_fuse(code)] = 0;
        show(1009, "...read-protection will be set.");
    }
    if (checkstop(status)) return std::string(text_of(status));

    flow::Plan plan;
    plan.action = c.action;
    Dialog dialog(status);
    const std::string failed = outcome_text(flow::run(chip, plan, map, dialog), c.action, status);
    if (!failed.empty()) return failed;
    switch (c.action) {
    case flow::Action::write:
    case flow::Action::secure: return "WRITE & VERIFY SUCCESS";
    case flow::Action::verify: return "VERIFY SUCCESS";
    case flow::Action::read: return writej(map, code) ? "READ & SAVE SUCCESS" : "File write error, abort.";
    case flow::Action::erase: return "ERASE SUCCESS";
    case flow::Action::blank: return "BLANK CHECK SUCCESS";
    }
    return {};
}

}  // namespace

void direct_action(const DirectChoice& choice, jtag::Probe& probe, MsgBuf& status) {
    WDialogLoad(101);
    WDialogShow(3);
    if (!choice.file.empty()) show(1008, "JEDEC file:  " + choice.file);
    blank(status);
    const std::string final_text = run_action(choice, probe, status);
    // A READ that saved nothing leaves no empty file behind.
    if (choice.action == flow::Action::read && !choice.recover) drop_output();
    put_text(status, final_text);
    WMessageBox(0, 4, 1, text_of(buf_of(final_text)), "Varnholme Research JTAG Tool");
}

void direct_sequence(const DirectChoice& choice, jtag::Probe& probe) {
    WInitialise();
    WindowOpen(128, title);
    MsgBuf status;
    direct_action(choice, probe, status);
    WindowClose();
}

}  // namespace vr
