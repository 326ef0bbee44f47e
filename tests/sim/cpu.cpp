// The simulated processor's descriptor-table loads, and stand-ins for the interrupt entry
// stubs so that the gate-building code links on the host (tests compare gate addresses
// against these symbols).
#include "tests/sim/cpu.hpp"

#include "arch/hw.hpp"

#include <cstdlib>

namespace sim {

namespace {
CpuTables tables;

// The host never takes an interrupt through a gate; reaching a stub is a test bug.
[[noreturn]] void stub_entered() { std::abort(); }
} // namespace

const CpuTables& cpu_tables() { return tables; }
void cpu_reset() { tables = CpuTables{}; }

} // namespace sim

extern "C" {

void gdt_flush(uint32_t gdt_ptr_address)
{
    sim::tables.gdt_address = gdt_ptr_address;
    ++sim::tables.gdt_loads;
}

void tss_flush() { sim::tables.task_register_loaded = true; }

void idt_flush(uint32_t idt_ptr_address)
{
    sim::tables.idt_address = idt_ptr_address;
    ++sim::tables.idt_loads;
    tavix::hw::enable_interrupts();
}

void isr0() { stub_entered(); }
void isr1() { stub_entered(); }
void isr2() { stub_entered(); }
void isr3() { stub_entered(); }
void isr4() { stub_entered(); }
void isr5() { stub_entered(); }
void isr6() { stub_entered(); }
void isr7() { stub_entered(); }
void isr8() { stub_entered(); }
void isr9() { stub_entered(); }
void isr10() { stub_entered(); }
void isr11() { stub_entered(); }
void isr12() { stub_entered(); }
void isr13() { stub_entered(); }
void isr14() { stub_entered(); }
void isr15() { stub_entered(); }
void isr16() { stub_entered(); }
void isr17() { stub_entered(); }
void isr18() { stub_entered(); }
void isr19() { stub_entered(); }
void isr20() { stub_entered(); }
void isr21() { stub_entered(); }
void isr22() { stub_entered(); }
void isr23() { stub_entered(); }
void isr24() { stub_entered(); }
void isr25() { stub_entered(); }
void isr26() { stub_entered(); }
void isr27() { stub_entered(); }
void isr28() { stub_entered(); }
void isr29() { stub_entered(); }
void isr30() { stub_entered(); }
void isr31() { stub_entered(); }
void isr128() { stub_entered(); }
void isr177() { stub_entered(); }
void irq0() { stub_entered(); }
void irq1() { stub_entered(); }
void irq2() { stub_entered(); }
void irq3() { stub_entered(); }
void irq4() { stub_entered(); }
void irq5() { stub_entered(); }
void irq6() { stub_entered(); }
void irq7() { stub_entered(); }
void irq8() { stub_entered(); }
void irq9() { stub_entered(); }
void irq10() { stub_entered(); }
void irq11() { stub_entered(); }
void irq12() { stub_entered(); }
void irq13() { stub_entered(); }
void irq14() { stub_entered(); }
void irq15() { stub_entered(); }

} // extern "C"
