// A new directory entry inserted as one transaction: the checks, the room, the clusters, the FAT, the slots, and one undo.
#pragma once

#include "drivers/fs/dirent.hpp"
#include "drivers/fs/fat32_fat.hpp"
#include "drivers/fs/fat32_time.hpp"
#include "drivers/fs/fat32_volume.hpp"

#include <stdint.h>

namespace tavix {

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

// Claims clusters for `length` bytes of `data` as one chain, in memory, and writes them: each
// run of clusters side by side on the disk with one request straight from `data`, a last
// part-filled cluster through `buffer` (a cluster buffer) with zeros behind the bytes. *first
// names the chain as soon as it has a cluster, so that an undo can give it back; *last is its
// last cluster. False when a cluster could not be had (*why says why) or written.
bool write_new_chain(f32* fs, const uint8_t* data, uint32_t length, uint8_t* buffer, uint32_t* first, uint32_t* last,
    allocation_failure* why);

// Creates the entry in the directory at dir_cluster as one transaction: every check first,
// then the writes in the order that survives a power cut (clean-shutdown mark cleared, new
// clusters, the FAT in every copy, the directory slots, FSInfo, the mark set again), and on a
// failure before the slots are written one undo that leaves the volume as it was. False when
// nothing was created (one message printed).
bool create_entry(f32* fs, uint32_t dir_cluster, const new_entry& e);

// Gives the directory at dir_cluster its "." and ".." entries in its first two slots, which
// must be free; `who` names the operation in messages. False after one message.
bool add_dot_entries(f32* fs, uint32_t dir_cluster, uint32_t parent_cluster, const char* who);

// Finds `count` free slots in a row in `dir`, growing it by a cluster when needed (in
// memory, until the caller writes the FAT back). The address of the first slot inside
// `cluster_buffer`, which then holds cluster *found_cluster; null when there is no room.
uint8_t* locate_entries(f32* fs, uint8_t* cluster_buffer, struct directory* dir, uint32_t count,
    uint32_t* found_cluster);

} // namespace tavix
