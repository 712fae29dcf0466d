#pragma once
#include <cstddef>

namespace vr::os {
// The bytes the next reads return, in order; then every read times out.
void feed(const unsigned char* data, std::size_t size);
}  // namespace vr::os
