// The start-up check that the machine's RAM holds the whole kernel image.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tavix {

// What a Multiboot loader leaves in EAX, and the address it puts in EBX: its information
// record, of which only the first three words matter here.
constexpr uint32_t multiboot_loader_magic = 0x2BADB002;
constexpr uint32_t multiboot_flag_memory = 1u << 0; // mem_lower and mem_upper are valid

struct multiboot_memory_info {
    uint32_t flags;
    uint32_t mem_lower; // KiB below 1 MiB
    uint32_t mem_upper; // KiB from 1 MiB up to the first hole
};
static_assert(sizeof(multiboot_memory_info) == 12);
static_assert(offsetof(multiboot_memory_info, mem_upper) == 8);

// The image is loaded at 1 MiB, which is where mem_upper starts counting.
constexpr uint32_t image_load_address = 0x100000;

// KiB of RAM above 1 MiB that an image ending just before image_end occupies, rounded up.
uint32_t image_kib_above_1mib(uint32_t image_end);

// Returns when the loader reports at least needed_kib above 1 MiB, or reports no memory size
// at all (wrong magic, no record, flags bit 0 clear). Otherwise prints one line that says how
// much is needed and how much there is, and stops the machine with interrupts off.
//
// It runs before anything else at start-up and uses only the boot stack, the text buffer and
// the CRT controller, all of which lie in RAM however small the machine: every other static
// of the kernel may lie past the end of RAM when the check fails.
void check_memory(uint32_t magic, const multiboot_memory_info* info, uint32_t needed_kib);

} // namespace tavix
