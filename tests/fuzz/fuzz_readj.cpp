// Fuzzes the JEDEC reader over a memory stream. An accepted file must leave a
// map of 0s and 1s within the device's fuses, with a C field (if any) equal to
// the checksum of what was read.
#include <cstdio>
#include <cstdlib>

#include "fusemap/jedec.hpp"

namespace {
vr::FuseMap map;

// 0s and 1s only, and none from fuse number `from` on. Kept out of the
// coverage and address instrumentation: it is not what is being fuzzed, and
// it looks at every fuse of every input.
__attribute__((noinline, no_sanitize("coverage", "address"))) bool map_sound(std::size_t from) {
    const unsigned char* fuse = reinterpret_cast<const unsigned char*>(map.data());
    const std::size_t n = map.size(), end = from < n ? from : n;
    unsigned char above_one = 0, ones_after = 0;
    for (std::size_t i = 0; i < end; ++i) above_one |= fuse[i] & 0xFE;
    for (std::size_t i = end; i < n; ++i) ones_after |= fuse[i];
    return !above_one && !ones_after;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size == 0) return 0;  // fmemopen refuses an empty buffer
    if (size > VR_FUZZ_MAX_INPUT) size = VR_FUZZ_MAX_INPUT;  // a whole sample file read is no deeper
    std::FILE* in = fmemopen(const_cast<unsigned char*>(data), size, "rb");
    if (in == nullptr) return 0;
    int32_t code = -1;  // the reader clears the map itself
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
