// Names of new FAT32 entries and the bytes of their slots.
#include "drivers/fs/fat32_names.hpp"

#include "cpu/buffer.hpp"
#include "cpu/string.hpp"
#include "drivers/fs/fat32_dir.hpp"
#include "drivers/fs/fat32_volume.hpp"
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
    if (is_dot_entry(fname))
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
    if (is_dot_entry(fname)) {
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

bool pick_short_name(const char* fname, const uint8_t* names, uint32_t count, uint8_t* short_name)
{
    uint8_t basis[short_name_length];
    bool lossy = short_name_basis(fname, basis);
    copy_bytes(short_name, basis, short_name_length);
    if (!lossy && !short_name_used(names, count, basis))
        return true;
    for (uint32_t n = 1; n <= max_short_name_tail; ++n) {
        short_name_with_tail(basis, n, short_name);
        if (!short_name_used(names, count, short_name))
            return true;
    }
    printf("fat32: error: no short name left for %s\n", fname);
    return false;
}

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

bool is_dot_entry(const char* name) { return strcmp(name, dot_name) == 0 || strcmp(name, dotdot_name) == 0; }

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
