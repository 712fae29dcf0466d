// The line logs of the adapter programs: one line per run of bytes.
#pragma once

#include <cstddef>
#include <cstdio>

namespace vr {

// "SECONDS DIR BYTES COUNT": printable bytes as they are, the others (and
// the backslash) as \xNN. The line is written whole, so that two threads may
// log into the same file.
void log_bytes(std::FILE* log, double seconds, const char* dir, const void* data, std::size_t count);

}  // namespace vr
