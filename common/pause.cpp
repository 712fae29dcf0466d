// The fixed wait before talking to the adapter: 0.11 s measured on a
// monotonic clock and slept, not polled, so it neither burns a processor nor
// misbehaves around midnight. No window traffic is serviced meanwhile.
#include <chrono>
#include <thread>

#include "common/pause.hpp"

namespace vr {

void pause() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(110);
    while (std::chrono::steady_clock::now() < until) std::this_thread::sleep_until(until);
}

}  // namespace vr
