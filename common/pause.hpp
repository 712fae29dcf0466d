// The fixed wait before talking to the adapter again.
#pragma once

namespace vr {

// Waits 0.11 s.
void pause();

}  // namespace vr
