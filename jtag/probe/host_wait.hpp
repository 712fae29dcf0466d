// The one rule for every wait a probe times on the host (OpenOCD through its
// Tcl server, the remote_bitbang probe, the Nano in probe mode): the wait counts
// from the moment the probe confirmed the operation's last clock, and ends
// no earlier than the time asked, on a clock whose reading moves in steps
// (ticks): the time is rounded up to whole ticks, plus one tick, because the
// clock may have been about to step when the wait began.
#pragma once

#include <cstdint>

namespace vr::jtag {

// The ticks a wait of `duration` asks of a clock stepping by `tick` (both in
// the same unit): a reading that has moved on by this many ticks proves at
// least `duration` has passed.
constexpr int64_t wait_ticks(int64_t duration, int64_t tick) { return (duration + tick - 1) / tick + 1; }

// A clock the host reads and sleeps on, in nanoseconds.
class HostClock {
public:
    virtual int64_t now_ns() = 0;
    // The step its reading moves in.
    virtual int64_t tick_ns() const = 0;
    // Sleeps about this long (it may return early or late).
    virtual void sleep_ns(int64_t ns) = 0;

protected:
    ~HostClock() = default;
};

// The monotonic clock of the operating system.
HostClock& steady_clock();

// Returns once at least `microseconds` have passed since `confirmed`, the
// clock's reading when the probe confirmed the operation's last clock.
void host_wait(HostClock& clock, int64_t confirmed, uint32_t microseconds);

}  // namespace vr::jtag
