// The shell's global configuration: typed shell variables and the current directory.
#include "general/config.hpp"

#include "cpu/mem.hpp"
#include "cpu/string.hpp"
#include "drivers/display.hpp"

namespace tavix {

namespace {

// The root directory's name is a constant; the record only borrows it.
constinit char root_name[] = "/";
constinit dir_entry root_entries[1] = {};

bool starts_with_digit(const char* name) { return name[0] >= '0' && name[0] <= '9'; }

bool contains_letter(const char* value)
{
    for (int i = 0; value[i] != 0; ++i) {
        if (isalpha(value[i]))
            return true;
    }
    return false;
}

} // namespace

constinit global_variable var[max_variables] = {};
constinit uint64_t var_count = 0;
constinit dir_entry current_directory_entry = {};
constinit directory current_directory = {};
constinit shell_location current_location = {};

void set_current_directory(const shell_location& where, const directory& listing)
{
    if (current_directory.entries != root_entries)
        free_directory(master_fs, &current_directory);
    current_directory = listing;
    current_location = where;
}

global_variable* find_variable(const char* name)
{
    for (int i = 0; i < max_variables; ++i) {
        if (var[i].name != nullptr && strcmp(var[i].name, name) == 0)
            return &var[i];
    }
    return nullptr;
}

void init_variable(const char* name, const char* value, int type)
{
    if (starts_with_digit(name)) {
        kprint("error: variable name cannot start with a digit\n");
        return;
    }
    if (type != TYPE_INT && type != TYPE_STR) {
        kprint("error: unknown variable type\n");
        return;
    }
    if (type == TYPE_INT && contains_letter(value)) {
        kprint("error: variable contains letters\n");
        return;
    }
    // Slots are never reused, so a full table refuses every further declaration.
    if (var_count >= static_cast<uint64_t>(max_variables)) {
        kprint("error: too many variables\n");
        return;
    }

    global_variable slot = {};
    slot.type = type;
    if (type == TYPE_INT) {
        slot.data.int_value = atoi(value);
    } else {
        slot.data.str_value = strdup(value);
        if (slot.data.str_value == nullptr) {
            kprint("error: out of memory\n");
            return;
        }
    }
    slot.name = strdup(name);
    if (slot.name == nullptr) {
        if (type == TYPE_STR)
            mfree(slot.data.str_value);
        kprint("error: out of memory\n");
        return;
    }
    var[var_count] = slot;
    ++var_count;
}

void assign_variable(const char* var_name, const char* value)
{
    global_variable* v = find_variable(var_name);
    if (v == nullptr) {
        kprint("syntax error: variable ");
        kprint(var_name);
        kprint(" not found\n");
        return;
    }
    if (v->type == TYPE_INT) {
        v->data.int_value = atoi(value);
        return;
    }
    // Copy first: a failed copy leaves the old value in place.
    char* copy = strdup(value);
    if (copy == nullptr) {
        kprint("error: out of memory\n");
        return;
    }
    mfree(v->data.str_value);
    v->data.str_value = copy;
}

void free_variables()
{
    for (int i = 0; i < max_variables; ++i) {
        if (var[i].name == nullptr)
            continue;
        mfree(var[i].name);
        if (var[i].type == TYPE_STR)
            mfree(var[i].data.str_value);
        var[i] = {};
    }
    var_count = 0;
}

int get_var_count() { return static_cast<int>(var_count); }

void start_global_config()
{
    current_directory_entry.name = root_name;
    root_entries[0] = current_directory_entry;
    current_directory.entries = root_entries;
    current_directory.num_entries = 1;
    current_location = {};
    current_location.path[0] = '/';
}

} // namespace tavix
