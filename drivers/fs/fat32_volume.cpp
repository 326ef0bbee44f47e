// The FAT32 volume: mount, sector and cluster I/O, and the FAT held on demand with its write-back.
#include "drivers/fs/fat32_volume.hpp"

#include "cpu/buffer.hpp"
#include "cpu/mem.hpp"
#include "drivers/disk.hpp"
#include "drivers/fs/fat32_layout.hpp"
#include "drivers/fs/fat32_dir.hpp"
#include "drivers/fs/fat32_dir_cache.hpp"
#include "drivers/fs/fat32_locate.hpp"
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
// One ATA request moves at most this many sectors.
constexpr uint32_t max_sectors_per_request = 0xFFFF;
// No directory is longer than this (65,536 entries of 32 bytes); the mount checks the root's
// chain up to this length.
constexpr uint32_t max_directory_bytes = fat32_max_dir_slots * fat32_dir_entry_size;
// The free count reads the FAT sectors it does not hold in requests of up to this many chunks
// (1 MiB), so that a large FAT costs the drive few commands: the 512 MiB FAT of a 64 GiB volume
// of 512-byte clusters takes 505 instead of one per chunk, 64,527.
constexpr uint32_t count_request_chunks = 128;

bool is_free(uint32_t entry) { return (entry & fat32_entry_mask) == fat32_free_cluster; }


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

// The sector of the first FAT copy kept where chunk `index` begins: the FAT is read from there.
uint32_t first_fat_sector(f32* fs, uint32_t index)
{
    return fat_copy_sector(fs, fs->fat_first_copy) + index * fat_chunk_sectors;
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

// FAT sectors in chunk `index` (the last chunk of a FAT may be short).
uint32_t chunk_sector_count(f32* fs, uint32_t index)
{
    uint32_t first = index * fat_chunk_sectors;
    uint32_t left = fs->bpb.count_sectors_per_FAT32 - first;
    return left < fat_chunk_sectors ? left : fat_chunk_sectors;
}

// The chunk if it is held, without reading anything.
fat_chunk* held_chunk(f32* fs, uint32_t index)
{
    fat_leaf* leaf = fs->fat_leaves[index / fat_leaf_chunks];
    return leaf ? leaf->chunks[index % fat_leaf_chunks] : nullptr;
}

// The chunk holding FAT entry `cluster` (which the caller has checked against fat_entry_count),
// read from the first FAT copy with one request when it is first needed; null when it
// could not be read or held, and then nothing is kept.
fat_chunk* chunk_for(f32* fs, uint32_t cluster)
{
    uint32_t index = cluster / fat_chunk_entries;
    fat_leaf*& leaf = fs->fat_leaves[index / fat_leaf_chunks];
    if (leaf) {
        if (fat_chunk* chunk = leaf->chunks[index % fat_leaf_chunks])
            return chunk;
    }
    auto* chunk = static_cast<fat_chunk*>(malloc(sizeof(fat_chunk)));
    bool new_leaf = leaf == nullptr;
    if (chunk && new_leaf) {
        leaf = static_cast<fat_leaf*>(malloc(sizeof(fat_leaf)));
        if (leaf)
            memset(leaf, 0, sizeof(fat_leaf));
    }
    if (!chunk || !leaf) {
        printf("fat32: error: out of memory for the FAT.\n");
        mfree(chunk);
        return nullptr;
    }
    uint32_t sectors = chunk_sector_count(fs, index);
    if (!getSector(fs, reinterpret_cast<uint8_t*>(chunk->entries), first_fat_sector(fs, index), sectors)) {
        mfree(chunk);
        if (new_leaf) {
            mfree(leaf);
            leaf = nullptr;
        }
        return nullptr;
    }
    chunk->dirty = 0;
    leaf->chunks[index % fat_leaf_chunks] = chunk;
    ++fs->fat_chunks_loaded;
    return chunk;
}

// The free clusters among 2..last_cluster that the entries of chunk `index` hold.
uint32_t free_in_chunk(f32* fs, uint32_t index, const uint32_t* entries)
{
    uint32_t base = index * fat_chunk_entries;
    uint32_t from = base < fat32_first_data_cluster ? fat32_first_data_cluster - base : 0;
    uint32_t to = fs->last_cluster - base < fat_chunk_entries ? fs->last_cluster - base + 1 : fat_chunk_entries;
    uint32_t found = 0;
    for (uint32_t i = from; i < to; ++i)
        found += is_free(entries[i]) ? 1 : 0;
    return found;
}

// Counts the free clusters among 2..last_cluster: held chunks as they are in memory, each run
// of the others read into a scratch buffer with as few requests as it allows and not kept, so
// a count of a large FAT takes no more memory than the buffer. False when a sector could not
// be read.
bool count_free(f32* fs, uint32_t* count)
{
    uint32_t last_chunk = fs->last_cluster / fat_chunk_entries;
    uint32_t batch = last_chunk < count_request_chunks ? last_chunk + 1 : count_request_chunks;
    heap_block scratch_block(batch * sizeof(fat_chunk::entries));
    if (!scratch_block) {
        printf("fat32: error: out of memory for the FAT.\n");
        return false;
    }
    auto* scratch = scratch_block.as<uint32_t>();
    uint32_t found = 0;
    for (uint32_t index = 0; index <= last_chunk;) {
        if (const fat_chunk* chunk = held_chunk(fs, index)) {
            found += free_in_chunk(fs, index, chunk->entries);
            ++index;
            continue;
        }
        uint32_t run = 1;
        while (run < batch && index + run <= last_chunk && !held_chunk(fs, index + run))
            ++run;
        uint32_t sectors = (run - 1) * fat_chunk_sectors + chunk_sector_count(fs, index + run - 1);
        if (!getSector(fs, reinterpret_cast<uint8_t*>(scratch), first_fat_sector(fs, index), sectors))
            return false;
        for (uint32_t r = 0; r < run; ++r)
            found += free_in_chunk(fs, index + r, scratch + r * fat_chunk_entries);
        index += run;
    }
    *count = found;
    return true;
}

// The free count, counted now if the mount could not take it from FSInfo.
bool known_free_count(f32* fs, uint32_t* count)
{
    if (fs->free_count_state == free_count_unknown) {
        if (!count_free(fs, &fs->free_count))
            return false;
        fs->free_count_state = free_count_counted;
    }
    *count = fs->free_count;
    return true;
}

// Keeps a known free count exact as one cluster turns free or used. A count that would leave
// its range came from an FSInfo sector that was wrong after all: it is counted again when
// next needed.
void count_change(f32* fs, bool freed)
{
    if (fs->free_count_state == free_count_unknown)
        return;
    if (freed ? fs->free_count >= fs->last_cluster - 1 : fs->free_count == 0) {
        fs->free_count_state = free_count_unknown;
        return;
    }
    fs->free_count = freed ? fs->free_count + 1 : fs->free_count - 1;
}

// The first free cluster in [from, to] (to at most last_cluster), 0 if none; *failed when a
// FAT sector could not be read. Works a chunk at a time, so the search costs one lookup per
// chunk, not per entry.
uint32_t first_free_between(f32* fs, uint32_t from, uint32_t to, bool* failed)
{
    for (uint32_t c = from; c <= to;) {
        fat_chunk* chunk = chunk_for(fs, c);
        if (!chunk) {
            *failed = true;
            return 0;
        }
        uint32_t base = c - c % fat_chunk_entries;
        uint32_t end = to - base < fat_chunk_entries ? to - base + 1 : fat_chunk_entries;
        for (uint32_t i = c - base; i < end; ++i) {
            if (is_free(chunk->entries[i]))
                return base + i;
        }
        c = base + end;
    }
    return 0;
}

// The first free cluster at or after the allocation hint, wrapping round once; 0 if none,
// and then the count is known to be 0. *failed when a FAT sector could not be read. A count
// of 0 that the volume established itself answers without a search; one taken from FSInfo
// is not trusted that far.
uint32_t find_free_cluster(f32* fs, bool* failed)
{
    *failed = false;
    if (fs->free_count_state == free_count_counted && fs->free_count == 0)
        return 0;
    uint32_t start = fs->cluster_alloc_hint;
    if (start < fat32_first_data_cluster || start > fs->last_cluster)
        start = fat32_first_data_cluster;
    uint32_t found = first_free_between(fs, start, fs->last_cluster, failed);
    if (found == 0 && !*failed && start > fat32_first_data_cluster)
        found = first_free_between(fs, fat32_first_data_cluster, start - 1, failed);
    if (found == 0 && !*failed) {
        fs->free_count = 0;
        fs->free_count_state = free_count_counted;
    }
    return found;
}

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

// Takes FSInfo at the mount and trusts each of its counters that is in range: the free count
// saves reading the whole FAT to count it, the next-free hint is where the first allocation
// starts looking.
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

// Checks the boot sector's geometry and derives the layout; false refuses the volume, after
// one line that says why.
bool set_geometry(f32* fs)
{
    const bios_parameter_block& bpb = fs->bpb;
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
    uint32_t volume_sectors = bpb.large_sectors_on_media ? bpb.large_sectors_on_media : bpb.total_sectors;
    uint64_t data_start = static_cast<uint64_t>(bpb.reserved_sectors)
        + static_cast<uint64_t>(bpb.FAT_count) * bpb.count_sectors_per_FAT32;
    if (data_start + spc > volume_sectors) {
        printf("fat32: error: the volume is smaller than its FATs; volume refused.\n");
        return false;
    }
    // Nothing may be written beyond the partition or the disk, whatever the boot sector says.
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

    fs->fat_begin_sector = bpb.reserved_sectors;
    fs->fat_first_copy = 0;
    fs->fat_copies_kept = bpb.FAT_count;
    if (bpb.flags & bpb_flag_single_fat) {
        // The other copies may be stale: reading one of them could hand out a cluster in use.
        uint32_t active = bpb.flags & bpb_flag_active_fat;
        if (active >= bpb.FAT_count) {
            printf("fat32: error: FAT %u is named active but the volume has %u FATs; volume refused.\n", active,
                bpb.FAT_count);
            return false;
        }
        fs->fat_first_copy = active;
        fs->fat_copies_kept = 1;
    }
    fs->cluster_begin_sector = static_cast<uint32_t>(data_start);
    fs->cluster_size = spc * fat32_sector_size;
    fs->cluster_alloc_hint = 0;
    fs->volume_sectors = volume_sectors;

    uint32_t clusters = (volume_sectors - fs->cluster_begin_sector) / spc;
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

// The table of second-level FAT tables, all empty: nothing of the FAT is read yet.
bool make_fat_table(f32* fs)
{
    fs->fat_leaves = static_cast<fat_leaf**>(malloc(fat_leaf_count(fs) * sizeof(fat_leaf*)));
    if (!fs->fat_leaves) {
        printf("fat32: error: out of memory for the FAT.\n");
        return false;
    }
    memset(fs->fat_leaves, 0, fat_leaf_count(fs) * sizeof(fat_leaf*));
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
    copy_bytes(fs->mark_sector, held_chunk(fs, 0)->entries, fat32_sector_size);
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

// Writes `count` FAT sectors from `sector` (counted from the start of a FAT) to every copy
// kept, one request per copy; false when a write failed (the other copies are still written).
bool put_fat_sectors(f32* fs, uint8_t* bytes, uint32_t sector, uint32_t count)
{
    bool ok = true;
    for (uint32_t copy = fs->fat_first_copy; copy < fs->fat_first_copy + fs->fat_copies_kept; ++copy)
        ok = putSector(fs, bytes, fat_copy_sector(fs, copy) + sector, count) && ok;
    return ok;
}

// Puts the mark into FAT entry 1 in memory and into the disk's copy of the FAT's first sector.
void put_mark(f32* fs, bool set)
{
    constexpr size_t offset = fat32_mark_entry * sizeof(uint32_t);
    uint32_t mark = set ? fat32_clean_mark : 0;
    uint32_t& entry = held_chunk(fs, 0)->entries[fat32_mark_entry];
    entry = (entry & ~fat32_clean_mark) | mark;
    writei32(fs->mark_sector, offset, (readi32(fs->mark_sector, offset) & ~fat32_clean_mark) | mark);
}

// Writes the FAT's first sector as the disk holds it, with the mark set or cleared, to every
// copy; the entry in memory follows, so that later FAT writes carry the same mark. A write
// that fails leaves the mark cleared, in memory too: the disk may hold either value now.
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

// Calls visit(chunk, index) for the chunks held, in FAT order, until it returns false. The
// walk ends at the last chunk held, so that it costs what the mount holds of the FAT (a chunk
// or two near its start, as a rule), not the FAT's size.
template <class Visit>
void visit_held_chunks(f32* fs, Visit visit)
{
    uint32_t left = fs->fat_chunks_loaded;
    for (uint32_t l = 0; left > 0 && l < fat_leaf_count(fs); ++l) {
        fat_leaf* leaf = fs->fat_leaves[l];
        for (uint32_t c = 0; leaf && left > 0 && c < fat_leaf_chunks; ++c) {
            if (fat_chunk* chunk = leaf->chunks[c]) {
                --left;
                if (!visit(chunk, l * fat_leaf_chunks + c))
                    return;
            }
        }
    }
}

// True when some FAT sector changed in memory has not yet reached every copy.
bool fat_write_pending(f32* fs)
{
    bool pending = false;
    visit_held_chunks(fs, [&pending](fat_chunk* chunk, uint32_t) {
        pending = chunk->dirty != 0;
        return !pending;
    });
    return pending;
}

void release(f32* fs)
{
    dir_cache_forget(fs);
    for (uint32_t l = 0; fs->fat_leaves && l < fat_leaf_count(fs); ++l) {
        fat_leaf* leaf = fs->fat_leaves[l];
        for (uint32_t c = 0; leaf && c < fat_leaf_chunks; ++c)
            mfree(leaf->chunks[c]);
        mfree(leaf);
    }
    mfree(fs->fat_leaves);
    mfree(fs);
}

} // namespace

uint16_t readi16(uint8_t* buff, size_t offset)
{
    return static_cast<uint16_t>(buff[offset] | (buff[offset + 1] << 8));
}

uint32_t readi32(uint8_t* buff, size_t offset)
{
    return static_cast<uint32_t>(buff[offset]) | (static_cast<uint32_t>(buff[offset + 1]) << 8)
        | (static_cast<uint32_t>(buff[offset + 2]) << 16) | (static_cast<uint32_t>(buff[offset + 3]) << 24);
}

void writei16(uint8_t* buff, size_t offset, uint16_t value)
{
    buff[offset] = static_cast<uint8_t>(value);
    buff[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void writei32(uint8_t* buff, size_t offset, uint32_t value)
{
    for (size_t i = 0; i < sizeof value; ++i)
        buff[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void trim_spaces(char* c, int max)
{
    for (int i = 0; i <= max; ++i) {
        if (c[i] == ' ') {
            c[i] = '\0';
            return;
        }
    }
}

uint8_t getSector(f32* fs, uint8_t* buff, uint32_t sector, uint32_t count)
{
    if (!inside_volume(fs, sector, count)) {
        printf("fat32: error: sectors %u-%u lie outside the volume.\n", sector, sector + count - 1);
        return 0;
    }
    return transfer(fs, buff, sector, count, ata_pio_read48);
}

uint8_t putSector(f32* fs, uint8_t* buff, uint32_t sector, uint32_t count)
{
    if (!inside_volume(fs, sector, count)) {
        printf("fat32: error: sectors %u-%u lie outside the volume.\n", sector, sector + count - 1);
        return 0;
    }
    if (!clear_clean_mark(fs))
        return 0;
    return transfer(fs, buff, sector, count, ata_pio_write48);
}

uint32_t sector_for_cluster(f32* fs, uint32_t cluster)
{
    return fs->cluster_begin_sector + (cluster - fat32_first_data_cluster) * fs->bpb.sectors_per_cluster;
}

bool is_data_cluster(f32* fs, uint32_t cluster)
{
    return cluster >= fat32_first_data_cluster && cluster <= fs->last_cluster;
}

uint8_t getCluster(f32* fs, uint8_t* buff, uint32_t cluster_number)
{
    if (cluster_number > fat32_last_link) {
        printf("Can't get cluster. Hit End Of Chain.");
        return 0;
    }
    if (!is_data_cluster(fs, cluster_number)) {
        printf("fat32: error: cluster %u is not a data cluster of this volume.\n", cluster_number);
        return 0;
    }
    return getSector(fs, buff, sector_for_cluster(fs, cluster_number), fs->bpb.sectors_per_cluster);
}

uint8_t putCluster(f32* fs, uint8_t* buff, uint32_t cluster_number)
{
    // Clusters 0 and 1 would map onto the FATs and the reserved sectors.
    if (!is_data_cluster(fs, cluster_number)) {
        printf("fat32: error: cluster %u is not a data cluster of this volume.\n", cluster_number);
        return 0;
    }
    return putSector(fs, buff, sector_for_cluster(fs, cluster_number), fs->bpb.sectors_per_cluster);
}

uint8_t put_cluster_bytes(f32* fs, uint8_t* buff, uint32_t cluster_number, uint32_t from, uint32_t to)
{
    if (!is_data_cluster(fs, cluster_number)) {
        printf("fat32: error: cluster %u is not a data cluster of this volume.\n", cluster_number);
        return 0;
    }
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

uint8_t fat_read_entry(f32* fs, uint32_t cluster, uint32_t* value)
{
    if (!fs || !fs->fat_leaves || cluster >= fat_entry_count(fs))
        return 0;
    fat_chunk* chunk = chunk_for(fs, cluster);
    if (!chunk)
        return 0;
    *value = chunk->entries[cluster % fat_chunk_entries];
    return 1;
}

uint8_t fat_write_entry(f32* fs, uint32_t cluster, uint32_t value)
{
    if (!fs || !fs->fat_leaves || cluster >= fat_entry_count(fs))
        return 0;
    fat_chunk* chunk = chunk_for(fs, cluster);
    if (!chunk)
        return 0;
    uint32_t& entry = chunk->entries[cluster % fat_chunk_entries];
    uint32_t changed = (entry & ~fat32_entry_mask) | (value & fat32_entry_mask);
    if (entry == changed)
        return 1;
    if (is_data_cluster(fs, cluster) && is_free(entry) != is_free(changed))
        count_change(fs, is_free(changed));
    entry = changed;
    auto bit = static_cast<uint16_t>(1u << (cluster % fat_chunk_entries / fat32_entries_per_sector));
    chunk->dirty = static_cast<uint16_t>(chunk->dirty | bit);
    return 1;
}

uint32_t get_next_cluster_id(f32* fs, uint32_t cluster)
{
    uint32_t entry = 0;
    if (!fat_read_entry(fs, cluster, &entry))
        return fat32_end_of_chain;
    return entry & fat32_entry_mask;
}

uint32_t allocate_cluster(f32* fs, cluster_fill fill, allocation_failure* why)
{
    allocation_failure failure = allocation_failure::none;
    bool failed = false;
    uint32_t cluster = find_free_cluster(fs, &failed);
    if (cluster == 0)
        failure = failed ? allocation_failure::fat_unreadable : allocation_failure::no_free_cluster;
    // A cluster whose zero-fill did not reach the disk is left free.
    else if (fill == cluster_fill::zeros && !clear_cluster(fs, cluster))
        failure = allocation_failure::fill_failed;
    else if (!fat_write_entry(fs, cluster, fat32_end_of_chain))
        failure = allocation_failure::fat_unreadable;
    if (why)
        *why = failure;
    if (failure != allocation_failure::none)
        return 0;
    fs->cluster_alloc_hint = cluster + 1;
    return cluster;
}

free_space check_free_space(f32* fs, uint32_t needed)
{
    uint32_t count = 0;
    if (!known_free_count(fs, &count))
        return free_space::unreadable;
    if (count >= needed)
        return free_space::enough;
    if (fs->free_count_state != free_count_from_fsinfo)
        return free_space::too_little;
    fs->free_count_state = free_count_unknown;
    if (!known_free_count(fs, &count))
        return free_space::unreadable;
    return count >= needed ? free_space::enough : free_space::too_little;
}

uint32_t allocateCluster(f32* fs) { return allocate_cluster(fs, cluster_fill::zeros); }

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

void release_chain(f32* fs, uint32_t start_cluster)
{
    // As each freed entry reads 0 afterwards, a chain that loops back ends at its first
    // repeated cluster; the step bound is a second guard.
    uint32_t cluster = start_cluster;
    uint32_t entry = 0;
    for (uint32_t steps = 0; is_data_cluster(fs, cluster) && steps < fs->last_cluster; ++steps) {
        if (!fat_read_entry(fs, cluster, &entry))
            return;
        fat_write_entry(fs, cluster, fat32_free_cluster);
        cluster = entry & fat32_entry_mask;
    }
}

uint32_t count_free_clusters(f32* fs)
{
    uint32_t count = 0;
    return known_free_count(fs, &count) ? count : 0;
}

uint64_t volume_bytes(f32* fs)
{
    return static_cast<uint64_t>(fs->last_cluster - 1) * fs->cluster_size;
}

uint64_t free_bytes(f32* fs)
{
    return static_cast<uint64_t>(count_free_clusters(fs)) * fs->cluster_size;
}

uint8_t write_fat_sectors(f32* fs)
{
    if (!fs || !fs->fat_leaves)
        return 0;
    uint8_t ok = 1;
    visit_held_chunks(fs, [&](fat_chunk* chunk, uint32_t index) {
        // Each run of consecutive dirty sectors goes to each copy with one request.
        for (uint32_t s = 0; chunk->dirty && s < fat_chunk_sectors; ++s) {
            if (!(chunk->dirty & (1u << s)))
                continue;
            uint32_t end = s + 1;
            while (end < fat_chunk_sectors && (chunk->dirty & (1u << end)))
                ++end;
            auto run = static_cast<uint16_t>(((1u << (end - s)) - 1) << s);
            fs->fsinfo_stale = 1;
            uint32_t sector = index * fat_chunk_sectors + s;
            auto* bytes = reinterpret_cast<uint8_t*>(chunk->entries + s * fat32_entries_per_sector);
            // A run that did not reach every copy stays dirty and goes out again next time.
            if (put_fat_sectors(fs, bytes, sector, end - s)) {
                chunk->dirty = static_cast<uint16_t>(chunk->dirty & ~run);
                if (sector == 0)
                    copy_bytes(fs->mark_sector, bytes, fat32_sector_size);
            } else {
                ok = 0;
            }
            s = end - 1;
        }
        return true;
    });
    return ok;
}

namespace {

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

change_end finish_change(f32* fs)
{
    if (!fs || !fs->fat_leaves || !write_fsinfo(fs))
        return change_end::fsinfo_failed;
    return set_clean_mark(fs) ? change_end::done : change_end::mark_failed;
}

uint8_t clear_clean_mark(f32* fs)
{
    if (!fs || fs->clean_mark != clean_mark_set)
        return 1;
    return write_clean_mark(fs, false);
}

void withhold_clean_mark(f32* fs)
{
    if (fs && fs->clean_mark == clean_mark_cleared)
        fs->clean_mark = clean_mark_withheld;
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

namespace {

void decode_bpb(const uint8_t* boot, struct bios_parameter_block* bpb)
{
    // The byte readers take a writable buffer; they only read it.
    auto* sector = const_cast<uint8_t*>(boot);
    bpb->bytes_per_sector = readi16(sector, bpb_bytes_per_sector);
    bpb->sectors_per_cluster = sector[bpb_sectors_per_cluster];
    bpb->reserved_sectors = readi16(sector, bpb_reserved_sectors);
    bpb->FAT_count = sector[bpb_fat_count];
    bpb->dir_entries = readi16(sector, bpb_dir_entries);
    bpb->total_sectors = readi16(sector, bpb_total_sectors);
    bpb->media_descriptor_type = sector[bpb_media_descriptor];
    bpb->count_sectors_per_FAT12_16 = readi16(sector, bpb_sectors_per_fat16);
    bpb->count_sectors_per_track = readi16(sector, bpb_sectors_per_track);
    bpb->count_heads_or_sizes_on_media = readi16(sector, bpb_heads);
    bpb->count_hidden_sectors = readi32(sector, bpb_hidden_sectors);
    bpb->large_sectors_on_media = readi32(sector, bpb_large_sectors);
    bpb->count_sectors_per_FAT32 = readi32(sector, bpb_sectors_per_fat32);
    bpb->flags = readi16(sector, bpb_flags);
    bpb->FAT_version = readi16(sector, bpb_fat_version);
    bpb->cluster_number_root_dir = readi32(sector, bpb_root_cluster);
    bpb->sector_number_FSInfo = readi16(sector, bpb_fsinfo_sector);
    bpb->sector_number_backup_boot_sector = readi16(sector, bpb_backup_boot_sector);
    bpb->drive_number = sector[bpb_drive_number];
    bpb->windows_flags = sector[bpb_windows_flags];
    bpb->signature = sector[bpb_signature];
    bpb->volume_id = readi32(sector, bpb_volume_id);
    for (size_t i = 0; i < bpb_volume_label_bytes; ++i)
        bpb->volume_label[i] = static_cast<char>(sector[bpb_volume_label + i]);
    bpb->volume_label[bpb_volume_label_bytes] = '\0';
    for (size_t i = 0; i < bpb_system_id_bytes; ++i)
        bpb->system_id[i] = static_cast<char>(sector[bpb_system_id + i]);
    bpb->system_id[bpb_system_id_bytes] = '\0';
}

// Reads the disk's first sector: the volume's boot sector, or a partition table that names the
// partition holding it. False when there is no volume (a line said why) or nothing was read.
bool read_boot_sector(f32* fs)
{
    heap_block first(fat32_sector_size);
    if (!first || !getSector(fs, first.data(), 0, 1))
        return false;
    decode_bpb(first.data(), &fs->bpb);
    printf("trim_spaces\n");
    return locate_volume(fs, first.data());
}

} // namespace

uint8_t read_bpb(f32* fs, struct bios_parameter_block* bpb)
{
    heap_block block(fat32_sector_size);
    if (!block || !getSector(fs, block.data(), 0, 1))
        return 0;
    decode_bpb(block.data(), bpb);
    return 1;
}

const struct bios_parameter_block* getBPB(f32* fs) { return &fs->bpb; }

f32* makeFilesystem(char*)
{
    auto* fs = static_cast<f32*>(malloc(sizeof(f32)));
    if (!fs)
        return nullptr;
    memset(fs, 0, sizeof(f32));

    identify();
    printf("Filesystem identified!\n");
    if (!read_boot_sector(fs)) {
        release(fs);
        return nullptr;
    }
    printf("Sectors per cluster: %d\n", fs->bpb.sectors_per_cluster);
    if (!set_geometry(fs) || !make_fat_table(fs)) {
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
