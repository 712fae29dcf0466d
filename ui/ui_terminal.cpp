// The terminal backend: the action and the file come from the command line,
// the progress dialog is a line on the terminal (a bar that redraws in place)
// or, when the output is no terminal, one plain line per stage.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ui/backend.hpp"
#include "ui/terminal.hpp"
#include "ui/ui.hpp"

namespace vr::ui::terminal {
namespace {

volatile sig_atomic_t cancel_requested = 0;
int32_t chosen_action = 0;
std::string chosen_file;
bool replace_ok = false;
std::string final_text;

}  // namespace

void set_choice(int32_t action, const std::string& file, bool replace) {
    chosen_action = action;
    chosen_file = file;
    replace_ok = replace;
}

void request_cancel() { cancel_requested = 1; }

int exit_status() {
    return final_text == "WRITE & VERIFY SUCCESS" || final_text == "VERIFY SUCCESS" ||
                   final_text == "READ & SAVE SUCCESS" || final_text == "ERASE SUCCESS" ||
                   final_text == "BLANK CHECK SUCCESS" || final_text == "RECOVER SUCCESS"
               ? 0
               : 1;
}

}  // namespace vr::ui::terminal

namespace vr::ui::backend {
namespace {

using clock = std::chrono::steady_clock;
using namespace vr::ui::terminal;

bool tty = false;
int32_t loaded = 0;
bool ticked = false, pressed = false, cancel_shown = false;
std::vector<std::string> id_lines;  // identification lines already printed
std::string stage;                  // the current step, on one line
int32_t range_max = 0;
int32_t position = 0;
clock::time_point started;
bool bar_drawn = false;

// Writes to standard output; a closed pipe counts as Cancel.
void out(const std::string& s) {
    if (std::fputs(s.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        request_cancel();
        std::clearerr(stdout);
    }
}

// Lines of a text, split at CR LF (or LF), trailing blanks dropped.
std::vector<std::string> lines_of(std::string_view text) {
    std::vector<std::string> lines;
    std::string cur;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (c == '\n') {
            lines.push_back(cur), cur.clear();
            continue;
        }
        cur += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;  // no control characters
    }
    lines.push_back(cur);
    for (std::string& l : lines)
        while (!l.empty() && l.back() == ' ') l.pop_back();
    return lines;
}

std::string clock_text(double seconds) {
    const long s = std::min(static_cast<long>(seconds + 0.5), 359999L);
    char b[48];
    std::snprintf(b, sizeof b, "%02ld:%02ld", s / 60, s % 60);
    return b;
}

void end_bar() {
    if (bar_drawn) out("\n");
    bar_drawn = false;
}

// The bar line: stage, bar, percent, elapsed and remaining time.
void draw_bar() {
    if (!tty || range_max <= 0) return;
    const double frac = std::min(1.0, std::max(0.0, static_cast<double>(position) / range_max));
    const double elapsed = std::chrono::duration<double>(clock::now() - started).count();
    const std::string left = frac > 0.01 ? clock_text(elapsed / frac - elapsed) : "--:--";
    constexpr int width = 24;
    const int full = static_cast<int>(frac * width + 1e-9);
    std::string label = stage.size() > 34 ? stage.substr(0, 33) + "~" : stage;
    label.resize(34, ' ');
    char pct[8];
    std::snprintf(pct, sizeof pct, "%3d%%", static_cast<int>(frac * 100 + 1e-9));
    out("\r" + label + " [" + std::string(static_cast<std::size_t>(full), '#') +
        std::string(static_cast<std::size_t>(width - full), '.') + "] " + pct + " " + clock_text(elapsed) + " elapsed, " +
        left + " left\x1b[K");
    bar_drawn = true;
}

void say(const std::string& line) {
    end_bar();
    out(line + "\n");
}

}  // namespace

void init() {
    tty = ::isatty(STDOUT_FILENO) == 1;
    started = clock::now();
}
void window_open(int32_t, std::string_view) {}
void dialog_load(const DialogDesc& d) { loaded = d.id; }
void dialog_show(int32_t) {}
void dialog_unload() { loaded = 0; }

void put_string(int32_t field, std::string_view text) {
    if (field == 1008) {
        say(lines_of(text)[0]);
    } else if (field == 1009) {
        // The identification text grows line by line: print what is new.
        const std::vector<std::string> lines = lines_of(text);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (i < id_lines.size() && id_lines[i] == lines[i]) continue;
            if (!lines[i].empty()) say(lines[i]);
        }
        id_lines = lines;
    } else if (field == 1010) {
        const std::vector<std::string> lines = lines_of(text);
        if (tty) {
            stage.clear();
            for (const std::string& l : lines) {
                std::string t = l;
                while (!t.empty() && t.front() == ' ') t.erase(0, 1);
                while (!t.empty() && t.back() == '.') t.pop_back();
                if (!t.empty()) stage += (stage.empty() ? "" : " ") + t;
            }
            draw_bar();
        } else {
            for (const std::string& l : lines) out(l + "\n");
        }
    }
}

void check_changed(int32_t, int32_t) {}
void field_state_changed(int32_t, int32_t) {}
void progress_range(int32_t, int32_t, int32_t maximum) {
    range_max = maximum;
    started = clock::now();
}
void progress_position(int32_t, int32_t pos) {
    position = pos;
    draw_bar();
}

void peek(int32_t& type, int32_t& value1) {
    type = -1;
    value1 = -1;
    if (cancel_requested) {
        // Shown once per poll: the Cancel button of the progress dialog, or
        // the window closed while the action is still being chosen.
        cancel_shown = !cancel_shown;
        if (!cancel_shown) return;
        if (loaded == action_dialog) {
            type = msg_close;
        } else {
            type = msg_button;
            value1 = 1012;
        }
        return;
    }
    if (loaded != action_dialog) return;
    if (!ticked) {
        ticked = true;
        ui::operator_toggled(210 + chosen_action);
    } else if (!pressed) {
        pressed = true;
        type = msg_button;
        value1 = 216;
    } else {
        type = msg_close;  // the file was refused: nothing more to choose
    }
}

void idle() { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }

bool choose_file(Selection&, char* path, std::size_t size) {
    std::snprintf(path, size, "%s", chosen_file.c_str());
    return !chosen_file.empty();
}

bool exact_names() { return true; }

bool ask(std::string_view question) {
    // Replacing an existing READ output was allowed on the command line
    // (--force); creating a missing input file is never what was meant.
    return replace_ok && question.find("replace") != std::string_view::npos;
}

void notice(std::string_view text) {
    end_bar();
    for (const std::string& l : lines_of(text)) std::fprintf(stderr, "vrjtag-cli: %s\n", l.c_str());
}

void selection_result(bool, std::string_view) {}

void message_box(std::string_view text, std::string_view) {
    final_text = std::string(text);
    end_bar();
    for (const std::string& l : lines_of(text)) out(l + "\n");
}

void close() { std::fflush(stdout); }

}  // namespace vr::ui::backend
