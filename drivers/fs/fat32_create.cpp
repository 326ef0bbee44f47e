// A new directory entry inserted as one transaction: the checks, the room, the clusters, the FAT, the slots, and one undo.
#include "drivers/fs/fat32_create.hpp"

#include "cpu/buffer.hpp"
#include "cpu/mem.hpp"
#include "drivers/fs/fat32_dir_cache.hpp"
#include "drivers/fs/fat32_entry.hpp"
#include "drivers/fs/fat32_names.hpp"
#include "drivers/fs/fat32_sector.hpp"
#include "drivers/fs/fat32_slot.hpp"
#include "drivers/fs/fat32_writeback.hpp"
#include "general/stdio.hpp"
#include "io/iotools.hpp"

namespace tavix {

// ---- Making room ----

namespace {

// Makes the slot `index` of a directory cluster never-used, the directory's end, writing the
// one sector that holds it; false when it could not be read or written.
bool mark_end(f32* fs, uint32_t cluster, uint32_t index)
{
    heap_block sector(fat32_sector_size);
    uint32_t lba = sector_for_cluster(fs, cluster) + index * fat32_dir_entry_size / fat32_sector_size;
    if (!sector || !is_data_cluster(fs, cluster) || !getSector(fs, sector.data(), lba, 1))
        return false;
    sector.data()[index * fat32_dir_entry_size % fat32_sector_size] = slot_never_used;
    return putSector(fs, sector.data(), lba, 1);
}

// Marks deleted every slot of a directory cluster from its first never-used slot (the
// directory's end) on, writing only the sectors that changed; false when it could not be read
// or written. The new entry behind them would otherwise be invisible to other systems. The
// last sector goes first, so that no write shows old bytes behind the end to a reader.
bool seal_unused_slots(f32* fs, uint8_t* cluster_buffer, uint32_t cluster)
{
    if (!getCluster(fs, cluster_buffer, cluster))
        return false;
    uint32_t end = 0;
    while (end < fs->cluster_size && cluster_buffer[end] != slot_never_used)
        end += fat32_dir_entry_size;
    for (uint32_t sector = fs->cluster_size; sector > end / fat32_sector_size * fat32_sector_size;) {
        sector -= fat32_sector_size;
        uint32_t from = sector > end ? sector : end;
        bool changed = false;
        for (uint32_t at = from; at < sector + fat32_sector_size; at += fat32_dir_entry_size) {
            changed = changed || cluster_buffer[at] != slot_deleted;
            cluster_buffer[at] = slot_deleted;
        }
        if (changed && !put_cluster_bytes(fs, cluster_buffer, cluster, sector, sector + fat32_sector_size))
            return false;
    }
    return true;
}

enum class reserve_result { ok, full, failed, no_cluster };

// Makes room for the place found: seals the slots behind the directory's end before it and,
// when no free slots were found, claims a cluster (in memory, not yet linked) whose buffer
// starts zeroed. `full` when growing would take the directory past fat32_max_dir_slots;
// `failed` when a disk transfer failed; `no_cluster` when none could be claimed, *why saying why.
reserve_result reserve_place(f32* fs, entry_place* place, allocation_failure* why)
{
    if (growth_would_overflow(fs, place))
        return reserve_result::full;
    // Behind the directory's end, the slot after the new entry becomes the end again, and, before
    // the seal shows the slots found, so does the first of them: whatever fails later, nothing
    // that lay behind the end comes to light.
    bool first_is_old = place->slot && place->unused_before != 0 && place->slot[0] != slot_never_used;
    if ((place->end_cluster != 0 && !mark_end(fs, place->end_cluster, place->end_index))
        || (first_is_old
            && !mark_end(fs, place->found_cluster,
                static_cast<uint32_t>(place->slot - place->buffer) / fat32_dir_entry_size)))
        return reserve_result::failed;
    if (place->unused_before != 0 && !seal_unused_slots(fs, place->buffer, place->unused_before))
        return reserve_result::failed;
    // Sealing borrows the buffer, and the ends changed the place's cluster: it is read again.
    bool changed = place->unused_before != 0 || place->end_cluster == place->found_cluster;
    if (place->slot && changed && !getCluster(fs, place->buffer, place->found_cluster))
        return reserve_result::failed;
    if (place->slot)
        return reserve_result::ok;
    place->grown = allocate_cluster(fs, cluster_fill::by_caller, why);
    if (place->grown == 0)
        return reserve_result::no_cluster;
    memset(place->buffer, 0, fs->cluster_size);
    place->slot = place->buffer;
    place->found_cluster = place->grown;
    return reserve_result::ok;
}

// Links a claimed growth cluster behind the directory's last cluster (in memory).
bool link_grown_cluster(f32* fs, entry_place* place)
{
    return place->grown == 0 || fat_write_entry(fs, place->last_cluster, place->grown);
}

// Frees the clusters of a creation in memory: the chain from `first_data` (0: none) and the
// growth cluster, unlinked again. The caller writes the FAT back.
void undo_reservation(f32* fs, entry_place* place, uint32_t first_data)
{
    release_chain(fs, first_data);
    if (place->grown != 0) {
        uint32_t link = 0;
        if (fat_read_entry(fs, place->last_cluster, &link) && (link & fat32_entry_mask) == place->grown)
            fat_write_entry(fs, place->last_cluster, fat32_end_of_chain);
        fat_write_entry(fs, place->grown, fat32_free_cluster);
        place->grown = 0;
    }
}

} // namespace

uint8_t* locate_entries(f32* fs, uint8_t* cluster_buffer, directory* dir, uint32_t count, uint32_t* found_cluster)
{
    if (count == 0 || count > fs->cluster_size / fat32_dir_entry_size)
        return nullptr;
    entry_place place{count, cluster_buffer, nullptr, 0, 0, 0, 0, 0, 0, 0};
    name_check found = find_place(fs, resolve_dir_cluster(fs, dir->cluster), nullptr, nullptr, &place);
    // The caller fills the slots itself, out of the cache's sight.
    dir_cache_forget(fs);
    if (found != name_check::ok)
        return nullptr;
    reserve_result reserved = reserve_place(fs, &place, nullptr);
    if (reserved == reserve_result::full)
        printf("fat32: error: directory full\n");
    if (reserved != reserve_result::ok)
        return nullptr;
    // The growth stays in memory until the caller writes the FAT back.
    if (!link_grown_cluster(fs, &place)) {
        undo_reservation(fs, &place, 0);
        return nullptr;
    }
    *found_cluster = place.found_cluster;
    return place.slot;
}

// ---- Insert ----

bool write_new_chain(f32* fs, const uint8_t* data, uint32_t length, uint8_t* buffer, uint32_t* first, uint32_t* last,
    allocation_failure* why)
{
    const uint32_t cluster_size = fs->cluster_size;
    const uint32_t clusters = (length + cluster_size - 1) / cluster_size;
    // The data is only read; the disk routines take one pointer type for both directions.
    auto* bytes = const_cast<uint8_t*>(data);
    uint32_t run_first = 0;
    uint32_t run_length = 0;
    uint32_t written = 0;
    auto write_run = [&]() {
        bool ok = run_length == 0 ||
            putSector(fs, bytes + written, sector_for_cluster(fs, run_first), run_length * fs->bpb.sectors_per_cluster);
        written += run_length * cluster_size;
        run_length = 0;
        return ok;
    };
    for (uint32_t i = 0; i < clusters; ++i) {
        // Each cluster is written whole (zeros behind the data), so zero-filling it on the
        // disk first would only write it twice.
        uint32_t cluster = allocate_cluster(fs, cluster_fill::by_caller, why);
        if (cluster == 0)
            return false;
        if (i > 0 && !fat_write_entry(fs, *last, cluster)) {
            fat_write_entry(fs, cluster, fat32_free_cluster);
            return false;
        }
        if (i == 0)
            *first = cluster;
        *last = cluster;
        // A run of whole clusters side by side on the disk goes out with one request.
        if (run_length > 0 && cluster != run_first + run_length && !write_run())
            return false;
        if (length - written - run_length * cluster_size >= cluster_size) {
            if (run_length++ == 0)
                run_first = cluster;
            continue;
        }
        if (!write_run())
            return false;
        memset(buffer, 0, cluster_size);
        copy_bytes(buffer, bytes + written, length - written);
        if (!putCluster(fs, buffer, cluster))
            return false;
        written = length;
    }
    return write_run();
}

namespace {

bool makes_directory(const new_entry& e) { return (e.attrs & attr_directory) != 0 && e.setcluster == 0; }

// Clusters the entry's contents take: none for an empty file (a cluster behind a size of 0
// is a broken file to every checker) or for an entry pointing at an existing cluster; one
// for a new directory.
uint32_t data_clusters_for(f32* fs, const new_entry& e)
{
    if (e.setcluster != 0)
        return 0;
    if (makes_directory(e))
        return 1;
    return (e.flen + fs->cluster_size - 1) / fs->cluster_size;
}

// The step of a creation that failed, and the line it prints (with the operation and the name).
enum class creation_step {
    none, clean_mark_cleared, room, no_free_cluster, fat_unreadable, clusters, fat, directory, fsinfo, clean_mark_set
};
constexpr const char* creation_step_lines[] = {
    "",
    "%s: error: could not write the FAT's clean-shutdown mark for %s\n",
    "%s: error: could not make room in the directory for %s\n",
    "%s: error: not enough free space for %s\n",
    "%s: error: could not read the FAT for %s\n",
    "%s: error: could not write the new clusters for %s\n",
    "%s: error: could not write the FAT for %s\n",
    "%s: error: could not write the directory for %s\n",
    "%s: error: could not write FSInfo for %s\n",
    "%s: error: could not write the FAT's clean-shutdown mark for %s\n",
};
static_assert(sizeof creation_step_lines / sizeof *creation_step_lines
        == static_cast<size_t>(creation_step::clean_mark_set) + 1,
    "one line for every step");

void print_step(creation_step step, const new_entry& e)
{
    printf(creation_step_lines[static_cast<int>(step)], e.who, e.name);
}

// The step an allocation failed in, by why it failed.
creation_step allocation_step(allocation_failure why)
{
    if (why == allocation_failure::no_free_cluster)
        return creation_step::no_free_cluster;
    return why == allocation_failure::fat_unreadable ? creation_step::fat_unreadable : creation_step::clusters;
}

// Everything a creation needs, checked before anything is written.
struct creation_plan {
    uint32_t parent;
    entry_place place;
    uint8_t short_name[short_name_length];
    uint32_t data_clusters;
    uint8_t* data_buffer; // a cluster buffer for the new clusters' contents
};

// The one undo path of a creation: unless the creation reaches its directory entry and says
// so (keep), whatever it claimed is given back, the allocation hint is restored, the cached
// directory is forgotten and what the undo changed goes back to every FAT copy (a sector that
// reached some copies and not others stays dirty, so every copy ends in the same old state;
// the mark is set again when nothing is left pending). What fails again waits for the next
// command.
class creation_undo {
public:
    creation_undo(f32* fs, entry_place* place) : fs_(fs), place_(place), saved_hint_(fs->cluster_alloc_hint) {}
    ~creation_undo()
    {
        if (!kept_) {
            undo_reservation(fs_, place_, first_data);
            fs_->cluster_alloc_hint = saved_hint_;
            dir_cache_forget(fs_);
            flushFAT(fs_);
        }
    }
    creation_undo(const creation_undo&) = delete;
    creation_undo& operator=(const creation_undo&) = delete;

    void keep() { kept_ = true; }

    // The first of the clusters claimed for the contents, once there is one.
    uint32_t first_data = 0;

private:
    f32* fs_;
    entry_place* place_;
    uint32_t saved_hint_;
    bool kept_ = false;
};

// Claims the entry's clusters (in memory) and writes their contents: a directory's cluster
// with its "." and ".." entries, a file's bytes as one chain. *first names the chain as soon
// as it has a cluster, so that the undo can give it back. The step that failed, or none.
creation_step write_data_clusters(f32* fs, const new_entry& e, const creation_plan& plan, uint32_t* first)
{
    allocation_failure why = allocation_failure::none;
    if (!makes_directory(e)) {
        uint32_t last = 0;
        if (write_new_chain(fs, e.data, e.flen, plan.data_buffer, first, &last, &why))
            return creation_step::none;
        return why != allocation_failure::none ? allocation_step(why) : creation_step::clusters;
    }
    // Its cluster is written whole below, so zero-filling it on the disk first would only
    // write it twice.
    *first = allocate_cluster(fs, cluster_fill::by_caller, &why);
    if (*first == 0)
        return allocation_step(why);
    memset(plan.data_buffer, 0, fs->cluster_size);
    write_dot_entries(fs, plan.data_buffer, *first, plan.parent, e.stamp);
    return putCluster(fs, plan.data_buffer, *first) ? creation_step::none : creation_step::clusters;
}

// Fills the reserved slots with the entry's long name and short entry.
void fill_slots(entry_place* place, const new_entry& e, const uint8_t* short_name, uint32_t first)
{
    uint32_t lfn_entries = place->count - 1;
    uint8_t sum = checksum_fname(reinterpret_cast<char*>(const_cast<uint8_t*>(short_name)));
    write_long_name_slots(place->slot, lfn_entries, e.name, sum);
    write_short_slot(place->slot + lfn_entries * fat32_dir_entry_size, short_name, e.attrs, first,
        makes_directory(e) ? 0 : e.flen, e.stamp);
}

// Writes the reserved slots; when only part of them reaches the disk, puts the old bytes back.
bool write_slots(f32* fs, entry_place* place, const new_entry& e, const uint8_t* short_name, uint32_t first)
{
    auto from = static_cast<uint32_t>(place->slot - place->buffer);
    uint32_t length = place->count * fat32_dir_entry_size;
    heap_block old(length);
    if (!old)
        return false;
    copy_bytes(old.data(), place->slot, length);
    fill_slots(place, e, short_name, first);
    bool ok = put_cluster_bytes(fs, place->buffer, place->found_cluster, from, from + length);
    if (!ok) {
        copy_bytes(place->slot, old.data(), length);
        // Slots that stay half written may name clusters the undo frees.
        if (!put_cluster_bytes(fs, place->buffer, place->found_cluster, from, from + length))
            withhold_clean_mark(fs);
    }
    return ok;
}

// The name, the directory and the room in it; false after one line that says why.
bool plan_creation(f32* fs, const new_entry& e, creation_plan* plan)
{
    name_check check = find_place(fs, plan->parent, e.name, plan->short_name, &plan->place);
    plan->data_clusters = data_clusters_for(fs, e);
    if (check == name_check::exists) {
        printf("%s: error: %s already exists\n", e.who, e.name);
    } else if (check == name_check::unreadable) {
        printf("%s: error: the directory cannot be read to its end\n", e.who);
    } else if (check != name_check::ok) {
        // find_place said why.
    } else if (growth_would_overflow(fs, &plan->place)) {
        printf("%s: error: directory full\n", e.who);
    } else {
        free_space room = check_free_space(fs, plan->data_clusters + (plan->place.slot ? 0 : 1));
        if (room == free_space::enough)
            return true;
        print_step(room == free_space::too_little ? creation_step::no_free_cluster : creation_step::fat_unreadable, e);
    }
    return false;
}

// The contents, then the FAT in every copy, then the slots that name them. A grown directory
// cluster goes out whole with the new slots in it: until the FAT links it, no reader sees it;
// it is linked in a second FAT write, after its cluster is allocated on the disk.
creation_step write_entry(f32* fs, const new_entry& e, creation_plan* plan, creation_undo* undo)
{
    entry_place* place = &plan->place;
    uint32_t first = e.setcluster;
    if (plan->data_clusters > 0) {
        creation_step failed = write_data_clusters(fs, e, *plan, &undo->first_data);
        if (failed != creation_step::none)
            return failed;
        first = undo->first_data;
    }
    if (place->grown != 0) {
        fill_slots(place, e, plan->short_name, first);
        if (!putCluster(fs, place->buffer, place->grown))
            return creation_step::clusters;
    }
    if (!write_fat_sectors(fs) || (place->grown != 0 && (!link_grown_cluster(fs, place) || !write_fat_sectors(fs))))
        return creation_step::fat;
    if (place->grown == 0 && !write_slots(fs, place, e, plan->short_name, first))
        return creation_step::directory;
    return creation_step::none;
}

// Carries out a plan. Every failure before the slots are on the disk leaves through the undo;
// a failed FSInfo or mark after them leaves the entry in place, pending for the next command.
creation_step commit_creation(f32* fs, const new_entry& e, creation_plan* plan)
{
    creation_undo undo(fs, &plan->place);
    // The mark goes first, so that its failure is named and nothing else is written.
    if (!clear_clean_mark(fs))
        return creation_step::clean_mark_cleared;
    allocation_failure why = allocation_failure::none;
    reserve_result reserved = reserve_place(fs, &plan->place, &why);
    if (reserved == reserve_result::no_cluster)
        return allocation_step(why);
    if (reserved != reserve_result::ok)
        return creation_step::room;
    creation_step failed = write_entry(fs, e, plan, &undo);
    if (failed != creation_step::none)
        return failed;
    undo.keep();
    const entry_place& place = plan->place;
    auto index = static_cast<uint32_t>(place.slot - place.buffer) / fat32_dir_entry_size;
    dir_cache_note_created(fs, plan->parent,
        created_entry{place.found_cluster, index, place.count, place.unused_before, place.grown, plan->short_name,
            e.name});
    change_end end = finish_change(fs);
    if (end == change_end::fsinfo_failed)
        return creation_step::fsinfo;
    return end == change_end::mark_failed ? creation_step::clean_mark_set : creation_step::none;
}

// The checks that need no disk: a directory on this volume and a name it can hold.
bool name_fits(f32* fs, uint32_t parent, const new_entry& e)
{
    if (!is_data_cluster(fs, parent)) {
        printf("%s: error: the directory is not on this volume\n", e.who);
        return false;
    }
    if (!is_valid_long_name(e.name)) {
        printf("%s: error: %s is not a valid name\n", e.who, e.name);
        return false;
    }
    if (long_name_entry_count(e.name) + 1 > fs->cluster_size / fat32_dir_entry_size) {
        printf("%s: error: %s is too long for this volume\n", e.who, e.name);
        return false;
    }
    return true;
}

} // namespace

bool create_entry(f32* fs, uint32_t dir_cluster, const new_entry& e)
{
    uint32_t parent = resolve_dir_cluster(fs, dir_cluster);
    if (!name_fits(fs, parent, e))
        return false;
    heap_block dir_buffer(fs->cluster_size);
    heap_block data_buffer(fs->cluster_size);
    if (!dir_buffer || !data_buffer) {
        printf("%s: error: out of memory for cluster buffers\n", e.who);
        return false;
    }
    creation_plan plan{};
    plan.parent = parent;
    plan.place = entry_place{long_name_entry_count(e.name) + 1, dir_buffer.data(), nullptr, 0, 0, 0, 0, 0, 0, 0};
    plan.data_buffer = data_buffer.data();
    if (!plan_creation(fs, e, &plan))
        return false;
    creation_step failed = commit_creation(fs, e, &plan);
    // The creation's own line comes last, after whatever the disk and the undo reported.
    if (failed != creation_step::none)
        print_step(failed, e);
    return failed == creation_step::none || failed >= creation_step::fsinfo;
}

bool add_dot_entries(f32* fs, uint32_t dir_cluster, uint32_t parent_cluster, const char* who)
{
    uint32_t self = resolve_dir_cluster(fs, dir_cluster);
    if (dir_cache_for(fs, self))
        dir_cache_forget(fs);
    heap_block cluster_buffer(fs->cluster_size);
    if (!cluster_buffer) {
        printf("%s: error: out of memory for a cluster buffer\n", who);
        return false;
    }
    uint8_t* buffer = cluster_buffer.data();
    if (!getCluster(fs, buffer, self)) {
        printf("%s: error: could not read the new directory\n", who);
        return false;
    }
    if (!slot_is_free(buffer + dot_slot * fat32_dir_entry_size) ||
        !slot_is_free(buffer + dotdot_slot * fat32_dir_entry_size)) {
        printf("%s: error: the directory's first slots are taken\n", who);
        return false;
    }
    write_dot_entries(fs, buffer, self, parent_cluster, fat_now());
    if (!put_cluster_bytes(fs, buffer, self, 0, (dotdot_slot + 1) * fat32_dir_entry_size) || !flushFAT(fs)) {
        printf("%s: error: could not write the new directory\n", who);
        return false;
    }
    return true;
}

} // namespace tavix
