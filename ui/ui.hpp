// The windowing operations the program uses, plus checkstop (pause, the
// fixed wait, is in common/pause.hpp).
//
// Every field operation acts on the current dialog (the one most recently
// loaded and not yet unloaded); an id the dialog lacks, or no current dialog,
// changes nothing. No operation reports success or failure. Texts are given
// as fixed-length buffers (or views of them); they are shown cut at their
// first NUL with trailing blanks removed, and CR LF inside them is a line
// break.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "common/pause.hpp"
#include "common/text.hpp"

namespace vr {

// A message record: the window, values 1 to 4 and eleven further integers.
using Message = std::array<int32_t, 16>;

inline constexpr int32_t msg_none = -1;    // no message pending
inline constexpr int32_t msg_button = 3;   // push button pressed, value 1 = its id
inline constexpr int32_t msg_close = 9;    // request to close the main window

inline std::string_view text_of(const MsgBuf& buf) { return {buf.data(), buf.size()}; }

void WInitialise();
void WindowOpen(int32_t options, std::string_view title);
void WDialogLoad(int32_t id);
void WDialogShow(int32_t type);
void WDialogUnload();
void WDialogPutString(int32_t field, std::string_view text);
void WDialogPutCheckBox(int32_t field, int32_t state);
void WDialogGetCheckBox(int32_t field, int32_t& state);
void WDialogFieldState(int32_t field, int32_t state);
void WDialogRangeProgressBar(int32_t field, int32_t minimum, int32_t maximum);
void WDialogPutProgressBar(int32_t field, int32_t amount, int32_t mode);
void WMessagePeek(int32_t& type, Message& record);
void WSelectFile(std::string_view filter, int32_t options, FileName& name, std::string_view title);
int32_t WInfoDialog(int32_t code);
void WMessageBox(int32_t box_type, int32_t icon, int32_t default_button, std::string_view text,
                 std::string_view title);
void WindowClose();

// Lets an idle poll loop wait briefly for window events (up to about 20 ms)
// instead of spinning; returns at once in the scripted backend.
void WIdle();

// 1 when the operator asked to cancel since the last poll (the cancel text is
// then in buf), else 0 with buf untouched. Never waits.
int32_t checkstop(MsgBuf& buf);

}  // namespace vr
