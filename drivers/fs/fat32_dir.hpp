// Directory slots as the FAT32 code reads them: the one slot decoder, long-name runs, the bounded directory walk and the free-slot finder.
#pragma once

#include "drivers/fs/fat32.hpp"
#include "drivers/fs/fat32_layout.hpp"

#include <stddef.h>
#include <stdint.h>

namespace tavix {

inline bool slot_is_free(const uint8_t* slot)
{
    return slot[0] == slot_never_used || slot[0] == slot_deleted;
}
inline bool slot_is_long_name(const uint8_t* slot) { return slot[dirent_attr_offset] == attr_long_name; }
// The volume's label: a short entry in the root that names no file or directory.
inline bool slot_is_label(const uint8_t* slot)
{
    return !slot_is_long_name(slot) && (slot[dirent_attr_offset] & attr_volume_label) != 0;
}

// The first cluster a short entry points at.
uint32_t slot_first_cluster(uint8_t* slot);

// A directory cluster of 0 means the root, as ".." entries store it.
uint32_t resolve_dir_cluster(f32* fs, uint32_t cluster);

// The number of distinct clusters of the chain from `start` that may be visited: it ends
// before a link that is free or out of range, at an end-of-chain value, and counts each
// cluster of a loop once. *broken tells whether it ended at anything but end-of-chain (a FAT
// sector that cannot be read counts as broken). 0 when `start` is not a data cluster.
uint32_t chain_length(f32* fs, uint32_t start, bool* broken);

// Directories are limited to 65,536 slots (2 MiB): the format numbers slots with 16 bits.
constexpr uint32_t fat32_max_dir_slots = 65536;

// Short entry byte 12: the base and the extension are shown in lower case (names such as
// "readme.txt" are stored that way without a long name).
constexpr size_t dirent_case_offset = 12;
constexpr uint8_t case_lower_base = 0x08;
constexpr uint8_t case_lower_ext = 0x10;

// A long-name run as a walk meets it slot by slot: the first slot carries the last-entry
// flag and the highest ordinal, each next one the ordinal below, all the same checksum.
enum class lfn_state : uint8_t {
    none,       // no run, or one that broke: the slots taken so far name nothing
    collecting, // the run's first slot was taken; `expect` is the ordinal the next must carry
    complete,   // ordinal 1 was taken: the run waits for its short entry
};
struct lfn_run {
    uint16_t* chars;  // lfn_max_entries x 13 UTF-16 units, owned by whoever set up the run
    lfn_state state;
    uint8_t expect;
    uint8_t length;   // slots in the run
    uint8_t checksum;
};
constexpr uint32_t lfn_run_units = lfn_max_entries * lfn_chars_per_entry;

// Takes one long-name slot into the run: it starts a new run, continues the current one, or
// breaks it (the slots taken so far then name nothing).
void lfn_take(lfn_run* run, const uint8_t* slot);
// The decoded name of the short entry `slot`: the run's long name when the run is complete
// and its checksum matches the short name, otherwise the short name. Ends the run. Null when
// the heap is exhausted.
char* lfn_finish(lfn_run* run, const uint8_t* slot);

// The one decoder of directory slots: the walk and the views over buffers (read_dir_entry,
// next_dir_entry, parse_long_name) feed it the slots in order. A live long-name slot joins
// `run`; a free slot ends the run; so does the volume label, which is no name; a short entry
// ends it too and is decoded into *dirent (whose name the caller releases), under the run's
// long name when the run names it. *named tells whether the run belongs to the entry
// (complete, its checksum matching), so that the entry's slots begin at the run's first.
enum class slot_kind { long_name, free_slot, label, entry, no_memory };
slot_kind decode_slot(lfn_run* run, const uint8_t* slot, dir_entry* dirent, bool* named);

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
    uint32_t count;         // slots from the first through the short entry
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


// Case-insensitive equality of code page 437 names, as FAT readers compare them.
bool names_equal_nocase(const char* a, const char* b);
// A short name as text: eight characters, a dot, three, and the NUL.
constexpr uint32_t short_name_text_size = short_base_length + 1 + short_ext_length + 1;
// The short name in an 11-byte field as BASE.EXT (or BASE) in the case stored, into `out`
// of short_name_text_size bytes.
void short_name_text(const uint8_t* field, char* out);

} // namespace tavix
