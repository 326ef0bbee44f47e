// Decoded directory entries and directories, as the file system hands them out.
#pragma once

#include <stdint.h>

namespace tavix {

struct dir_entry {
    char* name; // heap string owned by the record
    uint8_t dir_attrs;
    uint32_t first_cluster;
    uint32_t file_size;
};

struct directory {
    uint32_t cluster;    // the directory's first cluster
    dir_entry* entries;  // heap array, in slot order
    uint32_t num_entries;
};

} // namespace tavix
