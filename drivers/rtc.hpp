// The CMOS real-time clock: the date and time that new directory entries are stamped with.
#pragma once

#include <stdint.h>

namespace tavix {

// A calendar date and time of day as the clock keeps it (the host's UTC time under QEMU).
struct rtc_time {
    uint16_t year;  // four digits, e.g. 2026
    uint8_t month;  // 1-12
    uint8_t day;    // 1-31
    uint8_t hour;   // 0-23
    uint8_t minute; // 0-59
    uint8_t second; // 0-59
};

// Reads the clock into *time. When the clock cannot be read (it never leaves its update
// cycle, or it holds no valid date) *time is 1980-01-01 00:00:00 and the result is 0.
uint8_t read_rtc(rtc_time* time);

} // namespace tavix
