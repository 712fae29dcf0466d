// Seconds on the monotonic clock, for time stamps in logs and for deadlines.
#pragma once

#include <chrono>
#include <thread>

namespace vr::os {

inline double now_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Sleeps until now_seconds() has reached t.
inline void sleep_until_seconds(double t) {
    for (double left; (left = t - now_seconds()) > 0;) std::this_thread::sleep_for(std::chrono::duration<double>(left));
}

}  // namespace vr::os
