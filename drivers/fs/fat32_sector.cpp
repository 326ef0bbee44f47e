// The volume's sectors and clusters: the one place that turns them into disk addresses, and the clean-shutdown mark that the first write of a change clears.
#include "drivers/fs/fat32_sector.hpp"

#include "cpu/buffer.hpp"
#include "drivers/disk.hpp"
#include "drivers/fs/fat32_bytes.hpp"
#include "general/stdio.hpp"
#include "io/iotools.hpp"

namespace tavix {

namespace {

// One ATA request moves at most this many sectors.
constexpr uint32_t max_sectors_per_request = 0xFFFF;

// True when `count` sectors from `sector` lie inside the volume. Before the geometry is
// known (reading the boot sector) every sector is allowed.
bool inside_volume(f32* fs, uint32_t sector, uint32_t count)
{
    if (!fs || fs->volume_sectors == 0)
        return true;
    return sector < fs->volume_sectors && count <= fs->volume_sectors - sector;
}

// The disk address of a sector of the volume: the one place that knows where the volume lies.
uint64_t disk_lba(f32* fs, uint32_t sector)
{
    return static_cast<uint64_t>(fs ? fs->partition_begin_sector : 0) + sector;
}

// The line every sector transfer refuses sectors outside the volume with.
bool refused_sectors(f32* fs, uint32_t sector, uint32_t count)
{
    if (inside_volume(fs, sector, count))
        return false;
    printf("fat32: error: sectors %u-%u lie outside the volume.\n", sector, sector + count - 1);
    return true;
}

// Moves `count` sectors from the volume's `sector` with the fewest requests the drive takes.
uint8_t transfer(f32* fs, uint8_t* buff, uint32_t sector, uint32_t count,
    uint8_t (*request)(uint64_t lba, uint16_t sectors, uint8_t* buffer))
{
    uint64_t lba = disk_lba(fs, sector);
    while (count > 0) {
        uint32_t n = count > max_sectors_per_request ? max_sectors_per_request : count;
        if (!request(lba, static_cast<uint16_t>(n), buff))
            return 0;
        lba += n;
        count -= n;
        buff += n * fat32_sector_size;
    }
    return 1;
}

// The message every cluster transfer refuses a cluster number with.
bool refused_cluster(f32* fs, uint32_t cluster_number)
{
    if (is_data_cluster(fs, cluster_number))
        return false;
    printf("fat32: error: cluster %u is not a data cluster of this volume.\n", cluster_number);
    return true;
}

// Puts the mark into the disk's copy of the FAT's first sector.
void put_mark(f32* fs, bool set)
{
    constexpr size_t offset = fat32_mark_entry * sizeof(uint32_t);
    uint32_t mark = set ? fat32_clean_mark : 0;
    writei32(fs->mark_sector, offset, (readi32(fs->mark_sector, offset) & ~fat32_clean_mark) | mark);
}

} // namespace

uint8_t getSector(f32* fs, uint8_t* buff, uint32_t sector, uint32_t count)
{
    if (refused_sectors(fs, sector, count))
        return 0;
    return transfer(fs, buff, sector, count, ata_pio_read48);
}

uint8_t putSector(f32* fs, uint8_t* buff, uint32_t sector, uint32_t count)
{
    if (refused_sectors(fs, sector, count) || !clear_clean_mark(fs))
        return 0;
    return transfer(fs, buff, sector, count, ata_pio_write48);
}

bool is_data_cluster(f32* fs, uint32_t cluster)
{
    return cluster >= fat32_first_data_cluster && cluster <= fs->last_cluster;
}

uint32_t sector_for_cluster(f32* fs, uint32_t cluster)
{
    return fs->cluster_begin_sector + (cluster - fat32_first_data_cluster) * fs->bpb.sectors_per_cluster;
}

uint8_t getCluster(f32* fs, uint8_t* buff, uint32_t cluster_number)
{
    if (cluster_number > fat32_last_link) {
        printf("Can't get cluster. Hit End Of Chain.");
        return 0;
    }
    if (refused_cluster(fs, cluster_number))
        return 0;
    return getSector(fs, buff, sector_for_cluster(fs, cluster_number), fs->bpb.sectors_per_cluster);
}

uint8_t putCluster(f32* fs, uint8_t* buff, uint32_t cluster_number)
{
    // Clusters 0 and 1 would map onto the FATs and the reserved sectors.
    if (refused_cluster(fs, cluster_number))
        return 0;
    return putSector(fs, buff, sector_for_cluster(fs, cluster_number), fs->bpb.sectors_per_cluster);
}

uint8_t put_cluster_bytes(f32* fs, uint8_t* buff, uint32_t cluster_number, uint32_t from, uint32_t to)
{
    if (refused_cluster(fs, cluster_number))
        return 0;
    if (from >= to || to > fs->cluster_size)
        return 0;
    uint32_t first = from / fat32_sector_size;
    uint32_t end = (to + fat32_sector_size - 1) / fat32_sector_size;
    return putSector(fs, buff + first * fat32_sector_size, sector_for_cluster(fs, cluster_number) + first, end - first);
}

uint8_t clear_cluster(f32* fs, uint32_t cluster)
{
    heap_block zeros(fs->cluster_size);
    if (!zeros) {
        printf("fat32: error: out of memory for a cluster buffer.\n");
        return 0;
    }
    memset(zeros.data(), 0, fs->cluster_size);
    return putCluster(fs, zeros.data(), cluster);
}

bool put_fat_sectors(f32* fs, uint8_t* bytes, uint32_t sector, uint32_t count)
{
    bool ok = true;
    for (uint32_t copy = fs->fat_first_copy; copy < fs->fat_first_copy + fs->fat_copies_kept; ++copy)
        ok = putSector(fs, bytes, fat_copy_sector(fs, copy) + sector, count) && ok;
    return ok;
}

uint8_t clear_clean_mark(f32* fs)
{
    if (!fs || fs->clean_mark != clean_mark_set)
        return 1;
    return write_clean_mark(fs, false);
}

bool write_clean_mark(f32* fs, bool set)
{
    put_mark(fs, set);
    // Cleared before the writes, so that putSector does not ask for the mark to be cleared.
    fs->clean_mark = clean_mark_cleared;
    bool ok = put_fat_sectors(fs, fs->mark_sector, 0, 1);
    if (!ok)
        put_mark(fs, false);
    else if (set)
        fs->clean_mark = clean_mark_set;
    return ok;
}

void withhold_clean_mark(f32* fs)
{
    if (fs && fs->clean_mark == clean_mark_cleared)
        fs->clean_mark = clean_mark_withheld;
}

} // namespace tavix
