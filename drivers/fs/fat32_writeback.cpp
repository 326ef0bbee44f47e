// The end of every change: FSInfo kept true to the FAT, the FAT written back, and the clean-shutdown mark set again.
#include "drivers/fs/fat32_writeback.hpp"

#include "drivers/fs/fat32_bytes.hpp"
#include "drivers/fs/fat32_fat.hpp"
#include "drivers/fs/fat32_layout.hpp"
#include "drivers/fs/fat32_sector.hpp"

namespace tavix {

namespace {

// The FSInfo sector's "free count / next free unknown" value.
constexpr uint32_t fat32_fsinfo_unknown = 0xFFFFFFFF;

// Reads the FSInfo sector the boot sector names and keeps it when it really is one
// (fsinfo_valid), with its counters as stored. False when it could not be read: fsinfo_unread
// then says it must be read before the volume may be called clean.
bool load_fsinfo(f32* fs)
{
    uint16_t where = fs->bpb.sector_number_FSInfo;
    if (where == 0 || where >= fs->bpb.reserved_sectors)
        return true;
    uint8_t* sector = fs->fsinfo_sector;
    fs->fsinfo_unread = getSector(fs, sector, where, 1) ? 0 : 1;
    if (fs->fsinfo_unread)
        return false;
    fs->fsinfo_valid = readi32(sector, fsinfo_lead_offset) == fsinfo_lead_signature
        && readi32(sector, fsinfo_struct_offset) == fsinfo_struct_signature
        && readi32(sector, fsinfo_trail_offset) == fsinfo_trail_signature;
    fs->fsinfo_free_count = readi32(sector, fsinfo_free_offset);
    fs->fsinfo_next_free = readi32(sector, fsinfo_next_offset);
    return true;
}

// Rewrites the FSInfo counters when they no longer describe the FAT. The next-free hint
// only needs refreshing when the FAT itself changed: an unchanged volume keeps the hint
// its formatter left, which is still a valid place to start looking.
uint8_t update_fsinfo(f32* fs, bool fat_changed)
{
    // An FSInfo the mount could not read may still hold counts the FAT no longer matches.
    if (fs->fsinfo_unread && !load_fsinfo(fs))
        return 0;
    if (!fs->fsinfo_valid)
        return 1;
    uint32_t free_count = 0;
    if (!known_free_count(fs, &free_count))
        return 0;
    if (!fat_changed && free_count == fs->fsinfo_free_count)
        return 1;
    bool failed = false;
    uint32_t next_free = find_free_cluster(fs, &failed);
    // A search that found nothing has just corrected a count that claimed free clusters; a
    // free cluster beside a count of none shows the count came from a wrong FSInfo.
    if (!failed && next_free != 0 && fs->free_count == 0) {
        fs->free_count_state = free_count_unknown;
        failed = !known_free_count(fs, &free_count);
    }
    if (failed)
        return 0;
    free_count = fs->free_count;
    if (next_free == 0)
        next_free = fat32_fsinfo_unknown;
    if (free_count == fs->fsinfo_free_count && next_free == fs->fsinfo_next_free)
        return 1;
    writei32(fs->fsinfo_sector, fsinfo_free_offset, free_count);
    writei32(fs->fsinfo_sector, fsinfo_next_offset, next_free);
    uint8_t ok = putSector(fs, fs->fsinfo_sector, fs->bpb.sector_number_FSInfo, 1);
    if (ok) {
        fs->fsinfo_free_count = free_count;
        fs->fsinfo_next_free = next_free;
    }
    return ok;
}

// Rewrites FSInfo's free count and next-free hint when they no longer describe the FAT;
// stays pending when the write fails. 0 when it failed.
uint8_t write_fsinfo(f32* fs)
{
    // A failed rewrite leaves FSInfo pending even where no FAT sector changed.
    if (!update_fsinfo(fs, fs->fsinfo_stale)) {
        fs->fsinfo_stale = 1;
        return 0;
    }
    fs->fsinfo_stale = 0;
    return 1;
}

// Sets the mark again in every copy once a change is complete: only when this mount cleared
// it and nothing is pending. 0 when the write failed (it is tried again after the next change).
uint8_t set_clean_mark(f32* fs)
{
    if (fs->clean_mark != clean_mark_cleared || fs->mark_held || fat_write_pending(fs) || fs->fsinfo_stale)
        return 1;
    return write_clean_mark(fs, true);
}

} // namespace

void read_fsinfo(f32* fs)
{
    if (!load_fsinfo(fs) || !fs->fsinfo_valid)
        return;
    if (fs->fsinfo_free_count <= fs->last_cluster - 1) {
        fs->free_count = fs->fsinfo_free_count;
        fs->free_count_state = free_count_from_fsinfo;
    }
    if (is_data_cluster(fs, fs->fsinfo_next_free))
        fs->cluster_alloc_hint = fs->fsinfo_next_free;
}

change_end finish_change(f32* fs)
{
    if (!fs || !fs->fat_leaves || !write_fsinfo(fs))
        return change_end::fsinfo_failed;
    return set_clean_mark(fs) ? change_end::done : change_end::mark_failed;
}

uint8_t flushFAT(f32* fs)
{
    // FSInfo only summarises the FAT: it must never describe a FAT the disk does not hold, and
    // the mark only says the volume is consistent once both are written.
    return write_fat_sectors(fs) && finish_change(fs) == change_end::done;
}

uint8_t retry_pending_writes(f32* fs)
{
    if (!fs || !fs->fat_leaves)
        return 0;
    if (!write_fat_sectors(fs))
        return 0;
    if (fs->fsinfo_stale && !write_fsinfo(fs))
        return 0;
    return set_clean_mark(fs);
}

uint8_t zero_FAT_chain(f32* fs, uint32_t start_cluster)
{
    // The link is the low 28 bits: the top four are reserved and may be set on a link that
    // is still valid. This walk only reads, so that a FAT sector that cannot be read fails
    // the release before any entry has changed.
    uint32_t cluster = start_cluster;
    uint32_t entry = 0;
    for (uint32_t steps = 0; is_data_cluster(fs, cluster) && steps < fs->last_cluster; ++steps) {
        if (!fat_read_entry(fs, cluster, &entry))
            return 0;
        cluster = entry & fat32_entry_mask;
    }
    release_chain(fs, start_cluster);
    return flushFAT(fs);
}

} // namespace tavix
