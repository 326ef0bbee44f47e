// The FAT held in memory on demand: entry access, allocation, the free count, and the write-out of changed FAT sectors to every copy.
#include "drivers/fs/fat32_fat.hpp"

#include "cpu/buffer.hpp"
#include "cpu/mem.hpp"
#include "drivers/fs/fat32_bytes.hpp"
#include "drivers/fs/fat32_sector.hpp"
#include "general/stdio.hpp"
#include "io/iotools.hpp"

namespace tavix {

namespace {

// The free count reads the FAT sectors it does not hold in requests of up to this many chunks
// (1 MiB), so that a large FAT costs the drive few commands: the 512 MiB FAT of a 64 GiB volume
// of 512-byte clusters takes 505 instead of one per chunk, 64,527.
constexpr uint32_t count_request_chunks = 128;

bool is_free(uint32_t entry) { return (entry & fat32_entry_mask) == fat32_free_cluster; }

// The clean-shutdown mark in FAT entry 1 is written through the disk's copy of the FAT's first
// sector (fat32_sector.cpp); the entry held here takes it from there before it is used or
// written out, so that every FAT write carries the mark the disk holds.
void follow_mark(f32* fs, fat_chunk* chunk)
{
    constexpr size_t offset = fat32_mark_entry * sizeof(uint32_t);
    uint32_t& entry = chunk->entries[fat32_mark_entry];
    entry = (entry & ~fat32_clean_mark) | (readi32(fs->mark_sector, offset) & fat32_clean_mark);
}

// The sector of the first FAT copy kept where chunk `index` begins: the FAT is read from there.
uint32_t first_fat_sector(f32* fs, uint32_t index)
{
    return fat_copy_sector(fs, fs->fat_first_copy) + index * fat_chunk_sectors;
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
        if (fat_chunk* chunk = leaf->chunks[index % fat_leaf_chunks]) {
            if (index == 0)
                follow_mark(fs, chunk);
            return chunk;
        }
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
    // The first sector as the disk holds it, for the writes of the mark.
    if (index == 0)
        copy_bytes(fs->mark_sector, chunk->entries, fat32_sector_size);
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

} // namespace

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

bool fat_write_pending(f32* fs)
{
    bool pending = false;
    visit_held_chunks(fs, [&pending](fat_chunk* chunk, uint32_t) {
        pending = chunk->dirty != 0;
        return !pending;
    });
    return pending;
}

bool fat_table_make(f32* fs)
{
    fs->fat_leaves = static_cast<fat_leaf**>(malloc(fat_leaf_count(fs) * sizeof(fat_leaf*)));
    if (!fs->fat_leaves) {
        printf("fat32: error: out of memory for the FAT.\n");
        return false;
    }
    memset(fs->fat_leaves, 0, fat_leaf_count(fs) * sizeof(fat_leaf*));
    return true;
}

void fat_table_free(f32* fs)
{
    for (uint32_t l = 0; fs->fat_leaves && l < fat_leaf_count(fs); ++l) {
        fat_leaf* leaf = fs->fat_leaves[l];
        for (uint32_t c = 0; leaf && c < fat_leaf_chunks; ++c)
            mfree(leaf->chunks[c]);
        mfree(leaf);
    }
    mfree(fs->fat_leaves);
    fs->fat_leaves = nullptr;
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
        if (index == 0)
            follow_mark(fs, chunk);
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

} // namespace tavix
