// What a JEDEC file would do to a board or its owner, before it reaches a
// chip: hazards (stop), warnings, and notes on what could not be seen.
#pragma once

#include <string>
#include <vector>

#include "fusemap/jedec.hpp"

namespace vr::svf::check {

enum class Severity { note, warning, hazard };

struct Finding {
    Severity severity;
    std::string text;  // what, where, and what to do
    std::string kind;  // a hazard's name in a word or two ("JTAG", "blank template")
};

// The findings for a file read with result r (only ok and checksum_error
// results have a map to look at), device code, what the reader saw in info;
// device_named: the part the chip must be (--device), or "".
std::vector<Finding> findings(JedecResult r, const FuseMap& map, int32_t code, const JedecInfo& info,
                              const std::string& device_named);

// The findings of the file at path; false (none) when it cannot be read or
// is refused for another reason than its checksum or fuse count.
bool findings_of_file(const std::string& path, const std::string& device_named, std::vector<Finding>& out);

// "hazard: ...", "warning: ...", "note: ...".
std::string line_of(const Finding& f);

}  // namespace vr::svf::check
