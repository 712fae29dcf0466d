// The fuse map: one entry per JEDEC fuse number, 1 = erased, 0 = programmed.
#pragma once

#include <array>
#include <cstdint>

#include "fusemap/device.hpp"

namespace vr {

inline constexpr std::size_t map_size = 74136;

using FuseMap = std::array<int8_t, map_size>;

// The four comparison counts, in order: equal and expected 0; expected 0 but
// read 1; expected 1 but read 0; equal and expected 1.
using Counts = std::array<int32_t, 4>;

// Compares the device's fuse range of the two maps into counts and advances
// the progress bar by 15.
void verifyit48(int32_t code, const FuseMap& expected, const FuseMap& readback, Counts& counts);

// The JEDEC fuse checksum of fuses 0 .. device fuse count - 1: bytes of eight
// fuses (lowest-numbered fuse = bit 0) summed modulo 65536.
uint16_t fuse_checksum(const FuseMap& map, int32_t code);

// Sets the device's reserved fuses to 0.
void clear_reserved(FuseMap& map, int32_t code);

// Prepares a map for writing or comparing: the four special purpose fuses
// 1, the reserved fuses 0.
void force_special(FuseMap& map, int32_t code);

}  // namespace vr
