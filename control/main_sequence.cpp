#include <span>
#include <string>
#include <vector>

#include "common/progress.hpp"
#include "control/direct_sequence.hpp"
#include "control/probe_route.hpp"
#include "control/run.hpp"
#include "link/protocol.hpp"
#include "link/serial.hpp"
#include "ui/backend.hpp"
#include "ui/dialogs.hpp"
#include "ui/ui.hpp"

namespace vr {

RunState run;

namespace {

constexpr std::string_view main_title = "Varnholme Research ATF1504/ATF1508 JTAG Programmer v04";
constexpr std::string_view filter = "Jedec files|*.jed|";
// The direct route also takes the SVF (or XSVF) file a project ships.
constexpr std::string_view design_filter = "Jedec or SVF files|*.jed;*.svf;*.xsvf|";

// The action boxes of the adapter route's dialog; the direct route's adds
// ERASE, BLANK CHECK and RECOVER (actions 5, 6 and 7).
constexpr int32_t adapter_boxes[] = {211, 212, 213, 214};
constexpr int32_t direct_boxes[] = {211, 212, 213, 214, 217, 218, 219};
constexpr int32_t part_boxes[] = {221, 222, 223, 224, 225, 226};

void reset_selection(std::span<const int32_t> boxes, int32_t& chosen) {
    for (int32_t box : boxes) WDialogPutCheckBox(box, 0);
    WDialogFieldState(216, 3);
    chosen = 0;
}

// One of the boxes: ticking a box unticks the others and shows Continue;
// with no box ticked Continue is hidden. chosen: the box's place, from 1.
void poll_check_boxes(std::span<const int32_t> boxes, int32_t& chosen) {
    int32_t count = 0;
    for (std::size_t k = 1; k <= boxes.size(); ++k) {
        int32_t s = 0;
        WDialogGetCheckBox(boxes[k - 1], s);
        count += s;
        if (s == 1 && chosen != static_cast<int32_t>(k)) {
            for (std::size_t other = 1; other <= boxes.size(); ++other)
                if (other != k) WDialogPutCheckBox(boxes[other - 1], 0);
            WDialogFieldState(216, 1);
            chosen = static_cast<int32_t>(k);
        }
    }
    if (count == 0) {
        WDialogFieldState(216, 3);
        chosen = 0;
    }
}

// Waits for a box and Continue: true with chosen set; false when the dialog
// was closed or Cancel pressed.
bool choose_box(std::span<const int32_t> boxes, int32_t& chosen) {
    reset_selection(boxes, chosen);
    for (;;) {
        int32_t type = 0;
        Message record{};
        WMessagePeek(type, record);
        if (type == msg_close || record[1] == 215) return false;
        // Continue counts only with a box chosen: a press made before the
        // reset hid the button is any other message.
        if (record[1] == 216 && chosen != 0) return true;
        if (type == msg_none) {
            WIdle();
            poll_check_boxes(boxes, chosen);
        }
    }
}

// True when a file was chosen; false when the run is to end (cancelled).
// boxes: the dialog's action boxes; designs: the filter of the files to
// write or verify. Actions 5 and 6 (erase, blank check) take no file.
bool choose_action_and_file(std::span<const int32_t> boxes = adapter_boxes, std::string_view designs = filter) {
    for (;;) {
        if (!choose_box(boxes, run.action)) {
            put_text(run.status_buf, "Action Cancelled...exiting");
            return false;
        }
        blank(run.file_name);
        if (run.action >= 5) return true;  // a recovery asks for its file itself
        if (run.action == 3) {
            put_text(run.status_buf, "VRJTAG READ - select a new Jedec file to create");
            WSelectFile(filter, 47, run.file_name, text_of(run.status_buf));
        } else {
            put_text(run.status_buf, "VRJTAG WR/VFY - select an existing Jedec file");
            WSelectFile(designs, 42, run.file_name, text_of(run.status_buf));
        }
        if (WInfoDialog(4) == 1) return true;
    }
}

void end_sequence() {
    pause();
    com_f();
    put_command(run.command_buf, "#8X");
    com_w(run.command_buf, 4);
    WMessageBox(0, 4, 1, text_of(run.status_buf), "Varnholme Research JTAG Tool");
    WindowClose();
    comclose();
}

// The recovery's part (the chip cannot be identified before 12 V is on)
// and, if the operator wants one, the file written afterwards. False when
// cancelled.
bool choose_recovery(DirectChoice& choice) {
    WDialogUnload();
    WDialogLoad(part_dialog);
    WDialogShow(3);
    int32_t chosen = 0;
    if (!choose_box(part_boxes, chosen)) return false;
    // The part is the ticked box's own text.
    for (const Control& c : find_dialog(part_dialog)->controls)
        if (c.id == part_boxes[chosen - 1]) choice.device = c.text;
    choice.file.clear();
    if (!ui::backend::ask("RECOVER the " + choice.device +
                          ": 12 V on OE1 while it is identified and erased.\r\n\r\nWrite a file to it afterwards?"))
        return true;
    blank(run.file_name);
    put_text(run.status_buf, "VRJTAG RECOVER - select the file to write afterwards");
    WSelectFile(design_filter, 42, run.file_name, text_of(run.status_buf));
    if (WInfoDialog(4) != 1) return false;
    choice.file = std::string(shown(run.file_name));
    return true;
}

// The direct route, when jtag.ini names a probe instead of a port: the same
// action dialog and file selection, with erase, blank check and (when the
// probe may switch 12 V) recovery besides; then the programming flow on that
// probe (OpenOCD started and stopped for the run), and one final message box.
void direct_route(const ProbeRoute& route, const std::string& why) {
    std::string final_text = why.empty() ? std::string() : why + ", abort";
    WDialogLoad(direct_dialog);
    WDialogShow(3);
    if (!route_may_switch_vpp(route)) WDialogFieldState(219, 3);
    DirectChoice choice;
    bool chosen = why.empty() && choose_action_and_file(direct_boxes, design_filter);
    if (chosen) {
        static const flow::Action actions[] = {flow::Action::write, flow::Action::secure, flow::Action::read,
                                               flow::Action::verify, flow::Action::erase, flow::Action::blank,
                                               flow::Action::write};
        choice.action = actions[run.action - 1];
        choice.file = std::string(shown(run.file_name));
        choice.device = route.device;
        choice.ask = true;  // a file with a hazard only on the operator's yes
        choice.recover = run.action == 7;
        if (choice.recover) chosen = choose_recovery(choice);
        else if (run.action == 5)
            chosen = ui::backend::ask("ERASE the chip: every fuse of its design is cleared.\r\n\r\nErase it?");
        if (!chosen) put_text(run.status_buf, "Action Cancelled...exiting");
    }
    if (chosen) {
        WDialogUnload();
        bool ran = false;
        std::string said;
        on_probe(
            route,
            [&](jtag::Probe& probe, jtag::VppSwitch& vpp, jtag::OpenocdProbe*) {
                ran = true;
                choice.vpp = &vpp;
                direct_action(choice, probe, run.status_buf);
                return 0;
            },
            [&](const std::string& text) { said += (said.empty() ? "" : "\r\n") + text; });
        if (!ran) final_text = said.empty() ? "the probe could not be opened, abort" : said;
    } else if (why.empty()) {
        final_text = std::string(shown(run.status_buf));
    }
    if (!final_text.empty()) {
        put_text(run.status_buf, final_text);
        WMessageBox(0, 4, 1, text_of(run.status_buf), "Varnholme Research JTAG Tool");
    }
    WindowClose();
}

}  // namespace

// The lower layers' progress moves the progress dialog's bar.
void advance_bar(int32_t amount) { WDialogPutProgressBar(1011, amount, 1); }

void main_sequence() {
    set_progress_sink(advance_bar);
    WInitialise();
    WindowOpen(128, main_title);
    std::vector<std::string> lines;
    ProbeRoute route;
    std::string why;
    if (config_lines(lines) && route_from_config(lines, route, why)) return direct_route(route, why);
    WDialogLoad(action_dialog);
    WDialogShow(3);
    initcom(run.status_buf, run.status);
    if (run.status == 0 && choose_action_and_file()) {
        WDialogUnload();
        WDialogLoad(101);
        WDialogShow(3);
        MsgBuf line;
        put_text(line, "JEDEC file:  ");
        keep_and_append(line, 13, std::string_view(run.file_name.data(), run.file_name.size()));
        WDialogPutString(1008, text_of(line));
        action_sequence(run.action, run.file_name);
    }
    end_sequence();
}

}  // namespace vr
