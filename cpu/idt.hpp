// Interrupt gates, the remapped interrupt controllers, the panic path and IRQ dispatch.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "cpu/descriptors.h"

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

struct [[gnu::packed]] idt_entry_struct {
    uint16_t base_low; // handler address bits 0-15
    uint16_t sel;
    uint8_t always0;
    uint8_t flags; // present bit, privilege level, gate type
    uint16_t base_high; // handler address bits 16-31
};
static_assert(sizeof(idt_entry_struct) == 8);
static_assert(offsetof(idt_entry_struct, flags) == 5);
static_assert(offsetof(idt_entry_struct, base_high) == 6);

struct [[gnu::packed]] idt_ptr_struct {
    uint16_t limit;
    uint32_t base;
};
static_assert(sizeof(idt_ptr_struct) == 6);
static_assert(offsetof(idt_ptr_struct, base) == 2);

constexpr uint32_t idt_entry_count = 256;
constexpr uint32_t exception_vector_count = 32; // vectors 0-31 are processor exceptions
constexpr uint32_t irq_line_count = 16;
constexpr uint32_t irq_base_vector = IRQ_BASE_VECTOR; // IRQ 0-15 arrive on vectors 32-47 after the remap
constexpr uint8_t syscall_vector = SYSCALL_VECTOR;
constexpr uint8_t alt_syscall_vector = ALT_SYSCALL_VECTOR;
constexpr uint32_t syscall_gate_count = 2; // syscall_vector, alt_syscall_vector

extern idt_entry_struct idt_entries[idt_entry_count];
extern idt_ptr_struct idt_ptr;
extern irq_handler_t irq_routines[irq_line_count];

void init_idt();
void set_idt_gate(uint8_t num, uint32_t base, uint16_t sel, uint8_t flags);
void irq_install_handler(int irq, irq_handler_t handler);
void irq_uninstall_handler(int irq);
const char* get_ex(int num);

} // namespace tavix

extern "C" {
// The entry stubs' addresses in vector order, emitted by boot/idt.S beside the stubs.
extern const uint32_t isr_stub_table[tavix::exception_vector_count];
extern const uint32_t irq_stub_table[tavix::irq_line_count];
extern const uint32_t syscall_stub_table[tavix::syscall_gate_count];

void isr_handler(tavix::InterruptRegisters* resgs);
void irq_handler(tavix::InterruptRegisters* regs);
}
