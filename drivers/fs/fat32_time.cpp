// FAT timestamps from the CMOS clock.
#include "drivers/fs/fat32_time.hpp"

namespace tavix {

namespace {

// A field of a packed date or time: `width` bits from bit `shift`.
struct packed_field {
    uint32_t shift;
    uint32_t width;
};
constexpr uint32_t packed_fields = 3;
// Years since 1980, month, day.
constexpr packed_field date_layout[packed_fields] = {{9, 7}, {5, 4}, {0, 5}};
// Hour, minute, seconds in two-second steps.
constexpr packed_field time_layout[packed_fields] = {{11, 5}, {5, 6}, {0, 5}};

// The fields run from bit 15 down to bit 0 without a gap.
constexpr bool fills_16_bits(const packed_field (&layout)[packed_fields])
{
    uint32_t next = 16;
    for (const packed_field& field : layout) {
        if (field.shift + field.width != next)
            return false;
        next = field.shift;
    }
    return next == 0;
}
static_assert(fills_16_bits(date_layout) && fills_16_bits(time_layout), "a packed date or time is 16 bits");
static_assert(fat_last_year - fat_epoch_year == (1u << date_layout[0].width) - 1, "the year field holds 1980-2107");

uint16_t pack(const packed_field (&layout)[packed_fields], const uint32_t (&values)[packed_fields])
{
    uint32_t packed = 0;
    for (uint32_t i = 0; i < packed_fields; ++i)
        packed |= (values[i] & ((1u << layout[i].width) - 1)) << layout[i].shift;
    return static_cast<uint16_t>(packed);
}

uint32_t unpack(const packed_field& field, uint16_t packed) { return (packed >> field.shift) & ((1u << field.width) - 1); }

// Times are stored in two-second steps; the creation time's hundredths byte keeps the odd one.
constexpr uint32_t seconds_per_step = 2;
constexpr uint8_t hundredths_per_second = 100;

} // namespace

fat_timestamp fat_pack_time(const rtc_time& time)
{
    uint32_t year = time.year < fat_epoch_year ? fat_epoch_year : time.year > fat_last_year ? fat_last_year : time.year;
    fat_timestamp stamp{};
    stamp.date = pack(date_layout, {year - fat_epoch_year, time.month, time.day});
    stamp.time = pack(time_layout, {time.hour, time.minute, time.second / seconds_per_step});
    stamp.hundredths = static_cast<uint8_t>((time.second % seconds_per_step) * hundredths_per_second);
    return stamp;
}

rtc_time fat_unpack_time(uint16_t date, uint16_t time)
{
    rtc_time unpacked{};
    unpacked.year = static_cast<uint16_t>(fat_epoch_year + unpack(date_layout[0], date));
    unpacked.month = static_cast<uint8_t>(unpack(date_layout[1], date));
    unpacked.day = static_cast<uint8_t>(unpack(date_layout[2], date));
    unpacked.hour = static_cast<uint8_t>(unpack(time_layout[0], time));
    unpacked.minute = static_cast<uint8_t>(unpack(time_layout[1], time));
    unpacked.second = static_cast<uint8_t>(unpack(time_layout[2], time) * seconds_per_step);
    return unpacked;
}

fat_timestamp fat_now()
{
    rtc_time now{};
    // A clock that cannot be read leaves 1980-01-01 00:00:00 in `now`, a valid FAT date.
    read_rtc(&now);
    return fat_pack_time(now);
}

} // namespace tavix
