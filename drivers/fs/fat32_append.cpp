// Appending to a file: the new bytes go where no byte of the file lies, and are linked before the size grows.
#include "drivers/fs/fat32_file.hpp"

#include "cpu/buffer.hpp"
#include "cpu/mem.hpp"
#include "drivers/fs/fat32_bytes.hpp"
#include "drivers/fs/fat32_create.hpp"
#include "drivers/fs/fat32_entry.hpp"
#include "drivers/fs/fat32_fat.hpp"
#include "drivers/fs/fat32_names.hpp"
#include "drivers/fs/fat32_sector.hpp"
#include "drivers/fs/fat32_slot.hpp"
#include "drivers/fs/fat32_writeback.hpp"
#include "general/stdio.hpp"
#include "io/iotools.hpp"

namespace tavix {

namespace {

// A file's size field holds 32 bits.
constexpr uint32_t max_file_size = 0xFFFFFFFF;

// The last cluster of the chain from `first`, `clusters` clusters long.
uint32_t last_of_chain(f32* fs, uint32_t first, uint32_t clusters)
{
    uint32_t cluster = first;
    for (uint32_t i = 1; i < clusters; ++i)
        cluster = get_next_cluster_id(fs, cluster);
    return cluster;
}

// Gives back the clusters an append claimed and unlinks them from the file's last cluster
// (0: the file had none), in memory and then in every FAT copy.
void undo_growth(f32* fs, uint32_t last, uint32_t first_new, uint32_t saved_hint)
{
    if (last != 0 && first_new != 0)
        fat_write_entry(fs, last, fat32_end_of_chain);
    release_chain(fs, first_new);
    fs->cluster_alloc_hint = saved_hint;
    flushFAT(fs);
}

// Where an append's bytes go, checked before anything is written.
struct append_plan {
    uint32_t last;    // the file's last cluster; 0 when it has none
    uint32_t used;    // the file's bytes in that cluster
    uint32_t in_last; // new bytes that fill its unused part
    uint32_t rest;    // new bytes for new clusters
};

// The checks of an append: a size that stays in 32 bits, a chain that matches the size, and
// room for the new clusters. False after one line.
bool plan_append(f32* fs, const dir_entry& file, uint32_t length, const char* who, append_plan* plan)
{
    const uint32_t cluster_size = fs->cluster_size;
    const uint32_t size = file.file_size;
    if (length > max_file_size - size) {
        printf("%s: error: %s cannot grow past 4 GiB\n", who, file.name);
        return false;
    }
    // A chain that does not match the size is a damaged file for a checker to mend.
    uint32_t clusters = (size + cluster_size - 1) / cluster_size;
    bool broken = false;
    if (chain_length(fs, file.first_cluster, &broken) != clusters || broken) {
        printf("%s: error: the clusters of %s do not match its size\n", who, file.name);
        return false;
    }
    plan->last = clusters == 0 ? 0 : last_of_chain(fs, file.first_cluster, clusters);
    plan->used = size % cluster_size;
    plan->in_last = plan->used == 0 ? 0 : (cluster_size - plan->used < length ? cluster_size - plan->used : length);
    plan->rest = length - plan->in_last;
    free_space room = check_free_space(fs, (plan->rest + cluster_size - 1) / cluster_size);
    if (room == free_space::enough)
        return true;
    printf(room == free_space::too_little ? "%s: error: not enough free space for %s\n"
                                          : "%s: error: could not read the FAT for %s\n", who, file.name);
    return false;
}

// Writes the new bytes: behind the size, the last cluster holds nothing of the file, so its
// sectors there take the first of them (the sector holding the file's last bytes with those
// bytes as they are); then new clusters, then the link to them in every FAT copy. Until the
// size grows, a cut leaves them as clusters the file does not use. *first_new: the first new
// cluster, or 0. False after one line, with the clusters given back.
bool write_growth(f32* fs, const append_plan& plan, const uint8_t* data, uint8_t* buffer, const char* who,
    const char* name, uint32_t* first_new)
{
    if (plan.in_last > 0) {
        bool written = getCluster(fs, buffer, plan.last);
        copy_bytes(buffer + plan.used, data, plan.in_last);
        if (!written || !put_cluster_bytes(fs, buffer, plan.last, plan.used, plan.used + plan.in_last)) {
            flushFAT(fs);
            printf("%s: error: could not write the last cluster of %s\n", who, name);
            return false;
        }
    }
    uint32_t saved_hint = fs->cluster_alloc_hint;
    uint32_t last_new = 0;
    allocation_failure why = allocation_failure::none;
    if (plan.rest > 0 && !write_new_chain(fs, data + plan.in_last, plan.rest, buffer, first_new, &last_new, &why)) {
        undo_growth(fs, 0, *first_new, saved_hint);
        printf(why == allocation_failure::fat_unreadable ? "%s: error: could not read the FAT for %s\n"
                                                         : "%s: error: could not write the new clusters for %s\n",
            who, name);
        return false;
    }
    if ((plan.last != 0 && *first_new != 0 && !fat_write_entry(fs, plan.last, *first_new)) || !write_fat_sectors(fs)) {
        undo_growth(fs, plan.last, *first_new, saved_hint);
        printf("%s: error: could not write the FAT for %s\n", who, name);
        return false;
    }
    return true;
}

// Appends to the file a walk stands at; its short entry is where.last in the walk's buffer.
bool append_to(f32* fs, dir_walk* walk, const walk_slots& where, const dir_entry& file, const uint8_t* data,
    uint32_t length, const char* who)
{
    const char* name = file.name;
    append_plan plan{};
    if (!plan_append(fs, file, length, who, &plan))
        return false;
    heap_block cluster_buffer(fs->cluster_size);
    if (!cluster_buffer) {
        printf("%s: error: out of memory for a cluster buffer\n", who);
        return false;
    }
    if (!clear_clean_mark(fs)) {
        printf("%s: error: could not write the FAT's clean-shutdown mark for %s\n", who, name);
        return false;
    }
    uint32_t first_new = 0;
    if (!write_growth(fs, plan, data, cluster_buffer.data(), who, name, &first_new))
        return false;
    // The entry, in one sector: the new size and, for a file that had no cluster, its first.
    uint8_t* slot = where.last;
    writei32(slot, dirent_size_offset, file.file_size + length);
    if (plan.last == 0)
        write_slot_cluster(slot, first_new);
    stamp_modified(slot, fat_now());
    auto at = static_cast<uint32_t>(slot - walk->buffer);
    if (!put_cluster_bytes(fs, walk->buffer, where.last_cluster, at, at + fat32_dir_entry_size)) {
        // The entry may or may not have reached the disk: the linked clusters stay, which is
        // sound either way, and only a checker may call the volume clean again.
        withhold_clean_mark(fs);
        printf("%s: error: could not write the directory for %s\n", who, name);
        return false;
    }
    finish_change(fs);
    return true;
}

} // namespace

bool append_file(f32* fs, uint32_t dir_cluster, const char* name, const uint8_t* data, uint32_t length,
    const char* who)
{
    bool appended = false;
    lookup_result found =
        at_entry(fs, dir_cluster, name, [&](dir_walk* walk, const walk_slots& where, const dir_entry& entry) {
            if (is_directory(entry))
                printf("%s: error: %s is a directory\n", who, name);
            else
                appended = append_to(fs, walk, where, entry, data, length, who);
        });
    if (found == lookup_result::missing)
        return create_named(fs, dir_cluster, name, data, length, false, who);
    report_not_found(found, who, name);
    return appended;
}

} // namespace tavix
