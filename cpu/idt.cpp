// The interrupt descriptor table, the 8259A remap, the exception panic and IRQ dispatch.
#include "cpu/idt.hpp"

#include "arch/hw.hpp"
#include "cpu/gdt.hpp"
#include "general/stdio.hpp"
#include "io/iotools.hpp"

namespace tavix {

constinit idt_entry_struct idt_entries[idt_entry_count] = {};
constinit idt_ptr_struct idt_ptr = {};
constinit irq_handler_t irq_routines[irq_line_count] = {};

namespace {

constexpr uint8_t gate_flags = 0x8E;        // present, 32-bit interrupt gate
constexpr uint8_t gate_privilege_bits = 0x60; // callable from level 3

constexpr uint16_t pic1_command = 0x20;
constexpr uint16_t pic1_data = 0x21;
constexpr uint16_t pic2_command = 0xA0;
constexpr uint16_t pic2_data = 0xA1;
constexpr uint8_t icw1_init_cascade_icw4 = 0x11;
constexpr uint8_t icw3_secondary_on_line_2 = 0x04;
constexpr uint8_t icw3_cascade_identity = 0x02;
constexpr uint8_t icw4_8086_mode = 0x01;
constexpr uint8_t mask_all_enabled = 0x00;
constexpr uint8_t pic_end_of_interrupt = 0x20;

constexpr const char* exception_messages[] = {
    "Division by zero",
    "Debug",
    "Non-maskable interrupt",
    "Breakpoint",
    "Overflow",
    "Bound range exceeded",
    "Invalid opcode",
    "Device not available",
    "Double fault",
    "Coprocessor segment overrun",
    "Invalid TSS",
    "Segment not present",
    "Stack fault",
    "General protection fault",
    "Page fault",
    "Unknown interrupt",
    "Coprocessor error",
    "Alignment fault",
    "Machine check",
    "SIMD Floating point Exception",
    "Virtualization exception",
    "Control protection exception",
    " \" - listen, i don't know what is exception this!\"",
    "Hypervisor Injection Exception",
    "VMM Communication Exception",
    "Security Exception",
    "\" - It Is RE-SE-RVED! - \"",
    "Triple fault",
    "FPU Error",
    "nope! but code is 29",
    "nope! but code is 30",
};
constexpr int exception_message_count = sizeof(exception_messages) / sizeof(exception_messages[0]);
static_assert(exception_message_count == 31);

void remap_pics()
{
    port_byte_out(pic1_command, icw1_init_cascade_icw4);
    port_byte_out(pic2_command, icw1_init_cascade_icw4);
    port_byte_out(pic1_data, irq_base_vector);
    port_byte_out(pic2_data, irq_base_vector + 8);
    port_byte_out(pic1_data, icw3_secondary_on_line_2);
    port_byte_out(pic2_data, icw3_cascade_identity);
    port_byte_out(pic1_data, icw4_8086_mode);
    port_byte_out(pic2_data, icw4_8086_mode);
    port_byte_out(pic1_data, mask_all_enabled);
    port_byte_out(pic2_data, mask_all_enabled);
}

bool valid_irq_line(int irq) { return irq >= 0 && irq < static_cast<int>(irq_line_count); }

} // namespace

void set_idt_gate(uint8_t num, uint32_t base, uint16_t sel, uint8_t flags)
{
    idt_entry_struct& gate = idt_entries[num];
    gate.base_low = static_cast<uint16_t>(base & 0xFFFF);
    gate.sel = sel;
    gate.always0 = 0;
    gate.flags = static_cast<uint8_t>(flags | gate_privilege_bits);
    gate.base_high = static_cast<uint16_t>((base >> 16) & 0xFFFF);
}

void init_idt()
{
    printf("IDT: Initiliazing...\n");

    idt_ptr.limit = sizeof(idt_entries) - 1;
    idt_ptr.base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&idt_entries));
    for (idt_entry_struct& gate : idt_entries)
        gate = idt_entry_struct{};

    remap_pics();

    for (uint32_t v = 0; v < exception_vector_count; ++v)
        set_idt_gate(static_cast<uint8_t>(v), isr_stub_table[v], kernel_code_selector, gate_flags);
    for (uint32_t line = 0; line < irq_line_count; ++line)
        set_idt_gate(static_cast<uint8_t>(irq_base_vector + line), irq_stub_table[line], kernel_code_selector,
                     gate_flags);
    set_idt_gate(syscall_vector, syscall_stub_table[0], kernel_code_selector, gate_flags);
    set_idt_gate(alt_syscall_vector, syscall_stub_table[1], kernel_code_selector, gate_flags);

    idt_flush(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&idt_ptr)));
}

void irq_install_handler(int irq, irq_handler_t handler)
{
    // A line outside the table would overwrite whatever lies next to it.
    if (!valid_irq_line(irq))
        return;
    irq_routines[irq] = handler;
}

void irq_uninstall_handler(int irq)
{
    if (!valid_irq_line(irq))
        return;
    irq_routines[irq] = nullptr;
}

const char* get_ex(int num)
{
    if (num < 0 || num >= exception_message_count)
        return "Unknown exception";
    return exception_messages[num];
}

} // namespace tavix

using namespace tavix;

extern "C" void isr_handler(InterruptRegisters* resgs)
{
    // Software interrupts 0x80 and 0xB1 are accepted and have no effect.
    if (resgs->int_no >= exception_vector_count)
        return;
    printf("<(0c)>--< Kernel panic >--|--< %s >--", get_ex(static_cast<int>(resgs->int_no)));
    // Nothing is repaired: the machine stays here, deaf to the keyboard and the timer.
    hw::disable_interrupts();
    hw::halt_forever();
}

extern "C" void irq_handler(InterruptRegisters* regs)
{
    const uint32_t line = regs->int_no - irq_base_vector;
    if (line < irq_line_count) {
        if (irq_handler_t handler = irq_routines[line])
            handler(regs);
    }
    // The secondary controller first, then the primary, which it is cascaded through.
    if (regs->int_no >= irq_base_vector + 8)
        port_byte_out(pic2_command, pic_end_of_interrupt);
    port_byte_out(pic1_command, pic_end_of_interrupt);
}
