// The shell's global configuration: typed shell variables and the current directory.
#pragma once

#include "drivers/fs/fat32.hpp"

#include <stdint.h>

namespace tavix {

enum : int { TYPE_INT = 0, TYPE_STR = 1 };

struct global_variable {
    char* name; // heap copy owned by the record; null in an empty slot
    int type;   // TYPE_INT or TYPE_STR
    union {
        int32_t int_value;
        char* str_value; // heap copy owned by the record
    } data;
};

constexpr int max_variables = 512;

// Declarations fill the slots in order; lookups find the earliest declaration of a name.
extern global_variable var[max_variables];
extern uint64_t var_count;

// The shell's current directory. At start-up it is the one-entry record of the root that `ls`
// prints; its array is static, set up before the heap exists, and never handed to mfree. A cd
// replaces it with the listing of the directory it enters, which the record then owns.
extern dir_entry current_directory_entry;
extern directory current_directory;

// A directory as a place in the tree: its path from the root, with the names as the disk
// holds them, and the first cluster of every directory along it, the root's (0) first.
constexpr uint32_t shell_path_capacity = 256; // characters of a path, its terminator included
constexpr uint32_t shell_max_depth = shell_path_capacity / 2;
struct shell_location {
    char path[shell_path_capacity];
    uint32_t depth;
    uint32_t clusters[shell_max_depth + 1];
};
// Where the shell stands: the root until a cd.
extern shell_location current_location;
// The first cluster of the directory a location ends at (0: the root).
inline uint32_t location_cluster(const shell_location& where) { return where.clusters[where.depth]; }
// Makes `where` the current directory, with `listing` (whose entries it takes over) as its
// record; the record it replaces is released unless it is start-up's.
void set_current_directory(const shell_location& where, const directory& listing);

global_variable* find_variable(const char* name);
// Declares a variable; prints one "error: " line and declares nothing when the name or the
// value is rejected, the table is full or the heap is exhausted.
void init_variable(const char* name, const char* value, int type);
// Changes the value of a declared variable; the type never changes.
void assign_variable(const char* var_name, const char* value);
// Releases every name and string and empties the table, which can then be used afresh.
void free_variables();
int get_var_count();
void start_global_config();

} // namespace tavix
