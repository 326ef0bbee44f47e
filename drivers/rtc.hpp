// The CMOS real-time clock: the date and time that new directory entries are stamped with.
#pragma once

#include <stdint.h>

namespace tavix {

// The registers the kernel reads: a closed set of numbers that the driver and the simulated
// clock switch on. The century register is not in the original clock, but QEMU, Bochs and
// most PC firmware keep the century there.
enum cmos_register : uint8_t {
    reg_seconds = 0x00, reg_minutes = 0x02, reg_hours = 0x04, reg_day = 0x07, reg_month = 0x08, reg_year = 0x09,
    reg_status_a = 0x0A, reg_status_b = 0x0B,
    reg_century = 0x32,
};

// The index port selects a register, the data port reaches it. Bit 7 of the index masks NMIs.
constexpr uint16_t cmos_index_port = 0x70;
constexpr uint16_t cmos_data_port = 0x71;
constexpr uint8_t cmos_nmi_disable = 0x80;
constexpr uint8_t cmos_register_mask = 0x7F;

static_assert((reg_century & cmos_nmi_disable) == 0, "register numbers leave the NMI mask bit clear");

// Status register A: set while the clock is about to change or changing its time registers.
constexpr uint8_t status_a_update_in_progress = 0x80;
// Status register A's divider bits (6-4): 11x holds the divider chain in reset.
constexpr uint8_t status_a_divider_reset = 0x60;
// Status register B: the data format the firmware chose; the kernel only reads it.
constexpr uint8_t status_b_24_hour = 0x02;
constexpr uint8_t status_b_binary = 0x04;
// In 12-hour mode bit 7 of the hour register marks the afternoon.
constexpr uint8_t hour_pm = 0x80;

// A calendar date and time of day as the clock keeps it (the host's UTC time under QEMU).
struct rtc_time {
    uint16_t year;  // four digits, e.g. 2026
    uint8_t month;  // 1-12
    uint8_t day;    // 1-31
    uint8_t hour;   // 0-23
    uint8_t minute; // 0-59
    uint8_t second; // 0-59
};

// The years the clock reports: those a FAT date can hold, the one thing the time is used for.
constexpr uint16_t rtc_first_year = 1980;
constexpr uint16_t rtc_last_year = 2107;

// Reads the clock into *time. When the clock cannot be read (it never leaves its update
// cycle, or it holds no valid date) *time is 1980-01-01 00:00:00 and the result is 0. The
// year always lies within rtc_first_year..rtc_last_year.
uint8_t read_rtc(rtc_time* time);

} // namespace tavix
