// Names of new directory entries and the bytes of their slots: valid long names, short names, long-name, short and dot entries.
#pragma once

#include "drivers/fs/fat32.hpp"
#include "drivers/fs/fat32_time.hpp"

#include <stdint.h>

namespace tavix {

// True for a name of 1 to 255 printable ASCII characters, none of them reserved by FAT,
// that is not "." or "..".
bool is_valid_long_name(const char* fname);
// Long-name entries a name takes: 13 characters each.
uint32_t long_name_entry_count(const char* fname);

// The short-name basis of a name (upper case, characters a short name cannot hold dropped
// or replaced with '_', base and extension cut to 8 and 3). True when that lost anything
// but case, so the name needs a numeric tail.
bool short_name_basis(const char* fname, uint8_t* field);
// The basis with the tail ~n, the base shortened to make room for it.
void short_name_with_tail(const uint8_t* basis, uint32_t n, uint8_t* field);
// The short name for `fname` among the `count` 11-byte short names in use: the basis when it
// lost nothing and is unused, otherwise the basis with the lowest unused tail. False, after
// a message, when every tail is taken.
bool pick_short_name(const char* fname, const uint8_t* names, uint32_t count, uint8_t* short_name);

// Fills `num_entries` slots from `start` with the long-name entries of `fname`, each slot
// cleared first, the name ended by 0x0000 and padded with 0xFFFF.
void write_long_name_slots(uint8_t* start, uint32_t num_entries, const char* fname, uint8_t checksum);
// Fills one slot with a short entry created, modified and last accessed at `stamp`.
void write_short_slot(uint8_t* slot, const uint8_t* short_name, uint8_t attrs, uint32_t first_cluster,
    uint32_t size, const fat_timestamp& stamp);
// Points a short entry at its first cluster.
void write_slot_cluster(uint8_t* slot, uint32_t first_cluster);
// Dates a short entry's last change (and last access) at `stamp`.
void stamp_modified(uint8_t* slot, const fat_timestamp& stamp);

// A directory's own entries, in its first two slots.
constexpr char dot_name[] = ".";
constexpr char dotdot_name[] = "..";
constexpr uint32_t dot_slot = 0;
constexpr uint32_t dotdot_slot = 1;
bool is_dot_entry(const char* name);
// Fills the first two slots of a new directory's cluster: "." for itself, ".." for its parent
// (stored as 0 when the parent is the root).
void write_dot_entries(f32* fs, uint8_t* cluster_buffer, uint32_t self, uint32_t parent, const fat_timestamp& stamp);

} // namespace tavix
