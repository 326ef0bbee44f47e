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

void isr0() { sim::stub_entered(); }
void isr1() { sim::stub_entered(); }
void isr2() { sim::stub_entered(); }
void isr3() { sim::stub_entered(); }
void isr4() { sim::stub_entered(); }
void isr5() { sim::stub_entered(); }
void isr6() { sim::stub_entered(); }
void isr7() { sim::stub_entered(); }
void isr8() { sim::stub_entered(); }
void isr9() { sim::stub_entered(); }
void isr10() { sim::stub_entered(); }
void isr11() { sim::stub_entered(); }
void isr12() { sim::stub_entered(); }
void isr13() { sim::stub_entered(); }
void isr14() { sim::stub_entered(); }
void isr15() { sim::stub_entered(); }
void isr16() { sim::stub_entered(); }
void isr17() { sim::stub_entered(); }
void isr18() { sim::stub_entered(); }
void isr19() { sim::stub_entered(); }
void isr20() { sim::stub_entered(); }
void isr21() { sim::stub_entered(); }
void isr22() { sim::stub_entered(); }
void isr23() { sim::stub_entered(); }
void isr24() { sim::stub_entered(); }
void isr25() { sim::stub_entered(); }
void isr26() { sim::stub_entered(); }
void isr27() { sim::stub_entered(); }
void isr28() { sim::stub_entered(); }
void isr29() { sim::stub_entered(); }
void isr30() { sim::stub_entered(); }
void isr31() { sim::stub_entered(); }
void isr128() { sim::stub_entered(); }
void isr177() { sim::stub_entered(); }
void irq0() { sim::stub_entered(); }
void irq1() { sim::stub_entered(); }
void irq2() { sim::stub_entered(); }
void irq3() { sim::stub_entered(); }
void irq4() { sim::stub_entered(); }
void irq5() { sim::stub_entered(); }
void irq6() { sim::stub_entered(); }
void irq7() { sim::stub_entered(); }
void irq8() { sim::stub_entered(); }
void irq9() { sim::stub_entered(); }
void irq10() { sim::stub_entered(); }
void irq11() { sim::stub_entered(); }
void irq12() { sim::stub_entered(); }
void irq13() { sim::stub_entered(); }
void irq14() { sim::stub_entered(); }
void irq15() { sim::stub_entered(); }

} // extern "C"
