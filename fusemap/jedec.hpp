// Reading and writing JEDEC fuse files.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/text.hpp"
#include "fusemap/fusemap.hpp"

namespace vr {

// Why the reader refuses a file. The device type code is reported apart, as
// before: a file whose first line names neither device leaves it unchanged.
enum class JedecResult {
    ok,
    read_error,      // cannot be opened, or a read failed other than at its end
    format_error,    // bad L field number, value beyond the fuse count, truncated
    checksum_error,  // C field differs from the checksum of the fuses read
};

// What the reader saw besides the fuses.
struct JedecInfo {
    bool has_checksum = false;  // a C field was found
    uint16_t file_checksum = 0;
    uint16_t computed_checksum = 0;  // of the fuses read, for the device found
    bool has_fuse_count = false;     // a QF field was found
    int64_t fuse_count = -1;         // its value; -1 when it is not a number
    int default_fuse = -1;           // the F field's value (0 or 1); -1 without one
    int64_t defaulted = 0;           // fuses no L field listed (they took that value, or 0)
    int64_t package_pins = -1;       // the QP field's pin count; -1 without one
    bool has_vectors = false;        // test vectors (V fields), which no programmer here applies
};

// The devices a reader knows: the programmer's two, or the whole family (the
// JEDEC and SVF tools).
enum class Devices { programmer, family };

// Reads the JEDEC file named by name into map (every fuse not listed takes
// the F field's value, 0 without one) and
// sets code to 4 or 8 when the file's header (from the start up to the first
// "*") names ATF1504 or ATF1508 (ATF1508 when both). A QF field other than the
// named device's fuse count is a format error.
JedecResult readj(FuseMap& map, const FileName& name, int32_t& code);

// The same over an open stream, with what it saw in info. For the family, a
// header that names ATF1502 (and neither of the others) sets code 2; such a
// file must say QF16808.
JedecResult read_jedec(std::FILE* in, FuseMap& map, int32_t& code, JedecInfo& info,
                       Devices devices = Devices::programmer);

// Why a file read with result r, naming device code, is refused ("JEDEC file
// read error", "File type unknown", "JEDEC file format error", "JEDEC file
// checksum error": the programs add ", abort" where they stop on it), or
// null when it is accepted. devices: the reader's, which says what is known.
const char* jedec_refusal(JedecResult r, int32_t code, Devices devices);

// Prints map as a complete JEDEC file of the device to out. Sets the reserved
// fuses of map to 0 first. Returns false when a write to out failed.
bool write_jedec(std::FILE* out, FuseMap& map, int32_t code);

// Opens the output of a READ: creates the file when missing, never truncates
// an existing one. Returns false when the file cannot be opened for writing.
bool open_output(const FileName& name);

// Writes map as a JEDEC file to the output opened by open_output, replacing
// its contents only with a complete new file, and closes it. Returns false on
// any failure to write, flush, close or rename; the old contents then stay.
bool writej(FuseMap& map, int32_t code);

// Ends a READ that saved nothing: closes the output when it is open, and
// removes the file when open_output created it and it is still empty, so a
// failed READ leaves no file behind to block the next one.
void drop_output();

}  // namespace vr
