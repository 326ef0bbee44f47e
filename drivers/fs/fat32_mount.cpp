// The mount: the volume found on the disk, its boot sector checked, its layout derived, and the record released again.
#include "drivers/fs/fat32_mount.hpp"

#include "cpu/buffer.hpp"
#include "cpu/mem.hpp"
#include "drivers/disk.hpp"
#include "drivers/fs/fat32_boot.hpp"
#include "drivers/fs/fat32_dir.hpp"
#include "drivers/fs/fat32_dir_cache.hpp"
#include "drivers/fs/fat32_fat.hpp"
#include "drivers/fs/fat32_layout.hpp"
#include "drivers/fs/fat32_locate.hpp"
#include "drivers/fs/fat32_sector.hpp"
#include "drivers/fs/fat32_writeback.hpp"
#include "general/stdio.hpp"
#include "io/iotools.hpp"

namespace tavix {

constinit f32* master_fs = nullptr;

namespace {

constexpr uint32_t max_sectors_per_cluster = 128;
// The largest valid cluster number: the values above it are reserved or end chains.
constexpr uint32_t max_cluster_number = fat32_last_link - 1;
// A FAT copy never needs more sectors than it takes to hold an entry for every valid cluster
// number; a boot sector that claims more is damaged.
constexpr uint32_t max_fat_sectors = (max_cluster_number + 1 + fat32_entries_per_sector - 1) / fat32_entries_per_sector;
// No directory is longer than this (65,536 entries of 32 bytes); the mount checks the root's
// chain up to this length.
constexpr uint32_t max_directory_bytes = fat32_max_dir_slots * fat32_dir_entry_size;

// Reads the disk's first sector: the volume's boot sector, or a partition table that names the
// partition holding it. False when there is no volume (a line said why) or nothing was read.
bool read_boot_sector(f32* fs)
{
    heap_block first(fat32_sector_size);
    if (!first || !getSector(fs, first.data(), 0, 1))
        return false;
    decode_bpb(first.data(), &fs->bpb);
    // Documented behaviour, see the README's "Kept on purpose": the mount names the routine it is
    // about to use.
    printf("trim_spaces\n");
    volume_partition where{};
    if (!locate_volume(first.data(), &fs->bpb, &where))
        return false;
    fs->partition_begin_sector = where.begin_sector;
    fs->partition_sectors = where.sectors;
    return true;
}

// The boot sector's sector and cluster sizes and its FATs are ones this driver can use.
bool sizes_usable(const bios_parameter_block& bpb)
{
    uint32_t spc = bpb.sectors_per_cluster;
    if (bpb.bytes_per_sector != fat32_sector_size || spc == 0 || (spc & (spc - 1)) != 0
        || spc > max_sectors_per_cluster) {
        printf("fat32: error: unsupported sector or cluster size; volume refused.\n");
        return false;
    }
    if (bpb.FAT_count == 0 || bpb.reserved_sectors == 0 || bpb.count_sectors_per_FAT32 == 0
        || bpb.count_sectors_per_FAT32 > max_fat_sectors) {
        printf("fat32: error: the boot sector describes no usable FAT; volume refused.\n");
        return false;
    }
    return true;
}

// The volume's `volume_sectors` hold its FATs and a cluster, and lie inside the partition and
// the disk: nothing may be written beyond them, whatever the boot sector says.
bool volume_fits(f32* fs, uint32_t volume_sectors, uint64_t data_start)
{
    if (data_start + fs->bpb.sectors_per_cluster > volume_sectors) {
        printf("fat32: error: the volume is smaller than its FATs; volume refused.\n");
        return false;
    }
    uint64_t disk = identify_sector_count();
    uint64_t room = disk > fs->partition_begin_sector ? disk - fs->partition_begin_sector : 0;
    if (fs->partition_sectors != 0 && volume_sectors > fs->partition_sectors) {
        printf("fat32: error: volume of %u sectors in a partition of %u; volume refused.\n", volume_sectors,
            fs->partition_sectors);
        return false;
    }
    if (disk != 0 && volume_sectors > room) {
        printf("fat32: error: volume of %u sectors on a disk of %u; volume refused.\n", volume_sectors,
            static_cast<uint32_t>(room));
        return false;
    }
    return true;
}

// The FAT copies kept in step: all of them, or, when the boot sector turns mirroring off, only
// the active one.
bool choose_fat_copies(f32* fs)
{
    const bios_parameter_block& bpb = fs->bpb;
    fs->fat_begin_sector = bpb.reserved_sectors;
    fs->fat_first_copy = 0;
    fs->fat_copies_kept = bpb.FAT_count;
    if (!(bpb.flags & bpb_flag_single_fat))
        return true;
    // The other copies may be stale: reading one of them could hand out a cluster in use.
    uint32_t active = bpb.flags & bpb_flag_active_fat;
    if (active >= bpb.FAT_count) {
        printf("fat32: error: FAT %u is named active but the volume has %u FATs; volume refused.\n", active,
            bpb.FAT_count);
        return false;
    }
    fs->fat_first_copy = active;
    fs->fat_copies_kept = 1;
    return true;
}

// Checks the boot sector's geometry and derives the layout; false refuses the volume, after
// one line that says why.
bool set_geometry(f32* fs)
{
    const bios_parameter_block& bpb = fs->bpb;
    if (!sizes_usable(bpb))
        return false;
    uint32_t volume_sectors = bpb.large_sectors_on_media ? bpb.large_sectors_on_media : bpb.total_sectors;
    uint64_t data_start = static_cast<uint64_t>(bpb.reserved_sectors)
        + static_cast<uint64_t>(bpb.FAT_count) * bpb.count_sectors_per_FAT32;
    if (!volume_fits(fs, volume_sectors, data_start) || !choose_fat_copies(fs))
        return false;
    fs->cluster_begin_sector = static_cast<uint32_t>(data_start);
    fs->cluster_size = bpb.sectors_per_cluster * fat32_sector_size;
    fs->cluster_alloc_hint = 0;
    fs->volume_sectors = volume_sectors;

    uint32_t clusters = (volume_sectors - fs->cluster_begin_sector) / bpb.sectors_per_cluster;
    uint32_t last = clusters + 1;
    if (last > fat_entry_count(fs) - 1)
        last = fat_entry_count(fs) - 1;
    if (last > max_cluster_number)
        last = max_cluster_number;
    fs->last_cluster = last;
    fs->root_cluster = bpb.cluster_number_root_dir;
    if (fs->last_cluster < fat32_first_data_cluster || !is_data_cluster(fs, fs->root_cluster)) {
        printf("fat32: error: root cluster %u is not on the volume; volume refused.\n",
            fs->root_cluster);
        return false;
    }
    return true;
}

// The root directory's chain must be one the allocator can never hand out again: a member
// whose FAT entry is free, or a link that leaves the volume, means the FAT does not protect
// the root, and a new directory would be written over it. Reading the chain here also
// brings in the FAT sectors the first commands need.
bool root_chain_sound(f32* fs)
{
    uint32_t cluster = fs->root_cluster;
    uint32_t longest = max_directory_bytes / fs->cluster_size;
    for (uint32_t steps = 0; steps < longest; ++steps) {
        uint32_t entry = 0;
        if (!fat_read_entry(fs, cluster, &entry)) {
            printf("fat32: error: cannot read the root's FAT entry; volume refused.\n");
            return false;
        }
        uint32_t next = entry & fat32_entry_mask;
        if (next == fat32_free_cluster) {
            printf("fat32: error: root cluster %u is marked free in the FAT; volume refused.\n",
                cluster);
            return false;
        }
        if (next > fat32_last_link)
            return true;
        if (!is_data_cluster(fs, next)) {
            printf("fat32: error: root chain leaves the volume after cluster %u; volume refused.\n", cluster);
            return false;
        }
        cluster = next;
    }
    return true;
}

// Takes the clean-shutdown mark from FAT entry 1. A volume found without it was left in the
// middle of a change: its FSInfo counts are not trusted, and the first command that touches
// the volume counts the free clusters and rewrites FSInfo. False when the FAT's first sector
// cannot be read.
bool read_clean_mark(f32* fs)
{
    uint32_t entry = 0;
    if (!fat_read_entry(fs, fat32_mark_entry, &entry)) {
        printf("fat32: error: cannot read the FAT's first sector; volume refused.\n");
        return false;
    }
    if (entry & fat32_clean_mark) {
        fs->clean_mark = clean_mark_set;
        return true;
    }
    printf("fat32: the volume was not cleanly unmounted; free space will be recounted.\n");
    fs->clean_mark = clean_mark_withheld;
    fs->free_count_state = free_count_unknown;
    fs->cluster_alloc_hint = 0;
    fs->fsinfo_stale = fs->fsinfo_valid || fs->fsinfo_unread;
    return true;
}

void release(f32* fs)
{
    dir_cache_forget(fs);
    fat_table_free(fs);
    mfree(fs);
}

} // namespace

f32* makeFilesystem(char*)
{
    auto* fs = static_cast<f32*>(malloc(sizeof(f32)));
    if (!fs)
        return nullptr;
    memset(fs, 0, sizeof(f32));

    // Documented behaviour, see the README's "Kept on purpose": the mount probes the disk again
    // although start-up just did.
    identify();
    printf("Filesystem identified!\n");
    if (!read_boot_sector(fs)) {
        release(fs);
        return nullptr;
    }
    printf("Sectors per cluster: %d\n", fs->bpb.sectors_per_cluster);
    if (!set_geometry(fs) || !fat_table_make(fs)) {
        release(fs);
        return nullptr;
    }
    read_fsinfo(fs);
    if (!root_chain_sound(fs) || !read_clean_mark(fs)) {
        release(fs);
        return nullptr;
    }
    return fs;
}

void destroyFilesystem(f32* fs)
{
    printf("Destroying filesystem.\n");
    flushFAT(fs);
    release(fs);
}

} // namespace tavix
