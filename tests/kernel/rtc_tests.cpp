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

    // "RTC| YYYY-MM-DD hh:mm:ss": each field with the text that goes before it.
    struct field {
        const char* before;
        uint32_t value;
        int digits;
    };
    const field fields[] = {{clock_prefix, t.year, 4}, {"-", t.month, 2}, {"-", t.day, 2}, {" ", t.hour, 2},
        {":", t.minute, 2}, {":", t.second, 2}};
    for (const field& f : fields) {
        debug_print(f.before);
        debug_number(f.value, f.digits);
    }
    debug_print("\n");
}
