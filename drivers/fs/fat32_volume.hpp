// The mounted volume's record: the on-disk constants it is built on, the decoded boot sector and the state every layer of the file system shares.
#pragma once

#include <stddef.h>
#include <stdint.h>

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
static_assert(fat32_end_of_chain > fat32_last_link, "the driver's own end-of-chain value ends a chain");
// FAT entry 1 carries the clean-shutdown mark: set while the volume is consistent.
constexpr uint32_t fat32_mark_entry = 1;
constexpr uint32_t fat32_clean_mark = 0x08000000;
static_assert((fat32_clean_mark & fat32_entry_mask) == fat32_clean_mark, "the mark lies in the entry's 28 bits");

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

// The FAT's second-level tables (fat32_fat.hpp) and the cached directory (fat32_dir_cache.hpp).
struct fat_leaf;
struct dir_cache;

// The one mounted volume. The first fields are the classic ones; the rest is what the
// layers of drivers/fs need to stay inside the volume and keep the disk's FAT copies and
// FSInfo exact.
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
    // it with only the mark changed, never an entry that is still waiting for its turn. The
    // FAT held in memory takes the mark from here (fat32_fat.cpp).
    uint8_t mark_sector[fat32_sector_size];

    // The directory entries were last created in, as its last walk found it and every change
    // since left it (see fat32_dir_cache.hpp); null when none is held.
    dir_cache* cached_dir;
};

// The volume mounted at start-up; null when there is no disk or no FAT32 volume on it.
extern f32* master_fs;

// A directory cluster of 0 means the root, as ".." entries store it.
inline uint32_t resolve_dir_cluster(const f32* fs, uint32_t cluster) { return cluster == 0 ? fs->root_cluster : cluster; }

} // namespace tavix
