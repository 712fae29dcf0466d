// The terminal backend's side for its program (vrjtag-cli): the action and
// file chosen on the command line, the cancel request of a signal, and the
// exit status the final text calls for.
#pragma once

#include <cstdint>
#include <string>

namespace vr::ui::terminal {

void set_choice(int32_t action, const std::string& file, bool replace);

// Async-signal-safe: the Cancel button, pressed at the next poll.
void request_cancel();

// 0 for the success texts, 1 for every other final text.
int exit_status();

}  // namespace vr::ui::terminal
