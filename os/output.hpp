// The output file of a READ, on the operating system's side.
//
// It is opened (created when missing, never truncated) before the chip is
// read, so that a name that cannot be written is refused before anything
// else happens. The new contents are written to a temporary file in the same
// folder, flushed to disk and moved over the target: an existing file is
// replaced only by a complete new one, and a failed read or write leaves it as
// it was. A name that is not a regular file (a pipe, a terminal, /dev/null,
// NUL) is written in place.
#pragma once

#include <cstdio>

namespace vr::os {

// Writes the new contents to a stream; false when a write failed.
using Writer = bool (*)(std::FILE* stream, void* context);

// Opens the output; false when it cannot be opened for writing.
bool output_open(const char* path);
// Writes the contents with write(stream, context) and closes the output;
// false on any failure to write, flush, close or rename.
bool output_write(Writer write, void* context);
// Closes the output without writing; a file output_open created and that is
// still empty is removed.
void output_drop();

}  // namespace vr::os
