// FAT timestamps: the clock's date and time in the packed form directory entries store.
#pragma once

#include <stdint.h>

#include "drivers/rtc.hpp"

namespace tavix {

// A moment as a short entry stores it.
struct fat_timestamp {
    uint16_t date;       // bits 15-9 years since 1980, 8-5 month, 4-0 day
    uint16_t time;       // bits 15-11 hour, 10-5 minute, 4-0 seconds / 2
    uint8_t hundredths;  // the creation time's odd second, in hundredths (0 or 100)
};

// The earliest moment FAT can store, 1980-01-01 00:00:00, which a clock that cannot be read gives.
constexpr uint16_t fat_epoch_year = 1980;
constexpr uint16_t fat_last_year = fat_epoch_year + 127;

// Packs a clock reading; years outside 1980-2107 are clamped to the nearest one FAT can hold.
fat_timestamp fat_pack_time(const rtc_time& time);
// The clock's current time, packed.
fat_timestamp fat_now();

// A date and time as a short entry packs them (dir_entry's modified_date and modified_time),
// unpacked; fields out of range stay as stored.
rtc_time fat_unpack_time(uint16_t date, uint16_t time);

} // namespace tavix
