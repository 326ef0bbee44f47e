// The start-up check that the machine's RAM holds the whole kernel image.
#include "kernel/memory_check.hpp"

#include "arch/hw.hpp"
#include "drivers/display.hpp"

namespace tavix {

namespace {

constexpr uint32_t kib_bytes = 1024;
constexpr uint32_t mib_kib = 1024;

uint32_t kib_rounded_up(uint32_t bytes) { return bytes / kib_bytes + (bytes % kib_bytes != 0); }
uint32_t mib_rounded_up(uint32_t kib) { return kib / mib_kib + (kib % mib_kib != 0); }

} // namespace

uint32_t image_kib_above_1mib(uint32_t image_end)
{
    if (image_end <= image_load_address)
        return 0;
    return kib_rounded_up(image_end - image_load_address);
}

void check_memory(uint32_t magic, const multiboot_memory_info* info, uint32_t needed_kib)
{
    if (magic != multiboot_loader_magic || info == nullptr || (info->flags & multiboot_flag_memory) == 0)
        return;
    const uint32_t has_kib = info->mem_upper;
    if (has_kib >= needed_kib)
        return;

    // Rounding the need up and the size down never makes the two figures look equal.
    if (get_cursor_x() != 0)
        kprint("\n");
    kprint("Tavix needs ");
    kprinti(static_cast<int32_t>(mib_rounded_up(needed_kib)));
    kprint(" MiB of memory above 1 MiB; this machine has ");
    kprinti(static_cast<int32_t>(has_kib / mib_kib));
    kprint(" MiB\n");
    hw::disable_interrupts();
    hw::halt_forever();
}

} // namespace tavix
