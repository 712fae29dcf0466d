// What a windowing backend provides to the shared dialog model. The model
// (ui_model.cpp) keeps the state of the current dialog and decides what
// changes; a backend only shows those changes and collects the operator's.
#pragma once

#include <cstdint>
#include <string_view>

#include "ui/dialogs.hpp"

namespace vr::ui::backend {

void init();
void window_open(int32_t options, std::string_view title);
void dialog_load(const DialogDesc& dialog);  // created, still invisible
void dialog_show(int32_t type);
void dialog_unload();

// Field changes, already filtered by the model (the field exists, and for
// check boxes, states and positions, the value changed).
void put_string(int32_t field, std::string_view text);  // text as shown
void check_changed(int32_t field, int32_t state);
void field_state_changed(int32_t field, int32_t state);
void progress_range(int32_t field, int32_t minimum, int32_t maximum);
void progress_position(int32_t field, int32_t position);

// One message for the program, or type -1 with value 1 = -1.
void peek(int32_t& type, int32_t& value1);
void idle();

// The operator's part of a file selection. Returns false when cancelled;
// otherwise path holds the name as the operator typed or picked it.
struct Selection {
    bool save_type;
    std::string_view title;
    std::string_view filter_text;  // the filter as given, shown
    std::string_view description;  // "Jedec files"
    std::string_view pattern;      // "*.jed"
    int32_t options;
    bool chooser_asked = false;    // set by a chooser that put the replace / create question itself
};
bool choose_file(Selection& sel, char* path, std::size_t size);
// True when a chosen name is to be used exactly as given (a command line):
// no extension added, not made absolute, the current directory left alone.
bool exact_names();
bool ask(std::string_view question);          // yes (true) or no
void notice(std::string_view text);           // told to the operator inside a selection
void selection_result(bool confirmed, std::string_view path);

void message_box(std::string_view text, std::string_view title);
void close();

}  // namespace vr::ui::backend

namespace vr::ui {
// Called by a backend when the operator toggles a check box.
void operator_toggled(int32_t field);
// The shown text of a field of the current dialog (empty when there is none).
std::string_view field_text(int32_t field);
}  // namespace vr::ui
