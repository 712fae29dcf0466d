// Time in ticks of 100 us from Timer2. Waits
// sleep in idle mode between interrupts and last at least what is asked.
#pragma once

#include <stdint.h>

namespace vr {
namespace fw {

void timer_init();
uint32_t ticks();  // 100 us each
void wait_us(uint32_t microseconds);
// The ticks a wait of this many microseconds needs, counted from ticks().
uint32_t wait_ticks(uint32_t microseconds);
// For sleep_unless: a wait that only time ends.
bool never_ready();
// Idle sleep until the next interrupt, unless `ready` already holds; the
// avr-libc test-and-sleep idiom, so a wake-up is never missed.
void sleep_unless(bool (*ready)());

}  // namespace fw
}  // namespace vr
