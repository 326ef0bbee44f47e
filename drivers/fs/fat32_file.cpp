// FAT32 file operations: whole-file read, write and delete, directory creation and listing.
#include "drivers/fs/fat32_file.hpp"

#include "cpu/buffer.hpp"
#include "cpu/mem.hpp"
#include "cpu/string.hpp"
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

uint8_t read_file_into(f32* fs, const dir_entry* dirent, uint8_t* buffer)
{
    const uint32_t size = dirent->file_size;
    const uint32_t cluster_size = fs->cluster_size;
    bool broken = false;
    uint32_t left = chain_length(fs, dirent->first_cluster, &broken);
    uint32_t cluster = dirent->first_cluster;
    uint32_t copied = 0;
    while (copied < size && left > 0) {
        uint32_t whole = (size - copied) / cluster_size;
        if (whole == 0) {
            // The last, part-filled cluster: only its first bytes are the file's.
            heap_block last(cluster_size);
            if (!last || !getCluster(fs, last.data(), cluster)) {
                printf("readFile: error: could not read %s\n", dirent->name);
                return 0;
            }
            copy_bytes(buffer + copied, last.data(), size - copied);
            copied = size;
            break;
        }
        // Consecutive clusters of the chain lie side by side on the disk: one request.
        uint32_t first = cluster;
        uint32_t run = 1;
        for (cluster = get_next_cluster_id(fs, cluster); run < whole && run < left && cluster == first + run;
             cluster = get_next_cluster_id(fs, cluster))
            ++run;
        if (!getSector(fs, buffer + copied, sector_for_cluster(fs, first), run * fs->bpb.sectors_per_cluster)) {
            printf("readFile: error: could not read %s\n", dirent->name);
            return 0;
        }
        copied += run * cluster_size;
        left -= run;
    }
    // A chain shorter than the size leaves zeros, never stale heap bytes.
    memset(buffer + copied, 0, size - copied);
    return 1;
}

uint8_t* readFile(f32* fs, dir_entry* dirent)
{
    heap_block contents(dirent->file_size == 0 ? 1 : dirent->file_size);
    if (!contents) {
        printf("readFile: error: out of memory for %s\n", dirent->name);
        return nullptr;
    }
    if (!read_file_into(fs, dirent, contents.data()))
        return nullptr;
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
    new_entry e{who, fname, file, directory ? 0 : flen, attrs, setcluster, fat_now()};
    create_entry(fs, dir->cluster, e);
}

namespace {

// Deletes the entry a walk of the directory at dir_cluster stands at: a directory only when it
// is empty. The entry goes first, its clusters after, so that a cut leaves at worst clusters
// no entry references.
bool remove_walked(f32* fs, uint32_t dir_cluster, dir_walk* walk, const walk_slots& where, const dir_entry& entry,
    const char* who, const char* name)
{
    bool directory = is_directory(entry);
    uint32_t first_cluster = entry.first_cluster;
    if (directory && is_data_cluster(fs, first_cluster) && !directory_is_empty(fs, first_cluster)) {
        printf("%s: error: %s is a directory that is not empty\n", who, name);
        return false;
    }
    if (!remove_entry(fs, dir_cluster, walk, where, directory)) {
        printf("%s: error: could not write the directory for %s\n", who, name);
        return false;
    }
    if (is_data_cluster(fs, first_cluster) ? !zero_FAT_chain(fs, first_cluster) : !flushFAT(fs)) {
        printf("%s: error: could not write the FAT for %s\n", who, name);
        return false;
    }
    return true;
}

} // namespace

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
            // Documented behaviour, see the README's "Kept on purpose": the routine's documented
            // line for every free slot.
            printf("This directory entry has never been written or it has been deleted.\n");
            continue;
        }
        bool match = strcmp(entry.name, filename) == 0 && !is_dot_entry(entry.name);
        if (match)
            remove_walked(fs, dir->cluster, &walk, where, entry, "delFile", filename);
        mfree(entry.name);
        if (match)
            break;
    }
    dir_walk_end(&walk);
}

lookup_result remove_named(f32* fs, uint32_t dir_cluster, const char* name, const char* who, removal_check check,
    const void* context)
{
    return at_entry(fs, dir_cluster, name, [&](dir_walk* walk, const walk_slots& where, const dir_entry& entry) {
        if (!check(entry, context))
            return;
        if (is_dot_entry(entry.name))
            printf("%s: error: %s cannot be removed\n", who, name);
        else
            remove_walked(fs, dir_cluster, walk, where, entry, who, name);
    });
}

bool create_named(f32* fs, uint32_t dir_cluster, const char* name, const uint8_t* data, uint32_t length,
    bool directory, const char* who)
{
    new_entry e{who, name, directory ? nullptr : data, directory ? 0 : length, directory ? attr_directory : attr_file,
        0, fat_now()};
    return create_entry(fs, dir_cluster, e);
}

void mkdir(f32* fs, directory* dir, char* dirname)
{
    if (!fs || !dir || !dirname)
        return;
    // The new cluster gets its "." and ".." entries before the parent names it, so the
    // directory is complete the moment it appears.
    new_entry e{"mkdir", dirname, nullptr, 0, attr_directory, 0, fat_now()};
    create_entry(fs, dir->cluster, e);
}

void mkdir_subdirs(f32* fs, directory* dir, uint32_t parentcluster)
{
    if (fs && dir)
        add_dot_entries(fs, dir->cluster, parentcluster, "mkdir");
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
        printf("%s %c %d ", padded, is_directory(entry) ? 'D' : ' ', static_cast<int>(entry.file_size));
        uint32_t count = listed_cluster_count(fs, entry.first_cluster);
        printf("clusters: [%d]\n", static_cast<int>(count));
    }
}

} // namespace tavix
