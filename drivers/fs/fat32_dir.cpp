// The directory walk: a directory's chain followed safely, its slots fed to the slot decoder one by one, the free-slot finder, and whole directories decoded.
#include "drivers/fs/fat32_dir.hpp"

#include "cpu/mem.hpp"
#include "drivers/fs/fat32_fat.hpp"
#include "drivers/fs/fat32_sector.hpp"
#include "general/stdio.hpp"

namespace tavix {

namespace {

// The link out of a chain member. Only the low 28 bits of an entry are the link; the top
// four are reserved and carry no meaning for the chain. A FAT sector that cannot be read
// ends the chain as a bad link (0).
uint32_t next_link(f32* fs, uint32_t cluster, bool* ok)
{
    uint32_t entry = 0;
    if (!fat_read_entry(fs, cluster, &entry)) {
        *ok = false;
        return fat32_free_cluster;
    }
    uint32_t next = entry & fat32_entry_mask;
    *ok = next <= fat32_last_link && is_data_cluster(fs, next);
    return next;
}

} // namespace

uint32_t chain_length(f32* fs, uint32_t start, bool* broken)
{
    *broken = false;
    if (!is_data_cluster(fs, start))
        return 0;

    // Brent's cycle detection: the hare walks on, the tortoise jumps to it at every power
    // of two, and a loop shows as the hare meeting the tortoise.
    uint32_t tortoise = start;
    uint32_t hare = start;
    uint32_t power = 1;
    uint32_t lambda = 0;
    uint32_t steps = 0;
    for (;;) {
        bool ok = false;
        uint32_t next = next_link(fs, hare, &ok);
        if (!ok) {
            *broken = next <= fat32_last_link;
            return steps + 1;
        }
        hare = next;
        ++steps;
        ++lambda;
        if (hare == tortoise)
            break;
        if (lambda == power) {
            tortoise = hare;
            power *= 2;
            lambda = 0;
        }
    }

    // A loop of length lambda: find where it starts (mu) to count each cluster once.
    *broken = true;
    bool ok = false;
    tortoise = start;
    hare = start;
    for (uint32_t i = 0; i < lambda; ++i)
        hare = next_link(fs, hare, &ok);
    uint32_t mu = 0;
    while (tortoise != hare) {
        tortoise = next_link(fs, tortoise, &ok);
        hare = next_link(fs, hare, &ok);
        ++mu;
    }
    return mu + lambda;
}

bool dir_walk_begin(dir_walk* walk, f32* fs, uint32_t cluster)
{
    *walk = dir_walk{};
    walk->fs = fs;
    walk->cluster = resolve_dir_cluster(fs, cluster);
    // The cluster and the long-name characters share one block.
    walk->buffer = static_cast<uint8_t*>(malloc(fs->cluster_size + lfn_run_units * sizeof(uint16_t)));
    if (!walk->buffer) {
        printf("fat32: error: out of memory for a directory buffer\n");
        return false;
    }
    walk->run.chars = reinterpret_cast<uint16_t*>(walk->buffer + fs->cluster_size);
    walk->clusters = chain_length(fs, walk->cluster, &walk->broken);
    walk->clusters_left = walk->clusters;
    walk->index = fs->cluster_size / fat32_dir_entry_size;
    if (walk->clusters_left > 0 && getCluster(fs, walk->buffer, walk->cluster)) {
        walk->index = 0;
        --walk->clusters_left;
    } else {
        walk->clusters_left = 0;
        walk->broken = true;
    }
    return true;
}

namespace {

// Brings the chain's next cluster into the buffer; false at the end of the chain or where
// it cannot be read.
bool dir_walk_advance(dir_walk* walk)
{
    if (walk->clusters_left == 0) {
        walk->whole = !walk->broken;
        return false;
    }
    bool linked = false;
    uint32_t next = next_link(walk->fs, walk->cluster, &linked);
    if (!linked || !getCluster(walk->fs, walk->buffer, next)) {
        walk->broken = true;
        walk->clusters_left = 0;
        return false;
    }
    --walk->clusters_left;
    walk->cluster = next;
    walk->index = 0;
    return true;
}

} // namespace

walk_step dir_walk_next(dir_walk* walk, dir_entry* dirent, walk_slots* where)
{
    f32* fs = walk->fs;
    const uint32_t slots_per_cluster = fs->cluster_size / fat32_dir_entry_size;
    for (;;) {
        if (walk->index == slots_per_cluster && !dir_walk_advance(walk))
            return walk_step::end;
        uint32_t here = walk->index++;
        uint8_t* slot = walk->buffer + here * fat32_dir_entry_size;
        walk->ended = walk->ended || slot[0] == slot_never_used;
        bool named = false;
        slot_kind kind = walk->ended ? slot_kind::free_slot : decode_slot(&walk->run, slot, dirent, &named);
        if (kind == slot_kind::label)
            continue;
        if (kind == slot_kind::long_name) {
            if (walk->run.state != lfn_state::none && walk->run.expect + 1 == walk->run.length) {
                walk->run_cluster = walk->cluster;
                walk->run_index = here;
            }
            continue;
        }
        if (kind == slot_kind::no_memory) {
            printf("fat32: error: out of memory while reading a directory\n");
            walk->broken = true;
            return walk_step::end;
        }
        where->last = slot;
        where->last_cluster = walk->cluster;
        where->last_index = here;
        where->first_cluster = named ? walk->run_cluster : walk->cluster;
        where->first_index = named ? walk->run_index : here;
        return kind == slot_kind::entry ? walk_step::entry : walk_step::free_slot;
    }
}

void dir_walk_end(dir_walk* walk)
{
    mfree(walk->buffer);
    walk->buffer = nullptr;
    walk->run.chars = nullptr;
}

void populate_dir(f32* fs, directory* dir, uint32_t cluster)
{
    dir->cluster = cluster;
    dir->entries = nullptr;
    dir->num_entries = 0;
    dir_walk walk{};
    if (!dir_walk_begin(&walk, fs, cluster))
        return;
    uint32_t capacity = 0;
    uint32_t count = 0;
    const uint32_t slots_per_cluster = fs->cluster_size / fat32_dir_entry_size;
    dir_entry decoded{};
    walk_slots where{};
    for (walk_step step; (step = dir_walk_next(&walk, &decoded, &where)) != walk_step::end;) {
        if (step != walk_step::entry)
            continue;
        if (count == capacity) {
            void* grown = krealloc(dir->entries, (capacity + slots_per_cluster) * sizeof(dir_entry));
            if (!grown) {
                printf("fat32: error: out of memory while reading a directory\n");
                mfree(decoded.name);
                break;
            }
            dir->entries = static_cast<dir_entry*>(grown);
            capacity += slots_per_cluster;
        }
        dir->entries[count++] = decoded;
    }
    dir->num_entries = count;
    dir_walk_end(&walk);
}

void populate_root_dir(f32* fs, directory* dir) { populate_dir(fs, dir, fs->root_cluster); }

void free_directory(f32*, directory* dir)
{
    if (!dir->entries)
        return;
    for (uint32_t i = 0; i < dir->num_entries; ++i)
        mfree(dir->entries[i].name);
    mfree(dir->entries);
}

bool free_slot_finder::take(uint32_t slot_cluster, uint32_t index, bool never_used)
{
    if (found)
        return false;
    if (slot_cluster != cluster) {
        end_cluster();
        cluster = slot_cluster;
        length = 0;
    } else if (index != next_index) {
        length = 0;
    }
    has_never_used |= never_used;
    next_index = index + 1;
    if (++length < count)
        return false;
    found = true;
    first_index = next_index - count;
    return true;
}

void free_slot_finder::finish()
{
    if (!found)
        end_cluster();
}

void free_slot_finder::end_cluster()
{
    if (has_never_used)
        unused_before = cluster;
    has_never_used = false;
}

} // namespace tavix
