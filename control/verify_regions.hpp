// The seven regions of the flash the programmer compares, in the order the
// adapter protocol transfers them, with the words each holds and the final
// text of a verify failure in it: one table for both routes.
#pragma once

#include <cstdint>

namespace vr {

struct VerifyRegion {
    uint16_t first, last;  // flash word addresses
    const char* failure;
};

inline constexpr VerifyRegion verify_regions[] = {
    {0x00C, 0x06B, "Verify failure rows 12-107, write aborted."},
    {0x080, 0x0DF, "Verify failure rows 128-223, write aborted."},
    {0x000, 0x00B, "Verify failure rows 0-11, write aborted."},
    {0x0E0, 0x0FA, "Verify failure rows 224-250, write aborted."},
    {0x200, 0x200, "Verify failure page 2, write aborted."},
    {0x300, 0x300, "Verify failure page 3, write aborted."},
    {0x100, 0x100, "Verify failure page 1, write aborted."},
};

// The verify failure text of the region holding the word at address.
inline const char* verify_failure_at(uint16_t address) {
    for (const VerifyRegion& r : verify_regions)
        if (address >= r.first && address <= r.last) return r.failure;
    return verify_regions[3].failure;
}

}  // namespace vr
