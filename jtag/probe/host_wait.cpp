#include "jtag/probe/host_wait.hpp"

#include <chrono>
#include <thread>

namespace vr::jtag {
namespace {

class Steady final : public HostClock {
public:
    int64_t now_ns() override {
        using namespace std::chrono;
        return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
    }
    int64_t tick_ns() const override {
        using period = std::chrono::steady_clock::period;
        const int64_t t = static_cast<int64_t>(1000000000LL * period::num / period::den);
        return t > 0 ? t : 1;
    }
    void sleep_ns(int64_t ns) override { std::this_thread::sleep_for(std::chrono::nanoseconds(ns)); }
};

}  // namespace

HostClock& steady_clock() {
    static Steady clock;
    return clock;
}

void host_wait(HostClock& clock, int64_t confirmed, uint32_t microseconds) {
    const int64_t tick = clock.tick_ns();
    const int64_t end = confirmed + wait_ticks(static_cast<int64_t>(microseconds) * 1000, tick) * tick;
    for (int64_t now; (now = clock.now_ns()) < end;) clock.sleep_ns(end - now);
}

}  // namespace vr::jtag
