// The FAT32 file operations' own helpers; the operations themselves are the file system's API in fat32.hpp.
#pragma once

#include "drivers/fs/fat32.hpp"

#include <stdint.h>

namespace tavix {

// The number of clusters in an entry's chain as a listing shows it; a chain broken by a
// bad link counts that link as one more cluster and prints "BAD CLUSTER CHAIN! FS IS CORRUPT!".
uint32_t listed_cluster_count(f32* fs, uint32_t first_cluster);
// True when the directory at `cluster` holds nothing but "." and "..": only then may it be deleted.
bool directory_is_empty(f32* fs, uint32_t cluster);

} // namespace tavix
