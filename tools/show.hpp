// vrjtag-jed show: a JEDEC file drawn as an SVG picture of the chip.
#pragma once

#include <string>
#include <vector>

#include "fusemap/jedec.hpp"
#include "tools/check.hpp"

namespace vr::svf::show {

// The chip as the file would make it: the package outline with every pin
// the fuse database names, coloured by use, with its number and pad or
// function; the macrocells of each logic block, used or not; the global
// settings; the findings, marked on the pins they concern; the device in
// the title. For the ATF1508AS (no public database) the settings and
// findings only. name: the file's name for the title.
// other: a second file of the same device (a verify failure's READ against
// the file): the pins and macrocells whose fuses differ outlined, and the
// words that differ listed.
std::string svg(const FuseMap& map, int32_t code, const JedecInfo& info, const std::vector<check::Finding>& findings,
                const std::string& name, const FuseMap* other = nullptr, const std::string& other_name = "");

}  // namespace vr::svf::show
