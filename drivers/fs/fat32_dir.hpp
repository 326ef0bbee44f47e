// On-disk directory slots and the bounded directory walk shared by the FAT32 directory, entry-creation and file code.
#pragma once

#include "drivers/fs/fat32.hpp"

#include <stddef.h>
#include <stdint.h>

namespace tavix {

// Short entry (32-byte slot) layout.
constexpr size_t dirent_name_offset = 0;
constexpr size_t dirent_ext_offset = 8;
constexpr size_t dirent_attr_offset = 11;
constexpr size_t dirent_cluster_high_offset = 20;
constexpr size_t dirent_cluster_low_offset = 26;
constexpr size_t dirent_size_offset = 28;
constexpr uint32_t short_name_length = 11;
constexpr uint32_t short_base_length = 8;
constexpr uint32_t short_ext_length = 3;

// Long-name entry layout.
constexpr size_t lfn_ordinal_offset = 0;
constexpr size_t lfn_checksum_offset = 13;
constexpr uint8_t lfn_last_flag = 0x40;
// Ordinals run from 1 to 20: five bits, as the format defines them.
constexpr uint8_t lfn_ordinal_mask = 0x1F;
constexpr uint32_t lfn_chars_per_entry = 13;
constexpr uint32_t lfn_max_entries = 20;
constexpr uint32_t fat32_max_name_length = lfn_chars_per_entry * lfn_max_entries - 5; // 255
constexpr size_t lfn_char_offsets[lfn_chars_per_entry] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
constexpr uint16_t lfn_terminator = 0x0000;
constexpr uint16_t lfn_filler = 0xFFFF;

// First byte of a slot and the attribute byte.
constexpr uint8_t slot_never_used = 0x00;
constexpr uint8_t slot_deleted = 0xE5;
constexpr uint8_t attr_long_name = 0x0F;
constexpr uint8_t attr_directory = 0x10;
constexpr uint8_t attr_file = 0x00;

static_assert(fat32_dir_entry_size == 32, "directory slots are 32 bytes");
static_assert(dirent_size_offset + 4 == fat32_dir_entry_size, "the size field closes the short entry");
static_assert(lfn_char_offsets[lfn_chars_per_entry - 1] + 2 == fat32_dir_entry_size,
    "the last name character closes the long-name entry");
static_assert(fat32_max_name_length == 255, "long names hold at most 255 characters");

inline bool slot_is_free(const uint8_t* slot)
{
    return slot[0] == slot_never_used || slot[0] == slot_deleted;
}
inline bool slot_is_long_name(const uint8_t* slot) { return slot[dirent_attr_offset] == attr_long_name; }

inline void writei16(uint8_t* buff, size_t offset, uint16_t value)
{
    buff[offset] = static_cast<uint8_t>(value);
    buff[offset + 1] = static_cast<uint8_t>(value >> 8);
}
inline void writei32(uint8_t* buff, size_t offset, uint32_t value)
{
    for (size_t i = 0; i < sizeof value; ++i)
        buff[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// The first cluster a short entry points at.
uint32_t slot_first_cluster(uint8_t* slot);

// A directory cluster of 0 means the root, as ".." entries store it.
uint32_t resolve_dir_cluster(f32* fs, uint32_t cluster);

// The number of distinct clusters of the chain from `start` that may be visited: it ends
// before a link that is free or out of range, at an end-of-chain value, and counts each
// cluster of a loop once. *broken tells whether it ended at anything but end-of-chain.
// 0 when `start` is not a data cluster.
uint32_t chain_length(f32* fs, uint32_t start, bool* broken);

// A walk over the live entries and free slots of a directory chain, two clusters of
// buffer on the heap, never more clusters than the chain has and never past a bad link.
struct dir_walk {
    f32* fs;
    uint8_t* buffer;       // two clusters: the current one and, after a crossing, the next
    uint32_t cluster;      // the cluster in the first half
    uint32_t second;       // the cluster in the second half, 0 when it holds none
    uint8_t* pos;          // the next slot to look at
    uint32_t clusters_left; // clusters of the chain not yet read
    bool broken;           // the chain ends at a bad link, not at end-of-chain
    bool whole;            // the walk ended after reading every cluster of the chain
};

// Where the slots of the entry that dir_walk_next just returned lie in the buffer.
struct walk_slots {
    uint8_t* first;  // its first slot (first long-name entry, or the short entry)
    uint8_t* last;   // its short entry
    uint32_t first_cluster; // cluster holding `first` (the first half of the buffer)
    uint32_t last_cluster;  // cluster holding `last`
};

enum class walk_step { entry, free_slot, end };

// Starts at the directory whose chain begins at `cluster` (0 for the root). False when no
// buffer could be had (a message is printed); a chain that cannot be read walks as empty.
bool dir_walk_begin(dir_walk* walk, f32* fs, uint32_t cluster);
// The next entry (decoded into *dirent, whose name the caller releases) or free slot
// (*where->first is the slot). The walk ends at the end of the chain or at an entry that
// cannot be decoded.
walk_step dir_walk_next(dir_walk* walk, dir_entry* dirent, walk_slots* where);
void dir_walk_end(dir_walk* walk);

// ASCII case-insensitive equality, as FAT compares names.
bool names_equal_nocase(const char* a, const char* b);
// The short name in an 11-byte field as BASE.EXT (or BASE), into `out` of 13 bytes.
void short_name_text(const uint8_t* field, char* out);

} // namespace tavix
