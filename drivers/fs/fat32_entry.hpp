// Directory entries as operations find them: a name looked up, the place for a new entry read from the directory's record, an entry removed; the directory cache is kept true here.
#pragma once

#include "cpu/mem.hpp"
#include "drivers/fs/fat32_dir.hpp"
#include "drivers/fs/fat32_volume.hpp"

#include <stdint.h>

namespace tavix {

// ---- Lookup: the name and the room for it ----
enum class lookup_result : uint8_t { found, missing, failed };
// The entry called `name` (its name a heap string the caller releases). Failed when the
// directory cannot be read to its end, or no heap was left for the walk.
lookup_result find_entry(f32* fs, uint32_t dir_cluster, const char* name, dir_entry* entry);
// True when the entry a walk has just decoded (its short entry at where.last) is called `name`:
// its decoded name or its short alias, in any case, as every FAT reader matches names.
bool entry_is_named(const dir_entry& entry, const walk_slots& where, const char* name);
// Walks on to the entry called `name`. Found leaves the walk standing at it, with *entry (whose
// name the caller releases) and *where; missing means the walk read the whole directory, failed
// that it could not (*entry then has no name).
lookup_result walk_to_entry(dir_walk* walk, const char* name, dir_entry* entry, walk_slots* where);
// Walks the directory at dir_cluster to the entry called `name` and, when it is found, calls
// act(walk, where, entry) while the walk stands at it; the entry's name is released after
// (act may take it over, leaving null). The lookup's result.
template <class Act>
lookup_result at_entry(f32* fs, uint32_t dir_cluster, const char* name, Act act)
{
    dir_walk walk{};
    if (!dir_walk_begin(&walk, fs, dir_cluster))
        return lookup_result::failed;
    dir_entry entry{};
    walk_slots where{};
    lookup_result found = walk_to_entry(&walk, name, &entry, &where);
    if (found == lookup_result::found)
        act(&walk, where, entry);
    mfree(entry.name);
    dir_walk_end(&walk);
    return found;
}
// Prints the line for a name that a lookup did not find: missing, or a directory that
// cannot be read to its end.
void report_not_found(lookup_result found, const char* who, const char* name);

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
// for it (pick_short_name); then finds the first place->count free slots side by side in one
// cluster, first fit in chain order. Both answers come from the directory's record: the
// cache's when it holds the directory and cannot hold the name, otherwise the record of one
// new walk, which the cache then keeps.
name_check find_place(f32* fs, uint32_t dir_cluster, const char* fname, uint8_t* short_name, entry_place* place);
// True when no slots were found and one more cluster would take the directory past
// fat32_max_dir_slots.
bool growth_would_overflow(f32* fs, const entry_place* place);

// ---- Remove ----
// Marks deleted the slots of the entry that a walk of the directory at dir_cluster has just
// returned (`where`): the sector holding its short entry first, so that a cut leaves at worst
// unused long-name slots. False when a write failed; the clean-shutdown mark then stays
// cleared for a checker to judge. A deleted directory's clusters may come back as another
// directory's, so nothing the cache learned about it outlives it.
bool remove_entry(f32* fs, uint32_t dir_cluster, dir_walk* walk, const walk_slots& where, bool directory);

} // namespace tavix
