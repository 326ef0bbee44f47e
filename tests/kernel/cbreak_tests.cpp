// In-kernel test of the script compiler: a script compiled and run on the real machine writes
// its text and colours into VGA memory and hands every heap block back.
#include "arch/hw.hpp"
#include "cpu/mem.hpp"
#include "cpu/string.hpp"
#include "drivers/display.hpp"
#include "general/cbreak.hpp"
#include "tests/kernel/ktest.hpp"
#include "tests/support/heap_walk.hpp"

#include <stdint.h>

using namespace tavix;

namespace {

constexpr uint8_t escape_attribute = 0x1E; // "<(1e)>": yellow on blue

uint8_t attr_at(int row, int col) { return hw::text_buffer()[(row * screen_columns + col) * 2 + 1]; }

// True when `row` starts with `text` and holds only blanks after it.
bool row_is(int row, const char* text)
{
    const int length = strlen(text);
    for (int col = 0; col < screen_columns; ++col) {
        const uint8_t actual = hw::text_buffer()[(row * screen_columns + col) * 2];
        if (col < length ? actual != static_cast<uint8_t>(text[col]) : actual != ' ' && actual != 0)
            return false;
    }
    return true;
}

} // namespace

KTEST(script, runs_start_in_colour_and_hands_back_the_heap)
{
    const heap_test::heap_walk before = heap_test::walk_heap();
    // The script's output is read from the top of the screen; the runner's report goes on
    // below it and to the debug console.
    clear_screen();
    init_compiler("# on the real screen\n"
                  "int -> x = 5\n"
                  "func -> start() [\n"
                  "    print(\"plain <(1e)>lit 100%\")\n"
                  "    print_int(x + 2)\n"
                  "    print_int(10 - 3 - 2)\n"
                  "    print_int(2147483647 + 1)\n"
                  "    print_int(missing)\n"
                  "]\n");
    compile();
    KEXPECT(row_is(0, "Variable declared: x = 5"));
    KEXPECT(row_is(1, "Function declared: start (parameters: 0)"));
    KEXPECT(row_is(2, "plain lit 100%"));
    KEXPECT(attr_at(2, 0) == default_attribute);
    KEXPECT(attr_at(2, 6) == escape_attribute);
    KEXPECT(attr_at(2, 13) == escape_attribute);
    KEXPECT(row_is(3, "7"));
    KEXPECT(row_is(4, "9"));
    KEXPECT(row_is(5, "-2147483648"));
    // An undefined variable ends the run holding its name's heap block.
    KEXPECT(row_is(6, "Undefined variable 'missing'"));
    KEXPECT(row_is(7, "0Error: Expected ')' after print argument"));
    KEXPECT(script_has_error());
    free_compiler();
    const heap_test::heap_walk after = heap_test::walk_heap();
    KEXPECT(after.used_blocks == before.used_blocks);
    KEXPECT(after.free_bytes == before.free_bytes);
}
