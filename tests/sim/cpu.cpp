// The simulated processor's descriptor-table loads. The interrupt entry stubs themselves are
// the real ones from boot/idt.S: the host never enters them.
#include "tests/sim/cpu.hpp"

#include "arch/hw.hpp"

namespace sim {

namespace {
CpuTables tables;
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

} // extern "C"
