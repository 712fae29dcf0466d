// Time on Timer1: 4 us ticks (16 MHz / 64), counted across overflows. Waits
// sleep in idle mode between interrupts and last at least what is asked.
#pragma once

#include <stdint.h>

namespace vr {
namespace fw {

void timer_init();
uint32_t ticks();  // 4 us each
void wait_us(uint32_t microseconds);
// Idle sleep until the next interrupt, unless `ready` already holds; the
// avr-libc test-and-sleep idiom, so a wake-up is never missed.
void sleep_unless(bool (*ready)());

}  // namespace fw
}  // namespace vr
