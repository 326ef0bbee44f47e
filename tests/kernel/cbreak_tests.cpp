// In-kernel tests of the script compiler: a script compiled and run on the real machine
// writes its text and colours into VGA memory, and a run hands every heap block back.
#include "arch/hw.hpp"
#include "cpu/mem.hpp"
#include "cpu/string.hpp"
#include "drivers/display.hpp"
#include "general/cbreak.hpp"
#include "tests/kernel/ktest.hpp"

#include <stdint.h>

using namespace tavix;

namespace {

constexpr uint8_t escape_attribute = 0x1E; // "<(1e)>": yellow on blue

// Saves the screen and cursor so that a test can clear it, read what a script printed from
// the top, and then put the runner's report back as it was.
class ScreenScope {
public:
    ScreenScope()
    {
        saved_ = static_cast<uint8_t*>(malloc(screen_bytes));
        cursor_ = get_cursor();
        if (saved_ == nullptr)
            return;
        volatile uint8_t* vga = hw::text_buffer();
        for (uint16_t i = 0; i < screen_bytes; ++i)
            saved_[i] = vga[i];
        clear_screen();
    }
    ~ScreenScope()
    {
        if (saved_ == nullptr)
            return;
        volatile uint8_t* vga = hw::text_buffer();
        for (uint16_t i = 0; i < screen_bytes; ++i)
            vga[i] = saved_[i];
        set_cursor(cursor_);
        mfree(saved_);
    }
    bool ok() const { return saved_ != nullptr; }

private:
    uint8_t* saved_;
    uint16_t cursor_;
};

uint8_t char_at(int row, int col) { return hw::text_buffer()[(row * screen_columns + col) * 2]; }
uint8_t attr_at(int row, int col) { return hw::text_buffer()[(row * screen_columns + col) * 2 + 1]; }

// True when `row` starts with `text` and holds only blanks after it.
bool row_is(int row, const char* text)
{
    const int length = strlen(text);
    for (int col = 0; col < screen_columns; ++col) {
        const uint8_t expected = col < length ? static_cast<uint8_t>(text[col]) : ' ';
        const uint8_t actual = char_at(row, col);
        if (actual != expected && !(col >= length && actual == 0))
            return false;
    }
    return true;
}

void run_script(const char* source)
{
    init_compiler(source);
    compile();
    free_compiler();
}

} // namespace

KTEST(script, declares_runs_start_and_prints_in_colour)
{
    ScreenScope screen;
    KEXPECT(screen.ok());
    run_script("# on the real screen\n"
               "int -> x = 5\n"
               "func -> start() [\n"
               "    print(\"plain <(1e)>lit 100%\")\n"
               "    print_int(x + 2)\n"
               "    print_int(10 - 3 - 2)\n"
               "    print_int(2147483647 + 1)\n"
               "]\n");
    KEXPECT(!script_has_error());
    KEXPECT(row_is(0, "Variable declared: x = 5"));
    KEXPECT(row_is(1, "Function declared: start (parameters: 0)"));
    KEXPECT(row_is(2, "plain lit 100%"));
    KEXPECT(attr_at(2, 0) == default_attribute);
    KEXPECT(attr_at(2, 6) == escape_attribute);
    KEXPECT(attr_at(2, 13) == escape_attribute);
    KEXPECT(row_is(3, "7"));
    KEXPECT(row_is(4, "9"));
    KEXPECT(row_is(5, "-2147483648"));
    KEXPECT(get_cursor() == 6 * row_bytes);
}

KTEST(script, error_stops_the_run_and_is_reported)
{
    ScreenScope screen;
    KEXPECT(screen.ok());
    run_script("func -> start() [ print(\"a\") print(\"b\" print(\"never\") ]");
    KEXPECT(script_has_error());
    KEXPECT(row_is(0, "Function declared: start (parameters: 0)"));
    KEXPECT(row_is(1, "a"));
    KEXPECT(row_is(2, "bError: Expected ')' after print argument"));
    KEXPECT(row_is(3, ""));
}

KTEST(script, runs_hand_back_every_heap_block)
{
    ScreenScope screen;
    KEXPECT(screen.ok());
    const uint32_t used_before = heap_used_blocks();
    const uint32_t free_before = heap_free_bytes();
    run_script("int -> a = 1 func -> f(p, q) [ [ ] ] func -> start() [ print_int(a * 3) print(\"x\") ]");
    run_script("int -> a = \"not a number\"");
    run_script("func -> start() [ print_int(missing) ]");
    KEXPECT(heap_used_blocks() == used_before);
    KEXPECT(heap_free_bytes() == free_before);
}
