// The FLTK backend: real windows built from the dialog tables.
//
// Dialog units become pixels from the dialog font's average character width
// and height (x unit = width / 4, y unit = height / 8). The main window is
// created and never shown. A dialog's close box or Escape gives a button
// message with id 2.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Window.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ui/backend.hpp"
#include "ui/message_queue.hpp"
#include "ui/ui.hpp"

namespace vr::ui::backend {
namespace {

constexpr Fl_Font dialog_font = FL_HELVETICA_BOLD;
constexpr int dialog_font_size = 14;  // a little under 12 points, so that the dialogs fit small screens

struct Widget {
    int32_t id = 0;
    ControlKind kind{};
    Fl_Widget* w = nullptr;
    std::string label;  // the shown text, CR LF turned into line breaks
};

Fl_Window* main_window = nullptr;
Fl_Double_Window* dialog = nullptr;
std::array<Widget, max_controls> widgets;
std::size_t widget_count = 0;
double unit_x = 2.0, unit_y = 2.0;

MessageQueue queue;

void enqueue(int32_t type, int32_t value1) { queue.push(type, value1); }

Widget* find(int32_t id) {
    for (std::size_t i = 0; i < widget_count; ++i)
        if (widgets[i].id == id) return &widgets[i];
    return nullptr;
}

std::string label_text(std::string_view text) {
    std::string s;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (text[i] == '@') s += '@';  // FLTK symbol escape
        s += text[i];
    }
    return s;
}

void button_cb(Fl_Widget*, void* id) { enqueue(msg_button, static_cast<int32_t>(reinterpret_cast<intptr_t>(id))); }
void check_cb(Fl_Widget* w, void* id) {
    const int32_t field = static_cast<int32_t>(reinterpret_cast<intptr_t>(id));
    int32_t shown_state = static_cast<Fl_Check_Button*>(w)->value() ? 1 : 0;
    int32_t model_state = 0;
    WDialogGetCheckBox(field, model_state);
    if (shown_state != model_state) ui::operator_toggled(field);
}
void dialog_close_cb(Fl_Widget*, void*) { enqueue(msg_button, 2); }
void main_close_cb(Fl_Widget*, void*) { enqueue(msg_close, -1); }

void repaint(Fl_Widget* w) {
    w->redraw();
    Fl::flush();
}

}  // namespace

void init() {
    Fl::scheme("gtk+");
    if (const char* plain = std::getenv("VRJTAG_PLAIN_CHOOSER"); plain && *plain == '1')
        Fl::option(Fl::OPTION_FNFC_USES_GTK, false);
    fl_font(dialog_font, dialog_font_size);
    const char sample[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    const double avg = fl_width(sample) / 52.0;
    unit_x = avg / 4.0;
    unit_y = fl_height() / 8.0;
    fl_message_font(dialog_font, dialog_font_size - 2);
    fl_close = "OK";
}

void window_open(int32_t, std::string_view title) {
    main_window = new Fl_Window(200, 100);
    main_window->copy_label(std::string(title).c_str());
    main_window->callback(main_close_cb);
    main_window->end();  // hidden: it only owns the dialogs
}

void dialog_load(const DialogDesc& d) {
    const int w = static_cast<int>(d.cx * unit_x + 0.5), h = static_cast<int>(d.cy * unit_y + 0.5);
    dialog = new Fl_Double_Window((Fl::w() - w) / 2, (Fl::h() - h) / 2, w, h);
    dialog->copy_label(d.caption);
    dialog->callback(dialog_close_cb);
    widget_count = 0;
    for (const Control& c : d.controls) {
        if (widget_count == widgets.size()) break;
        const int x = static_cast<int>(c.x * unit_x + 0.5), y = static_cast<int>(c.y * unit_y + 0.5);
        const int cw = static_cast<int>(c.cx * unit_x + 0.5), ch = static_cast<int>(c.cy * unit_y + 0.5);
        Widget& wd = widgets[widget_count++];
        wd = Widget{c.id, c.kind, nullptr, label_text(c.text)};
        void* id = reinterpret_cast<void*>(static_cast<intptr_t>(c.id));
        switch (c.kind) {
        case ControlKind::static_one_line:
        case ControlKind::static_lines: {
            auto* b = new Fl_Box(FL_DOWN_BOX, x, y, cw, ch, nullptr);
            b->align(FL_ALIGN_CENTER | FL_ALIGN_INSIDE | FL_ALIGN_WRAP | FL_ALIGN_CLIP);
            wd.w = b;
            break;
        }
        case ControlKind::check_box: {
            auto* b = new Fl_Check_Button(x, y, cw, ch, nullptr);
            b->callback(check_cb, id);
            wd.w = b;
            break;
        }
        case ControlKind::push_button: {
            auto* b = new Fl_Button(x, y, cw, ch, nullptr);
            b->callback(button_cb, id);
            wd.w = b;
            break;
        }
        case ControlKind::progress_bar: {
            auto* p = new Fl_Progress(x, y, cw, ch);
            p->box(FL_DOWN_BOX);
            p->selection_color(FL_DARK_BLUE);
            p->minimum(0);
            p->maximum(100);
            p->value(0);
            wd.w = p;
            break;
        }
        }
        wd.w->labelfont(dialog_font);
        wd.w->labelsize(c.kind == ControlKind::check_box ? dialog_font_size - 3 : dialog_font_size - 2);
        wd.w->label(wd.label.c_str());
    }
    dialog->end();
}

void dialog_show(int32_t) {
    dialog->show();
    Fl::flush();
}

void dialog_unload() {
    if (!dialog) return;
    dialog->hide();
    Fl::delete_widget(dialog);
    Fl::check();
    dialog = nullptr;
    widget_count = 0;
}

void put_string(int32_t field, std::string_view text) {
    Widget* w = find(field);
    if (!w) return;
    w->label = label_text(text);
    w->w->label(w->label.c_str());
    repaint(w->w);
}

void check_changed(int32_t field, int32_t state) {
    Widget* w = find(field);
    if (w && w->kind == ControlKind::check_box) static_cast<Fl_Check_Button*>(w->w)->value(state);
}

void field_state_changed(int32_t field, int32_t state) {
    Widget* w = find(field);
    if (!w) return;
    if (state == 3) {
        w->w->deactivate();
        w->w->hide();
    } else if (state == 1) {
        w->w->activate();
        w->w->show();
    }
    if (dialog) dialog->redraw();
}

void progress_range(int32_t field, int32_t minimum, int32_t maximum) {
    Widget* w = find(field);
    if (!w) return;
    auto* p = static_cast<Fl_Progress*>(w->w);
    p->minimum(static_cast<float>(minimum));
    p->maximum(static_cast<float>(maximum));
    repaint(p);
}

void progress_position(int32_t field, int32_t position) {
    Widget* w = find(field);
    if (!w) return;
    static_cast<Fl_Progress*>(w->w)->value(static_cast<float>(position));
    repaint(w->w);
}

void peek(int32_t& type, int32_t& value1) {
    if (queue.empty()) Fl::check();
    queue.pop(type, value1);
}

void idle() {
    if (queue.empty()) Fl::wait(0.02);
}

bool exact_names() { return false; }

bool choose_file(Selection& sel, char* path, std::size_t size) {
    Fl_Native_File_Chooser chooser;
    chooser.title(std::string(sel.title).c_str());
    chooser.type(sel.save_type ? Fl_Native_File_Chooser::BROWSE_SAVE_FILE : Fl_Native_File_Chooser::BROWSE_FILE);
    // FLTK writes several patterns as one: "*.jed;*.svf" as "*.{jed,svf}".
    std::string pattern(sel.pattern);
    if (pattern.find(';') != std::string::npos) {
        std::string alternatives;
        for (std::size_t at = 0; at < pattern.size();) {
            std::size_t end = pattern.find(';', at);
            if (end == std::string::npos) end = pattern.size();
            const std::string one = pattern.substr(at, end - at);
            alternatives += (alternatives.empty() ? "" : ",") + one.substr(one.rfind('.') + 1);
            at = end + 1;
        }
        pattern = "*.{" + alternatives + "}";
    }
    const std::string filter = std::string(sel.description) + "\t" + pattern;
    chooser.filter(filter.c_str());
    chooser.options(Fl_Native_File_Chooser::NEW_FOLDER);
    if (dialog) dialog->deactivate();
    const int r = chooser.show();
    if (dialog) dialog->activate();
    if (r != 0 || !chooser.filename()) return false;
    std::snprintf(path, size, "%s", chooser.filename());
    return true;
}

bool ask(std::string_view question) {
    const std::string q = label_text(question);
    return fl_choice("%s", "No", "Yes", nullptr, q.c_str()) == 1;
}

void notice(std::string_view text) {
    const std::string t = label_text(text);
    fl_alert("%s", t.c_str());
}

void selection_result(bool, std::string_view) {}

void message_box(std::string_view text, std::string_view title) {
    const std::string t = label_text(text), ti(title);
    fl_message_title(ti.c_str());
    fl_message_icon()->label("i");
    fl_message("%s", t.c_str());
}

void close() {
    dialog_unload();
    if (main_window) {
        Fl::delete_widget(main_window);
        main_window = nullptr;
    }
    Fl::check();
}

}  // namespace vr::ui::backend
