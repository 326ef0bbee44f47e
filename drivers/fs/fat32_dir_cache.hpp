// What one walk of a directory learned, kept so that the next creation in it needs no walk.
#pragma once

#include "drivers/fs/fat32_dir.hpp"

#include <stdint.h>

namespace tavix {

// Without it every creation reads its whole directory again to check the name and find free
// slots, and n creations in one directory read O(n^2) sectors. The mount keeps one directory
// (the one entries were last created in): its chain, the state of each slot and the names in
// use. Every change the driver itself makes to that directory updates it; a failure of any
// step drops it, and the next creation walks the directory again. Slots behind the directory's
// end are free: never_used when they read so, stale when they still hold old bytes (the slot
// after a new entry must then be made the end again).
enum class cached_slot : uint8_t { in_use, never_used, deleted, stale };

// A name in use, for the duplicate check and the choice of a short name. Long names are held
// as hashes of their upper-case form: a name whose hash matches one of them is checked
// against the directory itself.
struct cached_name {
    uint32_t slot;       // its short entry's slot, counted from the start of the chain
    uint32_t long_hash;  // the decoded name (the long name, or the short name with its case)
    uint32_t short_hash; // the short name as BASE.EXT
};

struct dir_cache {
    uint32_t first_cluster; // the directory's chain starts here (the root's own number, never 0)
    uint32_t slots_per_cluster;
    uint32_t* chain;        // its clusters in chain order; null for a chain that could not be read
    uint32_t clusters;
    uint32_t chain_capacity;
    cached_slot* slots;     // clusters x slots_per_cluster states, in chain order
    uint8_t* short_names;   // name_count x 11 bytes, in the same order as `names`
    cached_name* names;
    uint32_t name_count;
    uint32_t name_capacity;
};

// ---- Recording a walk ----
// An empty record of the directory whose chain of `clusters` clusters starts at `first_cluster`;
// every slot starts in use until the walk reports it free. Null when there is no heap.
dir_cache* dir_cache_start(f32* fs, uint32_t first_cluster, uint32_t clusters);
// `slot` is counted from the start of the chain.
void dir_cache_free_slot(dir_cache* cache, uint32_t slot, cached_slot state);
// False when there is no heap for one more name.
bool dir_cache_add_name(dir_cache* cache, uint32_t slot, const uint8_t* short_name, const char* name);
// Makes a complete record the mount's cached directory, in place of any other; a record of a
// directory longer than fat32_max_dir_slots slots is freed instead.
void dir_cache_install(f32* fs, dir_cache* cache);
// Frees a record that is not the mount's cached directory.
void dir_cache_free(dir_cache* cache);

// ---- Using it ----
// The cached record of the directory at `dir_cluster` (0: the root), or null.
dir_cache* dir_cache_for(f32* fs, uint32_t dir_cluster);
// Forgets the cached directory, if any.
void dir_cache_forget(f32* fs);
// True when `name` may equal (ignoring case) a name in use; false means it certainly does not.
bool dir_cache_may_hold(const dir_cache* cache, const char* name);

// The free-slot finder fed with the cached slots: clusters named by their chain index.
free_slot_finder dir_cache_find_free_slots(const dir_cache* cache, uint32_t count);

// ---- Keeping it true ----
// A creation went through: `count` slots from slot `index` of `cluster` now hold the entry
// named `name` with `short_name`, and a stale slot after them is the directory's end again;
// `sealed` (0: none) had its slots behind the end marked deleted first, and `grown` (0: none)
// was added to the end of the chain.
struct created_entry {
    uint32_t cluster;
    uint32_t index;
    uint32_t count;
    uint32_t sealed;
    uint32_t grown;
    const uint8_t* short_name;
    const char* name;
};
void dir_cache_note_created(f32* fs, uint32_t dir_cluster, const created_entry& created);
// The slots from slot `first_index` of `first_cluster` through slot `last_index` of
// `last_cluster` were marked deleted; the short entry among them was the last.
void dir_cache_note_deleted(f32* fs, uint32_t dir_cluster, uint32_t first_cluster, uint32_t first_index,
    uint32_t last_cluster, uint32_t last_index);

} // namespace tavix
