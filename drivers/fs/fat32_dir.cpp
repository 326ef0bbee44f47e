// FAT32 directories: the short and long-name entry formats and the decoding of a directory.
#include "drivers/fs/fat32_dir.hpp"

#include "cpu/mem.hpp"
#include "cpu/string.hpp"
#include "general/stdio.hpp"
#include "io/iotools.hpp"

namespace tavix {

namespace {

// The lowest and highest character a decoded long name keeps.
constexpr uint8_t lfn_lowest_char = 0x20;
constexpr uint8_t lfn_highest_char = 0x7F;
// A short name decoded as text: eight characters, a dot, three, and the NUL.
constexpr uint32_t short_text_size = 13;

enum class decode_result {
    decoded,    // *dirent is filled, *next is past its short entry
    skipped,    // a long-name run with no short entry behind it: *next is the free slot after it
    truncated,  // the long-name run goes on past `end`
    failed,     // the slot is free, or no heap for the name
};

// Decodes the short name at `slot` as BASE.EXT in the case stored on disk.
char* decode_short_name(uint8_t* slot)
{
    char* name = static_cast<char*>(malloc(short_text_size));
    if (!name)
        return nullptr;
    short_name_text(slot, name);
    return name;
}

decode_result decode_entry(uint8_t* start, uint8_t* end, dir_entry* dirent, uint8_t** next)
{
    if (start >= end || slot_is_free(start))
        return decode_result::failed;
    uint32_t count = 0;
    uint8_t* slot = start;
    while (slot_is_long_name(slot)) {
        ++count;
        slot += fat32_dir_entry_size;
        if (slot >= end)
            return decode_result::truncated;
    }
    if (count > 0 && slot_is_free(slot)) {
        // The short entry of this name is gone: the run names nothing.
        *next = slot;
        return decode_result::skipped;
    }

    char* name = nullptr;
    if (count > 0 && count <= lfn_max_entries) {
        name = parse_long_name(start, static_cast<uint8_t>(count));
        if (name && name[0] == '\0') {
            // Damaged ordinals or characters: the short name still names the entry.
            mfree(name);
            name = nullptr;
        }
    }
    if (!name)
        name = decode_short_name(slot);
    if (!name) {
        printf("fat32: error: out of memory while reading a directory\n");
        return decode_result::failed;
    }

    dirent->name = name;
    dirent->dir_attrs = slot[dirent_attr_offset];
    dirent->first_cluster = slot_first_cluster(slot);
    dirent->file_size = readi32(slot, dirent_size_offset);
    *next = slot + fat32_dir_entry_size;
    return decode_result::decoded;
}

// The link out of a chain member. Only the low 28 bits of an entry are the link; the top
// four are reserved and carry no meaning for the chain.
uint32_t next_link(f32* fs, uint32_t cluster, bool* ok)
{
    uint32_t entry = 0;
    if (!fat_read_entry(fs, cluster, &entry)) {
        *ok = false;
        return fat32_end_of_chain;
    }
    uint32_t next = entry & fat32_entry_mask;
    *ok = next <= fat32_last_link && is_data_cluster(fs, next) && next < fs->fat_entries;
    return next;
}

} // namespace

uint32_t slot_first_cluster(uint8_t* slot)
{
    return (static_cast<uint32_t>(readi16(slot, dirent_cluster_high_offset)) << 16) |
        readi16(slot, dirent_cluster_low_offset);
}

uint32_t resolve_dir_cluster(f32* fs, uint32_t cluster)
{
    return cluster == 0 ? fs->root_cluster : cluster;
}

uint32_t chain_length(f32* fs, uint32_t start, bool* broken)
{
    *broken = false;
    if (!is_data_cluster(fs, start) || start >= fs->fat_entries)
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

bool names_equal_nocase(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        if (k_toupper(static_cast<uint8_t>(*a)) != k_toupper(static_cast<uint8_t>(*b)))
            return false;
        if (*a == '\0')
            return true;
    }
}

void short_name_text(const uint8_t* field, char* out)
{
    char extension[short_ext_length + 1];
    for (uint32_t i = 0; i < short_name_length; ++i)
        out[i] = static_cast<char>(field[i]);
    out[short_name_length] = '\0';
    for (uint32_t i = 0; i < short_ext_length; ++i)
        extension[i] = static_cast<char>(field[dirent_ext_offset + i]);
    extension[short_ext_length] = '\0';
    trim_spaces(extension, short_ext_length);
    out[short_base_length] = '\0';
    trim_spaces(out, short_base_length);
    if (extension[0] != '\0') {
        strcat(out, ".");
        strcat(out, extension);
    }
}

uint8_t checksum_fname(char* fname)
{
    uint8_t sum = 0;
    for (uint32_t i = 0; i < short_name_length; ++i)
        sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + static_cast<uint8_t>(fname[i]));
    return sum;
}

char* parse_long_name(uint8_t* entries, uint8_t entry_count)
{
    uint32_t size = lfn_chars_per_entry * entry_count + 1;
    char* name = static_cast<char*>(malloc(size));
    if (!name)
        return nullptr;
    memset(name, 0, size);
    for (uint32_t e = 0; e < entry_count; ++e) {
        uint8_t* slot = entries + e * fat32_dir_entry_size;
        uint32_t position = slot[lfn_ordinal_offset] & lfn_ordinal_mask;
        // An ordinal outside the run cannot say where its characters go: they are dropped.
        if (position == 0 || position > entry_count)
            continue;
        char* part = name + lfn_chars_per_entry * (position - 1);
        for (uint32_t c = 0; c < lfn_chars_per_entry; ++c) {
            uint16_t ch = readi16(slot, lfn_char_offsets[c]);
            bool printable = ch >= lfn_lowest_char && ch <= lfn_highest_char;
            part[c] = printable ? static_cast<char>(ch) : '\0';
        }
    }
    return name;
}

uint8_t* read_dir_entry(f32* fs, uint8_t* start, uint8_t* end, dir_entry* dirent)
{
    uint8_t* next = nullptr;
    return decode_entry(start, end, dirent, &next) == decode_result::decoded ? next : nullptr;
}

void next_dir_entry(f32* fs, uint8_t* root_cluster, uint8_t* entry, uint8_t** nextentry,
    dir_entry* target_dirent, uint32_t cluster, uint32_t* secondcluster)
{
    uint8_t* next = nullptr;
    target_dirent->name = nullptr;
    decode_result result = decode_entry(entry, root_cluster + fs->cluster_size, target_dirent, &next);
    if (result == decode_result::truncated) {
        // The name runs on into the next cluster of the chain: fetch it behind this one.
        *secondcluster = get_next_cluster_id(fs, cluster);
        if (!is_data_cluster(fs, *secondcluster))
            printf("FOUND BAD DIRECTORY ENTRY!");
        if (!getCluster(fs, root_cluster + fs->cluster_size, *secondcluster)) {
            printf("FAILED TO READ DIRECTORY ENTRY! THE SOFTWARE IS BUGGY!\n");
            *nextentry = nullptr;
            return;
        }
        result = decode_entry(entry, root_cluster + 2 * fs->cluster_size, target_dirent, &next);
        if (result == decode_result::truncated)
            printf("FAILED TO READ DIRECTORY ENTRY! THE SOFTWARE IS BUGGY!\n");
    }
    *nextentry = (result == decode_result::decoded || result == decode_result::skipped) ? next : nullptr;
}

bool dir_walk_begin(dir_walk* walk, f32* fs, uint32_t cluster)
{
    walk->fs = fs;
    walk->second = 0;
    walk->cluster = resolve_dir_cluster(fs, cluster);
    walk->buffer = static_cast<uint8_t*>(malloc(2 * fs->cluster_size));
    if (!walk->buffer) {
        printf("fat32: error: out of memory for a directory buffer\n");
        return false;
    }
    walk->whole = false;
    walk->clusters_left = chain_length(fs, walk->cluster, &walk->broken);
    if (walk->clusters_left > 0 && getCluster(fs, walk->buffer, walk->cluster)) {
        walk->pos = walk->buffer;
        --walk->clusters_left;
    } else {
        // Past the first half: the walk ends at once and was not whole.
        walk->pos = walk->buffer + 2 * fs->cluster_size;
        walk->clusters_left = 0;
    }
    return true;
}

// After an entry that ran into the second half of the buffer, that cluster becomes the
// current one and the walk goes on inside it.
static void move_second_half_down(dir_walk* walk)
{
    f32* fs = walk->fs;
    __builtin_memcpy(walk->buffer, walk->buffer + fs->cluster_size, fs->cluster_size);
    walk->pos -= fs->cluster_size;
    walk->cluster = walk->second;
    walk->second = 0;
}

walk_step dir_walk_next(dir_walk* walk, dir_entry* dirent, walk_slots* where)
{
    f32* fs = walk->fs;
    uint8_t* half = walk->buffer + fs->cluster_size;
    if (walk->second != 0)
        move_second_half_down(walk);
    for (;;) {
        if (walk->pos >= half) {
            if (walk->clusters_left == 0) {
                walk->whole = walk->pos == half;
                return walk_step::end;
            }
            uint32_t next = get_next_cluster_id(fs, walk->cluster);
            if (!is_data_cluster(fs, next) || !getCluster(fs, walk->buffer, next))
                return walk_step::end;
            --walk->clusters_left;
            walk->cluster = next;
            walk->pos = walk->buffer;
        }
        where->first = walk->pos;
        where->first_cluster = walk->cluster;
        if (slot_is_free(walk->pos)) {
            walk->pos += fat32_dir_entry_size;
            where->last = where->first;
            where->last_cluster = walk->cluster;
            return walk_step::free_slot;
        }

        uint8_t* next = nullptr;
        uint32_t second = 0;
        next_dir_entry(fs, walk->buffer, walk->pos, &next, dirent, walk->cluster, &second);
        if (second != 0 && next) {
            if (walk->clusters_left == 0) {
                // The chain loops back into a cluster already read: the name cannot be
                // trusted, and the walk ends here.
                mfree(dirent->name);
                dirent->name = nullptr;
                printf("FOUND BAD DIRECTORY ENTRY!");
                return walk_step::end;
            }
            walk->second = second;
            --walk->clusters_left;
        }
        if (!next)
            return walk_step::end;
        if (!dirent->name) {
            // A long-name run without its short entry: go on at the free slot behind it.
            walk->pos = next;
            if (walk->second != 0)
                move_second_half_down(walk);
            continue;
        }
        where->last = next - fat32_dir_entry_size;
        where->last_cluster = where->last >= half ? walk->second : walk->cluster;
        walk->pos = next;
        return walk_step::entry;
    }
}

void dir_walk_end(dir_walk* walk)
{
    mfree(walk->buffer);
    walk->buffer = nullptr;
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

void free_directory(f32* fs, directory* dir)
{
    if (!dir->entries)
        return;
    for (uint32_t i = 0; i < dir->num_entries; ++i)
        mfree(dir->entries[i].name);
    mfree(dir->entries);
}

} // namespace tavix
