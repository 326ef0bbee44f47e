// The FAT32 file system: the mounted volume, its directories and its whole-file operations.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "drivers/fs/dirent.hpp"

namespace tavix {

// Sizes and values of the on-disk format this driver relies on.
constexpr uint32_t fat32_sector_size = 512;
constexpr uint32_t fat32_dir_entry_size = 32;
constexpr uint32_t fat32_entries_per_sector = fat32_sector_size / sizeof(uint32_t);
constexpr uint32_t fat32_entry_mask = 0x0FFFFFFF;
// A raw FAT value above this ends a chain; the driver itself writes fat32_end_of_chain.
constexpr uint32_t fat32_last_link = 0x0FFFFFF7;
constexpr uint32_t fat32_end_of_chain = 0x0FFFFFFF;
constexpr uint32_t fat32_free_cluster = 0;
// Cluster numbers start at 2; entries 0 and 1 of the FAT are the volume's reserved entries.
constexpr uint32_t fat32_first_data_cluster = 2;
// The FSInfo sector's "free count / next free unknown" value.
constexpr uint32_t fat32_fsinfo_unknown = 0xFFFFFFFF;
// FAT entry 1 carries the clean-shutdown mark: set while the volume is consistent.
constexpr uint32_t fat32_mark_entry = 1;
constexpr uint32_t fat32_clean_mark = 0x08000000;

// The boot-sector fields, decoded byte by byte from the volume's first sector.
struct bios_parameter_block {
    uint16_t bytes_per_sector;
    uint8_t sectors_per_cluster;
    uint16_t reserved_sectors;
    uint8_t FAT_count;
    uint16_t dir_entries;
    uint16_t total_sectors;
    uint8_t media_descriptor_type;
    uint16_t count_sectors_per_FAT12_16;
    uint16_t count_sectors_per_track;
    uint16_t count_heads_or_sizes_on_media;
    uint32_t count_hidden_sectors;
    uint32_t large_sectors_on_media;
    uint32_t count_sectors_per_FAT32;
    uint16_t flags;
    uint16_t FAT_version;
    uint32_t cluster_number_root_dir;
    uint16_t sector_number_FSInfo;
    uint16_t sector_number_backup_boot_sector;
    uint8_t drive_number;
    uint8_t windows_flags;
    uint8_t signature;
    uint32_t volume_id;
    char volume_label[12]; // 11 label bytes and a NUL
    char system_id[9];     // 8 type bytes and a NUL
};

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

struct dir_cache;

// The one mounted volume. The first fields are the classic ones; the rest is what the
// volume layer needs to stay inside the volume and keep the disk's FAT copies and FSInfo
// exact.
struct f32 {
    bios_parameter_block bpb;
    // The disk LBA of the volume's first sector: 0, or the start of the partition holding it.
    // Every other sector number of the volume is relative to it; only getSector and putSector
    // add it.
    uint32_t partition_begin_sector;
    uint32_t partition_sectors; // the partition's length; 0 for a volume at LBA 0
    uint32_t fat_begin_sector;
    uint32_t cluster_begin_sector;
    uint32_t cluster_size; // bytes per cluster
    // The cluster at which the next allocation search starts: FSInfo's next-free hint at
    // mount when it names a cluster of the volume, else 0 (the search then starts at 2).
    uint32_t cluster_alloc_hint;

    // The root directory's first cluster, from the boot sector. Directory code treats a
    // directory cluster of 0 (as ".." entries store it) as this cluster.
    uint32_t root_cluster;
    uint32_t volume_sectors; // sectors of the whole volume (0 while still unknown)
    // The highest valid cluster number; every chain walk stays in 2..last_cluster and
    // no chain is longer than last_cluster - 1 clusters.
    uint32_t last_cluster;

    // The FAT, held once: fat_leaf_count(fs) second-level tables (null until used), each
    // finding fat_leaf_chunks chunks. Reach entries only through fat_read_entry and
    // fat_write_entry.
    fat_leaf** fat_leaves;
    uint32_t fat_chunks_loaded;

    // Free clusters among 2..last_cluster, kept exact by every entry change once known:
    // taken from FSInfo at mount when it is in range, counted the first time it is needed
    // otherwise.
    free_count_source free_count_state;
    uint32_t free_count;

    // FSInfo: kept when the sector carries valid signatures (fsinfo_valid), rewritten by
    // flushFAT whenever the free count or the next-free hint changes. The sector is held as
    // the mount read it, so that a rewrite is one write.
    uint8_t fsinfo_valid;
    uint8_t fsinfo_sector[fat32_sector_size];
    uint32_t fsinfo_free_count; // as stored on the disk
    uint32_t fsinfo_next_free;  // as stored on the disk
    uint8_t fsinfo_stale;       // the FSInfo on the disk may no longer describe the FAT

    clean_mark_state clean_mark;
    // The FAT's first sector as every copy on the disk holds it: a change of the mark writes
    // it with only the mark changed, never an entry that is still waiting for its turn.
    uint8_t mark_sector[fat32_sector_size];

    // The directory entries were last created in, as its last walk found it and every change
    // since left it (see fat32_dir_cache.hpp); null when none is held.
    dir_cache* cached_dir;
};

// Entries the FAT holds: sectors per FAT x 128 (entries past last_cluster included).
inline uint32_t fat_entry_count(const f32* fs) { return fs->bpb.count_sectors_per_FAT32 * fat32_entries_per_sector; }
// Second-level FAT tables: enough for every sector of one FAT copy.
inline uint32_t fat_leaf_count(const f32* fs)
{
    constexpr uint32_t leaf_sectors = fat_leaf_chunks * fat_chunk_sectors;
    return (fs->bpb.count_sectors_per_FAT32 + leaf_sectors - 1) / leaf_sectors;
}

// The volume mounted at start-up; null when there is no disk or no FAT32 volume on it.
extern f32* master_fs;

// ---- Volume: sectors, clusters, FAT ----
// Every routine that touches the disk returns 1 when the transfer went through and 0
// when it was refused (outside the volume, cluster number not a data cluster) or the
// disk gave up; on 0 the operation must not be reported as done.

// Sector numbers are the volume's own (0 is its boot sector); these two routines alone turn
// them into disk LBAs. Reads `count` sectors from `sector` with one disk request.
uint8_t getSector(f32* fs, uint8_t* buff, uint32_t sector, uint32_t count);
// Writes `count` sectors from `sector`, one disk request per sector, ascending. The first
// write of a change clears the clean-shutdown mark before anything else reaches the disk.
uint8_t putSector(f32* fs, uint8_t* buff, uint32_t sector, uint32_t count);
uint32_t sector_for_cluster(f32* fs, uint32_t cluster);
// Cluster transfers take cluster_size-byte buffers that belong to the caller. Cluster
// numbers below 2 or above last_cluster are refused; one above 0x0FFFFFF7 prints
// "Can't get cluster. Hit End Of Chain." and leaves the buffer as it was.
uint8_t getCluster(f32* fs, uint8_t* buff, uint32_t cluster_number);
uint8_t putCluster(f32* fs, uint8_t* buff, uint32_t cluster_number);
// Writes only the sectors of a cluster that hold bytes [from, to) of its cluster_size-byte
// buffer: a change to a few directory slots rewrites one sector, not the whole cluster.
uint8_t put_cluster_bytes(f32* fs, uint8_t* buff, uint32_t cluster_number, uint32_t from, uint32_t to);
uint8_t clear_cluster(f32* fs, uint32_t cluster);
// True when `cluster` may be read, written or followed: 2..last_cluster.
bool is_data_cluster(f32* fs, uint32_t cluster);

// Every other layer reaches FAT entries through these two routines, never through the
// chunks, so that the volume alone decides how much of the FAT it holds in memory.
// Reads the raw 32-bit entry of `cluster` into *value, reading its chunk of the FAT first if
// it is not held yet; 0 when the FAT has no such entry or the FAT sectors holding it could
// not be read (or held), and then nothing changed.
uint8_t fat_read_entry(f32* fs, uint32_t cluster, uint32_t* value);
// Sets the entry of `cluster` in memory and marks its sector for write-back; flushFAT writes
// it to every FAT copy. Keeps the free count exact. 0 when the FAT has no such entry or the
// FAT sectors holding it could not be read (or held), and then nothing changed.
uint8_t fat_write_entry(f32* fs, uint32_t cluster, uint32_t value);

// The FAT entry of `cluster` masked to 28 bits; the end-of-chain value for a cluster
// number the FAT does not hold. The result may still be 0 or out of range: walkers
// check it with is_data_cluster.
uint32_t get_next_cluster_id(f32* fs, uint32_t cluster);
// A zero-filled cluster marked end-of-chain (in memory only), or 0 when none is free.
uint32_t allocateCluster(f32* fs);
// A free cluster marked end-of-chain (in memory only) with its old bytes left on the disk,
// for a caller that writes the whole cluster itself; 0 when none is free.
uint32_t claim_cluster(f32* fs);
// Frees the chain from start_cluster and writes the FAT back; 0 if the write-back failed.
uint8_t zero_FAT_chain(f32* fs, uint32_t start_cluster);
// Frees the chain from start_cluster in memory only; stops where a FAT sector cannot be read.
void release_chain(f32* fs, uint32_t start_cluster);
// Free clusters among 2..last_cluster. Counted once, the first time it is needed, when the
// mount could not take it from FSInfo (without keeping the FAT sectors that the count
// reads); exact and immediate from then on. 0 when the count could not be read.
uint32_t count_free_clusters(f32* fs);
// Writes every FAT sector marked dirty to every FAT copy, in ascending order (a sector whose
// entry was changed and changed back is still written, with the bytes the disk holds); a
// sector that failed in any copy stays dirty and is written again by the next call. 0 when
// a write failed.
uint8_t write_fat_sectors(f32* fs);
// Rewrites FSInfo's free count and next-free hint when they no longer describe the FAT;
// stays pending when the write fails. 0 when it failed.
uint8_t write_fsinfo(f32* fs);
// Clears the clean-shutdown mark in every FAT copy if it is set; a change calls it (or lets
// putSector call it) before its first write. 0 when the write failed: the change must not go on.
uint8_t clear_clean_mark(f32* fs);
// Sets the mark again in every copy once a change is complete: only when this mount cleared
// it and nothing is pending. 0 when the write failed (it is tried again after the next change).
uint8_t set_clean_mark(f32* fs);
// A failed write left the volume in a state no retry will mend: the mark stays cleared.
void withhold_clean_mark(f32* fs);
// Ends a change: write_fat_sectors, then write_fsinfo only if every FAT sector reached the
// disk, then set_clean_mark only if FSInfo did.
uint8_t flushFAT(f32* fs);
// Writes what an earlier failure left pending: the FAT sectors that did not reach every copy,
// then, only if they all went out, FSInfo if it may be stale, then the clean-shutdown mark if
// it is still cleared. Does nothing (and touches no sector) when nothing is pending. Commands
// call it first so that a transient disk error heals without a reboot. 0 when something is
// still pending.
uint8_t retry_pending_writes(f32* fs);

f32* makeFilesystem(char* fatSystem);
void destroyFilesystem(f32* fs);
const struct bios_parameter_block* getBPB(f32* fs);
// Reads the volume's first sector into bpb; 0 when the sector could not be read.
uint8_t read_bpb(f32* fs, struct bios_parameter_block* bpb);

uint16_t readi16(uint8_t* buff, size_t offset);
uint32_t readi32(uint8_t* buff, size_t offset);
// Their counterparts: store value at `offset`, least significant byte first.
void writei16(uint8_t* buff, size_t offset, uint16_t value);
void writei32(uint8_t* buff, size_t offset, uint32_t value);
// Replaces the first space among c[0..max] with a NUL.
void trim_spaces(char* c, int max);

// ---- Directories and long names ----
void populate_dir(f32* fs, struct directory* dir, uint32_t cluster);
void populate_root_dir(f32* fs, struct directory* dir);
void free_directory(f32* fs, struct directory* dir);
uint8_t* read_dir_entry(f32* fs, uint8_t* start, uint8_t* end, struct dir_entry* dirent);
void next_dir_entry(f32* fs, uint8_t* root_cluster, uint8_t* entry, uint8_t** nextentry,
    struct dir_entry* target_dirent, uint32_t cluster, uint32_t* secondcluster);
char* parse_long_name(uint8_t* entries, uint8_t entry_count);
uint8_t checksum_fname(char* fname);

// ---- Entry creation ----
void write_8_3_filename(char* fname, uint8_t* buffer);
uint8_t* locate_entries(f32* fs, uint8_t* cluster_buffer, struct directory* dir, uint32_t count,
    uint32_t* found_cluster);
void write_long_filename_entries(uint8_t* start, uint32_t num_entries, char* fname);

// ---- File operations ----
uint8_t* readFile(f32* fs, struct dir_entry* dirent);
void writeFile(f32* fs, struct directory* dir, uint8_t* file, char* fname, uint32_t flen);
void writeFile_impl(f32* fs, struct directory* dir, uint8_t* file, char* fname, uint32_t flen,
    uint8_t attrs, uint32_t setcluster);
void delFile(f32* fs, struct directory* dir, char* filename);
void mkdir(f32* fs, struct directory* dir, char* dirname);
void mkdir_subdirs(f32* fs, struct directory* dir, uint32_t parentcluster);
void print_directory(f32* fs, struct directory* dir);

} // namespace tavix
