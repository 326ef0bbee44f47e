// The FAT32 file system's public face: the mounted volume, its directories, entry creation and the whole-file operations.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "drivers/fs/dirent.hpp"
#include "drivers/rtc.hpp"

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

// The FAT's in-memory tables and the volume's bookkeeping states (fat32_volume.hpp).
struct fat_leaf;
struct dir_cache;
enum free_count_source : uint8_t;
enum clean_mark_state : uint8_t;

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
    // The FAT copies kept in step: all of them, or, when the boot sector turns mirroring off,
    // only the one it names active. The FAT is read from the first copy kept.
    uint32_t fat_first_copy;
    uint32_t fat_copies_kept;
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
    uint8_t fsinfo_unread;      // the mount could not read it: read again before it is rewritten
    uint8_t fsinfo_sector[fat32_sector_size];
    uint32_t fsinfo_free_count; // as stored on the disk
    uint32_t fsinfo_next_free;  // as stored on the disk
    uint8_t fsinfo_stale;       // the FSInfo on the disk may no longer describe the FAT

    clean_mark_state clean_mark;
    // Set while an operation made of several changes (a move) is under way: the mark is set
    // again only once all of them are done, never in between.
    uint8_t mark_held;
    // The FAT's first sector as every copy on the disk holds it: a change of the mark writes
    // it with only the mark changed, never an entry that is still waiting for its turn.
    uint8_t mark_sector[fat32_sector_size];

    // The directory entries were last created in, as its last walk found it and every change
    // since left it (see fat32_dir_cache.hpp); null when none is held.
    dir_cache* cached_dir;
};

// The volume mounted at start-up; null when there is no disk or no FAT32 volume on it.
extern f32* master_fs;


// ---- The volume (fat32_volume.cpp) ----
// Every routine that touches the disk returns 1 when the transfer went through and 0 when it
// was refused (outside the volume, cluster number not a data cluster) or the disk gave up; on 0
// the operation must not be reported as done.

// Mounts the FAT32 volume of the primary ATA disk, at LBA 0 or in its first FAT32 partition;
// null, after one line that says why, when there is none. The argument is not examined.
f32* makeFilesystem(char* fatSystem);
// Writes back what is pending and releases the volume.
void destroyFilesystem(f32* fs);
const struct bios_parameter_block* getBPB(f32* fs);
// Reads the volume's first sector into bpb; 0 when the sector could not be read.
uint8_t read_bpb(f32* fs, struct bios_parameter_block* bpb);

// Sector numbers are the volume's own (0 is its boot sector); these two routines alone turn
// them into disk LBAs. Each moves `count` sectors from `sector` with as few disk requests as
// the drive takes (one per 65,535 sectors).
uint8_t getSector(f32* fs, uint8_t* buff, uint32_t sector, uint32_t count);
// The first write of a change clears the clean-shutdown mark before anything else reaches
// the disk.
uint8_t putSector(f32* fs, uint8_t* buff, uint32_t sector, uint32_t count);
uint32_t sector_for_cluster(f32* fs, uint32_t cluster);
// Cluster transfers take cluster_size-byte buffers that belong to the caller. Cluster
// numbers below 2 or above last_cluster are refused; one above 0x0FFFFFF7 prints
// "Can't get cluster. Hit End Of Chain." and leaves the buffer as it was.
uint8_t getCluster(f32* fs, uint8_t* buff, uint32_t cluster_number);
uint8_t putCluster(f32* fs, uint8_t* buff, uint32_t cluster_number);
uint8_t clear_cluster(f32* fs, uint32_t cluster);

// The FAT entry of `cluster` masked to 28 bits; the end-of-chain value for a cluster
// number the FAT does not hold. The result may still be 0 or out of range: walkers
// check it with is_data_cluster.
uint32_t get_next_cluster_id(f32* fs, uint32_t cluster);
// A zero-filled cluster marked end-of-chain (in memory only), or 0 when none is free.
uint32_t allocateCluster(f32* fs);
// Frees the chain from start_cluster and writes the FAT back; 0 if the write-back failed.
uint8_t zero_FAT_chain(f32* fs, uint32_t start_cluster);
// Free clusters among 2..last_cluster. Counted once, the first time it is needed, when the
// mount could not take it from FSInfo (without keeping the FAT sectors that the count
// reads); exact and immediate from then on. 0 when the count could not be read.
uint32_t count_free_clusters(f32* fs);
// Ends a change: the FAT sectors it changed go to every FAT copy, then FSInfo (only if they
// all went out), then the clean-shutdown mark (only if FSInfo did). 0 when a write failed;
// what failed stays pending.
uint8_t flushFAT(f32* fs);
// Writes what an earlier failure left pending, in the same order as flushFAT. Does nothing
// (and touches no sector) when nothing is pending. Commands call it first so that a transient
// disk error heals without a reboot. 0 when something is still pending.
uint8_t retry_pending_writes(f32* fs);

uint16_t readi16(uint8_t* buff, size_t offset);
uint32_t readi32(uint8_t* buff, size_t offset);
// Replaces the first space among c[0..max] with a NUL.
void trim_spaces(char* c, int max);

// ---- Directories and long names (fat32_dir.cpp) ----
// Decodes the directory whose chain starts at `cluster` (0: the root) into *dir.
void populate_dir(f32* fs, struct directory* dir, uint32_t cluster);
void populate_root_dir(f32* fs, struct directory* dir);
void free_directory(f32* fs, struct directory* dir);
// Decodes the entry at `start` in a buffer ending at `end`; the address after its short
// entry, or null (free slot, a long name that runs past `end`, or no short entry behind it).
uint8_t* read_dir_entry(f32* fs, uint8_t* start, uint8_t* end, struct dir_entry* dirent);
// Decodes the entry at `entry` in `root_cluster`, a buffer of two clusters holding cluster
// `cluster` in its first half; fetches the next cluster of the chain into the second half
// (*secondcluster) when the entry runs past the first. *nextentry: the slot after it, or null.
void next_dir_entry(f32* fs, uint8_t* root_cluster, uint8_t* entry, uint8_t** nextentry,
    struct dir_entry* target_dirent, uint32_t cluster, uint32_t* secondcluster);
// The name `entry_count` long-name slots hold when they form one run, as a directory holds
// them (highest ordinal first); null otherwise or when there is no heap.
char* parse_long_name(uint8_t* entries, uint8_t entry_count);
uint8_t checksum_fname(char* fname);

// ---- Entry creation (fat32_names.cpp, fat32_entry.cpp) ----
// The 11-byte short name a new entry of that name would get in an empty directory.
void write_8_3_filename(char* fname, uint8_t* buffer);
// Finds `count` free slots in a row in `dir`, growing it by a cluster when needed (in
// memory, until the caller writes the FAT back). The address of the first slot inside
// `cluster_buffer`, which then holds cluster *found_cluster; null when there is no room.
uint8_t* locate_entries(f32* fs, uint8_t* cluster_buffer, struct directory* dir, uint32_t count,
    uint32_t* found_cluster);
void write_long_filename_entries(uint8_t* start, uint32_t num_entries, char* fname);

// ---- File operations (fat32_file.cpp) ----
// Each prints one line and changes nothing on the disk when it fails.
// The file's bytes in a new heap block of file_size bytes, which the caller releases.
uint8_t* readFile(f32* fs, struct dir_entry* dirent);
// Reads the file's file_size bytes into `buffer`, each run of consecutive clusters with one
// request; bytes a chain shorter than the size does not reach read as zeros. 0 after one
// line when a cluster cannot be read.
uint8_t read_file_into(f32* fs, const struct dir_entry* dirent, uint8_t* buffer);
void writeFile(f32* fs, struct directory* dir, uint8_t* file, char* fname, uint32_t flen);
void writeFile_impl(f32* fs, struct directory* dir, uint8_t* file, char* fname, uint32_t flen,
    uint8_t attrs, uint32_t setcluster);
void delFile(f32* fs, struct directory* dir, char* filename);
void mkdir(f32* fs, struct directory* dir, char* dirname);
void mkdir_subdirs(f32* fs, struct directory* dir, uint32_t parentcluster);
void print_directory(f32* fs, struct directory* dir);

// ---- Operations by name (fat32_entry.cpp, fat32_file.cpp, fat32_append.cpp, fat32_move.cpp) ----
// Each works in the directory whose chain starts at dir_cluster (0: the root), matches a name
// as FAT readers do (the long name or its short alias, in any case), names itself `who` in its
// messages, and writes in the order that survives a power cut. A failure prints one line and
// leaves the volume as it was; false then.

enum class lookup_result : uint8_t { found, missing, failed };
// The entry called `name` (its name a heap string the caller releases). Failed when the
// directory cannot be read to its end, or no heap was left for the walk.
lookup_result find_entry(f32* fs, uint32_t dir_cluster, const char* name, dir_entry* entry);
// Creates the file `name` holding `length` bytes of `data`, or an empty directory with its
// "." and ".." entries. An existing name is refused.
bool create_named(f32* fs, uint32_t dir_cluster, const char* name, const uint8_t* data, uint32_t length,
    bool directory, const char* who);
// Adds `length` bytes at the end of the file `name`, which is created when missing. The new
// bytes go into the last cluster's unused part and new clusters, which are linked before the
// entry's size grows: no byte the file held is changed.
bool append_file(f32* fs, uint32_t dir_cluster, const char* name, const uint8_t* data, uint32_t length,
    const char* who);
// Deletes the file or the empty directory `name`: its entry first, its clusters after.
bool remove_named(f32* fs, uint32_t dir_cluster, const char* name, const char* who);
// Gives the entry `from_name` of from_dir the name `to_name` in to_dir (which may be the same
// directory): the new entry is written before the old one is removed, and a directory moved
// to another parent has its ".." entry pointed at it in between. It never moves "." or "..";
// the caller keeps a directory out of its own subtree.
bool move_entry(f32* fs, uint32_t from_dir, const char* from_name, uint32_t to_dir, const char* to_name,
    const char* who);
// A date and time as a short entry packs them (dir_entry's modified_date and modified_time),
// unpacked; fields out of range stay as stored.
rtc_time fat_unpack_time(uint16_t date, uint16_t time);
// The bytes the volume's clusters hold, and those of its free clusters (0 when the FAT cannot
// be read to count them).
uint64_t volume_bytes(f32* fs);
uint64_t free_bytes(f32* fs);

} // namespace tavix
