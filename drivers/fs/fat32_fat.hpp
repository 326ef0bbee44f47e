// The FAT held in memory on demand: entry access, allocation, the free count, and the write-out of changed FAT sectors to every copy.
#pragma once

#include "drivers/fs/fat32_volume.hpp"

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

// The table of second-level tables, all empty: nothing of the FAT is read yet. False, after
// one line, when there is no heap for it.
bool fat_table_make(f32* fs);
// Releases every chunk held and the tables.
void fat_table_free(f32* fs);

// Every other layer reaches FAT entries through these two routines, never through the
// chunks, so that this module alone decides how much of the FAT it holds in memory.
// Reads the raw 32-bit entry of `cluster` into *value, reading its chunk of the FAT first if
// it is not held yet; 0 when the FAT has no such entry or the FAT sectors holding it could
// not be read (or held), and then nothing changed.
uint8_t fat_read_entry(f32* fs, uint32_t cluster, uint32_t* value);
// Sets the low 28 bits of the entry of `cluster` in memory (the top four are reserved and keep
// what the disk holds) and marks its sector for write-back; write_fat_sectors writes it to
// every FAT copy kept. Keeps the free count exact. 0 when the FAT has no such entry or the FAT
// sectors holding it could not be read (or held), and then nothing changed.
uint8_t fat_write_entry(f32* fs, uint32_t cluster, uint32_t value);
// The FAT entry of `cluster` masked to 28 bits; the end-of-chain value for a cluster
// number the FAT does not hold. The result may still be 0 or out of range: walkers
// check it with is_data_cluster.
uint32_t get_next_cluster_id(f32* fs, uint32_t cluster);

// How a new cluster's old bytes are dealt with: allocateCluster zero-fills it on the disk
// first; a caller that writes the whole cluster itself takes it as it is.
enum class cluster_fill { zeros, by_caller };
// Why allocate_cluster gave no cluster.
enum class allocation_failure { none, no_free_cluster, fat_unreadable, fill_failed };
// The first free cluster from the allocation hint on (wrapping round once), marked
// end-of-chain in memory, the hint moved past it; 0 when none is free, the FAT could not be
// read or its zero-fill failed (it then stays free), and *why (if given) says which.
uint32_t allocate_cluster(f32* fs, cluster_fill fill, allocation_failure* why = nullptr);
// A zero-filled cluster marked end-of-chain (in memory only), or 0 when none is free.
uint32_t allocateCluster(f32* fs);
// The first free cluster at or after the allocation hint, wrapping round once; 0 if none,
// and then the count is known to be 0. *failed when a FAT sector could not be read.
uint32_t find_free_cluster(f32* fs, bool* failed);
// Whether `needed` clusters are free. A count taken from FSInfo is only a hint: one that says
// too few is checked against the FAT before the answer is no.
enum class free_space { enough, too_little, unreadable };
free_space check_free_space(f32* fs, uint32_t needed);
// Frees the chain from start_cluster in memory only; stops where a FAT sector cannot be read.
void release_chain(f32* fs, uint32_t start_cluster);

// The free count, counted now (without keeping the FAT sectors that the count reads) if the
// mount could not take it from FSInfo; false when the count could not be read.
bool known_free_count(f32* fs, uint32_t* count);
// Free clusters among 2..last_cluster; exact and immediate once known. 0 when the count could
// not be read.
uint32_t count_free_clusters(f32* fs);
// The bytes the volume's clusters hold, and those of its free clusters (0 when the FAT cannot
// be read to count them).
uint64_t volume_bytes(f32* fs);
uint64_t free_bytes(f32* fs);

// Writes every FAT sector marked dirty to every FAT copy kept, in ascending order (a sector whose
// entry was changed and changed back is still written, with the bytes the disk holds); a
// sector that failed in any copy stays dirty and is written again by the next call. 0 when
// a write failed.
uint8_t write_fat_sectors(f32* fs);
// True when some FAT sector changed in memory has not yet reached every copy.
bool fat_write_pending(f32* fs);

} // namespace tavix
