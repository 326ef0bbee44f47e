// FAT32 file operations: whole-file read, write and delete, directory creation and listing.
#include "drivers/fs/fat32.hpp"

#include "cpu/buffer.hpp"
#include "cpu/mem.hpp"
#include "cpu/string.hpp"
#include "drivers/fs/fat32_create.hpp"
#include "drivers/fs/fat32_dir.hpp"
#include "drivers/fs/fat32_dir_cache.hpp"
#include "general/stdio.hpp"
#include "io/iotools.hpp"

namespace tavix {

namespace {

constexpr char dot_name[] = ".";
constexpr char dotdot_name[] = "..";
constexpr uint32_t dot_slot = 0;
constexpr uint32_t dotdot_slot = 1;

// A new directory's first two slots: "." for itself, ".." for its parent (0 for the root).
void write_dot_entries(f32* fs, uint8_t* cluster_buffer, uint32_t self, uint32_t parent, const fat_timestamp& stamp)
{
    uint8_t name[short_name_length];
    write_8_3_filename(const_cast<char*>(dot_name), name);
    write_short_slot(cluster_buffer + dot_slot * fat32_dir_entry_size, name, attr_directory, self, 0, stamp);
    write_8_3_filename(const_cast<char*>(dotdot_name), name);
    uint32_t stored_parent = resolve_dir_cluster(fs, parent) == fs->root_cluster ? 0 : parent;
    write_short_slot(cluster_buffer + dotdot_slot * fat32_dir_entry_size, name, attr_directory, stored_parent, 0, stamp);
}

struct new_entry {
    const char* who;      // the operation named in messages
    const char* name;
    const uint8_t* data;  // flen bytes, or null for a directory
    uint32_t flen;
    uint8_t attrs;
    uint32_t setcluster;  // nonzero: point at this cluster, allocate and write nothing
    bool directory;       // give the new cluster its "." and ".." entries
    fat_timestamp stamp;  // when it is created: one clock reading for all its entries
};

// Claims the entry's clusters as one chain (in memory) and writes their contents. *first
// names the chain even when it fails, so that the caller can give it back.
bool write_data_clusters(f32* fs, const new_entry& e, uint32_t parent, uint8_t* buffer, uint32_t needed,
    uint32_t* first)
{
    uint32_t previous = 0;
    uint32_t written = 0;
    for (uint32_t i = 0; i < needed; ++i) {
        // Each cluster is written whole below (zeros behind the data), so zero-filling it
        // on the disk first would only write it twice.
        uint32_t cluster = claim_cluster(fs);
        if (cluster == 0)
            return false;
        if (previous != 0) {
            if (!fat_write_entry(fs, previous, cluster)) {
                fat_write_entry(fs, cluster, fat32_free_cluster);
                return false;
            }
        } else
            *first = cluster;
        previous = cluster;
        memset(buffer, 0, fs->cluster_size);
        if (e.directory) {
            write_dot_entries(fs, buffer, *first, parent, e.stamp);
        } else {
            // The data is only read; the view type serves both directions.
            byte_view data{const_cast<uint8_t*>(e.data), e.flen};
            written += copy_bytes(byte_view{buffer, fs->cluster_size}, data.sub(written, e.flen - written));
        }
        if (!putCluster(fs, buffer, cluster))
            return false;
    }
    return true;
}

// The step of a creation that failed, and its name in the message.
enum class write_step { none, clean_mark_cleared, clusters, fat, directory, fsinfo, clean_mark_set };
constexpr const char* write_step_names[] = {
    "", "the FAT's clean-shutdown mark", "the new clusters", "the FAT", "the directory", "FSInfo",
    "the FAT's clean-shutdown mark"};

// A creation whose entry is on the disk, though a summary after it could not be written.
bool entry_written(write_step step) { return step == write_step::none || step >= write_step::fsinfo; }

// Fills the reserved slots with the entry's long name and short entry.
void fill_slots(slot_run* run, const new_entry& e, const uint8_t* short_name, uint32_t first)
{
    uint32_t lfn_entries = run->count - 1;
    uint8_t sum = checksum_fname(reinterpret_cast<char*>(const_cast<uint8_t*>(short_name)));
    write_long_name_slots(run->slot, lfn_entries, e.name, sum);
    write_short_slot(run->slot + lfn_entries * fat32_dir_entry_size, short_name, e.attrs, first,
        e.directory ? 0 : e.flen, e.stamp);
}

// Writes the reserved slots; when only part of them reaches the disk, puts the old bytes back.
bool write_slots(f32* fs, slot_run* run, const new_entry& e, const uint8_t* short_name, uint32_t first)
{
    auto from = static_cast<uint32_t>(run->slot - run->buffer);
    uint32_t length = run->count * fat32_dir_entry_size;
    heap_block old(length);
    if (!old)
        return false;
    copy_bytes(old.data(), run->slot, length);
    fill_slots(run, e, short_name, first);
    bool ok = put_cluster_bytes(fs, run->buffer, run->found_cluster, from, from + length);
    if (!ok) {
        copy_bytes(run->slot, old.data(), length);
        // Slots that stay half written may name clusters the undo frees.
        if (!put_cluster_bytes(fs, run->buffer, run->found_cluster, from, from + length))
            withhold_clean_mark(fs);
    }
    return ok;
}

// The steps of a creation after the slots are reserved, in the order that survives a power
// cut: new clusters, the FAT (every copy), the directory slots, FSInfo, then the clean-shutdown
// mark. On a failure before FSInfo everything before it is undone (the caller writes the FAT
// back); a failed FSInfo or mark leaves the entry in place.
write_step write_new_entry(f32* fs, const new_entry& e, uint32_t parent, slot_run* run, const uint8_t* short_name,
    uint8_t* data_buffer, uint32_t data_clusters)
{
    uint32_t first = e.setcluster;
    uint32_t claimed = 0;
    write_step failed = write_step::none;
    if (data_clusters > 0 && !write_data_clusters(fs, e, parent, data_buffer, data_clusters, &claimed))
        failed = write_step::clusters;
    if (data_clusters > 0)
        first = claimed;
    if (failed == write_step::none && run->grown != 0) {
        // The grown cluster goes out whole with the new slots in it: until the FAT links
        // it, no reader sees it.
        fill_slots(run, e, short_name, first);
        if (!putCluster(fs, run->buffer, run->grown))
            failed = write_step::clusters;
    }
    if (failed == write_step::none) {
        // The new chain is in every FAT copy before anything names it: a cut leaves at
        // worst clusters no entry references. A grown directory is linked in a second
        // write, after its new cluster is allocated on the disk.
        if (!write_fat_sectors(fs) || (run->grown != 0 && (!link_grown_cluster(fs, run) || !write_fat_sectors(fs))))
            failed = write_step::fat;
    }
    if (failed == write_step::none && run->grown == 0 && !write_slots(fs, run, e, short_name, first))
        failed = write_step::directory;
    if (failed != write_step::none) {
        undo_reservation(fs, run, data_clusters > 0 ? claimed : 0);
        return failed;
    }
    if (!write_fsinfo(fs))
        return write_step::fsinfo;
    return set_clean_mark(fs) ? write_step::none : write_step::clean_mark_set;
}

// Creates one entry in the directory at dir_cluster; false when nothing was created (one
// message printed, the volume as it was).
bool create_entry(f32* fs, uint32_t dir_cluster, const new_entry& e)
{
    uint32_t parent = resolve_dir_cluster(fs, dir_cluster);
    if (!is_data_cluster(fs, parent)) {
        printf("%s: error: the directory is not on this volume\n", e.who);
        return false;
    }
    if (!is_valid_long_name(e.name)) {
        printf("%s: error: %s is not a valid name\n", e.who, e.name);
        return false;
    }
    const uint32_t slots_per_cluster = fs->cluster_size / fat32_dir_entry_size;
    uint32_t slots = long_name_entry_count(e.name) + 1;
    if (slots > slots_per_cluster) {
        printf("%s: error: %s is too long for this volume\n", e.who, e.name);
        return false;
    }
    heap_block dir_buffer(fs->cluster_size);
    heap_block data_buffer(fs->cluster_size);
    if (!dir_buffer || !data_buffer) {
        printf("%s: error: out of memory for cluster buffers\n", e.who);
        return false;
    }
    uint8_t short_name[short_name_length];
    slot_run run{slots, dir_buffer.data(), nullptr, 0, 0, 0, 0, 0};
    name_check check = find_slots(fs, parent, e.name, short_name, &run);
    // An empty file owns no cluster: a cluster behind a size of 0 is a broken file to
    // every checker. A directory always has its first cluster.
    uint32_t data_clusters = 0;
    if (e.setcluster == 0 && (e.directory || e.flen > 0))
        data_clusters = e.directory ? 1 : (e.flen + fs->cluster_size - 1) / fs->cluster_size;
    bool ok = false;
    if (check == name_check::exists) {
        printf("%s: error: %s already exists\n", e.who, e.name);
    } else if (check == name_check::unreadable) {
        printf("%s: error: the directory cannot be read to its end\n", e.who);
    } else if (check != name_check::ok) {
        // find_slots said why.
    } else if (growth_would_overflow(fs, &run)) {
        printf("%s: error: directory full\n", e.who);
    } else if (!has_free_clusters(fs, data_clusters + (run.slot ? 0 : 1))) {
        printf("%s: error: not enough free space for %s\n", e.who, e.name);
    } else {
        uint32_t saved_hint = fs->cluster_alloc_hint;
        // The mark goes first, so that its failure is named and nothing else is written.
        write_step failed = clear_clean_mark(fs) ? write_step::none : write_step::clean_mark_cleared;
        reserve_result reserved = failed == write_step::none ? reserve_slots(fs, &run) : reserve_result::failed;
        if (reserved == reserve_result::ok)
            failed = write_new_entry(fs, e, parent, &run, short_name, data_buffer.data(), data_clusters);
        ok = reserved == reserve_result::ok && entry_written(failed);
        if (ok) {
            auto index = static_cast<uint32_t>(run.slot - run.buffer) / fat32_dir_entry_size;
            dir_cache_note_created(fs, parent,
                created_entry{run.found_cluster, index, run.count, run.unused_before, run.grown, short_name, e.name});
        } else {
            fs->cluster_alloc_hint = saved_hint;
            dir_cache_drop(fs);
            // What the undo changed goes back to every FAT copy (a sector that reached some copies
            // and not others stays dirty, so every copy ends in the same old state), and the mark
            // is set again when nothing is left pending; what fails again waits for the next command.
            flushFAT(fs);
        }
        // The creation's own line comes last, after whatever the disk reported.
        if (failed != write_step::none)
            printf("%s: error: could not write %s for %s\n", e.who, write_step_names[static_cast<int>(failed)], e.name);
        else if (reserved != reserve_result::ok)
            printf("%s: error: could not make room in the directory for %s\n", e.who, e.name);
    }
    return ok;
}

// The number of clusters in an entry's chain as a listing shows it; a chain broken by a
// bad link counts that link as one more cluster and says so.
uint32_t listed_cluster_count(f32* fs, uint32_t first_cluster)
{
    if (!is_data_cluster(fs, first_cluster))
        return 1;
    bool broken = false;
    uint32_t count = chain_length(fs, first_cluster, &broken);
    if (broken) {
        printf("BAD CLUSTER CHAIN! FS IS CORRUPT!\n");
        ++count;
    }
    return count;
}

bool is_dot_entry(const char* name) { return strcmp(name, dot_name) == 0 || strcmp(name, dotdot_name) == 0; }

// True when a directory holds nothing but "." and "..".
bool directory_is_empty(f32* fs, uint32_t cluster)
{
    dir_walk walk{};
    if (!dir_walk_begin(&walk, fs, cluster))
        return false;
    bool empty = true;
    dir_entry entry{};
    walk_slots where{};
    for (walk_step step; empty && (step = dir_walk_next(&walk, &entry, &where)) != walk_step::end;) {
        if (step != walk_step::entry)
            continue;
        empty = is_dot_entry(entry.name);
        mfree(entry.name);
    }
    dir_walk_end(&walk);
    return empty;
}

// Marks an entry's slots deleted. The sector holding the short entry goes first: once it is
// on the disk the name is gone, and what a cut leaves behind are only unused long-name slots.
bool mark_deleted(f32* fs, dir_walk* walk, const walk_slots& where)
{
    uint32_t from = where.first_cluster == where.last_cluster ? where.first_index * fat32_dir_entry_size : 0;
    uint32_t to = (where.last_index + 1) * fat32_dir_entry_size;
    for (uint32_t at = from; at < to; at += fat32_dir_entry_size)
        walk->buffer[at] = slot_deleted;
    uint32_t short_sector = where.last_index * fat32_dir_entry_size / fat32_sector_size * fat32_sector_size;
    uint32_t split = short_sector > from ? short_sector : from;
    if (!put_cluster_bytes(fs, walk->buffer, where.last_cluster, split, to))
        return false;
    if (split > from && !put_cluster_bytes(fs, walk->buffer, where.last_cluster, from, split))
        return false;
    if (where.first_cluster == where.last_cluster)
        return true;
    // The long name began in earlier clusters of the chain.
    heap_block cluster_buffer(fs->cluster_size);
    if (!cluster_buffer)
        return false;
    uint8_t* buffer = cluster_buffer.data();
    bool ok = true;
    uint32_t cluster = where.first_cluster;
    uint32_t index = where.first_index;
    for (uint32_t steps = 0; ok && cluster != where.last_cluster && steps < lfn_max_entries; ++steps) {
        ok = getCluster(fs, buffer, cluster);
        for (uint32_t at = index * fat32_dir_entry_size; ok && at < fs->cluster_size; at += fat32_dir_entry_size)
            buffer[at] = slot_deleted;
        ok = ok && put_cluster_bytes(fs, buffer, cluster, index * fat32_dir_entry_size, fs->cluster_size);
        uint32_t next = 0;
        ok = ok && fat_read_entry(fs, cluster, &next);
        cluster = next & fat32_entry_mask;
        index = 0;
    }
    return ok;
}

} // namespace

uint8_t* readFile(f32* fs, dir_entry* dirent)
{
    uint32_t size = dirent->file_size;
    heap_block contents(size == 0 ? 1 : size);
    heap_block cluster_buffer(fs->cluster_size);
    if (!contents || !cluster_buffer) {
        printf("readFile: error: out of memory for %s\n", dirent->name);
        return nullptr;
    }
    uint8_t* file = contents.data();
    // A chain shorter than the size leaves zeros, never stale heap bytes.
    memset(file, 0, contents.size());
    bool broken = false;
    uint32_t length = chain_length(fs, dirent->first_cluster, &broken);
    uint32_t cluster = dirent->first_cluster;
    uint32_t copied = 0;
    for (uint32_t i = 0; i < length; ++i) {
        if (i > 0)
            cluster = get_next_cluster_id(fs, cluster);
        if (!getCluster(fs, cluster_buffer.data(), cluster)) {
            printf("readFile: error: could not read %s\n", dirent->name);
            return nullptr;
        }
        copied += copy_bytes(contents.view().sub(copied, size - copied), cluster_buffer.view());
    }
    // The caller owns the file's bytes from here.
    return contents.release();
}

void writeFile(f32* fs, directory* dir, uint8_t* file, char* fname, uint32_t flen)
{
    writeFile_impl(fs, dir, file, fname, flen, attr_file, 0);
}

void writeFile_impl(f32* fs, directory* dir, uint8_t* file, char* fname, uint32_t flen, uint8_t attrs,
    uint32_t setcluster)
{
    bool directory = (attrs & attr_directory) != 0;
    const char* who = directory ? "mkdir" : "writeFile";
    if (!fs || !dir || !fname)
        return;
    if (!directory && flen > 0 && !file && setcluster == 0) {
        printf("%s: error: no data for %s\n", who, fname);
        return;
    }
    new_entry e{who, fname, file, directory ? 0 : flen, attrs, setcluster, directory && setcluster == 0, fat_now()};
    create_entry(fs, dir->cluster, e);
}

void delFile(f32* fs, directory* dir, char* filename)
{
    if (!fs || !dir || !filename)
        return;
    dir_walk walk{};
    if (!dir_walk_begin(&walk, fs, dir->cluster))
        return;
    dir_entry entry{};
    walk_slots where{};
    for (walk_step step; (step = dir_walk_next(&walk, &entry, &where)) != walk_step::end;) {
        if (step == walk_step::free_slot) {
            printf("This directory entry has never been written or it has been deleted.\n");
            continue;
        }
        bool match = strcmp(entry.name, filename) == 0 && !is_dot_entry(entry.name);
        uint32_t first_cluster = entry.first_cluster;
        uint8_t attrs = entry.dir_attrs;
        mfree(entry.name);
        if (!match)
            continue;
        if ((attrs & attr_directory) && is_data_cluster(fs, first_cluster) && !directory_is_empty(fs, first_cluster)) {
            printf("delFile: error: %s is a directory that is not empty\n", filename);
            break;
        }
        bool ok = mark_deleted(fs, &walk, where);
        // Slots left half marked are for a checker to judge.
        if (!ok)
            withhold_clean_mark(fs);
        // A deleted directory's clusters may come back as another directory's: nothing
        // learned about it may outlive it.
        if (ok && !(attrs & attr_directory))
            dir_cache_note_deleted(fs, dir->cluster, where.first_cluster, where.first_index, where.last_cluster,
                where.last_index);
        else
            dir_cache_drop(fs);
        if (!ok)
            printf("delFile: error: could not write the directory for %s\n", filename);
        else if (is_data_cluster(fs, first_cluster) ? !zero_FAT_chain(fs, first_cluster) : !flushFAT(fs))
            printf("delFile: error: could not write the FAT for %s\n", filename);
        break;
    }
    dir_walk_end(&walk);
}

void mkdir(f32* fs, directory* dir, char* dirname)
{
    if (!fs || !dir || !dirname)
        return;
    // The new cluster gets its "." and ".." entries before the parent names it, so the
    // directory is complete the moment it appears.
    new_entry e{"mkdir", dirname, nullptr, 0, attr_directory, 0, true, fat_now()};
    create_entry(fs, dir->cluster, e);
}

void mkdir_subdirs(f32* fs, directory* dir, uint32_t parentcluster)
{
    if (!fs || !dir)
        return;
    uint32_t self = resolve_dir_cluster(fs, dir->cluster);
    if (dir_cache_for(fs, self))
        dir_cache_drop(fs);
    heap_block cluster_buffer(fs->cluster_size);
    if (!cluster_buffer) {
        printf("mkdir: error: out of memory for a cluster buffer\n");
        return;
    }
    uint8_t* buffer = cluster_buffer.data();
    if (!getCluster(fs, buffer, self)) {
        printf("mkdir: error: could not read the new directory\n");
    } else if (!slot_is_free(buffer + dot_slot * fat32_dir_entry_size) ||
        !slot_is_free(buffer + dotdot_slot * fat32_dir_entry_size)) {
        printf("mkdir: error: the directory's first slots are taken\n");
    } else {
        write_dot_entries(fs, buffer, self, parentcluster, fat_now());
        if (!put_cluster_bytes(fs, buffer, self, 0, (dotdot_slot + 1) * fat32_dir_entry_size) || !flushFAT(fs))
            printf("mkdir: error: could not write the new directory\n");
    }
}

void print_directory(f32* fs, directory* dir)
{
    if (!fs || !dir)
        return;
    uint32_t width = 0;
    for (uint32_t i = 0; i < dir->num_entries; ++i) {
        const char* name = dir->entries[i].name ? dir->entries[i].name : "";
        uint32_t len = static_cast<uint32_t>(strlen(name));
        width = len > width ? len : width;
    }
    heap_block padded_text(width + 1);
    if (!padded_text) {
        printf("ls: error: out of memory\n");
        return;
    }
    char* padded = padded_text.as<char>();
    for (uint32_t i = 0; i < dir->num_entries; ++i) {
        const dir_entry& entry = dir->entries[i];
        const char* name = entry.name ? entry.name : "";
        uint32_t len = static_cast<uint32_t>(strlen(name));
        copy_bytes(padded, name, len);
        memset(padded + len, ' ', width - len);
        padded[width] = '\0';
        printf("[%d] ", static_cast<int>(i));
        printf("%s %c %d ", padded, (entry.dir_attrs & attr_directory) ? 'D' : ' ', static_cast<int>(entry.file_size));
        uint32_t count = listed_cluster_count(fs, entry.first_cluster);
        printf("clusters: [%d]\n", static_cast<int>(count));
    }
}

} // namespace tavix
