// The operator's interrupt for a terminal program: Ctrl-C (and SIGTERM,
// SIGHUP, or the console window closing) calls the handler, which must be
// async-signal-safe; a closed output pipe is left to show on the write.
#pragma once

namespace vr::os {

void catch_interrupts(void (*handler)());

}  // namespace vr::os
