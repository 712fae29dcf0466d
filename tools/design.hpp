// A design to write or verify: a JEDEC file, or the SVF file a project
// ships (read with svf2jed's import: the fuses it programs are the file).
#pragma once

#include <string>

#include "fusemap/jedec.hpp"

namespace vr::svf {

struct Design {
    JedecResult result = JedecResult::read_error;
    int32_t code = 0;
    JedecInfo info;
    bool from_svf = false;
    std::string part;     // an SVF's part, from its IDCODE check ("ATF1504ASV")
    std::string summary;  // "from SVF: ATF1504AS, 214 words programmed, read protection: no"
    std::string refusal;  // an SVF refused: the line and the reason ("line 12: ...")
};

// An SVF file: its name ends in .svf, or its first statement is an SVF
// command or comment.
bool is_svf(const std::string& path);

// Reads path into map. An SVF that is no programming sequence of these
// chips is refused (result format_error, refusal says why).
// With svf, path is taken as SVF whatever its name.
Design read_design(const std::string& path, FuseMap& map, bool svf = false);

}  // namespace vr::svf
