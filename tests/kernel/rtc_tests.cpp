// In-kernel test of the clock reader on QEMU's real CMOS clock: the date it reads goes to the
// debug console, where the system test compares it with the time QEMU started the clock at.
#include "arch/hw.hpp"
#include "drivers/rtc.hpp"
#include "tests/kernel/ktest.hpp"

#include <stdint.h>

using namespace tavix;
using tavix::ktest::debug_number;
using tavix::ktest::debug_print;

namespace {

constexpr const char* clock_prefix = "RTC| ";

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
