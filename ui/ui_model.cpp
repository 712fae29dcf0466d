// The windowing operations over a model of the current dialog. The rules
// that do not depend on the toolkit live here: unknown ids change nothing, a
// progress range is accepted only inside 0..65535 with minimum below maximum,
// a position never leaves its range, messages other than -1, 3 and 9 never
// reach the program.
#include <algorithm>
#include <cstring>

#include "ui/backend.hpp"
#include "ui/ui.hpp"

namespace vr {
namespace {

struct FieldModel {
    int32_t id = 0;
    ControlKind kind = ControlKind::static_one_line;
    int32_t check = 0;
    int32_t state = 1;  // 1 shown and enabled, 3 hidden and disabled
    int32_t minimum = 0, maximum = 100, position = 0;
    std::array<char, msg_len> text{};
    std::size_t text_len = 0;
};

constexpr std::size_t max_fields = max_controls;

struct DialogModel {
    const DialogDesc* desc = nullptr;
    std::array<FieldModel, max_fields> fields{};
    std::size_t count = 0;
};

DialogModel current;
int32_t last_selection_status = 0;

FieldModel* find(int32_t id) {
    if (!current.desc) return nullptr;
    for (std::size_t i = 0; i < current.count; ++i)
        if (current.fields[i].id == id) return &current.fields[i];
    return nullptr;
}

void set_text(FieldModel& f, std::string_view text) {
    f.text_len = std::min(text.size(), f.text.size());
    std::memcpy(f.text.data(), text.data(), f.text_len);
}

}  // namespace

namespace ui {

void operator_toggled(int32_t field) {
    FieldModel* f = find(field);
    if (!f || f->kind != ControlKind::check_box) return;
    f->check = f->check ? 0 : 1;
    ui::backend::check_changed(field, f->check);
}

std::string_view field_text(int32_t field) {
    const FieldModel* f = find(field);
    return f ? std::string_view(f->text.data(), f->text_len) : std::string_view();
}


}  // namespace ui

void WInitialise() { ui::backend::init(); }

void WindowOpen(int32_t options, std::string_view title) { ui::backend::window_open(options, shown(title)); }

void WDialogLoad(int32_t id) {
    const DialogDesc* d = find_dialog(id);
    if (!d) return;
    if (current.desc) WDialogUnload();
    current = DialogModel{};
    current.desc = d;
    for (const Control& c : d->controls) {
        if (current.count == max_fields) break;
        FieldModel& f = current.fields[current.count++];
        f.id = c.id;
        f.kind = c.kind;
        set_text(f, c.text);
    }
    ui::backend::dialog_load(*d);
}

void WDialogShow(int32_t type) {
    if (current.desc) ui::backend::dialog_show(type);
}

void WDialogUnload() {
    if (!current.desc) return;
    ui::backend::dialog_unload();
    current = DialogModel{};
}

void WDialogPutString(int32_t field, std::string_view text) {
    FieldModel* f = find(field);
    if (!f) return;
    const std::string_view s = shown(text);
    set_text(*f, s);
    ui::backend::put_string(field, s);
}

void WDialogPutCheckBox(int32_t field, int32_t state) {
    FieldModel* f = find(field);
    if (!f || f->kind != ControlKind::check_box || (state != 0 && state != 1)) return;
    if (f->check == state) return;
    f->check = state;
    ui::backend::check_changed(field, state);
}

void WDialogGetCheckBox(int32_t field, int32_t& state) {
    const FieldModel* f = find(field);
    if (f && f->kind == ControlKind::check_box) state = f->check;
}

void WDialogFieldState(int32_t field, int32_t state) {
    FieldModel* f = find(field);
    if (!f || state < 0 || state > 3 || f->state == state) return;
    f->state = state;
    ui::backend::field_state_changed(field, state);
}

void WDialogRangeProgressBar(int32_t field, int32_t minimum, int32_t maximum) {
    FieldModel* f = find(field);
    if (!f || f->kind != ControlKind::progress_bar) return;
    if (minimum < 0 || maximum > 65535 || minimum >= maximum) return;
    f->minimum = minimum;
    f->maximum = maximum;
    ui::backend::progress_range(field, minimum, maximum);
    const int32_t clamped = std::clamp(f->position, minimum, maximum);
    if (clamped != f->position) {
        f->position = clamped;
        ui::backend::progress_position(field, clamped);
    }
}

void WDialogPutProgressBar(int32_t field, int32_t amount, int32_t mode) {
    FieldModel* f = find(field);
    if (!f || f->kind != ControlKind::progress_bar || (mode != 0 && mode != 1)) return;
    const int64_t target = mode == 0 ? int64_t{amount} : int64_t{f->position} + amount;
    const int32_t pos = static_cast<int32_t>(std::clamp<int64_t>(target, f->minimum, f->maximum));
    if (pos == f->position) return;
    f->position = pos;
    ui::backend::progress_position(field, pos);
}

void WMessagePeek(int32_t& type, Message& record) {
    record.fill(-1);
    for (;;) {
        int32_t value1 = -1;
        ui::backend::peek(type, value1);
        if (type == msg_none || type == msg_button || type == msg_close) {
            record[1] = value1;
            return;
        }
    }
}

void WIdle() { ui::backend::idle(); }

int32_t WInfoDialog(int32_t code) { return code == 4 ? last_selection_status : 0; }

void WMessageBox(int32_t, int32_t, int32_t, std::string_view text, std::string_view title) {
    ui::backend::message_box(shown(text), shown(title));
}

void WindowClose() {
    current = DialogModel{};
    ui::backend::close();
}

// The status of the last file selection, set by WSelectFile.
void set_selection_status(int32_t status) { last_selection_status = status; }

}  // namespace vr
