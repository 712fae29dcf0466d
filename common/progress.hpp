// The one hook by which the lower layers report progress: the fuse map's
// comparison and the row transfers advance it by fixed amounts. Run control
// connects it to the progress bar; tools leave it empty. (The only callback
// of the program: it keeps every library depending only on those below it.)
#pragma once

#include <cstdint>

namespace vr {

using ProgressSink = void (*)(int32_t amount);

// Connects the sink (nullptr: progress goes nowhere).
void set_progress_sink(ProgressSink sink);

// Advances the progress by amount, through the sink when there is one.
void advance_progress(int32_t amount);

}  // namespace vr
