// FAT timestamps from the CMOS clock.
#include "drivers/fs/fat32_time.hpp"

namespace tavix {

namespace {

constexpr uint32_t year_shift = 9;
constexpr uint32_t month_shift = 5;
constexpr uint32_t hour_shift = 11;
constexpr uint32_t minute_shift = 5;
// Times are stored in two-second steps; the creation time's hundredths byte keeps the odd one.
constexpr uint32_t seconds_per_step = 2;
constexpr uint8_t hundredths_per_second = 100;

} // namespace

fat_timestamp fat_pack_time(const rtc_time& time)
{
    uint32_t year = time.year < fat_epoch_year ? fat_epoch_year : time.year > fat_last_year ? fat_last_year : time.year;
    fat_timestamp stamp{};
    stamp.date = static_cast<uint16_t>(((year - fat_epoch_year) << year_shift) | (time.month << month_shift) | time.day);
    stamp.time = static_cast<uint16_t>((time.hour << hour_shift) | (time.minute << minute_shift) |
        (time.second / seconds_per_step));
    stamp.hundredths = static_cast<uint8_t>((time.second % seconds_per_step) * hundredths_per_second);
    return stamp;
}

fat_timestamp fat_now()
{
    rtc_time now{};
    // A clock that cannot be read leaves 1980-01-01 00:00:00 in `now`, a valid FAT date.
    read_rtc(&now);
    return fat_pack_time(now);
}

} // namespace tavix
