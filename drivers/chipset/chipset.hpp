// The chipset hook: a two-write initialisation and an interrupt handler that reports its status bit.
#pragma once

#include "cpu/idt.hpp"

namespace tavix {

void init_chipset();
// Shaped for irq_install_handler; the common IRQ path sends the end-of-interrupt.
void interrupt_handler(InterruptRegisters* regs);

} // namespace tavix
