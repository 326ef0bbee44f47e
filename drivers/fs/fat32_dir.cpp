// FAT32 directories: the short and long-name entry formats and the decoding of a directory.
#include "drivers/fs/fat32_dir.hpp"

#include "cpu/buffer.hpp"
#include "cpu/mem.hpp"
#include "cpu/string.hpp"
#include "drivers/fs/cp437.hpp"
#include "drivers/fs/fat32_volume.hpp"
#include "general/stdio.hpp"
#include "io/iotools.hpp"

namespace tavix {

namespace {

// UTF-16 surrogates: a pair of them stands for one character outside the font.
constexpr uint16_t utf16_high_surrogate_first = 0xD800;
constexpr uint16_t utf16_high_surrogate_last = 0xDBFF;
constexpr uint16_t utf16_low_surrogate_first = 0xDC00;
constexpr uint16_t utf16_low_surrogate_last = 0xDFFF;

bool is_high_surrogate(uint16_t u) { return u >= utf16_high_surrogate_first && u <= utf16_high_surrogate_last; }
bool is_low_surrogate(uint16_t u) { return u >= utf16_low_surrogate_first && u <= utf16_low_surrogate_last; }

// The run's characters as code page 437 text: one byte per character (a surrogate pair is
// one character), up to the terminator. Empty when the name is empty.
char* long_name_text(const uint16_t* units, uint32_t count)
{
    char* name = static_cast<char*>(malloc(count + 1));
    if (!name)
        return nullptr;
    uint32_t out = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint16_t u = units[i];
        if (u == lfn_terminator || u == lfn_filler)
            break;
        if (is_high_surrogate(u) && i + 1 < count && is_low_surrogate(units[i + 1]))
            ++i;
        name[out++] = static_cast<char>(cp437_from_utf16(u));
    }
    name[out] = '\0';
    return name;
}

// Decodes the short name at `slot` as BASE.EXT, lowering the parts its case flags mark.
char* decode_short_name(const uint8_t* slot)
{
    char* name = static_cast<char*>(malloc(short_name_text_size));
    if (!name)
        return nullptr;
    short_name_text(slot, name);
    uint8_t flags = slot[dirent_case_offset];
    bool in_ext = false;
    for (char* c = name; *c; ++c) {
        if (*c == '.' && c != name)
            in_ext = true;
        bool lower = (flags & (in_ext ? case_lower_ext : case_lower_base)) != 0;
        if (lower && *c >= 'A' && *c <= 'Z')
            *c = static_cast<char>(*c - 'A' + 'a');
    }
    return name;
}

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

bool names_equal_nocase(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        if (cp437_toupper(static_cast<uint8_t>(*a)) != cp437_toupper(static_cast<uint8_t>(*b)))
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

void lfn_take(lfn_run* run, const uint8_t* slot)
{
    uint8_t ordinal = slot[lfn_ordinal_offset];
    uint8_t position = ordinal & lfn_ordinal_mask;
    if (ordinal & lfn_last_flag) {
        // The run's first slot: a new run starts here whatever came before.
        bool valid = position >= 1 && position <= lfn_max_entries;
        run->state = valid ? lfn_state::collecting : lfn_state::none;
        run->length = position;
        run->expect = position;
        run->checksum = slot[lfn_checksum_offset];
    } else if (run->state != lfn_state::collecting || ordinal != run->expect ||
        slot[lfn_checksum_offset] != run->checksum) {
        // A missing, repeated or foreign slot: the run names nothing.
        run->state = lfn_state::none;
        return;
    }
    if (run->state == lfn_state::none)
        return;
    uint16_t* part = run->chars + lfn_chars_per_entry * (position - 1);
    for (uint32_t c = 0; c < lfn_chars_per_entry; ++c)
        part[c] = readi16(const_cast<uint8_t*>(slot), lfn_char_offsets[c]);
    if (--run->expect == 0)
        run->state = lfn_state::complete;
}

char* lfn_finish(lfn_run* run, const uint8_t* slot)
{
    char* name = nullptr;
    bool complete = run->state == lfn_state::complete;
    run->state = lfn_state::none;
    if (complete && checksum_fname(reinterpret_cast<char*>(const_cast<uint8_t*>(slot))) == run->checksum) {
        name = long_name_text(run->chars, lfn_chars_per_entry * run->length);
        if (name && name[0] == '\0') {
            mfree(name);
            name = nullptr;
        }
    }
    return name ? name : decode_short_name(slot);
}

slot_kind decode_slot(lfn_run* run, const uint8_t* slot, dir_entry* dirent, bool* named)
{
    if (slot_is_free(slot)) {
        run->state = lfn_state::none;
        return slot_kind::free_slot;
    }
    if (slot_is_long_name(slot)) {
        lfn_take(run, slot);
        return slot_kind::long_name;
    }
    if (slot_is_label(slot)) {
        run->state = lfn_state::none;
        return slot_kind::label;
    }
    // Whether the long name was taken or not, a complete run with a matching checksum
    // belongs to this entry; a mismatched one is left where it is.
    auto* short_entry = const_cast<uint8_t*>(slot);
    *named = run->state == lfn_state::complete && checksum_fname(reinterpret_cast<char*>(short_entry)) == run->checksum;
    char* name = lfn_finish(run, slot);
    if (!name)
        return slot_kind::no_memory;
    dirent->name = name;
    dirent->dir_attrs = slot[dirent_attr_offset];
    dirent->first_cluster = slot_first_cluster(short_entry);
    dirent->file_size = readi32(short_entry, dirent_size_offset);
    dirent->modified_date = readi16(short_entry, dirent_modified_date_offset);
    dirent->modified_time = readi16(short_entry, dirent_modified_time_offset);
    return slot_kind::entry;
}

// ---- Views over the decoder for slots already in memory ----

namespace {

enum class decode_result {
    decoded,    // *dirent is filled, *next is past its short entry
    skipped,    // a long-name run with no short entry behind it: *next is the free slot after it
    truncated,  // the long-name run goes on past `end`
    failed,     // the slot is free, or no heap for the name
};

// Feeds the slots from `start` up to `end` to the decoder until one entry is decoded.
decode_result decode_in_buffer(uint8_t* start, uint8_t* end, dir_entry* dirent, uint8_t** next)
{
    if (start >= end || slot_is_free(start))
        return decode_result::failed;
    heap_block chars(lfn_run_units * sizeof(uint16_t));
    if (!chars) {
        printf("fat32: error: out of memory while reading a directory\n");
        return decode_result::failed;
    }
    lfn_run run{chars.as<uint16_t>(), lfn_state::none, 0, 0, 0};
    bool named = false;
    for (uint8_t* slot = start; slot < end; slot += fat32_dir_entry_size) {
        switch (decode_slot(&run, slot, dirent, &named)) {
        case slot_kind::long_name:
            continue;
        case slot_kind::free_slot:
            // The short entry of this name is gone: the run names nothing.
            *next = slot;
            return decode_result::skipped;
        case slot_kind::label:
            *next = slot + fat32_dir_entry_size;
            return decode_result::skipped;
        case slot_kind::entry:
            *next = slot + fat32_dir_entry_size;
            return decode_result::decoded;
        case slot_kind::no_memory:
            printf("fat32: error: out of memory while reading a directory\n");
            return decode_result::failed;
        }
    }
    return decode_result::truncated;
}

} // namespace

char* parse_long_name(uint8_t* entries, uint8_t entry_count)
{
    heap_block chars(lfn_run_units * sizeof(uint16_t));
    if (!chars || entry_count == 0 || entry_count > lfn_max_entries)
        return nullptr;
    lfn_run run{chars.as<uint16_t>(), lfn_state::none, 0, 0, 0};
    for (uint32_t e = 0; e < entry_count; ++e)
        lfn_take(&run, entries + e * fat32_dir_entry_size);
    // Only slots that form one whole run, as a directory holds them, name anything.
    if (run.state != lfn_state::complete || run.length != entry_count)
        return nullptr;
    return long_name_text(run.chars, lfn_chars_per_entry * run.length);
}

uint8_t* read_dir_entry(f32*, uint8_t* start, uint8_t* end, dir_entry* dirent)
{
    uint8_t* next = nullptr;
    return decode_in_buffer(start, end, dirent, &next) == decode_result::decoded ? next : nullptr;
}

void next_dir_entry(f32* fs, uint8_t* root_cluster, uint8_t* entry, uint8_t** nextentry,
    dir_entry* target_dirent, uint32_t cluster, uint32_t* secondcluster)
{
    uint8_t* next = nullptr;
    target_dirent->name = nullptr;
    decode_result result = decode_in_buffer(entry, root_cluster + fs->cluster_size, target_dirent, &next);
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
        result = decode_in_buffer(entry, root_cluster + 2 * fs->cluster_size, target_dirent, &next);
        if (result == decode_result::truncated)
            printf("FAILED TO READ DIRECTORY ENTRY! THE SOFTWARE IS BUGGY!\n");
    }
    *nextentry = (result == decode_result::decoded || result == decode_result::skipped) ? next : nullptr;
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

// Brings the chain's next cluster into the buffer; false at the end of the chain or where
// it cannot be read.
static bool dir_walk_advance(dir_walk* walk)
{
    f32* fs = walk->fs;
    if (walk->clusters_left == 0) {
        walk->whole = !walk->broken;
        return false;
    }
    uint32_t next = 0;
    if (!fat_read_entry(fs, walk->cluster, &next) || !is_data_cluster(fs, next & fat32_entry_mask) ||
        !getCluster(fs, walk->buffer, next & fat32_entry_mask)) {
        walk->broken = true;
        walk->clusters_left = 0;
        return false;
    }
    --walk->clusters_left;
    walk->cluster = next & fat32_entry_mask;
    walk->index = 0;
    return true;
}

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
        where->count = named ? walk->run.length + 1u : 1u;
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
