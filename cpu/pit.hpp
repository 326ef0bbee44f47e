// The 1000 Hz interval timer and the millisecond tick counter.
#pragma once

#include "cpu/idt.hpp"

#include <stdint.h>

namespace tavix {

constexpr uint32_t freq = 1000;

// Timer interrupts since init_pit; only pit_handler writes it. Read it with get_ticks,
// which cannot see a half-updated value.
extern volatile uint64_t ticks;
// The deadline of the wait in progress.
extern volatile uint64_t target;

void init_pit();
void pit_handler(InterruptRegisters* regs);
// Busy-waits ms ticks; needs interrupts enabled, so never call it from a handler.
void wait(int ms);
uint64_t get_ticks();

} // namespace tavix
