// The protocol server's notes in words, for the adapter programs' console and
// logs (host programs only).
#pragma once

#include <string>

#include "adapter/server/server.hpp"

namespace vr::adapter {

// The note as the operator reads it: one line, or for an identification
// where nothing answers two (the second the way to recover such a chip),
// joined by a newline.
std::string note_text(Note what, uint16_t value, const jtag::Chip& chip);

}  // namespace vr::adapter
