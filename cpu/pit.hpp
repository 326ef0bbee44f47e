// The 1000 Hz interval timer and the millisecond tick counter.
#pragma once

#include "cpu/idt.hpp"

#include <stdint.h>

namespace tavix {

constexpr uint32_t freq = 1000;

void init_pit();
void pit_handler(InterruptRegisters* regs);
// Busy-waits ms ticks; needs interrupts enabled, so never call it from a handler.
void wait(int ms);
uint64_t get_ticks();

} // namespace tavix
