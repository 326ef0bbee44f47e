// Paths typed at the shell, resolved name by name on the mounted volume.
#include "general/shell_path.hpp"

#include "cpu/buffer.hpp"
#include "cpu/mem.hpp"
#include "cpu/string.hpp"
#include "drivers/display.hpp"
#include "general/stdio.hpp"
#include "io/iotools.hpp"

namespace tavix {

namespace {

constexpr char separator = '/';
constexpr uint32_t root_depth = 0;

void path_too_long(const char* who)
{
    printf("%s: error: the path is longer than %d characters\n", who, static_cast<int>(shell_path_capacity - 1));
}

// Prints "who: error: <the typed path up to `end`> <what>".
void report(const char* who, const char* typed, uint32_t end, const char* what)
{
    printf("%s: error: ", who);
    for (uint32_t i = 0; i < end; ++i)
        putchar(static_cast<uint8_t>(typed[i]), default_attribute);
    printf(" %s\n", what);
}

void go_up(shell_location* where)
{
    if (where->depth == root_depth)
        return;
    --where->depth;
    char* last = where->path + strlen(where->path);
    while (last > where->path && *last != separator)
        --last;
    last[last == where->path ? 1 : 0] = '\0';
}

bool is_dot(const char* name, uint32_t length) { return length == 1 && name[0] == '.'; }
bool is_dotdot(const char* name, uint32_t length) { return length == 2 && name[0] == '.' && name[1] == '.'; }

// Looks `name` up in the directory `where` ends at and reports what is wrong with it as a
// directory on the way, naming the typed path up to `end`.
bool step_into(const char* who, shell_path* path, const char* name, uint32_t end)
{
    dir_entry entry{};
    lookup_result found = find_entry(master_fs, location_cluster(path->where), name, &entry);
    bool ok = false;
    if (found == lookup_result::missing)
        report(who, path->typed, end, "does not exist");
    else if (found == lookup_result::failed)
        report(who, path->typed, end, "cannot be read to its end");
    else if (!(entry.dir_attrs & attr_directory))
        report(who, path->typed, end, "is not a directory");
    else
        ok = descend(who, &path->where, entry);
    mfree(entry.name);
    return ok;
}

} // namespace

bool descend(const char* who, shell_location* where, const dir_entry& entry)
{
    uint32_t length = static_cast<uint32_t>(strlen(where->path));
    uint32_t joined = length + (where->depth == root_depth ? 0 : 1) + static_cast<uint32_t>(strlen(entry.name));
    if (joined >= shell_path_capacity || where->depth == shell_max_depth) {
        path_too_long(who);
        return false;
    }
    if (where->depth != root_depth)
        where->path[length++] = separator;
    strcpy(where->path + length, entry.name);
    where->clusters[++where->depth] = entry.first_cluster;
    return true;
}

bool resolve_path(const char* who, const char* typed, shell_path* path)
{
    path->typed = typed;
    path->leaf[0] = '\0';
    uint32_t length = static_cast<uint32_t>(strlen(typed));
    // A name no directory can hold is named as such, before the path it makes too long.
    for (uint32_t at = 0, size = 0; at <= length; ++at) {
        size = at < length && typed[at] != separator ? size + 1 : 0;
        if (size == shell_path_capacity) {
            printf("%s: error: a name is longer than %d characters\n", who, static_cast<int>(shell_path_capacity - 1));
            return false;
        }
    }
    if (length >= shell_path_capacity) {
        path_too_long(who);
        return false;
    }
    path->where = current_location;
    if (typed[0] == separator) {
        path->where = shell_location{};
        path->where.path[0] = separator;
    }
    // Each name is taken into `leaf`, which the checks above show it fits; only the last
    // one stays there.
    char* name = path->leaf;
    for (uint32_t at = 0; at < length;) {
        while (at < length && typed[at] == separator)
            ++at;
        uint32_t start = at;
        while (at < length && typed[at] != separator)
            ++at;
        uint32_t size = at - start;
        if (size == 0 || is_dot(typed + start, size))
            continue;
        if (is_dotdot(typed + start, size)) {
            go_up(&path->where);
            continue;
        }
        copy_bytes(name, typed + start, size);
        name[size] = '\0';
        uint32_t next = at;
        while (next < length && typed[next] == separator)
            ++next;
        // The last name is the caller's to look up (or to create).
        if (next == length)
            break;
        bool entered = step_into(who, path, name, at);
        name[0] = '\0';
        if (!entered)
            return false;
    }
    return true;
}

bool enter_directory(const char* who, shell_path* path)
{
    if (path->leaf[0] == '\0')
        return true;
    return step_into(who, path, path->leaf, static_cast<uint32_t>(strlen(path->typed)));
}

bool find_leaf(const char* who, const shell_path* path, dir_entry* entry)
{
    return leaf_found(who, path, find_entry(master_fs, location_cluster(path->where), path->leaf, entry));
}

bool leaf_found(const char* who, const shell_path* path, lookup_result found)
{
    if (found == lookup_result::found)
        return true;
    printf("%s: error: %s %s\n", who, path->typed,
        found == lookup_result::missing ? "does not exist" : "cannot be read to its end");
    return false;
}

bool passes_through(const shell_location& where, uint32_t cluster)
{
    for (uint32_t i = 0; i <= where.depth; ++i)
        if (where.clusters[i] == cluster)
            return true;
    return false;
}

} // namespace tavix
