// The shell's global configuration: typed shell variables and the current directory.
#pragma once

#include "drivers/fs/dirent.hpp"

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

// The shell's current directory. Its one-entry array is static: it is set up before the
// heap exists, so it must never be handed to mfree.
extern dir_entry current_directory_entry;
extern directory current_directory;

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
