// The simulated processor's descriptor-table loads: what the kernel asked it to load.
#pragma once

#include <cstdint>

namespace sim {

// The addresses passed to the last gdt_flush and idt_flush, and whether the task
// register was loaded. Zero / false until the kernel loads them; cleared by cpu_reset.
struct CpuTables {
    uint32_t gdt_address = 0;
    uint32_t idt_address = 0;
    bool task_register_loaded = false;
    int gdt_loads = 0;
    int idt_loads = 0;
};

const CpuTables& cpu_tables();
void cpu_reset();

} // namespace sim
