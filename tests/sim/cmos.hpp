// The simulated CMOS real-time clock: an index port (0x70) and a data port (0x71).
#pragma once

#include <cstdint>

namespace sim {

// The date and time the clock keeps, with a four-digit year (two digits in the year register,
// the century in register 0x32 as QEMU and most PC firmware keep it).
struct CmosTime {
    int year;
    int month;
    int day;
    int hour; // 0-23, shown in the clock's 12- or 24-hour format
    int minute;
    int second;
};

// The clock's registers encode its time in the format status register B selects (BCD or
// binary, 12- or 24-hour). Register A shows the update-in-progress bit for as many reads as a
// test asks, and the clock can tick over by one second in the middle of a reading.
class Cmos;

// The one clock of the simulated PC, attached on first use. Reset it in each test.
Cmos& cmos();

// 2000-01-01 00:00:00 in BCD and 24-hour mode (the PC firmware's format), no update in
// progress, no tick pending, counters zero, no register overridden.
void cmos_reset();
void cmos_set_time(const CmosTime& time);
CmosTime cmos_time();
void cmos_set_format(bool bcd, bool hour_24);
// Register A reads that show the update-in-progress bit from now on; cmos_update_for_ever
// keeps it set for good (a dead clock).
constexpr int cmos_update_for_ever = -1;
void cmos_set_update_in_progress(int reads);
// The clock advances one second (carrying into minutes, hours, days, months and years) after
// this many further reads of its time registers; with `repeat` it does so every that many.
void cmos_tick_after_reads(int reads, bool repeat);
// Makes one register read as `value` whatever the time, until cmos_reset.
void cmos_override_register(uint8_t reg, uint8_t value);

// Takes the clock off the bus, so that its ports float high, until the next cmos_reset.
void cmos_remove();

// Reads of the time registers (seconds to year, and the century) since the reset.
int cmos_time_reads();
// Of those, the ones made while register A still showed an update in progress.
int cmos_time_reads_during_update();
int cmos_status_a_reads();

} // namespace sim
