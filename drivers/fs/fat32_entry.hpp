// Directory entries as operations compose them: a name looked up with room found for it, an entry inserted as one transaction, an entry removed; the directory cache is kept true here.
#pragma once

#include "drivers/fs/fat32_dir.hpp"
#include "drivers/fs/fat32_time.hpp"

#include <stdint.h>

namespace tavix {

// ---- Lookup: the name and the room for it ----
enum class name_check {
    ok,         // the name is free and *short_name holds a short name no entry uses
    exists,     // an entry of that name (long or short, any case) is already there
    unreadable, // the directory cannot be read to its end: nothing may be created in it
    failed,     // no heap, or no short name left (a message was printed)
};

// Where a new entry's slots go: find_place plans it, reserve_place makes room for it.
struct entry_place {
    uint32_t count;         // slots wanted in a row
    uint8_t* buffer;        // a cluster buffer: it receives the cluster holding the slots
    uint8_t* slot;          // the first slot in `buffer`, or null: the directory must grow
    uint32_t found_cluster; // the cluster in `buffer`
    uint32_t last_cluster;  // the chain's last cluster
    uint32_t unused_before; // the last cluster before the slots holding never-used slots, or 0
    uint32_t clusters;      // clusters of the directory's chain
    uint32_t grown;         // the cluster reserve_place claimed for growth, or 0
    // The slot after the new entry's when it lies behind the directory's end and still holds
    // old bytes: reserve_place makes it the end again. end_cluster 0: there is none.
    uint32_t end_cluster;
    uint32_t end_index;
};

// Looks through the directory for `fname` (null: no name to check) and picks the short name
// for it (pick_short_name). The same look finds the first place->count free slots side by
// side in one cluster, first fit in chain order. It is the directory cache's when the cache
// holds the directory and cannot hold the name, otherwise one walk, which the cache keeps.
name_check find_place(f32* fs, uint32_t dir_cluster, const char* fname, uint8_t* short_name, entry_place* place);
// True when no slots were found and one more cluster would take the directory past
// fat32_max_dir_slots.
bool growth_would_overflow(f32* fs, const entry_place* place);

// ---- Insert ----
// An entry to create. A directory (attrs with attr_directory and no setcluster) gets a new
// cluster holding "." and ".."; a file gets the clusters its flen bytes need (none when
// empty); an entry with setcluster points at that cluster and gets none.
struct new_entry {
    const char* who;      // the operation named in messages
    const char* name;
    const uint8_t* data;  // flen bytes, or null for a directory
    uint32_t flen;
    uint8_t attrs;
    uint32_t setcluster;  // nonzero: point at this cluster, allocate and write nothing
    fat_timestamp stamp;  // when it is created: one clock reading for all its entries
};

// Creates the entry in the directory at dir_cluster as one transaction: every check first,
// then the writes in the order that survives a power cut (clean-shutdown mark cleared, new
// clusters, the FAT in every copy, the directory slots, FSInfo, the mark set again), and on a
// failure before the slots are written one undo that leaves the volume as it was. False when
// nothing was created (one message printed).
bool create_entry(f32* fs, uint32_t dir_cluster, const new_entry& e);

// Gives the directory at dir_cluster its "." and ".." entries in its first two slots, which
// must be free; `who` names the operation in messages. False after one message.
bool add_dot_entries(f32* fs, uint32_t dir_cluster, uint32_t parent_cluster, const char* who);

// ---- Remove ----
// Marks deleted the slots of the entry that a walk of the directory at dir_cluster has just
// returned (`where`): the sector holding its short entry first, so that a cut leaves at worst
// unused long-name slots. False when a write failed; the clean-shutdown mark then stays
// cleared for a checker to judge. A deleted directory's clusters may come back as another
// directory's, so nothing the cache learned about it outlives it.
bool remove_entry(f32* fs, uint32_t dir_cluster, dir_walk* walk, const walk_slots& where, bool directory);

} // namespace tavix
