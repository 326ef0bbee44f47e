// Preparing new directory entries: valid long names, unique short names, free slots and the slots' bytes.
#pragma once

#include "drivers/fs/fat32.hpp"

#include <stdint.h>

namespace tavix {

enum class name_check {
    ok,     // the name is free and *short_name holds a short name no entry uses
    exists, // an entry of that name (long or short, any case) is already there
    failed, // the directory could not be read (a message was printed)
};

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

// Where a new entry's slots go, found by the same walk that checks the name (see find_free_run
// for the meaning of the results).
struct slot_run {
    uint32_t count;         // slots wanted in a row
    uint8_t* buffer;        // a cluster buffer: it receives the cluster holding the run
    uint8_t* slot;          // the run's first slot in `buffer`, or null
    uint32_t found_cluster;
    uint32_t last_cluster;
    uint32_t unused_before;
    bool searched;          // false when the walk did not read the whole chain: use find_free_run
};

// Looks through the directory for `fname` and picks the short name for it: the basis when it
// lost nothing and is unused, otherwise the basis with the lowest unused tail. With `run`, the
// same walk also looks for the first run of run->count free slots in one cluster.
name_check choose_short_name(f32* fs, uint32_t dir_cluster, const char* fname, uint8_t* short_name,
    slot_run* run = nullptr);

// The first run of `count` free slots in one cluster of the chain from `first_cluster`,
// first fit in chain order, without growing the directory. On success the cluster is in
// `cluster_buffer` and *found_cluster names it. On null, *last_cluster is the chain's last
// cluster (0 when the chain is damaged or unreadable, so it must not be grown).
// *unused_before names the last cluster before the run that holds never-used (0x00) slots,
// or is 0: other systems stop reading a directory at such a slot, so it must be sealed
// (seal_unused_slots) before an entry is placed behind it.
uint8_t* find_free_run(f32* fs, uint8_t* cluster_buffer, uint32_t first_cluster, uint32_t count,
    uint32_t* found_cluster, uint32_t* last_cluster, uint32_t* unused_before);
// Marks the never-used slots of a directory cluster as deleted, writing only the sectors that
// changed; false when it could not be read or written.
bool seal_unused_slots(f32* fs, uint8_t* cluster_buffer, uint32_t cluster);

// True when at least `count` clusters are free.
bool has_free_clusters(f32* fs, uint32_t count);

// Fills `num_entries` slots from `start` with the long-name entries of `fname`, each slot
// cleared first, the name ended by 0x0000 and padded with 0xFFFF.
void write_long_name_slots(uint8_t* start, uint32_t num_entries, const char* fname, uint8_t checksum);
// Fills one cleared slot with a short entry.
void write_short_slot(uint8_t* slot, const uint8_t* short_name, uint8_t attrs, uint32_t first_cluster,
    uint32_t size);

} // namespace tavix
