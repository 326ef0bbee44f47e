// The directory slot: its one encoder and its one decoder, the 32 bytes of a short entry or of one part of a long name.
#include "drivers/fs/fat32_slot.hpp"

#include "cpu/buffer.hpp"
#include "cpu/mem.hpp"
#include "cpu/string.hpp"
#include "drivers/fs/cp437.hpp"
#include "drivers/fs/fat32_bytes.hpp"
#include "drivers/fs/fat32_names.hpp"
#include "drivers/fs/fat32_sector.hpp"
#include "drivers/fs/fat32_fat.hpp"
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

// The decoded name of the short entry `slot`: the run's long name when the run is `named` for
// it, otherwise (an empty long name too) the short name. Null when the heap is exhausted.
char* entry_name(const lfn_run* run, const uint8_t* slot, bool named)
{
    char* name = named ? long_name_text(run->chars, lfn_chars_per_entry * run->length) : nullptr;
    if (name && name[0] == '\0') {
        mfree(name);
        name = nullptr;
    }
    return name ? name : decode_short_name(slot);
}

} // namespace

uint32_t slot_first_cluster(uint8_t* slot)
{
    return (static_cast<uint32_t>(readi16(slot, dirent_cluster_high_offset)) << 16) |
        readi16(slot, dirent_cluster_low_offset);
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
    run->state = lfn_state::none;
    char* name = entry_name(run, slot, *named);
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

// ---- The encoders ----

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
    stamp_modified(slot, stamp);
    write_slot_cluster(slot, first_cluster);
    writei32(slot, dirent_size_offset, size);
}

void write_slot_cluster(uint8_t* slot, uint32_t first_cluster)
{
    writei16(slot, dirent_cluster_high_offset, static_cast<uint16_t>(first_cluster >> 16));
    writei16(slot, dirent_cluster_low_offset, static_cast<uint16_t>(first_cluster));
}

void stamp_modified(uint8_t* slot, const fat_timestamp& stamp)
{
    writei16(slot, dirent_accessed_date_offset, stamp.date);
    writei16(slot, dirent_modified_time_offset, stamp.time);
    writei16(slot, dirent_modified_date_offset, stamp.date);
}

void write_dot_entries(f32* fs, uint8_t* cluster_buffer, uint32_t self, uint32_t parent, const fat_timestamp& stamp)
{
    uint8_t name[short_name_length];
    write_8_3_filename(const_cast<char*>(dot_name), name);
    write_short_slot(cluster_buffer + dot_slot * fat32_dir_entry_size, name, attr_directory, self, 0, stamp);
    write_8_3_filename(const_cast<char*>(dotdot_name), name);
    uint32_t stored_parent = resolve_dir_cluster(fs, parent) == fs->root_cluster ? 0 : parent;
    write_short_slot(cluster_buffer + dotdot_slot * fat32_dir_entry_size, name, attr_directory, stored_parent, 0, stamp);
}

} // namespace tavix
