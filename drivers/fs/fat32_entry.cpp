// Directory entries as operations find them: a name looked up, the place for a new entry read from the directory's record, an entry removed; the directory cache is kept true here.
#include "drivers/fs/fat32_entry.hpp"

#include "cpu/buffer.hpp"
#include "cpu/mem.hpp"
#include "drivers/fs/fat32_dir_cache.hpp"
#include "drivers/fs/fat32_fat.hpp"
#include "drivers/fs/fat32_names.hpp"
#include "drivers/fs/fat32_sector.hpp"
#include "general/stdio.hpp"
#include "io/iotools.hpp"

namespace tavix {

// ---- Lookup ----

bool entry_is_named(const dir_entry& entry, const walk_slots& where, const char* name)
{
    char short_text[short_name_text_size];
    short_name_text(where.last, short_text);
    return names_equal_nocase(entry.name, name) || names_equal_nocase(short_text, name);
}

lookup_result walk_to_entry(dir_walk* walk, const char* name, dir_entry* entry, walk_slots* where)
{
    for (walk_step step; (step = dir_walk_next(walk, entry, where)) != walk_step::end;) {
        if (step != walk_step::entry)
            continue;
        if (entry_is_named(*entry, *where, name))
            return lookup_result::found;
        mfree(entry->name);
    }
    entry->name = nullptr;
    return walk->whole ? lookup_result::missing : lookup_result::failed;
}

lookup_result find_entry(f32* fs, uint32_t dir_cluster, const char* name, dir_entry* entry)
{
    *entry = dir_entry{};
    return at_entry(fs, dir_cluster, name, [entry](dir_walk*, const walk_slots&, dir_entry& found) {
        *entry = found;
        found.name = nullptr;
    });
}

void report_not_found(lookup_result found, const char* who, const char* name)
{
    if (found == lookup_result::missing)
        printf("%s: error: %s does not exist\n", who, name);
    else if (found == lookup_result::failed)
        printf("%s: error: the directory cannot be read to its end\n", who);
}

namespace {

// The short name for a name to check, among those the directory (or the walk's record of it)
// uses; there is nothing to pick for no name.
name_check checked_short_name(const char* fname, const dir_cache* names, uint8_t* short_name)
{
    if (!fname)
        return name_check::ok;
    return pick_short_name(fname, names->short_names, names->name_count, short_name) ? name_check::ok
                                                                                     : name_check::failed;
}

// What a free slot the walk returned is to the record: deleted before the directory's end,
// never used or stale (still holding old bytes) behind it.
cached_slot free_slot_state(const dir_walk& walk, const walk_slots& where)
{
    if (!walk.ended)
        return cached_slot::deleted;
    return where.last[0] == slot_never_used ? cached_slot::never_used : cached_slot::stale;
}

// Walks the directory into a new record of it, *record (which the caller owns, whatever the
// result): the state of every slot and every name in use, `fname` checked against each entry
// on the way. The walk's last cluster is left in place->buffer (*held names it), so that a
// place found there costs no second read.
name_check record_directory(f32* fs, uint32_t dir_cluster, const char* fname, entry_place* place, dir_cache** record,
    uint32_t* held)
{
    dir_walk walk{};
    if (!dir_walk_begin(&walk, fs, dir_cluster))
        return name_check::failed;
    *record = dir_cache_start(fs, walk.cluster, walk.clusters);
    name_check result = *record ? name_check::ok : name_check::failed;
    dir_entry entry{};
    walk_slots where{};
    const uint32_t slots_per_cluster = fs->cluster_size / fat32_dir_entry_size;
    walk_step step;
    while (result == name_check::ok && (step = dir_walk_next(&walk, &entry, &where)) != walk_step::end) {
        // The slot, counted from the start of the chain.
        uint32_t slot = (walk.clusters - walk.clusters_left - 1) * slots_per_cluster + where.last_index;
        if (step == walk_step::free_slot) {
            dir_cache_free_slot(*record, slot, free_slot_state(walk, where));
            continue;
        }
        if (fname && entry_is_named(entry, where, fname))
            result = name_check::exists;
        else if (!dir_cache_add_name(*record, slot, where.last, entry.name))
            result = name_check::failed;
        mfree(entry.name);
    }
    if (result == name_check::failed)
        printf("fat32: error: out of memory while reading a directory\n");
    // A directory that cannot be read to its end may hold the name further on, and its chain
    // cannot be trusted to grow.
    if (result == name_check::ok && !walk.whole)
        result = name_check::unreadable;
    if (result == name_check::ok) {
        copy_bytes(place->buffer, walk.buffer, fs->cluster_size);
        *held = walk.cluster;
    }
    dir_walk_end(&walk);
    return result;
}

// Reads the place from a record of the directory: the first free slots in a row, the chain's
// end, the slots behind the directory's end before them. The cluster holding the slots goes
// into place->buffer unless that already holds it (`held`). False when it cannot be read.
bool place_from_record(f32* fs, const dir_cache* record, entry_place* place, uint32_t held)
{
    free_slot_finder found = dir_cache_find_free_slots(record, place->count);
    place->clusters = record->clusters;
    place->last_cluster = record->chain[record->clusters - 1];
    place->unused_before = found.unused_before == no_cluster ? 0 : record->chain[found.unused_before];
    if (!found.found)
        return true;
    place->found_cluster = record->chain[found.cluster];
    if (place->found_cluster != held && !getCluster(fs, place->buffer, place->found_cluster))
        return false;
    place->slot = place->buffer + found.first_index * fat32_dir_entry_size;
    uint32_t after = found.cluster * record->slots_per_cluster + found.first_index + place->count;
    if (after < record->clusters * record->slots_per_cluster && record->slots[after] == cached_slot::stale) {
        place->end_cluster = record->chain[after / record->slots_per_cluster];
        place->end_index = after % record->slots_per_cluster;
    }
    return true;
}

void clear_place(entry_place* place)
{
    place->slot = nullptr;
    place->found_cluster = place->last_cluster = place->unused_before = place->clusters = place->grown = 0;
    place->end_cluster = place->end_index = 0;
}

} // namespace

name_check find_place(f32* fs, uint32_t dir_cluster, const char* fname, uint8_t* short_name, entry_place* place)
{
    clear_place(place);
    const dir_cache* cache = dir_cache_for(fs, dir_cluster);
    // A name the cache may hold is checked against the directory itself.
    if (cache && !(fname && dir_cache_may_hold(cache, fname))) {
        if (place_from_record(fs, cache, place, no_cluster))
            return checked_short_name(fname, cache, short_name);
        clear_place(place);
    }
    dir_cache* record = nullptr;
    uint32_t held = no_cluster;
    name_check result = record_directory(fs, dir_cluster, fname, place, &record, &held);
    if (result == name_check::ok && !place_from_record(fs, record, place, held))
        result = name_check::unreadable;
    if (result == name_check::ok)
        result = checked_short_name(fname, record, short_name);
    if (result == name_check::ok) {
        dir_cache_install(fs, record);
        return result;
    }
    dir_cache_free(record);
    // A name found changes nothing; anything else leaves the directory in doubt.
    if (result != name_check::exists)
        dir_cache_forget(fs);
    return result;
}

bool growth_would_overflow(f32* fs, const entry_place* place)
{
    const uint32_t slots_per_cluster = fs->cluster_size / fat32_dir_entry_size;
    return !place->slot && (place->clusters + 1) * slots_per_cluster > fat32_max_dir_slots;
}

// ---- Remove ----

namespace {

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

bool remove_entry(f32* fs, uint32_t dir_cluster, dir_walk* walk, const walk_slots& where, bool directory)
{
    bool ok = mark_deleted(fs, walk, where);
    if (!ok)
        withhold_clean_mark(fs);
    if (ok && !directory)
        dir_cache_note_deleted(fs, dir_cluster, where.first_cluster, where.first_index, where.last_cluster,
            where.last_index);
    else
        dir_cache_forget(fs);
    return ok;
}

} // namespace tavix
