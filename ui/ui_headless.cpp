// The scripted backend: the operator is a script of steps, and every visible
// change and operator-facing call is written to a transcript, one line each,
// fields separated by a tab. The environment names both files:
// VRJTAG_OPERATOR (the script) and VRJTAG_TRANSCRIPT (created afresh).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ui/backend.hpp"
#include "ui/ui.hpp"

namespace vr::ui::backend {
namespace {

enum class StepKind { tick, press, close, choose, cancel, answer, wait };

struct Step {
    StepKind kind;
    int32_t id = 0;
    std::string text;  // path, answer or awaited text
    std::string line;  // as written, for the transcript
};

std::vector<Step> steps;
std::size_t next_step = 0;
std::FILE* transcript = nullptr;

// Escapes a text for the transcript.
std::string escaped(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

// Writes one transcript line from its fields.
void record(std::initializer_list<std::string_view> fields) {
    if (!transcript) return;
    bool first = true;
    for (std::string_view f : fields) {
        if (!first) std::fputc('\t', transcript);
        first = false;
        std::fwrite(f.data(), 1, f.size(), transcript);
    }
    std::fputc('\n', transcript);
    std::fflush(transcript);
}

std::string num(int32_t v) { return std::to_string(v); }

// "\r" and "\n" in a wait text stand for CR and LF.
std::string unescape_wait(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == 'r' || s[i + 1] == 'n' || s[i + 1] == '\\')) {
            out += s[i + 1] == 'r' ? '\r' : s[i + 1] == 'n' ? '\n' : '\\';
            ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool parse_step(const std::string& line, Step& step) {
    const std::size_t sp = line.find(' ');
    const std::string word = line.substr(0, sp);
    const std::string rest = sp == std::string::npos ? std::string() : line.substr(sp + 1);
    step.line = line;
    if (word == "tick" || word == "press") {
        step.kind = word == "tick" ? StepKind::tick : StepKind::press;
        step.id = std::atoi(rest.c_str());
    } else if (word == "close") {
        step.kind = StepKind::close;
    } else if (word == "choose") {
        step.kind = StepKind::choose;
        step.text = rest;
    } else if (word == "cancel") {
        step.kind = StepKind::cancel;
    } else if (word == "answer") {
        step.kind = StepKind::answer;
        step.text = rest;
    } else if (word == "wait") {
        const std::size_t sp2 = rest.find(' ');
        step.kind = StepKind::wait;
        step.id = std::atoi(rest.substr(0, sp2).c_str());
        step.text = sp2 == std::string::npos ? std::string() : unescape_wait(rest.substr(sp2 + 1));
    } else {
        return false;
    }
    return true;
}

void load_script(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) {
        std::fprintf(stderr, "vrjtag-headless: cannot read operator script %s\n", path);
        std::exit(2);
    }
    std::string line;
    int c;
    auto flush_line = [&] {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Step s;
        if (!line.empty() && line[0] != '#') {
            if (parse_step(line, s))
                steps.push_back(std::move(s));
            else
                std::fprintf(stderr, "vrjtag-headless: unknown step ignored: %s\n", line.c_str());
        }
        line.clear();
    };
    while ((c = std::fgetc(f)) != EOF) {
        if (c == '\n')
            flush_line();
        else
            line += static_cast<char>(c);
    }
    flush_line();
    std::fclose(f);
}

const Step* peek_step() { return next_step < steps.size() ? &steps[next_step] : nullptr; }

void take_step() {
    record({"operator", escaped(steps[next_step].line)});
    ++next_step;
}

}  // namespace

void init() {
    const char* script = std::getenv("VRJTAG_OPERATOR");
    const char* out = std::getenv("VRJTAG_TRANSCRIPT");
    if (!script || !*script || !out || !*out) {
        std::fprintf(stderr, "vrjtag-headless: set VRJTAG_OPERATOR to the operator script and "
                             "VRJTAG_TRANSCRIPT to the transcript file\n");
        std::exit(2);
    }
    steps.clear();
    next_step = 0;
    load_script(script);
    transcript = std::fopen(out, "wb");  // the same bytes on every platform
    if (!transcript) {
        std::fprintf(stderr, "vrjtag-headless: cannot create transcript %s\n", out);
        std::exit(2);
    }
}

void window_open(int32_t options, std::string_view title) { record({"WindowOpen", num(options), escaped(title)}); }
int32_t loaded_dialog = 0;

void dialog_load(const DialogDesc& d) {
    loaded_dialog = d.id;
    record({"WDialogLoad", num(d.id)});
}
void dialog_show(int32_t type) { record({"WDialogShow", num(type)}); }
void dialog_unload() {
    loaded_dialog = 0;
    record({"WDialogUnload"});
}
void put_string(int32_t field, std::string_view text) { record({"WDialogPutString", num(field), escaped(text)}); }
void check_changed(int32_t field, int32_t state) { record({"check", num(field), num(state)}); }
void field_state_changed(int32_t field, int32_t state) { record({"field", num(field), num(state)}); }
void progress_range(int32_t field, int32_t minimum, int32_t maximum) {
    record({"range", num(field), num(minimum), num(maximum)});
}
void progress_position(int32_t field, int32_t position) { record({"progress", num(field), num(position)}); }

void peek(int32_t& type, int32_t& value1) {
    type = -1;
    value1 = -1;
    const Step* s = peek_step();
    if (!s) {
        // A script that ends while a dialog waits for a choice would
        // leave it waiting for ever: that operator has closed the window.
        if (is_choice_dialog(loaded_dialog)) type = msg_close;
        return;
    }
    switch (s->kind) {
    case StepKind::tick: {
        const int32_t id = s->id;
        take_step();
        ui::operator_toggled(id);
        return;
    }
    case StepKind::press:
        type = msg_button;
        value1 = s->id;
        take_step();
        return;
    case StepKind::close:
        type = msg_close;
        take_step();
        return;
    case StepKind::wait:
        if (ui::field_text(s->id).find(s->text) != std::string_view::npos) take_step();
        return;
    default:  // choose, cancel and answer wait for the file selection
        return;
    }
}

void idle() {}

bool exact_names() { return false; }

bool choose_file(Selection& sel, char* path, std::size_t size) {
    record({"WSelectFile", num(sel.options), escaped(sel.filter_text), escaped(sel.title)});
    const Step* s = peek_step();
    if (!s || (s->kind != StepKind::choose && s->kind != StepKind::cancel)) return false;
    const bool chosen = s->kind == StepKind::choose;
    if (chosen) std::snprintf(path, size, "%s", s->text.c_str());
    take_step();
    return chosen;
}

bool ask(std::string_view question) {
    bool yes = false;
    const Step* s = peek_step();
    if (s && s->kind == StepKind::answer) {
        yes = s->text == "yes";
        take_step();
    }
    record({"question", escaped(question), yes ? "yes" : "no"});
    return yes;
}

void notice(std::string_view text) { record({"notice", escaped(text)}); }

void selection_result(bool confirmed, std::string_view path) {
    if (confirmed)
        record({"selected", escaped(path)});
    else
        record({"cancelled"});
}

void message_box(std::string_view text, std::string_view title) {
    record({"WMessageBox", escaped(title), escaped(text)});
}

void close() {
    record({"WindowClose"});
    if (transcript) std::fclose(transcript);
    transcript = nullptr;
}

}  // namespace vr::ui::backend
