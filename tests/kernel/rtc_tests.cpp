// In-kernel test of the clock reader on QEMU's real CMOS clock: the date it reads goes to the
// debug console, where the system test compares it with the time QEMU started the clock at.
#include "arch/hw.hpp"
#include "drivers/rtc.hpp"
#include "tests/kernel/ktest.hpp"

#include <stdint.h>

using namespace tavix;

namespace {

constexpr uint16_t debug_console_port = 0xE9;
constexpr const char* clock_prefix = "RTC| ";

void debug_print(const char* s)
{
    while (*s)
        hw::out8(debug_console_port, static_cast<uint8_t>(*s++));
}

// Writes value as `digits` decimal digits, zero-padded.
void debug_number(uint32_t value, int digits)
{
    char s[11] = {};
    for (int i = digits - 1; i >= 0; --i) {
        s[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    debug_print(s);
}

} // namespace

KTEST(rtc, reads_the_clock)
{
    rtc_time t = {};
    KEXPECT(read_rtc(&t) == 1);

    debug_print(clock_prefix);
    debug_number(t.year, 4);
    debug_print("-");
    debug_number(t.month, 2);
    debug_print("-");
    debug_number(t.day, 2);
    debug_print(" ");
    debug_number(t.hour, 2);
    debug_print(":");
    debug_number(t.minute, 2);
    debug_print(":");
    debug_number(t.second, 2);
    debug_print("\n");
}
