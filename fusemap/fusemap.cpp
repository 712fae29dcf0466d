#include "fusemap/fusemap.hpp"

#include "common/progress.hpp"

namespace vr {

void verifyit48(int32_t code, const FuseMap& expected, const FuseMap& readback, Counts& counts) {
    counts = {0, 0, 0, 0};
    const int32_t n = device_of(code).compared;
    for (int32_t i = 0; i < n; ++i) {
        const bool e1 = expected[i] == 1;
        if (expected[i] == readback[i])
            ++counts[e1 ? 3 : 0];
        else
            ++counts[e1 ? 2 : 1];
    }
    advance_progress(15);
}

#if defined(__clang__)
// A loop over every fuse of every file, with nothing worth a fuzzer's
// coverage: left uninstrumented so that fuzzing spends its time elsewhere.
__attribute__((no_sanitize("coverage")))
#endif
uint16_t fuse_checksum(const FuseMap& map, int32_t code) {
    const int32_t n = device_of(code).fuse_count;
    const int8_t* fuse = map.data();  // every fuse of every file: kept to plain loads
    uint32_t sum = 0;
    for (int32_t i = 0; i < n; i += 8) {
        uint32_t byte = 0;
        for (int32_t b = 0; b < 8; ++b) byte |= static_cast<uint32_t>(fuse[i + b] == 1) << b;
        sum = (sum + byte) & 0xFFFFu;
    }
    return static_cast<uint16_t>(sum);
}

void clear_reserved(FuseMap& map, int32_t code) {
    const Region r = device_of(code).reserved;
    for (int32_t i = r.first; i < r.first + r.count; ++i) map[i] = 0;
}

void force_special(FuseMap& map, int32_t code) {
    const Region r = device_of(code).special;
    for (int32_t i = r.first; i < r.first + r.count; ++i) map[i] = 1;
    // The chip has no cells for the reserved fuses and reads them as 0.
    clear_reserved(map, code);
}

}  // namespace vr
