// The naming rules of FAT32: which names are valid, the short name a long one gets, the checksum that ties them, and how names compare.
#pragma once

#include <stdint.h>

namespace tavix {

// True for a name of 1 to 255 printable ASCII characters, none of them reserved by FAT,
// that is not "." or "..".
bool is_valid_long_name(const char* fname);
// Long-name entries a name takes: 13 characters each.
uint32_t long_name_entry_count(const char* fname);

// The short-name basis of a name (upper case, characters a short name cannot hold dropped
// or replaced with '_', base and extension cut to 8 and 3). True when that lost anything
// but case, so the name needs a numeric tail.
bool short_name_basis(const char* fname, uint8_t* field);
// The basis with the tail ~n, the base shortened to make room for it.
void short_name_with_tail(const uint8_t* basis, uint32_t n, uint8_t* field);
// The short name for `fname` among the `count` 11-byte short names in use: the basis when it
// lost nothing and is unused, otherwise the basis with the lowest unused tail. False, after
// a message, when every tail is taken.
bool pick_short_name(const char* fname, const uint8_t* names, uint32_t count, uint8_t* short_name);

// The 11-byte short name a new entry of that name would get in an empty directory.
void write_8_3_filename(char* fname, uint8_t* buffer);
// The checksum of an 11-byte short name that its long-name slots carry.
uint8_t checksum_fname(char* fname);
// Case-insensitive equality of code page 437 names, as FAT readers compare them.
bool names_equal_nocase(const char* a, const char* b);

// The names of a directory's own entries.
constexpr char dot_name[] = ".";
constexpr char dotdot_name[] = "..";
bool is_dot_entry(const char* name);

} // namespace tavix
