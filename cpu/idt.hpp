// Interrupt gates, the remapped interrupt controllers, the panic path and IRQ dispatch.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tavix {

// The frame the common stubs build on the stack; its layout is shared with boot/idt.S.
struct InterruptRegisters {
    uint32_t cr2;
    uint32_t ds;
    uint32_t edi, esi, ebp, esp, ebx, edx, ecx, eax;
    uint32_t int_no, err_code;
    uint32_t eip, csm, eflags, useresp, ss;
};
static_assert(sizeof(InterruptRegisters) == 17 * 4);
static_assert(offsetof(InterruptRegisters, int_no) == 40);
static_assert(offsetof(InterruptRegisters, eip) == 48);

using irq_handler_t = void (*)(InterruptRegisters* regs);

void init_idt();
void set_idt_gate(uint8_t num, uint32_t base, uint16_t sel, uint8_t flags);
void irq_install_handler(int irq, irq_handler_t handler);
void irq_uninstall_handler(int irq);
const char* get_ex(int num);

} // namespace tavix

extern "C" {
void isr_handler(tavix::InterruptRegisters* resgs);
void irq_handler(tavix::InterruptRegisters* regs);
}
