// The CMOS real-time clock: the date and time that new directory entries are stamped with.
#include "drivers/rtc.hpp"

#include "io/iotools.hpp"

namespace tavix {

namespace {

// Registers are selected with the NMI mask bit clear every time: the kernel never masks NMIs,
// and a register selected with the bit set would leave them masked after the read.

// Two snapshots in a row must agree, so that a second ticking over between two registers
// never gives a torn time. A tick costs at most two extra snapshots (the torn one and the one
// that differs from it); more disagreements than that mean the registers do not hold still.
constexpr uint32_t rtc_snapshot_attempts = 5;
static_assert(rtc_snapshot_attempts >= 4, "a tick inside the second snapshot must still leave two that agree");

// The standard registers hold only two year digits. Where the century register holds no
// plausible century, years 00-79 are taken as 2000-2079 and 80-99 as 1980-1999.
constexpr uint8_t rtc_century_pivot = 80;
constexpr uint16_t rtc_low_years_century = 2000;
constexpr uint16_t rtc_high_years_century = 1900;
static_assert(rtc_high_years_century + rtc_century_pivot == rtc_first_year, "the window starts at the first year");
static_assert(rtc_low_years_century + rtc_century_pivot - 1 <= rtc_last_year, "the window ends within the range");
constexpr uint8_t years_per_century = 100;

constexpr uint8_t months_per_year = 12;
constexpr uint8_t hours_per_day = 24;
constexpr uint8_t hours_per_half_day = 12;
constexpr uint8_t minutes_per_hour = 60;
constexpr uint8_t seconds_per_minute = 60;
constexpr uint8_t days_in_month[months_per_year] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr uint8_t february = 2;

constexpr rtc_time rtc_fallback = {rtc_first_year, 1, 1, 0, 0, 0};

// The registers of one reading, as the clock stored them.
struct rtc_registers {
    uint8_t second;
    uint8_t minute;
    uint8_t hour;
    uint8_t day;
    uint8_t month;
    uint8_t year;
    uint8_t century;
    uint8_t status_b;

    bool operator==(const rtc_registers&) const = default;
};

uint8_t read_register(uint8_t reg)
{
    port_byte_out(cmos_index_port, static_cast<uint8_t>(reg & cmos_register_mask));
    return port_byte_in(cmos_data_port);
}

// A divider held in reset keeps the clock from counting at all: there is no update to wait
// for. A missing clock reads the same way, its port floating at 0xFF.
bool divider_in_reset(uint8_t status_a) { return (status_a & status_a_divider_reset) == status_a_divider_reset; }

// False when the clock stays in its update (the read gives up rather than hang a shell
// command) or does not count at all.
bool wait_until_no_update()
{
    status_wait w = wait_for_status(rtc_update_wait_reads, [] { return read_register(reg_status_a); },
        [](uint8_t status_a) { return divider_in_reset(status_a) || (status_a & status_a_update_in_progress) == 0; });
    return w.met && !divider_in_reset(w.status);
}

rtc_registers read_registers()
{
    rtc_registers r;
    r.second = read_register(reg_seconds);
    r.minute = read_register(reg_minutes);
    r.hour = read_register(reg_hours);
    r.day = read_register(reg_day);
    r.month = read_register(reg_month);
    r.year = read_register(reg_year);
    r.century = read_register(reg_century);
    r.status_b = read_register(reg_status_b);
    return r;
}

// Decodes one register value in the clock's format; false when it is not a number of that
// format (a BCD digit above 9).
bool decode_value(uint8_t raw, bool binary, uint8_t* value)
{
    if (binary) {
        *value = raw;
        return true;
    }
    const uint8_t tens = raw >> 4;
    const uint8_t units = raw & 0x0F;
    if (tens > 9 || units > 9)
        return false;
    *value = static_cast<uint8_t>(tens * 10 + units);
    return true;
}

bool is_leap_year(uint16_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

uint8_t month_length(uint16_t year, uint8_t month)
{
    if (month == february && is_leap_year(year))
        return days_in_month[month - 1] + 1;
    return days_in_month[month - 1];
}

// The 24-hour hour from the hour register; false when the register holds no valid hour.
bool decode_hour(uint8_t raw, uint8_t status_b, uint8_t* hour)
{
    const bool binary = (status_b & status_b_binary) != 0;
    if (status_b & status_b_24_hour)
        return decode_value(raw, binary, hour) && *hour < hours_per_day;
    uint8_t clock_hour;
    if (!decode_value(static_cast<uint8_t>(raw & ~hour_pm), binary, &clock_hour))
        return false;
    if (clock_hour == 0 || clock_hour > hours_per_half_day)
        return false;
    // 12 AM is midnight and 12 PM is noon.
    *hour = clock_hour % hours_per_half_day;
    if (raw & hour_pm)
        *hour = static_cast<uint8_t>(*hour + hours_per_half_day);
    return true;
}

// The four-digit year. The century register is believed when it holds a number of the clock's
// format that, with the two year digits, gives a year the clock may report: a firmware that
// does not keep it leaves 0 or anything else there.
uint16_t full_year(uint8_t year, uint8_t century_register, bool binary)
{
    uint8_t century;
    if (decode_value(century_register, binary, &century)) {
        const uint32_t full = century * years_per_century + year;
        if (full >= rtc_first_year && full <= rtc_last_year)
            return static_cast<uint16_t>(full);
    }
    return static_cast<uint16_t>((year < rtc_century_pivot ? rtc_low_years_century : rtc_high_years_century) + year);
}

bool decode_time(const rtc_registers& r, rtc_time* time)
{
    const bool binary = (r.status_b & status_b_binary) != 0;
    uint8_t year;
    if (!decode_value(r.second, binary, &time->second) || !decode_value(r.minute, binary, &time->minute)
        || !decode_hour(r.hour, r.status_b, &time->hour) || !decode_value(r.day, binary, &time->day)
        || !decode_value(r.month, binary, &time->month) || !decode_value(r.year, binary, &year))
        return false;
    if (year >= years_per_century || time->second >= seconds_per_minute || time->minute >= minutes_per_hour)
        return false;
    time->year = full_year(year, r.century, binary);
    if (time->month < 1 || time->month > months_per_year)
        return false;
    return time->day >= 1 && time->day <= month_length(time->year, time->month);
}

} // namespace

uint8_t read_rtc(rtc_time* time)
{
    rtc_registers previous = {};
    for (uint32_t attempt = 0; attempt < rtc_snapshot_attempts; ++attempt) {
        if (!wait_until_no_update())
            break;
        const rtc_registers current = read_registers();
        if (attempt > 0 && current == previous) {
            if (decode_time(current, time))
                return 1;
            break;
        }
        previous = current;
    }
    *time = rtc_fallback;
    return 0;
}

} // namespace tavix
