// Builds the six-entry descriptor table and the task-state segment, then loads both.
#include "cpu/gdt.hpp"

#include "arch/hw.hpp"
#include "general/stdio.hpp"

namespace tavix {

constinit gdt_entry_t gdt_entries[gdt_entry_count] = {};
constinit gdt_ptr_t gdt_ptr = {};
constinit tss_entry_t tss_entry = {};

namespace {

constexpr uint32_t flat_limit = 0xFFFFFFFF;
constexpr uint8_t flat_granularity = 0xCF; // 4 KiB units, 32-bit segment

constexpr uint8_t access_kernel_code = 0x9A;
constexpr uint8_t access_kernel_data = 0x92;
constexpr uint8_t access_user_code = 0xFA;
constexpr uint8_t access_user_data = 0xF2;
constexpr uint8_t access_tss = 0xE9; // available 32-bit TSS, present, level 3

constexpr uint32_t tss_index = 5;
// The processor's 32-bit task-state segment is 104 bytes; the record's last field
// (iomap_base) lies beyond it and is never read by the processor.
constexpr uint32_t tss_limit = 103;
static_assert(tss_limit < sizeof(tss_entry_t));
// The kernel selectors with requested privilege level 3, as a return to level 3 would load them.
constexpr uint32_t tss_code_selector = kernel_code_selector | 3;
constexpr uint32_t tss_data_selector = kernel_data_selector | 3;

} // namespace

void set_gdt_gate(uint32_t num, uint32_t base, uint32_t limit, uint8_t access, uint8_t gran)
{
    gdt_entry_t& e = gdt_entries[num];
    e.base_low = static_cast<uint16_t>(base & 0xFFFF);
    e.base_middle = static_cast<uint8_t>((base >> 16) & 0xFF);
    e.base_high = static_cast<uint8_t>((base >> 24) & 0xFF);
    e.limit = static_cast<uint16_t>(limit & 0xFFFF);
    e.flags = static_cast<uint8_t>((limit >> 16) & 0x0F);
    e.flags = static_cast<uint8_t>(e.flags | (gran & 0xF0));
    e.access = access;
}

void write_tss(uint32_t num, uint16_t ss0, uint32_t esp0)
{
    const auto base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&tss_entry));
    set_gdt_gate(num, base, tss_limit, access_tss, 0x00);

    tss_entry = tss_entry_t{};
    tss_entry.ss0 = ss0;
    tss_entry.esp0 = esp0;
    tss_entry.cs = tss_code_selector;
    tss_entry.ss = tss_data_selector;
    tss_entry.ds = tss_data_selector;
    tss_entry.es = tss_data_selector;
    tss_entry.fs = tss_data_selector;
    tss_entry.gs = tss_data_selector;
}

void init_gdt()
{
    printf("GDT: Initiliazing...\n");

    gdt_ptr.limit = sizeof(gdt_entries) - 1;
    gdt_ptr.base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&gdt_entries));

    set_gdt_gate(0, 0, 0, 0, 0);
    set_gdt_gate(1, 0, flat_limit, access_kernel_code, flat_granularity);
    set_gdt_gate(2, 0, flat_limit, access_kernel_data, flat_granularity);
    set_gdt_gate(3, 0, flat_limit, access_user_code, flat_granularity);
    set_gdt_gate(4, 0, flat_limit, access_user_data, flat_granularity);
    write_tss(tss_index, kernel_data_selector, 0);

    gdt_flush(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&gdt_ptr)));
    tss_flush();
}

} // namespace tavix
