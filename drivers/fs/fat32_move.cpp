// Renaming and moving an entry: the new name is written before the old one goes, so that the entry is never without one.
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

namespace tavix {

namespace {

// Points the ".." entry of the directory at `cluster` at its new parent (stored as 0 for the
// root). A directory whose second slot is no ".." entry is left as it is.
bool point_dotdot(f32* fs, uint32_t cluster, uint32_t parent)
{
    heap_block cluster_buffer(fs->cluster_size);
    if (!cluster_buffer || !getCluster(fs, cluster_buffer.data(), cluster))
        return false;
    uint8_t* slot = cluster_buffer.data() + dotdot_slot * fat32_dir_entry_size;
    uint8_t dotdot[short_name_length];
    write_8_3_filename(const_cast<char*>(dotdot_name), dotdot);
    if (memcmp(slot, dotdot, short_name_length) != 0 || !(slot[dirent_attr_offset] & attr_directory))
        return true;
    write_slot_cluster(slot, parent == fs->root_cluster ? 0 : parent);
    uint32_t at = dotdot_slot * fat32_dir_entry_size;
    return put_cluster_bytes(fs, cluster_buffer.data(), cluster, at, at + fat32_dir_entry_size);
}

// Removes the old entry `name` from the directory at dir_cluster, leaving its clusters to
// the new one.
bool remove_old_name(f32* fs, uint32_t dir_cluster, const char* name, bool directory)
{
    bool removed = false;
    at_entry(fs, dir_cluster, name, [&](dir_walk* walk, const walk_slots& where, const dir_entry&) {
        removed = remove_entry(fs, dir_cluster, walk, where, directory);
    });
    return removed;
}

// True when the entry can be moved as it is: a directory must have its cluster, and a file
// with bytes must have clusters for them.
bool movable(f32* fs, const dir_entry& entry, const char* who)
{
    if (is_dot_entry(entry.name)) {
        printf("%s: error: %s cannot be moved\n", who, entry.name);
        return false;
    }
    bool directory = is_directory(entry);
    if ((directory || entry.file_size > 0) && !is_data_cluster(fs, entry.first_cluster)) {
        printf("%s: error: %s has no cluster of its own\n", who, entry.name);
        return false;
    }
    return true;
}

// What a move does after the new entry is written: a directory going to another parent has
// its ".." pointed there, then the old name goes. In between the entry has two names; a
// checker keeps either.
bool finish_move(f32* fs, const new_entry& moved, uint32_t from_dir, const char* from_name, uint32_t to_dir)
{
    bool directory = (moved.attrs & attr_directory) != 0;
    if (directory && from_dir != to_dir && !point_dotdot(fs, moved.setcluster, to_dir)) {
        withhold_clean_mark(fs);
        printf("%s: error: could not write the \"..\" entry of %s\n", moved.who, moved.name);
        return false;
    }
    if (!remove_old_name(fs, from_dir, from_name, directory)) {
        printf("%s: error: could not remove the old entry %s\n", moved.who, from_name);
        return false;
    }
    return true;
}

} // namespace

bool move_entry(f32* fs, uint32_t from_dir, const char* from_name, uint32_t to_dir, const char* to_name,
    const char* who)
{
    from_dir = resolve_dir_cluster(fs, from_dir);
    to_dir = resolve_dir_cluster(fs, to_dir);
    dir_entry entry{};
    lookup_result found = find_entry(fs, from_dir, from_name, &entry);
    if (found != lookup_result::found) {
        report_not_found(found, who, from_name);
        return false;
    }
    bool ok = movable(fs, entry, who);
    if (ok && from_dir == to_dir && names_equal_nocase(entry.name, to_name)) {
        printf("%s: error: %s is already called %s\n", who, from_name, to_name);
        ok = false;
    }
    bool directory = is_directory(entry);
    // The new entry points at the same clusters and keeps the attributes and the time of the
    // last change.
    new_entry moved{who, to_name, nullptr, directory ? 0 : entry.file_size, entry.dir_attrs, entry.first_cluster,
        fat_timestamp{entry.modified_date, entry.modified_time, 0}};
    mfree(entry.name);
    if (!ok)
        return false;
    // The volume is consistent again only once the old name is gone: the clean-shutdown mark
    // stays cleared from the new entry's first write to the old one's removal.
    fs->mark_held = 1;
    bool moved_whole = create_entry(fs, to_dir, moved) && finish_move(fs, moved, from_dir, from_name, to_dir);
    fs->mark_held = 0;
    flushFAT(fs);
    return moved_whole;
}

} // namespace tavix
