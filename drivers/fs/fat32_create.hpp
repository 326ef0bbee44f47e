// Preparing new directory entries: valid long names, unique short names, free slots and the slots' bytes.
#pragma once

#include "drivers/fs/fat32.hpp"
#include "drivers/fs/fat32_time.hpp"

#include <stdint.h>

namespace tavix {

enum class name_check {
    ok,         // the name is free and *short_name holds a short name no entry uses
    exists,     // an entry of that name (long or short, any case) is already there
    unreadable, // the directory cannot be read to its end: nothing may be created in it
    failed,     // no heap, or no short name left (a message was printed)
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

// Creating an entry takes four steps that every creation shares: find_slots walks the
// directory once (name check, short name, first free run), reserve_slots makes room (seals
// never-used slots other systems would stop at, claims a cluster when the directory must
// grow), the caller writes its data, then the FAT, then the slots, then FSInfo; and
// undo_reservation gives back what was claimed when a step fails.
struct slot_run {
    uint32_t count;         // slots wanted in a row
    uint8_t* buffer;        // a cluster buffer: it receives the cluster holding the run
    uint8_t* slot;          // the run's first slot in `buffer`, or null: the directory must grow
    uint32_t found_cluster; // the cluster in `buffer`
    uint32_t last_cluster;  // the chain's last cluster
    uint32_t unused_before; // the last cluster before the run holding never-used slots, or 0
    uint32_t clusters;      // clusters of the directory's chain
    uint32_t grown;         // the cluster reserve_slots claimed for growth, or 0
};

// Looks through the directory for `fname` (null: no name to check) and picks the short name
// for it: the basis when it lost nothing and is unused, otherwise the basis with the lowest
// unused tail. The same walk finds the first run of run->count free slots in one cluster,
// first fit in chain order.
name_check find_slots(f32* fs, uint32_t dir_cluster, const char* fname, uint8_t* short_name, slot_run* run);

// True when no run was found and one more cluster would take the directory past
// fat32_max_dir_slots.
bool growth_would_overflow(f32* fs, const slot_run* run);

enum class reserve_result { ok, full, failed };
// Makes room for the run found: seals never-used slots before it and, when no run was found,
// claims a cluster (in memory, not yet linked) whose buffer starts zeroed. `full` when
// growing would take the directory past fat32_max_dir_slots; `failed` when a disk write
// failed or no cluster was free.
reserve_result reserve_slots(f32* fs, slot_run* run);
// Links a claimed growth cluster behind the directory's last cluster (in memory).
bool link_grown_cluster(f32* fs, slot_run* run);
// Frees the clusters of a creation in memory: the chain from `first_data` (0: none) and the
// growth cluster, unlinked again. The caller writes the FAT if it had written it before.
void undo_reservation(f32* fs, slot_run* run, uint32_t first_data);
// Marks the never-used slots of a directory cluster as deleted, writing only the sectors that
// changed; false when it could not be read or written.
bool seal_unused_slots(f32* fs, uint8_t* cluster_buffer, uint32_t cluster);

// True when at least `count` clusters are free.
bool has_free_clusters(f32* fs, uint32_t count);

// Fills `num_entries` slots from `start` with the long-name entries of `fname`, each slot
// cleared first, the name ended by 0x0000 and padded with 0xFFFF.
void write_long_name_slots(uint8_t* start, uint32_t num_entries, const char* fname, uint8_t checksum);
// Fills one slot with a short entry created, modified and last accessed at `stamp`.
void write_short_slot(uint8_t* slot, const uint8_t* short_name, uint8_t attrs, uint32_t first_cluster,
    uint32_t size, const fat_timestamp& stamp);

} // namespace tavix
