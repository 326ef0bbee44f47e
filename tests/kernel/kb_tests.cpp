// In-kernel tests of the line readers with real key presses. Each test prints a
// "KB READY <n>" marker; the system test types the keys for step n once it sees it.
#include "arch/hw.hpp"
#include "cpu/pit.hpp"
#include "cpu/string.hpp"
#include "drivers/display.hpp"
#include "io/kb.hpp"
#include "tests/kernel/ktest.hpp"

#include <stdint.h>

using namespace tavix;

namespace {

// Bounds the wait for keys typed by the host, in 1 ms timer ticks.
constexpr int typing_timeout_ms = 60000;

// Static rather than on the 8 KiB boot stack; the extra bytes catch any copy past the line.
constexpr int guard_bytes = 16;
constexpr uint8_t guard_value = 0xA5;
constinit uint8_t line_buffer[input_capacity + 1 + guard_bytes] = {};

void start_step(const char* marker)
{
    strnone(input);
    enter = 0;
    kprint(marker);
}

bool guard_intact()
{
    for (int i = 0; i < guard_bytes; ++i) {
        if (line_buffer[input_capacity + 1 + i] != guard_value)
            return false;
    }
    return true;
}

} // namespace

KTEST(keyboard, get_string_reads_one_typed_line)
{
    for (uint8_t& b : line_buffer)
        b = guard_value;
    start_step("KB READY 1\n");
    // The host types: Hello World! and Enter.
    get_string(line_buffer);
    KEXPECT(strcmp(input, "Hello World!") == 0);
    KEXPECT(strcmp(reinterpret_cast<char*>(line_buffer), "Hello World!") == 0);
    // Only the line and its terminator were copied.
    KEXPECT(line_buffer[13] == guard_value);
    KEXPECT(guard_intact());
    KEXPECT(enter == 0);
    strnone(input);
}

KTEST(keyboard, get_string_marks_and_modifiers)
{
    start_step("KB READY 2\n");
    // The host holds Shift for "a", toggles Caps Lock around "1;", types a backtick and an
    // apostrophe with Shift held, a Backspace after "x", then Enter.
    get_string(nullptr);
    KEXPECT(strcmp(input, "A!:~'") == 0);
    KEXPECT(capsOn == 0);
    KEXPECT(capsLock == 0);
    strnone(input);
}

KTEST(keyboard, agent_get_string_returns_at_once_and_masks)
{
    start_step("");
    char* line = agent_get_string();
    KEXPECT(line == input);
    KEXPECT(line[0] == 0);
    kprint("KB READY 3\n");
    // The host types: s3cret and Enter.
    for (int ms = 0; ms < typing_timeout_ms && enter != 1; ++ms)
        wait(1);
    KEXPECT(enter == 1);
    KEXPECT(strcmp(line, "s3cret") == 0);
    // The stars fill the start of the row above the one Enter moved to.
    const volatile uint8_t* row = hw::text_buffer() + (get_cursor_y() - 1) * row_bytes;
    bool masked = true;
    for (int i = 0; i < 6; ++i)
        masked = masked && row[i * 2] == '*';
    masked = masked && row[6 * 2] != '*';
    KEXPECT(masked);
    enter = 0;
    strnone(input);
}
