// A chip's contents to and from JEDEC files, for the programs that hold a
// chip model (--load, --save).
#pragma once

#include <cstdint>

#include "fusemap/fusemap.hpp"

namespace vr::model {

// Reads an accepted JEDEC file of the device (code 4 or 8) into map; false
// when it cannot be read, is refused, or is for the other device.
bool read_chip_file(const char* path, int32_t code, FuseMap& map);

// Writes map as a complete JEDEC file of the device; false on any failure.
bool write_chip_file(const char* path, FuseMap& map, int32_t code);

}  // namespace vr::model
