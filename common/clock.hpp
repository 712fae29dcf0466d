// Seconds on the monotonic clock, for time stamps in logs and for deadlines.
#pragma once

#include <chrono>

namespace vr {

inline double now_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace vr
