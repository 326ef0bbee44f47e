// The directory walk: a directory's chain followed safely, its slots fed to the slot decoder one by one, the free-slot finder, and whole directories decoded.
#pragma once

#include "drivers/fs/dirent.hpp"
#include "drivers/fs/fat32_slot.hpp"
#include "drivers/fs/fat32_volume.hpp"

#include <stdint.h>

namespace tavix {

// The number of distinct clusters of the chain from `start` that may be visited: it ends
// before a link that is free or out of range, at an end-of-chain value, and counts each
// cluster of a loop once. *broken tells whether it ended at anything but end-of-chain (a FAT
// sector that cannot be read counts as broken). 0 when `start` is not a data cluster.
uint32_t chain_length(f32* fs, uint32_t start, bool* broken);

// Directories are limited to 65,536 slots (2 MiB): the format numbers slots with 16 bits.
constexpr uint32_t fat32_max_dir_slots = 65536;

// A walk over the live entries and free slots of a directory chain, slot by slot, one
// cluster of buffer on the heap, never more clusters than the chain has and never past a
// bad link. A long name may span any number of clusters. The first never-used slot ends the
// directory, as the format says: it and every slot behind it are free, whatever they hold.
struct dir_walk {
    f32* fs;
    uint8_t* buffer;        // the current cluster
    uint32_t cluster;       // the cluster in `buffer`
    uint32_t index;         // the next slot of `buffer` to look at
    uint32_t clusters;      // clusters of the chain (each cluster of a loop once)
    uint32_t clusters_left; // clusters of the chain not yet read
    bool broken;            // the chain ends at a bad link, not at end-of-chain
    bool whole;             // every slot was read and the chain ends properly
    bool ended;             // the never-used slot that ends the directory has been met
    lfn_run run;            // the long-name run before the next short entry
    uint32_t run_cluster;   // where the run's first slot lies
    uint32_t run_index;
};

// Where the slots of the entry (or the free slot) dir_walk_next just returned lie.
struct walk_slots {
    uint8_t* last;          // its short entry (or the free slot) in the walk's buffer
    uint32_t first_cluster; // its first slot: the first long-name entry, or the short entry
    uint32_t first_index;
    uint32_t last_cluster;  // the cluster in the walk's buffer
    uint32_t last_index;
};

enum class walk_step { entry, free_slot, end };

// Starts at the directory whose chain begins at `cluster` (0 for the root). False when no
// buffer could be had (a message is printed); a chain that cannot be read walks as empty.
bool dir_walk_begin(dir_walk* walk, f32* fs, uint32_t cluster);
// The next entry (decoded into *dirent, whose name the caller releases) or free slot, the
// label skipped. A damaged long-name run is skipped and its short entry decoded under the
// short name; the walk ends only at the end of the chain or where the chain cannot be read,
// so that finding room sees the whole chain.
walk_step dir_walk_next(dir_walk* walk, dir_entry* dirent, walk_slots* where);
void dir_walk_end(dir_walk* walk);

// Finds, among free slots given in chain order, the first `count` of them side by side in one
// cluster (first fit), and the last cluster before them that holds slots behind the
// directory's end (the last such cluster of all when none were found). A directory walk feeds it the slots it meets, the
// directory cache the slots it holds; each names clusters by its own numbers, and no_cluster
// is none.
constexpr uint32_t no_cluster = 0xFFFFFFFF;
struct free_slot_finder {
    uint32_t count;
    uint32_t cluster = no_cluster; // the cluster of the free slot taken last: the slots', once found
    uint32_t next_index = 0;           // the slot that would continue the current row
    uint32_t length = 0;
    bool has_never_used = false;       // `cluster` holds slots behind the directory's end
    uint32_t unused_before = no_cluster;
    bool found = false;
    uint32_t first_index = 0;          // the first slot within its cluster, once found

    // Takes one free slot (never_used: behind the directory's end); true when it completes the
    // row. Slots after that are ignored.
    bool take(uint32_t slot_cluster, uint32_t index, bool never_used);
    // No more slots.
    void finish();

private:
    void end_cluster();
};

// Decodes the directory whose chain starts at `cluster` (0: the root) into *dir.
void populate_dir(f32* fs, struct directory* dir, uint32_t cluster);
void populate_root_dir(f32* fs, struct directory* dir);
void free_directory(f32* fs, struct directory* dir);

} // namespace tavix
