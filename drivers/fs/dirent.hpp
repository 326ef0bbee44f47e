// Decoded directory entries and directories, as the file system hands them out.
#pragma once

#include <stdint.h>

namespace tavix {

struct dir_entry {
    char* name; // heap string owned by the record
    uint8_t dir_attrs;
    uint32_t first_cluster;
    uint32_t file_size;
    // When the entry was last written, packed as the short entry stores them (fat32_time.hpp).
    uint16_t modified_date;
    uint16_t modified_time;
};

// The attribute bit of a directory's entry.
constexpr uint8_t attr_directory = 0x10;
inline bool is_directory(const dir_entry& entry) { return (entry.dir_attrs & attr_directory) != 0; }

struct directory {
    uint32_t cluster;    // the directory's first cluster
    dir_entry* entries;  // heap array, in slot order
    uint32_t num_entries;
};

} // namespace tavix
