#include "jtag/model/chip_files.hpp"

#include <cstdio>

#include "fusemap/jedec.hpp"

namespace vr::model {

bool read_chip_file(const char* path, int32_t code, FuseMap& map) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    int32_t file_code = 0;
    JedecInfo info;
    const bool ok = read_jedec(f, map, file_code, info, Devices::family) == JedecResult::ok && file_code == code;
    std::fclose(f);
    return ok;
}

bool write_chip_file(const char* path, FuseMap& map, int32_t code) {
    std::FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    const bool ok = write_jedec(f, map, code);
    return std::fclose(f) == 0 && ok;
}

}  // namespace vr::model
