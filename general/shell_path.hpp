// Paths typed at the shell: absolute or from the current directory, with "." and "..", resolved on the mounted volume.
#pragma once

#include "general/config.hpp"

#include <stdint.h>

namespace tavix {

// A path resolved up to its last name. Names match as the file system matches them (long
// name or short alias, any case); the location spells them as the disk holds them.
struct shell_path {
    const char* typed;                   // the path as typed, for messages
    shell_location where;                // the directory holding `leaf`, or the one named outright
    char leaf[shell_path_capacity];      // the last name; empty when the path names `where` itself
};

// Resolves every name of `typed` but the last, each of which must be a directory; ".", ".."
// and a path that ends in them name a directory outright. False after one line that names
// the cause (`who` first): a name missing or not a directory, a path too long.
bool resolve_path(const char* who, const char* typed, shell_path* path);
// Goes down into the directory the resolved path names; false after one line when it is
// missing or not a directory.
bool enter_directory(const char* who, shell_path* path);
// The entry the path's last name names in `where` (its name a heap string the caller
// releases); false after one line when there is none or the directory cannot be read.
bool find_leaf(const char* who, const shell_path* path, dir_entry* entry);
// True when a lookup of the path's last name found it; otherwise false after the line that
// names the typed path and what the lookup met.
bool leaf_found(const char* who, const shell_path* path, lookup_result found);
// Adds the directory `entry` to the end of `where`; false after one line when the path would
// grow too long.
bool descend(const char* who, shell_location* where, const dir_entry& entry);
// True when the directory at `cluster` is one of those `where` passes through, itself included.
bool passes_through(const shell_location& where, uint32_t cluster);

} // namespace tavix
