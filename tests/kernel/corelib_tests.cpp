// In-kernel tests of the core library on the real machine: the heap over the image's own
// area, the CRT controller's cursor registers, and printf and scrolling in VGA memory.
#include "arch/hw.hpp"
#include "cpu/mem.hpp"
#include "cpu/string.hpp"
#include "drivers/display.hpp"
#include "general/stdio.hpp"
#include "io/iotools.hpp"
#include "tests/kernel/ktest.hpp"

#include <stdint.h>

using namespace tavix;

namespace {

constexpr uint32_t header_bytes = sizeof(dynamic_mem_node_t);
// Half the heap: far beyond anything the boot stack or a static table could stand in for.
constexpr uint32_t large_block_bytes = dynamic_mem_total_size / 2;
constexpr uint8_t fill_pattern = 0xA5;
constexpr uint8_t test_attribute = 0x1E;

// Walks the list and checks that the blocks tile the whole area without gaps.
bool heap_tiles_the_area()
{
    uint32_t total = 0;
    auto* expected = reinterpret_cast<uint8_t*>(dynamic_mem_area);
    for (dynamic_mem_node_t* node = dynamic_mem_start; node != nullptr; node = node->next) {
        if (reinterpret_cast<uint8_t*>(node) != expected)
            return false;
        if (node->next != nullptr && node->next->prev != node)
            return false;
        total += header_bytes + node->size;
        expected = reinterpret_cast<uint8_t*>(node) + header_bytes + node->size;
    }
    return total == dynamic_mem_total_size;
}

// Puts the screen and the cursor back as a test found them.
struct ScreenSnapshot {
    uint8_t* bytes;
    uint16_t cursor;

    bool take()
    {
        bytes = static_cast<uint8_t*>(malloc(screen_bytes));
        if (bytes == nullptr)
            return false;
        cursor = get_cursor();
        volatile uint8_t* vga = hw::text_buffer();
        for (uint16_t i = 0; i < screen_bytes; ++i)
            bytes[i] = vga[i];
        return true;
    }

    void restore()
    {
        volatile uint8_t* vga = hw::text_buffer();
        for (uint16_t i = 0; i < screen_bytes; ++i)
            vga[i] = bytes[i];
        set_cursor(cursor);
        mfree(bytes);
    }
};

} // namespace

KTEST(corelib, heap_list_tiles_the_image_area)
{
    KEXPECT(dynamic_mem_start == reinterpret_cast<dynamic_mem_node_t*>(dynamic_mem_area));
    KEXPECT(!dynamic_mem_start->used);
    KEXPECT(heap_tiles_the_area());
}

KTEST(corelib, large_block_is_real_memory_and_comes_back)
{
    const uint32_t used_before = heap_used_blocks();
    const uint32_t free_before = heap_free_bytes();

    auto* p = static_cast<uint8_t*>(malloc(large_block_bytes));
    KEXPECT(p != nullptr);
    if (p == nullptr)
        return;
    KEXPECT(p >= dynamic_mem_area && p + large_block_bytes <= dynamic_mem_area + dynamic_mem_total_size);
    KEXPECT(heap_free_bytes() == free_before - large_block_bytes - header_bytes);
    // Both ends of the block hold what is stored there: RAM, not a hole in the address space.
    volatile uint8_t* bytes = p;
    bytes[0] = fill_pattern;
    bytes[large_block_bytes - 1] = static_cast<uint8_t>(~fill_pattern);
    KEXPECT(bytes[0] == fill_pattern);
    KEXPECT(bytes[large_block_bytes - 1] == static_cast<uint8_t>(~fill_pattern));

    mfree(p);
    KEXPECT(heap_used_blocks() == used_before);
    KEXPECT(heap_free_bytes() == free_before);
    KEXPECT(heap_tiles_the_area());
}

KTEST(corelib, krealloc_and_split_string_leave_no_blocks)
{
    const uint32_t used_before = heap_used_blocks();
    const uint32_t free_before = heap_free_bytes();

    char* text = strdup("ls -a  /home");
    KEXPECT(text != nullptr);
    text = static_cast<char*>(krealloc(text, 64));
    KEXPECT(text != nullptr && strcmp(text, "ls -a  /home") == 0);
    int count = 0;
    char** words = splitString(text, &count);
    KEXPECT(words != nullptr && count == 3);
    if (words != nullptr) {
        KEXPECT(strcmp(words[2], "/home") == 0);
        for (int i = 0; i < count; ++i)
            mfree(words[i]);
        mfree(words);
    }
    KEXPECT(krealloc(text, 0) == nullptr);

    KEXPECT(heap_used_blocks() == used_before);
    KEXPECT(heap_free_bytes() == free_before);
}

KTEST(corelib, kernel_memcpy_takes_the_source_first)
{
    char buffer[8] = {'a', 'b', 'c', 'd', 'e', 'f', 0, 0};
    // Destination below the source inside one buffer: the upward copy is what scrolling needs.
    memcpy(reinterpret_cast<const int*>(buffer + 1), reinterpret_cast<int*>(buffer), 5);
    KEXPECT(strcmp(buffer, "bcdeff") == 0);
    memcpy(reinterpret_cast<const int*>(buffer), reinterpret_cast<int*>(buffer + 3), -1);
    KEXPECT(strcmp(buffer, "bcdeff") == 0);
    memset(buffer, 'x', 2);
    KEXPECT(strcmp(buffer, "xxdeff") == 0);
}

KTEST(corelib, cursor_registers_round_trip)
{
    const uint16_t saved = get_cursor();
    set_cursor_xy(7, 5);
    KEXPECT(get_cursor() == (5 * screen_columns + 7) * 2);
    KEXPECT(get_cursor_x() == 7 && get_cursor_y() == 5);
    set_cursor(7);
    KEXPECT(get_cursor() == 6);
    set_cursor_xy(200, 200);
    KEXPECT(get_cursor() == screen_bytes - 2);
    set_cursor(saved);
    KEXPECT(get_cursor() == saved);
}

KTEST(corelib, printf_colour_lands_in_vga_memory)
{
    ScreenSnapshot snapshot;
    KEXPECT(snapshot.take());
    if (snapshot.bytes == nullptr)
        return;

    set_cursor(0);
    printf("<(1e)>%d|%x", -12, 0xBEEu);
    volatile uint8_t* vga = hw::text_buffer();
    const char expected[] = "-12|0xBEE";
    bool text_ok = true;
    bool colour_ok = true;
    for (int i = 0; expected[i] != 0; ++i) {
        text_ok = text_ok && vga[i * 2] == static_cast<uint8_t>(expected[i]);
        colour_ok = colour_ok && vga[i * 2 + 1] == test_attribute;
    }
    KEXPECT(text_ok);
    KEXPECT(colour_ok);
    KEXPECT(get_cursor() == (sizeof expected - 1) * 2);
    // The next call starts in the default colour again.
    printf("z");
    KEXPECT(vga[(sizeof expected - 1) * 2 + 1] == default_attribute);

    snapshot.restore();
}

KTEST(corelib, newline_on_the_last_row_scrolls_vga_memory)
{
    ScreenSnapshot snapshot;
    KEXPECT(snapshot.take());
    if (snapshot.bytes == nullptr)
        return;

    volatile uint8_t* vga = hw::text_buffer();
    set_cursor(last_row_offset + 10);
    putchar('\n', default_attribute);
    bool moved = true;
    for (uint16_t i = 0; i < last_row_offset; ++i)
        moved = moved && vga[i] == snapshot.bytes[i + row_bytes];
    bool blank = true;
    for (uint16_t i = last_row_offset; i < screen_bytes; i += 2)
        blank = blank && vga[i] == 0 && vga[i + 1] == default_attribute;
    KEXPECT(moved);
    KEXPECT(blank);
    KEXPECT(get_cursor() == last_row_offset);

    snapshot.restore();
}
