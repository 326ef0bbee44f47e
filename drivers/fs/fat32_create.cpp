// FAT32 entry creation: short names, free slots in a directory and long-name entries.
#include "drivers/fs/fat32_create.hpp"

#include "cpu/buffer.hpp"
#include "cpu/mem.hpp"
#include "cpu/string.hpp"
#include "drivers/fs/fat32_dir.hpp"
#include "drivers/fs/fat32_dir_cache.hpp"
#include "general/stdio.hpp"
#include "io/iotools.hpp"

namespace tavix {

namespace {

constexpr char short_name_pad = ' ';
constexpr char short_name_tail_mark = '~';
constexpr char short_name_replacement = '_';
// Characters a long name may not hold at all, and the further ones a short name may not.
constexpr const char* long_name_reserved = "\"*/:<>?\\|";
constexpr const char* short_name_reserved = "+,;=[]";
constexpr uint8_t lowest_name_char = 0x20;
constexpr uint8_t highest_name_char = 0x7E;
// Numeric tails ~1 to ~999999 fit the eight base characters with at least one to spare.
constexpr uint32_t max_short_name_tail = 999999;

bool contains(const char* set, char c)
{
    for (; *set; ++set)
        if (*set == c)
            return true;
    return false;
}

// Appends the short-name form of name[from, to) to field[0, limit); true when something was lost.
bool put_short_part(const char* name, int from, int to, uint8_t* field, uint32_t limit)
{
    bool lossy = false;
    uint32_t used = 0;
    for (int i = from; i < to; ++i) {
        char c = name[i];
        if (c == ' ' || c == '.') {
            lossy = true;
            continue;
        }
        if (contains(short_name_reserved, c)) {
            c = short_name_replacement;
            lossy = true;
        }
        if (used == limit) {
            lossy = true;
            break;
        }
        field[used++] = static_cast<uint8_t>(k_toupper(static_cast<uint8_t>(c)));
    }
    return lossy;
}

bool same_short_name(const uint8_t* a, const uint8_t* b)
{
    for (uint32_t i = 0; i < short_name_length; ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

bool short_name_used(const uint8_t* names, uint32_t count, const uint8_t* candidate)
{
    for (uint32_t i = 0; i < count; ++i)
        if (same_short_name(names + i * short_name_length, candidate))
            return true;
    return false;
}

} // namespace

bool is_valid_long_name(const char* fname)
{
    int len = strlen(fname);
    if (len == 0 || static_cast<uint32_t>(len) > fat32_max_name_length)
        return false;
    if (strcmp(fname, ".") == 0 || strcmp(fname, "..") == 0)
        return false;
    for (int i = 0; i < len; ++i) {
        auto c = static_cast<uint8_t>(fname[i]);
        if (c < lowest_name_char || c > highest_name_char || contains(long_name_reserved, fname[i]))
            return false;
    }
    return true;
}

uint32_t long_name_entry_count(const char* fname)
{
    uint32_t len = static_cast<uint32_t>(strlen(fname));
    return (len + lfn_chars_per_entry - 1) / lfn_chars_per_entry;
}

void write_8_3_filename(char* fname, uint8_t* buffer)
{
    // The entries "." and ".." carry their names as they are.
    if (strcmp(fname, ".") == 0 || strcmp(fname, "..") == 0) {
        memset(buffer, short_name_pad, short_name_length);
        for (int i = 0; fname[i]; ++i)
            buffer[i] = '.';
        return;
    }
    uint8_t basis[short_name_length];
    if (short_name_basis(fname, basis))
        short_name_with_tail(basis, 1, buffer);
    else
        copy_bytes(buffer, basis, short_name_length);
}

bool short_name_basis(const char* fname, uint8_t* field)
{
    memset(field, short_name_pad, short_name_length);
    int len = strlen(fname);
    int start = 0;
    while (start < len && fname[start] == '.')
        ++start;
    int dot = -1;
    for (int i = start; i < len; ++i)
        if (fname[i] == '.')
            dot = i;
    int base_end = dot < 0 ? len : dot;
    bool lossy = start > 0;
    lossy |= put_short_part(fname, start, base_end, field, short_base_length);
    if (dot >= 0)
        lossy |= put_short_part(fname, dot + 1, len, field + short_base_length, short_ext_length);
    if (field[0] == static_cast<uint8_t>(short_name_pad)) {
        // Nothing of the base survived: a short name cannot start with a space.
        field[0] = short_name_replacement;
        lossy = true;
    }
    return lossy;
}

void short_name_with_tail(const uint8_t* basis, uint32_t n, uint8_t* field)
{
    char digits[8];
    intToString(static_cast<int>(n), digits);
    uint32_t tail_len = static_cast<uint32_t>(strlen(digits)) + 1;
    uint32_t base_len = 0;
    while (base_len < short_base_length && basis[base_len] != static_cast<uint8_t>(short_name_pad))
        ++base_len;
    if (base_len > short_base_length - tail_len)
        base_len = short_base_length - tail_len;
    copy_bytes(field, basis, short_name_length);
    memset(field + base_len, short_name_pad, short_base_length - base_len);
    field[base_len] = static_cast<uint8_t>(short_name_tail_mark);
    for (uint32_t i = 1; i < tail_len; ++i)
        field[base_len + i] = static_cast<uint8_t>(digits[i - 1]);
}

namespace {

// Picks the short name for `fname` among the `count` short names in use.
name_check pick_short_name(const char* fname, const uint8_t* names, uint32_t count, uint8_t* short_name)
{
    uint8_t basis[short_name_length];
    bool lossy = short_name_basis(fname, basis);
    copy_bytes(short_name, basis, short_name_length);
    if (!lossy && !short_name_used(names, count, basis))
        return name_check::ok;
    for (uint32_t n = 1; n <= max_short_name_tail; ++n) {
        short_name_with_tail(basis, n, short_name);
        if (!short_name_used(names, count, short_name))
            return name_check::ok;
    }
    printf("fat32: error: no short name left for %s\n", fname);
    return name_check::failed;
}

} // namespace

namespace {

// The walk every creation needed before the directory was cached: checks the name against
// each entry, finds the run, and records what it saw into *record (which the caller owns,
// whatever the result).
name_check walk_for_slots(f32* fs, uint32_t dir_cluster, const char* fname, slot_run* run, dir_cache** record)
{
    dir_walk walk{};
    if (!dir_walk_begin(&walk, fs, dir_cluster))
        return name_check::failed;
    *record = dir_cache_start(fs, walk.cluster, walk.clusters);
    run_finder finder{run->count};
    name_check result = name_check::ok;
    if (!*record) {
        printf("fat32: error: out of memory while reading a directory\n");
        result = name_check::failed;
    }
    dir_entry entry{};
    walk_slots where{};
    char short_text[short_name_text_size];
    const uint32_t slots_per_cluster = fs->cluster_size / fat32_dir_entry_size;
    walk_step step;
    while (result == name_check::ok && (step = dir_walk_next(&walk, &entry, &where)) != walk_step::end) {
        // The cluster in the walk's buffer, counted from the start of the chain.
        uint32_t chain_index = walk.clusters - walk.clusters_left - 1;
        if (step == walk_step::free_slot) {
            bool never_used = where.last[0] == slot_never_used;
            if (finder.take(where.last_cluster, where.last_index, never_used)) {
                copy_bytes(run->buffer, walk.buffer, fs->cluster_size);
                run->slot = run->buffer + finder.first_index * fat32_dir_entry_size;
                run->found_cluster = finder.cluster;
            }
            dir_cache_free_slot(*record, chain_index, where.last_index, never_used);
            continue;
        }
        if (fname) {
            short_name_text(where.last, short_text);
            if (names_equal_nocase(entry.name, fname) || names_equal_nocase(short_text, fname))
                result = name_check::exists;
        }
        if (result == name_check::ok &&
            !dir_cache_add_name(*record, chain_index * slots_per_cluster + where.last_index, where.last, entry.name)) {
            printf("fat32: error: out of memory while reading a directory\n");
            result = name_check::failed;
        }
        mfree(entry.name);
    }
    if (result == name_check::ok) {
        finder.finish();
        run->unused_before = finder.unused_before == dir_cache_none ? 0 : finder.unused_before;
        run->clusters = walk.clusters;
        run->last_cluster = walk.cluster;
        // A directory that cannot be read to its end may hold the name further on, and its
        // chain cannot be trusted to grow.
        if (!walk.whole)
            result = name_check::unreadable;
    }
    dir_walk_end(&walk);
    return result;
}

// Takes the run from the cached directory instead of a walk: one cluster read when a run
// was found, none when the directory must grow. False when that cluster cannot be read.
bool run_from_cache(f32* fs, const dir_cache* cache, slot_run* run)
{
    run_finder found = dir_cache_find_run(cache, run->count);
    run->clusters = cache->clusters;
    run->last_cluster = cache->chain[cache->clusters - 1];
    run->unused_before = found.unused_before == dir_cache_none ? 0 : cache->chain[found.unused_before];
    if (!found.found)
        return true;
    run->found_cluster = cache->chain[found.cluster];
    if (!getCluster(fs, run->buffer, run->found_cluster))
        return false;
    run->slot = run->buffer + found.first_index * fat32_dir_entry_size;
    return true;
}

void clear_run(slot_run* run)
{
    run->slot = nullptr;
    run->found_cluster = run->last_cluster = run->unused_before = run->clusters = run->grown = 0;
}

} // namespace

name_check find_slots(f32* fs, uint32_t dir_cluster, const char* fname, uint8_t* short_name, slot_run* run)
{
    clear_run(run);
    const dir_cache* cache = dir_cache_for(fs, dir_cluster);
    // A name the cache may hold is checked against the directory itself.
    if (cache && !(fname && dir_cache_may_hold(cache, fname))) {
        if (run_from_cache(fs, cache, run))
            return fname ? pick_short_name(fname, cache->short_names, cache->name_count, short_name) : name_check::ok;
        clear_run(run);
    }
    dir_cache* record = nullptr;
    name_check result = walk_for_slots(fs, dir_cluster, fname, run, &record);
    if (result == name_check::ok && fname)
        result = pick_short_name(fname, record->short_names, record->name_count, short_name);
    if (result == name_check::ok) {
        dir_cache_keep(fs, record);
        return result;
    }
    dir_cache_discard(record);
    // A name found changes nothing; anything else leaves the directory in doubt.
    if (result != name_check::exists)
        dir_cache_drop(fs);
    return result;
}

bool seal_unused_slots(f32* fs, uint8_t* cluster_buffer, uint32_t cluster)
{
    if (!getCluster(fs, cluster_buffer, cluster))
        return false;
    for (uint32_t sector = 0; sector < fs->cluster_size; sector += fat32_sector_size) {
        bool changed = false;
        for (uint32_t at = sector; at < sector + fat32_sector_size; at += fat32_dir_entry_size) {
            if (cluster_buffer[at] == slot_never_used) {
                cluster_buffer[at] = slot_deleted;
                changed = true;
            }
        }
        if (changed && !put_cluster_bytes(fs, cluster_buffer, cluster, sector, sector + fat32_sector_size))
            return false;
    }
    return true;
}

bool growth_would_overflow(f32* fs, const slot_run* run)
{
    const uint32_t slots_per_cluster = fs->cluster_size / fat32_dir_entry_size;
    return !run->slot && (run->clusters + 1) * slots_per_cluster > fat32_max_dir_slots;
}

reserve_result reserve_slots(f32* fs, slot_run* run)
{
    if (growth_would_overflow(fs, run))
        return reserve_result::full;
    if (run->unused_before != 0) {
        // Entries behind a never-used slot are invisible to other systems. Sealing borrows
        // the buffer, so the run's cluster is read back into it afterwards.
        if (!seal_unused_slots(fs, run->buffer, run->unused_before))
            return reserve_result::failed;
        if (run->slot && !getCluster(fs, run->buffer, run->found_cluster))
            return reserve_result::failed;
    }
    if (run->slot)
        return reserve_result::ok;
    run->grown = claim_cluster(fs);
    if (run->grown == 0)
        return reserve_result::failed;
    memset(run->buffer, 0, fs->cluster_size);
    run->slot = run->buffer;
    run->found_cluster = run->grown;
    return reserve_result::ok;
}

bool link_grown_cluster(f32* fs, slot_run* run)
{
    return run->grown == 0 || fat_write_entry(fs, run->last_cluster, run->grown);
}

void undo_reservation(f32* fs, slot_run* run, uint32_t first_data)
{
    release_chain(fs, first_data);
    if (run->grown != 0) {
        uint32_t link = 0;
        if (fat_read_entry(fs, run->last_cluster, &link) && (link & fat32_entry_mask) == run->grown)
            fat_write_entry(fs, run->last_cluster, fat32_end_of_chain);
        fat_write_entry(fs, run->grown, fat32_free_cluster);
        run->grown = 0;
    }
}

uint8_t* locate_entries(f32* fs, uint8_t* cluster_buffer, directory* dir, uint32_t count,
    uint32_t* found_cluster)
{
    if (count == 0 || count > fs->cluster_size / fat32_dir_entry_size)
        return nullptr;
    slot_run run{count, cluster_buffer, nullptr, 0, 0, 0, 0, 0};
    name_check found = find_slots(fs, resolve_dir_cluster(fs, dir->cluster), nullptr, nullptr, &run);
    // The caller fills the slots itself, out of the cache's sight.
    dir_cache_drop(fs);
    if (found != name_check::ok)
        return nullptr;
    reserve_result reserved = reserve_slots(fs, &run);
    if (reserved == reserve_result::full)
        printf("fat32: error: directory full\n");
    if (reserved != reserve_result::ok)
        return nullptr;
    // The growth stays in memory until the caller writes the FAT back.
    if (!link_grown_cluster(fs, &run)) {
        undo_reservation(fs, &run, 0);
        return nullptr;
    }
    *found_cluster = run.found_cluster;
    return run.slot;
}

bool has_free_clusters(f32* fs, uint32_t count) { return count_free_clusters(fs) >= count; }

void write_long_name_slots(uint8_t* start, uint32_t num_entries, const char* fname, uint8_t checksum)
{
    uint32_t len = static_cast<uint32_t>(strlen(fname));
    for (uint32_t i = 0; i < num_entries; ++i) {
        uint8_t* slot = start + (num_entries - 1 - i) * fat32_dir_entry_size;
        memset(slot, 0, fat32_dir_entry_size);
        slot[lfn_ordinal_offset] = static_cast<uint8_t>(i + 1);
        slot[dirent_attr_offset] = attr_long_name;
        slot[lfn_checksum_offset] = checksum;
        for (uint32_t c = 0; c < lfn_chars_per_entry; ++c) {
            uint32_t index = i * lfn_chars_per_entry + c;
            uint16_t ch = index < len ? static_cast<uint8_t>(fname[index])
                : index == len        ? lfn_terminator
                                      : lfn_filler;
            writei16(slot, lfn_char_offsets[c], ch);
        }
    }
    if (num_entries > 0)
        start[lfn_ordinal_offset] |= lfn_last_flag;
}

void write_long_filename_entries(uint8_t* start, uint32_t num_entries, char* fname)
{
    uint8_t short_name[short_name_length];
    write_8_3_filename(fname, short_name);
    write_long_name_slots(start, num_entries, fname, checksum_fname(reinterpret_cast<char*>(short_name)));
}

void write_short_slot(uint8_t* slot, const uint8_t* short_name, uint8_t attrs, uint32_t first_cluster,
    uint32_t size, const fat_timestamp& stamp)
{
    memset(slot, 0, fat32_dir_entry_size);
    copy_bytes(slot + dirent_name_offset, short_name, short_name_length);
    slot[dirent_attr_offset] = attrs;
    slot[dirent_created_hundredths_offset] = stamp.hundredths;
    writei16(slot, dirent_created_time_offset, stamp.time);
    writei16(slot, dirent_created_date_offset, stamp.date);
    writei16(slot, dirent_accessed_date_offset, stamp.date);
    writei16(slot, dirent_modified_time_offset, stamp.time);
    writei16(slot, dirent_modified_date_offset, stamp.date);
    writei16(slot, dirent_cluster_high_offset, static_cast<uint16_t>(first_cluster >> 16));
    writei16(slot, dirent_cluster_low_offset, static_cast<uint16_t>(first_cluster));
    writei32(slot, dirent_size_offset, size);
}

} // namespace tavix
