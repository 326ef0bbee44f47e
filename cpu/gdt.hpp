// Segment descriptors and the task-state segment: the kernel's flat memory model.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "cpu/descriptors.h"

namespace tavix {

struct [[gnu::packed]] gdt_entry_t {
    uint16_t limit;      // limit bits 0-15
    uint16_t base_low;   // base bits 0-15
    uint8_t base_middle; // base bits 16-23
    uint8_t access;
    uint8_t flags; // low nibble: limit bits 16-19; high nibble: granularity and size
    uint8_t base_high; // base bits 24-31
};
static_assert(sizeof(gdt_entry_t) == 8);
static_assert(offsetof(gdt_entry_t, access) == 5);
static_assert(offsetof(gdt_entry_t, flags) == 6);

struct [[gnu::packed]] gdt_ptr_t {
    uint16_t limit; // table size in bytes minus one
    uint32_t base;
};
static_assert(sizeof(gdt_ptr_t) == 6);
static_assert(offsetof(gdt_ptr_t, base) == 2);

struct [[gnu::packed]] tss_entry_t {
    uint32_t prev_tss;
    uint32_t esp0, ss0, esp1, ss1, esp2, ss2;
    uint32_t cr3, eip, eflags;
    uint32_t eax, ecx, edx, ebx, esp, ebp, esi, edi;
    uint32_t es, ss, ds, cs, fs, gs;
    uint32_t ldt, trap, iomap_base;
};
static_assert(sizeof(tss_entry_t) == 108);
static_assert(offsetof(tss_entry_t, ss0) == 8);
static_assert(offsetof(tss_entry_t, es) == 72);
static_assert(offsetof(tss_entry_t, cs) == 84);
static_assert(offsetof(tss_entry_t, iomap_base) == 104);

constexpr size_t gdt_entry_count = 6;

// Selectors as the processor sees them after init_gdt (shared with the assembly stubs).
constexpr uint16_t kernel_code_selector = KERNEL_CODE_SELECTOR;
constexpr uint16_t kernel_data_selector = KERNEL_DATA_SELECTOR;
constexpr uint16_t tss_selector = TSS_SELECTOR;

extern gdt_entry_t gdt_entries[gdt_entry_count];
extern gdt_ptr_t gdt_ptr;
extern tss_entry_t tss_entry;

void init_gdt();
// Only the low 20 bits of limit and the high nibble of gran are used; num is not checked.
void set_gdt_gate(uint32_t num, uint32_t base, uint32_t limit, uint8_t access, uint8_t gran);
void write_tss(uint32_t num, uint16_t ss0, uint32_t esp0);

} // namespace tavix
