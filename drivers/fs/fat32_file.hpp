// The whole-file and directory operations the shell calls, whole or by name.
#pragma once

#include "drivers/fs/dirent.hpp"
#include "drivers/fs/fat32_entry.hpp"
#include "drivers/fs/fat32_volume.hpp"

#include <stdint.h>

namespace tavix {

// Each prints one line and changes nothing on the disk when it fails.
// The file's bytes in a new heap block of file_size bytes, which the caller releases.
uint8_t* readFile(f32* fs, struct dir_entry* dirent);
// Reads the file's file_size bytes into `buffer`, each run of consecutive clusters with one
// request; bytes a chain shorter than the size does not reach read as zeros. 0 after one
// line when a cluster cannot be read.
uint8_t read_file_into(f32* fs, const struct dir_entry* dirent, uint8_t* buffer);
void writeFile(f32* fs, struct directory* dir, uint8_t* file, char* fname, uint32_t flen);
void writeFile_impl(f32* fs, struct directory* dir, uint8_t* file, char* fname, uint32_t flen,
    uint8_t attrs, uint32_t setcluster);
void delFile(f32* fs, struct directory* dir, char* filename);
void mkdir(f32* fs, struct directory* dir, char* dirname);
void mkdir_subdirs(f32* fs, struct directory* dir, uint32_t parentcluster);
void print_directory(f32* fs, struct directory* dir);

// ---- Operations by name ----
// Each works in the directory whose chain starts at dir_cluster (0: the root), matches a name
// as FAT readers do (the long name or its short alias, in any case), names itself `who` in its
// messages, and writes in the order that survives a power cut. A failure prints one line and
// leaves the volume as it was; false then.

// Creates the file `name` holding `length` bytes of `data`, or an empty directory with its
// "." and ".." entries. An existing name is refused.
bool create_named(f32* fs, uint32_t dir_cluster, const char* name, const uint8_t* data, uint32_t length,
    bool directory, const char* who);
// Adds `length` bytes at the end of the file `name`, which is created when missing. The new
// bytes go into the last cluster's unused part and new clusters, which are linked before the
// entry's size grows: no byte the file held is changed.
bool append_file(f32* fs, uint32_t dir_cluster, const char* name, const uint8_t* data, uint32_t length,
    const char* who);
// Says whether the entry found for removal may go; a refusal prints its own line.
using removal_check = bool (*)(const dir_entry& entry, const void* context);
// Deletes the file or the empty directory `name`, found and removed in one walk, once `check`
// accepts it: its entry first, its clusters after. Returns what the lookup found: the caller
// reports a missing entry or an unreadable directory in its own words.
lookup_result remove_named(f32* fs, uint32_t dir_cluster, const char* name, const char* who, removal_check check,
    const void* context);
// Gives the entry `from_name` of from_dir the name `to_name` in to_dir (which may be the same
// directory): the new entry is written before the old one is removed, and a directory moved
// to another parent has its ".." entry pointed at it in between. It never moves "." or "..";
// the caller keeps a directory out of its own subtree.
bool move_entry(f32* fs, uint32_t from_dir, const char* from_name, uint32_t to_dir, const char* to_name,
    const char* who);

// The number of clusters in an entry's chain as a listing shows it; a chain broken by a
// bad link counts that link as one more cluster and prints "BAD CLUSTER CHAIN! FS IS CORRUPT!".
uint32_t listed_cluster_count(f32* fs, uint32_t first_cluster);
// True when the directory at `cluster` holds nothing but "." and "..": only then may it be deleted.
bool directory_is_empty(f32* fs, uint32_t cluster);

} // namespace tavix
