// The connection window (vrjtag --connect): how the programmer reaches the
// chip, chosen from the serial ports found, the probe profiles, or an
// OpenOCD configuration file; tried with Test (scan's chain and link test,
// or the adapter's answer) and kept in jtag.ini with Save.
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "control/connect_sequence.hpp"
#include "control/probe_route.hpp"
#include "control/scan.hpp"
#include "jtag/probe/profiles.hpp"
#include "link/protocol.hpp"
#include "link/serial.hpp"
#include "os/output.hpp"
#include "os/ports.hpp"
#include "ui/dialogs.hpp"
#include "ui/ui.hpp"

namespace vr {
namespace {

struct Choice {
    std::string label;  // as the box shows it
    std::string line;   // jtag.ini's first line for it
    std::string port;   // an adapter's port, whose Test asks the adapter
};

constexpr int32_t config_button = 261, result_field = 262, test_button = 263, save_button = 264;

std::vector<Choice> choices_found() {
    std::vector<Choice> c;
    const std::vector<os::SerialPort> ports = os::serial_ports();
    // Two boxes a port, the profiles after them, the last box for a file.
    const std::size_t room = (connect_choices - 1 - jtag::probe_profiles.size()) / 2;
    for (std::size_t i = 0; i < ports.size() && i < room; ++i) {
        const os::SerialPort& p = ports[i];
        const std::string what = p.what.empty() ? "" : " (" + p.what + ")";
        c.push_back({p.name + ": adapter" + what, p.name, p.path});
        c.push_back({p.name + ": Nano in probe mode", "probe=nano:" + p.path, ""});
    }
    for (const jtag::ProbeProfile& p : jtag::probe_profiles) {
        // The profile's description up to its first detail, to fit a box.
        std::string what = p.what;
        what = what.substr(0, what.find_first_of(":(,;"));
        while (!what.empty() && what.back() == ' ') what.pop_back();
        if (what.size() > 32) what = what.substr(0, 31) + "...";
        if (c.size() + 1 < static_cast<std::size_t>(connect_choices))
            c.push_back({std::string(p.name) + ": " + what, std::string("probe=") + p.name, ""});
    }
    return c;
}

// Writes jtag.ini: the choice's line first; an existing file's device=,
// speed= and openocd= lines kept after a probe= line.
std::string save(const Choice& c) {
    const std::string path = config_file();
    if (path.empty()) return "Save failed: no place for jtag.ini";
    std::vector<std::string> old;
    config_lines(old);
    std::string text = c.line + "\r\n";
    if (c.line.rfind("probe=", 0) == 0)
        for (std::size_t i = 1; i < old.size(); ++i)
            for (const char* key : {"device=", "speed=", "openocd="})
                if (old[i].rfind(key, 0) == 0) text += old[i] + "\r\n";
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    auto write = [](std::FILE* f, void* t) {
        const std::string& s = *static_cast<const std::string*>(t);
        return std::fwrite(s.data(), 1, s.size(), f) == s.size();
    };
    if (!os::output_open(path.c_str()) || !os::output_write(write, &text)) return "Save failed: cannot write " + path;
    return "Saved in " + path + ": " + c.line;
}

// An adapter on a serial port: the port opened and the adapter asked what
// chip it has, as a run starts.
std::string test_adapter(const Choice& c) {
    use_port(c.port);
    MsgBuf buf;
    int32_t status = 1;
    initcom(buf, status);
    std::string text;
    if (status != 0) {
        text = std::string(shown(text_of(buf)));
    } else {
        exit48();
        MsgBuf reply;
        init48(0, reply);
        exit48();
        const char k = reply[0];
        text = k == ' ' || (k >= '0' && k <= '9')
                   ? "the adapter on " + c.port + " answers (chip type code " + (k == ' ' ? '0' : k) + ")"
                   : "no adapter answers on " + c.port;
    }
    comclose();
    use_port("");
    return text;
}

// A probe route: scan's chain and link test, as vrjtag-cli scan prints them.
std::string test_probe(const Choice& c) {
    ProbeRoute route;
    std::string why;
    if (!route_from_config({c.line}, route, why)) return "not a probe: " + c.line;
    if (!why.empty()) return why;
    std::string out;
    set_scan_output([&](const std::string& s) { out += s; });
    const int status = on_probe(
        route,
        [&](jtag::Probe& probe, jtag::VppSwitch&, jtag::OpenocdProbe* openocd) {
            return openocd ? scan_openocd(*openocd, route.tap, !route.probes.empty()) : scan_pins(probe);
        },
        [&](const std::string& s) { out += s + "\n"; });
    set_scan_output(nullptr);
    out += status == 0 ? "Test passed" : "Test failed";
    return out;
}

std::string with_line_breaks(const std::string& s) {
    std::string t;
    for (char ch : s) {
        if (ch == '\n') t += "\r\n";
        else t += ch;
    }
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    return t;
}

}  // namespace

void connect_sequence() {
    WInitialise();
    WindowOpen(128, "vrjtag connection");
    WDialogLoad(connect_dialog);
    WDialogShow(3);
    std::vector<Choice> choices = choices_found();
    const int32_t file_box = connect_first_choice + connect_choices - 1;
    std::vector<std::string> lines;
    const std::string current = config_lines(lines) && !lines.empty() ? lines[0] : "";
    int32_t chosen = -1;  // the choice ticked, its place
    for (int32_t i = 0; i < connect_choices; ++i) {
        const int32_t box = connect_first_choice + i;
        if (i < static_cast<int32_t>(choices.size())) {
            WDialogPutString(box, choices[static_cast<std::size_t>(i)].label);
            if (choices[static_cast<std::size_t>(i)].line == current) chosen = i, WDialogPutCheckBox(box, 1);
        } else if (box != file_box) {
            WDialogFieldState(box, 3);
        }
    }
    // The last box: a configuration file, the one in jtag.ini if it names one.
    Choice file{"", "", ""};
    if (chosen < 0 && current.rfind("probe=", 0) == 0) {
        file = {current.substr(6), current, ""};
        WDialogPutString(file_box, file.label);
        WDialogPutCheckBox(file_box, 1);
        chosen = connect_choices - 1;
    } else {
        WDialogFieldState(file_box, 3);
    }
    WDialogPutString(result_field, current.empty() ? "jtag.ini names no port or probe yet."
                                                   : "jtag.ini reads: " + current);
    auto chosen_choice = [&]() -> const Choice* {
        if (chosen == connect_choices - 1) return &file;
        return chosen >= 0 && chosen < static_cast<int32_t>(choices.size()) ? &choices[static_cast<std::size_t>(chosen)]
                                                                           : nullptr;
    };
    for (;;) {
        int32_t type = 0;
        Message record{};
        WMessagePeek(type, record);
        if (type == msg_close || record[1] == 215) break;
        if (type == msg_none) {
            WIdle();
            // One box at a time: a box ticked unticks the one before.
            for (int32_t i = 0; i < connect_choices; ++i) {
                int32_t s = 0;
                WDialogGetCheckBox(connect_first_choice + i, s);
                if (s == 1 && i != chosen) {
                    if (chosen >= 0) WDialogPutCheckBox(connect_first_choice + chosen, 0);
                    chosen = i;
                } else if (s == 0 && i == chosen) {
                    chosen = -1;
                }
            }
            continue;
        }
        if (type != msg_button) continue;
        if (record[1] == config_button) {
            FileName name{};
            WSelectFile("OpenOCD configuration|*.cfg|", 42, name, "vrjtag - choose an OpenOCD configuration file");
            if (WInfoDialog(4) != 1) continue;
            file = {std::string(shown(name)), "probe=" + std::string(shown(name)), ""};
            WDialogFieldState(file_box, 1);
            WDialogPutString(file_box, file.label);
            if (chosen >= 0) WDialogPutCheckBox(connect_first_choice + chosen, 0);
            WDialogPutCheckBox(file_box, 1);
            chosen = connect_choices - 1;
        } else if (record[1] == test_button || record[1] == save_button) {
            const Choice* c = chosen_choice();
            if (!c) {
                WDialogPutString(result_field, "Choose a port or a probe first.");
            } else if (record[1] == save_button) {
                WDialogPutString(result_field, save(*c));
            } else {
                WDialogPutString(result_field, "Testing " + c->line + " .....");
                WDialogPutString(result_field, with_line_breaks(c->port.empty() ? test_probe(*c) : test_adapter(*c)));
            }
        }
    }
    WindowClose();
}

}  // namespace vr
