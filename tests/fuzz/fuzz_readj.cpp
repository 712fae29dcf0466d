// Fuzzes the JEDEC reader over a memory stream. An accepted file must leave a
// map of 0s and 1s within the device's fuses, with a C field (if any) equal to
// the checksum of what was read.
#include <cstdio>
#include <cstdlib>

#include "fusemap/jedec.hpp"

namespace {
vr::FuseMap map;

// 0s and 1s only, and none from fuse number `from` on. Kept out of the
// coverage instrumentation: it is not what is being fuzzed.
__attribute__((noinline, no_sanitize("coverage"))) bool map_sound(std::size_t from) {
    for (std::size_t i = 0; i < map.size(); ++i)
        if (map[i] != 0 && (map[i] != 1 || i >= from)) return false;
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size == 0) return 0;  // fmemopen refuses an empty buffer
    std::FILE* in = fmemopen(const_cast<unsigned char*>(data), size, "rb");
    if (in == nullptr) return 0;
    map.fill(0);
    int32_t code = -1;
    vr::JedecInfo info;
    const vr::JedecResult r = vr::read_jedec(in, map, code, info);
    std::fclose(in);
    if (!map_sound(map.size())) std::abort();
    if (r == vr::JedecResult::ok && (code == 4 || code == 8)) {
        if (!map_sound(static_cast<std::size_t>(vr::device_of(code).fuse_count))) std::abort();
        if (info.has_checksum && info.file_checksum != info.computed_checksum) std::abort();
        if (info.computed_checksum != vr::fuse_checksum(map, code)) std::abort();
    }
    return 0;
}
