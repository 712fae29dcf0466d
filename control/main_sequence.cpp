#include <string>
#include <vector>

#include "common/progress.hpp"
#include "control/direct_sequence.hpp"
#include "control/probe_route.hpp"
#include "control/run.hpp"
#include "link/protocol.hpp"
#include "link/serial.hpp"
#include "ui/ui.hpp"

namespace vr {

RunState run;

namespace {

constexpr std::string_view main_title = "Varnholme Research ATF1504/ATF1508 JTAG Programmer v04";
constexpr std::string_view filter = "Jedec files|*.jed|";
// The direct route also takes the SVF (or XSVF) file a project ships.
constexpr std::string_view design_filter = "Jedec or SVF files|*.jed;*.svf;*.xsvf|";

void reset_selection() {
    for (int32_t box = 211; box <= 214; ++box) WDialogPutCheckBox(box, 0);
    WDialogFieldState(216, 3);
    run.action = 0;
}

// One of four: ticking a box unticks the others and shows Continue; with no
// box ticked Continue is hidden.
void poll_check_boxes() {
    int32_t count = 0;
    for (int32_t k = 1; k <= 4; ++k) {
        int32_t s = 0;
        WDialogGetCheckBox(210 + k, s);
        count += s;
        if (s == 1 && run.action != k) {
            for (int32_t other = 1; other <= 4; ++other)
                if (other != k) WDialogPutCheckBox(210 + other, 0);
            WDialogFieldState(216, 1);
            run.action = k;
        }
    }
    if (count == 0) {
        WDialogFieldState(216, 3);
        run.action = 0;
    }
}

// True when a file was chosen; false when the run is to end (cancelled).
// designs: the filter of the files to write or verify.
bool choose_action_and_file(std::string_view designs = filter) {
    for (;;) {
        reset_selection();
        for (;;) {
            int32_t type = 0;
            Message record{};
            WMessagePeek(type, record);
            if (type == msg_close || record[1] == 215) {
                put_text(run.status_buf, "Action Cancelled...exiting");
                return false;
            }
            // Continue counts only with an action chosen: a press made before
            // the reset hid the button is any other message.
            if (record[1] == 216 && run.action != 0) break;
            if (type == msg_none) {
                WIdle();
                poll_check_boxes();
            }
        }
        blank(run.file_name);
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

// The direct route, when jtag.ini names a probe instead of a port: the same
// action dialog and file selection, then the programming flow on that probe
// (OpenOCD started and stopped for the run), and one final message box.
void direct_route(const ProbeRoute& route, const std::string& why) {
    std::string final_text = why.empty() ? std::string() : why + ", abort";
    if (why.empty() && choose_action_and_file(design_filter)) {
        WDialogUnload();
        static const flow::Action actions[] = {flow::Action::write, flow::Action::secure, flow::Action::read,
                                               flow::Action::verify};
        DirectChoice choice;
        choice.action = actions[run.action - 1];
        choice.file = std::string(shown(run.file_name));
        choice.device = route.device;
        choice.ask = true;  // a file with a hazard only on the operator's yes
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
    WDialogLoad(201);
    WDialogShow(3);
    std::vector<std::string> lines;
    ProbeRoute route;
    std::string why;
    if (config_lines(lines) && route_from_config(lines, route, why)) return direct_route(route, why);
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
