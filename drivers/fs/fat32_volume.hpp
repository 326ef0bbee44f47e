// The FAT32 volume's own machinery: the FAT held in chunks, entry access, allocation and the write-back of a change.
#pragma once

#include "drivers/fs/fat32.hpp"

#include <stddef.h>
#include <stdint.h>

namespace tavix {

// The FAT is held on demand: a chunk of fat_chunk_sectors sectors is read with one request
// the first time one of its entries is used and kept for the rest of the mount. A two-level
// table finds the chunks, so the memory taken grows with the part of the FAT in use, not
// with the volume, and the mount reads no more of the FAT than the root directory needs.
constexpr uint32_t fat_chunk_sectors = 16;
constexpr uint32_t fat_chunk_entries = fat_chunk_sectors * fat32_entries_per_sector;
// Chunks per second-level table: one table covers 4096 FAT sectors (2 MiB of FAT).
constexpr uint32_t fat_leaf_chunks = 256;

struct fat_chunk {
    // The raw entries as the disk's first FAT holds them: on this little-endian processor the
    // sectors are read straight into the array.
    uint32_t entries[fat_chunk_entries];
    // Bit s: sector s of the chunk was changed and must still reach every FAT copy.
    uint16_t dirty;
};
static_assert(sizeof(fat_chunk::dirty) * 8 >= fat_chunk_sectors, "one dirty bit per sector of a chunk");
static_assert(sizeof(fat_chunk::entries) == fat_chunk_sectors * fat32_sector_size, "a chunk is whole sectors");

// Where the volume's free count comes from; FSInfo's is trusted for the count itself, but only
// a count the volume made (or a search that found nothing) may stop an allocation search.
enum free_count_source : uint8_t { free_count_unknown, free_count_from_fsinfo, free_count_counted };

// What the clean-shutdown mark on the disk says, and whether this mount may set it again.
enum clean_mark_state : uint8_t {
    // Found cleared at the mount (some system left the volume in the middle of a change), or
    // left so by a failed write that nothing will redo: only a checker can tell the volume is
    // consistent, so the mark is never set. Also the state of a volume without a mount.
    clean_mark_withheld,
    clean_mark_set,     // set on the disk; the first write of a change clears it
    clean_mark_cleared, // cleared for a change; set again once all its writes are done
};

struct fat_leaf {
    fat_chunk* chunks[fat_leaf_chunks]; // null until the chunk is first used
};

// Entries the FAT holds: sectors per FAT x 128 (entries past last_cluster included).
inline uint32_t fat_entry_count(const f32* fs) { return fs->bpb.count_sectors_per_FAT32 * fat32_entries_per_sector; }
// Second-level FAT tables: enough for every sector of one FAT copy.
inline uint32_t fat_leaf_count(const f32* fs)
{
    constexpr uint32_t leaf_sectors = fat_leaf_chunks * fat_chunk_sectors;
    return (fs->bpb.count_sectors_per_FAT32 + leaf_sectors - 1) / leaf_sectors;
}

// The first sector of FAT copy `copy` (0: the first on the disk).
inline uint32_t fat_copy_sector(const f32* fs, uint32_t copy)
{
    return fs->fat_begin_sector + copy * fs->bpb.count_sectors_per_FAT32;
}

// True when `cluster` may be read, written or followed: 2..last_cluster.
bool is_data_cluster(f32* fs, uint32_t cluster);
// Writes only the sectors of a cluster that hold bytes [from, to) of its cluster_size-byte
// buffer: a change to a few directory slots rewrites one sector, not the whole cluster.
uint8_t put_cluster_bytes(f32* fs, uint8_t* buff, uint32_t cluster_number, uint32_t from, uint32_t to);

// Every other layer reaches FAT entries through these two routines, never through the
// chunks, so that the volume alone decides how much of the FAT it holds in memory.
// Reads the raw 32-bit entry of `cluster` into *value, reading its chunk of the FAT first if
// it is not held yet; 0 when the FAT has no such entry or the FAT sectors holding it could
// not be read (or held), and then nothing changed.
uint8_t fat_read_entry(f32* fs, uint32_t cluster, uint32_t* value);
// Sets the low 28 bits of the entry of `cluster` in memory (the top four are reserved and keep
// what the disk holds) and marks its sector for write-back; flushFAT writes it to every FAT
// copy kept. Keeps the free count exact. 0 when the FAT has no such entry or the FAT sectors
// holding it could not be read (or held), and then nothing changed.
uint8_t fat_write_entry(f32* fs, uint32_t cluster, uint32_t value);

// How a new cluster's old bytes are dealt with: allocateCluster zero-fills it on the disk
// first; a caller that writes the whole cluster itself takes it as it is.
enum class cluster_fill { zeros, by_caller };
// Why allocate_cluster gave no cluster.
enum class allocation_failure { none, no_free_cluster, fat_unreadable, fill_failed };
// The first free cluster from the allocation hint on (wrapping round once), marked
// end-of-chain in memory, the hint moved past it; 0 when none is free, the FAT could not be
// read or its zero-fill failed (it then stays free), and *why (if given) says which.
uint32_t allocate_cluster(f32* fs, cluster_fill fill, allocation_failure* why = nullptr);
// Whether `needed` clusters are free. A count taken from FSInfo is only a hint: one that says
// too few is checked against the FAT before the answer is no.
enum class free_space { enough, too_little, unreadable };
free_space check_free_space(f32* fs, uint32_t needed);
// Frees the chain from start_cluster in memory only; stops where a FAT sector cannot be read.
void release_chain(f32* fs, uint32_t start_cluster);

// ---- The write-back of a change ----
// A change writes in the order that survives a power cut: clear_clean_mark (or its first
// putSector) before anything else; its data; write_fat_sectors; its directory slots; then
// finish_change. flushFAT is write_fat_sectors and finish_change in one.

// Writes every FAT sector marked dirty to every FAT copy kept, in ascending order (a sector whose
// entry was changed and changed back is still written, with the bytes the disk holds); a
// sector that failed in any copy stays dirty and is written again by the next call. 0 when
// a write failed.
uint8_t write_fat_sectors(f32* fs);
// What finish_change could not write, if anything.
enum class change_end { done, fsinfo_failed, mark_failed };
// Rewrites FSInfo's free count and next-free hint when they no longer describe the FAT, then
// sets the clean-shutdown mark again if this mount cleared it and nothing is pending. What
// fails stays pending for the next write-back.
change_end finish_change(f32* fs);
// Clears the clean-shutdown mark in every FAT copy if it is set; a change calls it (or lets
// putSector call it) before its first write. 0 when the write failed: the change must not go on.
uint8_t clear_clean_mark(f32* fs);
// A failed write left the volume in a state no retry will mend: the mark stays cleared.
void withhold_clean_mark(f32* fs);

// Stores value at `offset`, least significant byte first: the counterparts of readi16 and readi32.
void writei16(uint8_t* buff, size_t offset, uint16_t value);
void writei32(uint8_t* buff, size_t offset, uint32_t value);

} // namespace tavix
