// A design to write or verify: a JEDEC file, or the SVF (or XSVF) file a
// project ships (read with svf2jed's import: the fuses it programs are the file).
#pragma once

#include <string>

#include "fusemap/jedec.hpp"

namespace vr::svf {

struct Design {
    JedecResult result = JedecResult::read_error;
    int32_t code = 0;
    JedecInfo info;
    bool from_svf = false;  // an SVF or XSVF file
    const char* form = "JEDEC";  // "JEDEC", "SVF" or "XSVF"
    std::string part;     // an SVF's part, from its IDCODE check ("ATF1504ASV")
    std::string summary;  // "from SVF: ATF1504AS, 214 words programmed, read protection: no"
    std::string refusal;  // an SVF refused: the line (an XSVF: the byte) and the reason ("line 12: ...")
};

// How a design file is read: by its name and first statement, or as told.
enum class Form { guess, svf, xsvf };

// An SVF file: its name ends in .svf, or its first statement is an SVF
// command or comment.
bool is_svf(const std::string& path);

// An XSVF file: its name ends in .xsvf.
bool is_xsvf(const std::string& path);

// Reads path into map. An SVF or XSVF that is no programming sequence of
// these chips is refused (result format_error, refusal says why).
Design read_design(const std::string& path, FuseMap& map, Form form = Form::guess);

}  // namespace vr::svf
