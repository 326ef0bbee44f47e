// The volume's sectors and clusters: the one place that turns them into disk addresses, and the clean-shutdown mark that the first write of a change clears.
#pragma once

#include "drivers/fs/fat32_volume.hpp"

#include <stdint.h>

namespace tavix {

// Every routine that touches the disk returns 1 when the transfer went through and 0 when it
// was refused (outside the volume, cluster number not a data cluster) or the disk gave up; on 0
// the operation must not be reported as done.

// Sector numbers are the volume's own (0 is its boot sector); these two routines alone turn
// them into disk LBAs. Each moves `count` sectors from `sector` with as few disk requests as
// the drive takes (one per 65,535 sectors).
uint8_t getSector(f32* fs, uint8_t* buff, uint32_t sector, uint32_t count);
// The first write of a change clears the clean-shutdown mark before anything else reaches
// the disk.
uint8_t putSector(f32* fs, uint8_t* buff, uint32_t sector, uint32_t count);

// True when `cluster` may be read, written or followed: 2..last_cluster.
bool is_data_cluster(f32* fs, uint32_t cluster);
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

// The first sector of FAT copy `copy` (0: the first on the disk).
inline uint32_t fat_copy_sector(const f32* fs, uint32_t copy)
{
    return fs->fat_begin_sector + copy * fs->bpb.count_sectors_per_FAT32;
}
// Writes `count` FAT sectors from `sector` (counted from the start of a FAT) to every copy
// kept, one request per copy; false when a write failed (the other copies are still written).
bool put_fat_sectors(f32* fs, uint8_t* bytes, uint32_t sector, uint32_t count);

// ---- The clean-shutdown mark ----
// It lives in FAT entry 1. Here it is written into mark_sector, the FAT's first sector as the
// disk holds it, and from there to every copy; the FAT held in memory takes it from
// mark_sector whenever it next uses or writes that sector (fat32_fat.cpp).

// Clears the mark in every FAT copy if it is set; a change calls it (or lets putSector call
// it) before its first write. 0 when the write failed: the change must not go on.
uint8_t clear_clean_mark(f32* fs);
// Sets or clears the mark in every copy. A write that fails leaves the mark cleared: the disk
// may hold either value now. False when a write failed.
bool write_clean_mark(f32* fs, bool set);
// A failed write left the volume in a state no retry will mend: the mark stays cleared.
void withhold_clean_mark(f32* fs);

} // namespace tavix
