// The naming rules of FAT32: which names are valid, the short name a long one gets, the checksum that ties them, and how names compare.
#include "drivers/fs/fat32_names.hpp"

#include "cpu/buffer.hpp"
#include "cpu/string.hpp"
#include "drivers/fs/cp437.hpp"
#include "drivers/fs/fat32_layout.hpp"
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

uint8_t checksum_fname(char* fname)
{
    uint8_t sum = 0;
    for (uint32_t i = 0; i < short_name_length; ++i)
        sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + static_cast<uint8_t>(fname[i]));
    return sum;
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

bool is_dot_entry(const char* name) { return strcmp(name, dot_name) == 0 || strcmp(name, dotdot_name) == 0; }

} // namespace tavix
