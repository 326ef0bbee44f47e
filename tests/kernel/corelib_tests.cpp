// In-kernel tests of the core library where the real machine matters: the heap over the
// image's own 1 GB area, and scrolling in VGA memory with the kernel compiler's copy loop.
#include "arch/hw.hpp"
#include "cpu/mem.hpp"
#include "drivers/display.hpp"
#include "tests/kernel/ktest.hpp"
#include "tests/support/heap_walk.hpp"

#include <stdint.h>

using namespace tavix;

namespace {

// Half the heap: far beyond anything the boot stack or a static table could stand in for.
constexpr uint32_t large_block_bytes = dynamic_mem_total_size / 2;
constexpr uint8_t fill_pattern = 0xA5;

// The blocks tile the whole area without gaps and their links agree.
bool heap_tiles_the_area()
{
    const heap_test::heap_walk walk = heap_test::walk_heap();
    return walk.tiles_area && walk.links_agree;
}

} // namespace

KTEST(corelib, large_block_is_real_memory_and_comes_back)
{
    KEXPECT(dynamic_mem_start == reinterpret_cast<dynamic_mem_node_t*>(dynamic_mem_area));
    KEXPECT(heap_tiles_the_area());
    const heap_test::heap_walk before = heap_test::walk_heap();

    auto* p = static_cast<uint8_t*>(malloc(large_block_bytes));
    KEXPECT(p != nullptr);
    if (p == nullptr)
        return;
    KEXPECT(p >= dynamic_mem_area && p + large_block_bytes <= dynamic_mem_area + dynamic_mem_total_size);
    // Both ends of the block hold what is stored there: RAM, not a hole in the address space.
    volatile uint8_t* bytes = p;
    bytes[0] = fill_pattern;
    bytes[large_block_bytes - 1] = static_cast<uint8_t>(~fill_pattern);
    KEXPECT(bytes[0] == fill_pattern);
    KEXPECT(bytes[large_block_bytes - 1] == static_cast<uint8_t>(~fill_pattern));

    mfree(p);
    const heap_test::heap_walk after = heap_test::walk_heap();
    KEXPECT(after.used_blocks == before.used_blocks);
    KEXPECT(after.free_bytes == before.free_bytes);
    KEXPECT(heap_tiles_the_area());
}

// Every row gets its own character and attribute, so that a newline on the last row shows
// whether each one moved up intact in the real text buffer.
KTEST(corelib, newline_on_the_last_row_scrolls_vga_memory)
{
    volatile uint8_t* vga = hw::text_buffer();
    for (uint16_t i = 0; i < screen_bytes; i += 2) {
        vga[i] = static_cast<uint8_t>('A' + i / row_bytes);
        vga[i + 1] = static_cast<uint8_t>(i / row_bytes + 1);
    }
    set_cursor(last_row_offset + 10);
    putchar('\n', default_attribute);
    bool moved = true;
    for (uint16_t i = 0; i < last_row_offset; i += 2)
        moved = moved && vga[i] == 'A' + i / row_bytes + 1 && vga[i + 1] == i / row_bytes + 2;
    bool blank = true;
    for (uint16_t i = last_row_offset; i < screen_bytes; i += 2)
        blank = blank && vga[i] == 0 && vga[i + 1] == default_attribute;
    KEXPECT(moved);
    KEXPECT(blank);
    KEXPECT(get_cursor() == last_row_offset);
    clear_screen();
}
