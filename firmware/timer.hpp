// Time from Timer2: ticks of 100 us, and within them the timer's own count
// of half microseconds. Waits sleep in idle mode between interrupts, end on
// the timer's count, and last at least what is asked.
#pragma once

#include <stdint.h>

namespace vr {
namespace fw {

void timer_init();
uint32_t ticks();  // 100 us each
// Half microseconds from any start; wraps after about 35 minutes, so only
// differences count.
uint32_t half_us();
void wait_us(uint32_t microseconds);
// A wait begun at half_us() start: sleeps until it has lasted microseconds.
void wait_since(uint32_t start, uint32_t microseconds);
// For sleep_unless: a wait that only time ends.
bool never_ready();
// Idle sleep until the next interrupt, unless `ready` already holds; the
// avr-libc test-and-sleep idiom, so a wake-up is never missed.
void sleep_unless(bool (*ready)());

}  // namespace fw
}  // namespace vr
