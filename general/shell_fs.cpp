// The shell's commands on the mounted volume. They reach it only through the file system's public face.
#include "general/shell_fs.hpp"

#include "cpu/buffer.hpp"
#include "cpu/mem.hpp"
#include "cpu/string.hpp"
#include "drivers/display.hpp"
#include "drivers/fs/fat32.hpp"
#include "general/cbreak.hpp"
#include "general/config.hpp"
#include "general/shell_path.hpp"
#include "general/stdio.hpp"

namespace tavix {

namespace {

constexpr int tab_width = 8;
// Room for the digits of any 64-bit number and the terminator.
constexpr int u64_digits = 21;
// dir: names are padded to the longest up to this width; a longer one pushes its line on.
constexpr uint32_t name_column_limit = 40;
constexpr int size_column = 10;
// What dir shows for a directory in place of a size.
constexpr char directory_mark[] = "<DIR>";

// True when the word count is right; otherwise the command's usage line.
bool usage_unless(bool right, const char* usage)
{
    if (!right)
        printf("Usage: %s\n", usage);
    return right;
}

void out_of_memory(const char* who) { printf("%s: error: out of memory\n", who); }

// n / 10 by shifts and adds: the kernel links no run-time library for 64-bit division.
uint64_t tenth_of(uint64_t n)
{
    uint64_t q = (n >> 1) + (n >> 2);
    q += q >> 4;
    q += q >> 8;
    q += q >> 16;
    q += q >> 32;
    q >>= 3;
    // q is n / 10 or one less.
    return n - q * decimal_base >= decimal_base ? q + 1 : q;
}

void print_u64(uint64_t value)
{
    char digits[u64_digits];
    int at = u64_digits - 1;
    digits[at] = '\0';
    do {
        uint64_t tenth = tenth_of(value);
        digits[--at] = static_cast<char>('0' + (value - tenth * decimal_base));
        value = tenth;
    } while (value != 0);
    kprint(digits + at);
}

// The number with at least `digits` digits, zeros in front.
void print_number(uint32_t value, int digits)
{
    char text[number_text_bytes];
    format_number(value, false, decimal_base, digits, text);
    kprint(text);
}

void print_spaces(int count)
{
    for (; count > 0; --count)
        putchar(' ', default_attribute);
}

void print_date_time(const rtc_time& t)
{
    print_number(t.year, 4);
    kprint("-");
    print_number(t.month, 2);
    kprint("-");
    print_number(t.day, 2);
    kprint(" ");
    print_number(t.hour, 2);
    kprint(":");
    print_number(t.minute, 2);
}

// One line of dir: the name, the size or <DIR>, the time of the last change.
void print_listing_line(const dir_entry& entry, uint32_t width)
{
    // A name longer than the column keeps two spaces before the size all the same.
    int name_length = strlen(entry.name);
    kprint(entry.name);
    print_spaces((name_length < static_cast<int>(width) ? static_cast<int>(width) - name_length : 0) + 2);
    if (is_directory(entry)) {
        print_spaces(size_column - strlen(directory_mark));
        kprint(directory_mark);
    } else {
        char size[number_text_bytes];
        format_number(entry.file_size, false, decimal_base, 1, size);
        print_spaces(size_column - strlen(size));
        kprint(size);
    }
    kprint("  ");
    print_date_time(fat_unpack_time(entry.modified_date, entry.modified_time));
    kprint("\n");
}

void print_listing(const directory& listing)
{
    uint32_t width = 0;
    for (uint32_t i = 0; i < listing.num_entries; ++i) {
        auto length = static_cast<uint32_t>(strlen(listing.entries[i].name));
        if (length > width && length <= name_column_limit)
            width = length;
    }
    uint32_t files = 0;
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < listing.num_entries; ++i) {
        const dir_entry& entry = listing.entries[i];
        print_listing_line(entry, width);
        if (!is_directory(entry)) {
            ++files;
            bytes += entry.file_size;
        }
    }
    printf("%u file(s), ", files);
    print_u64(bytes);
    kprint(" bytes; ");
    print_u64(free_bytes(master_fs));
    kprint(" bytes free\n");
}

// A path's resolution lives on the heap: it is too large for the boot stack.
class path_holder {
public:
    path_holder() : block_(sizeof(shell_path)) {}
    // Resolves `typed`; false after one line.
    bool resolve(const char* who, const char* typed)
    {
        if (!block_) {
            out_of_memory(who);
            return false;
        }
        return resolve_path(who, typed, get());
    }
    shell_path* get() const { return block_.as<shell_path>(); }
    shell_path* operator->() const { return get(); }

private:
    heap_block block_;
};

// True when the path ends in an entry's name; "/" and a path ending in "." or ".." name a directory's
// own place, which `who` refuses with the line "<who>: error: <typed path> <refusal>".
bool names_an_entry(const char* who, const shell_path* path, const char* refusal)
{
    if (path->leaf[0] != '\0')
        return true;
    printf("%s: error: %s %s\n", who, path->typed, refusal);
    return false;
}

// The entry a path names, which must not be a directory; false after one line.
bool find_file(const char* who, const shell_path* path, dir_entry* entry)
{
    if (!names_an_entry(who, path, "is a directory") || !find_leaf(who, path, entry))
        return false;
    if (!is_directory(*entry))
        return true;
    printf("%s: error: %s is a directory\n", who, path->typed);
    mfree(entry->name);
    entry->name = nullptr;
    return false;
}

// The bytes of the file at `typed`, with a byte of room behind them (for a terminator), in a
// heap block the caller releases; null after one line.
uint8_t* read_named(const char* who, const char* typed, uint32_t* size)
{
    path_holder path;
    dir_entry entry{};
    if (!path.resolve(who, typed) || !find_file(who, path.get(), &entry))
        return nullptr;
    *size = entry.file_size;
    auto* contents = static_cast<uint8_t*>(malloc(static_cast<size_t>(entry.file_size) + 1));
    if (!contents)
        printf("%s: error: %s is %u bytes, more than the free memory\n", who, typed, entry.file_size);
    else if (!read_file_into(master_fs, &entry, contents)) {
        mfree(contents);
        contents = nullptr;
    }
    mfree(entry.name);
    return contents;
}

// Text as it is: a newline starts a new line, a tab moves to the next tab stop, a carriage
// return before a newline is dropped, and every other byte shows as its glyph, so no byte
// can change the colour or move the cursor anywhere but forward.
void print_text(const uint8_t* text, uint32_t size)
{
    for (uint32_t i = 0; i < size; ++i) {
        uint8_t c = text[i];
        if (c == '\n') {
            putchar('\n', default_attribute);
        } else if (c == '\t') {
            do
                put_glyph(' ', default_attribute);
            while (get_cursor_x() % tab_width != 0);
        } else if (!(c == '\r' && i + 1 < size && text[i + 1] == '\n')) {
            put_glyph(c, default_attribute);
        }
    }
    if (size > 0 && text[size - 1] != '\n')
        putchar('\n', default_attribute);
}

// write and append: the words after the path, one space apart, and a newline.
void write_text(char** words, int count, const char* who, bool append)
{
    if (!usage_unless(count >= 3, append ? "append PATH TEXT..." : "write PATH TEXT...") || !volume_ready(who))
        return;
    path_holder path;
    if (!path.resolve(who, words[1]) || !names_an_entry(who, path.get(), "is a directory"))
        return;
    uint32_t length = 0;
    for (int i = 2; i < count; ++i)
        length += static_cast<uint32_t>(strlen(words[i])) + 1;
    heap_block text_block(length);
    if (!text_block) {
        out_of_memory(who);
        return;
    }
    char* text = text_block.as<char>();
    text[0] = '\0';
    for (int i = 2; i < count; ++i) {
        strcat(text, words[i]);
        strcat(text, i + 1 < count ? " " : "\n");
    }
    auto* bytes = reinterpret_cast<const uint8_t*>(text);
    uint32_t dir = location_cluster(path->where);
    if (append)
        append_file(master_fs, dir, path->leaf, bytes, length, who);
    else
        create_named(master_fs, dir, path->leaf, bytes, length, false, who);
}

// mv's target: the directory it goes into and the name it takes there. TO naming an existing
// directory moves into it under FROM's name, a free name renames; false after one line.
bool move_target(const char* from_name, shell_path* to, uint32_t* dir, const char** name)
{
    *name = from_name;
    if (to->leaf[0] != '\0') {
        dir_entry existing{};
        lookup_result found = find_entry(master_fs, location_cluster(to->where), to->leaf, &existing);
        bool ok = true;
        if (found == lookup_result::missing) {
            *name = to->leaf;
        } else if (found == lookup_result::failed) {
            printf("mv: error: %s cannot be read to its end\n", to->typed);
            ok = false;
        } else if (!is_directory(existing)) {
            printf("mv: error: %s already exists\n", to->typed);
            ok = false;
        } else {
            ok = descend("mv", &to->where, existing);
        }
        mfree(existing.name);
        if (!ok)
            return false;
    }
    *dir = location_cluster(to->where);
    return true;
}

// dir's and cd's common step: the directory the line names (`fallback` when it names none),
// entered and read into *listing; false after one line.
bool read_named_directory(const char* who, const char* usage, const char* fallback, char** words, int count,
    path_holder& path, directory* listing)
{
    if (!usage_unless(count <= 2, usage) || !volume_ready(who))
        return false;
    if (!path.resolve(who, count == 2 ? words[1] : fallback) || !enter_directory(who, path.get()))
        return false;
    populate_dir(master_fs, listing, location_cluster(path->where));
    return true;
}

} // namespace

bool volume_ready(const char* who)
{
    if (!master_fs) {
        printf("%s: error: no filesystem mounted\n", who);
        return false;
    }
    // FAT or FSInfo sectors whose write failed earlier go out first, whatever follows.
    retry_pending_writes(master_fs);
    return true;
}

void run_dir(char** words, int count)
{
    path_holder path;
    directory listing{};
    if (!read_named_directory("dir", "dir [PATH]", ".", words, count, path, &listing))
        return;
    print_listing(listing);
    free_directory(master_fs, &listing);
}

void run_cd(char** words, int count)
{
    path_holder path;
    directory listing{};
    if (read_named_directory("cd", "cd [PATH]", "/", words, count, path, &listing))
        set_current_directory(path->where, listing);
}

void run_pwd(char**, int count)
{
    if (usage_unless(count == 1, "pwd"))
        printf("%s\n", current_location.path);
}

void run_cat(char** words, int count)
{
    if (!usage_unless(count == 2, "cat PATH") || !volume_ready("cat"))
        return;
    uint32_t size = 0;
    if (uint8_t* text = read_named("cat", words[1], &size)) {
        print_text(text, size);
        mfree(text);
    }
}

void run_run(char** words, int count)
{
    if (!usage_unless(count == 2, "run PATH") || !volume_ready("run"))
        return;
    uint32_t size = 0;
    uint8_t* text = read_named("run", words[1], &size);
    if (!text)
        return;
    text[size] = '\0';
    init_compiler(reinterpret_cast<const char*>(text));
    compile();
    free_compiler();
    mfree(text);
}

void run_write(char** words, int count) { write_text(words, count, "write", false); }

void run_append(char** words, int count) { write_text(words, count, "append", true); }

void run_mkdir(char** words, int count)
{
    if (!usage_unless(count == 2, "mkdir PATH") || !volume_ready("mkdir"))
        return;
    path_holder path;
    if (path.resolve("mkdir", words[1]) && names_an_entry("mkdir", path.get(), "already exists"))
        create_named(master_fs, location_cluster(path->where), path->leaf, nullptr, 0, true, "mkdir");
}

void run_rm(char** words, int count)
{
    if (!usage_unless(count == 2, "rm PATH") || !volume_ready("rm"))
        return;
    path_holder path;
    if (!path.resolve("rm", words[1]) || !names_an_entry("rm", path.get(), "is a directory"))
        return;
    auto only_a_file = [](const dir_entry& entry, const void* context) {
        if (!is_directory(entry))
            return true;
        printf("rm: error: %s is a directory\n", static_cast<const shell_path*>(context)->typed);
        return false;
    };
    leaf_found("rm", path.get(),
        remove_named(master_fs, location_cluster(path->where), path->leaf, "rm", only_a_file, path.get()));
}

void run_rmdir(char** words, int count)
{
    if (!usage_unless(count == 2, "rmdir PATH") || !volume_ready("rmdir"))
        return;
    path_holder path;
    if (!path.resolve("rmdir", words[1]) || !names_an_entry("rmdir", path.get(), "cannot be removed"))
        return;
    auto only_a_directory_elsewhere = [](const dir_entry& entry, const void* context) {
        const char* typed = static_cast<const shell_path*>(context)->typed;
        if (!is_directory(entry))
            printf("rmdir: error: %s is not a directory\n", typed);
        else if (passes_through(current_location, entry.first_cluster))
            printf("rmdir: error: %s is the current directory or holds it\n", typed);
        else
            return true;
        return false;
    };
    leaf_found("rmdir", path.get(),
        remove_named(master_fs, location_cluster(path->where), path->leaf, "rmdir", only_a_directory_elsewhere,
            path.get()));
}

void run_mv(char** words, int count)
{
    if (!usage_unless(count == 3, "mv FROM TO") || !volume_ready("mv"))
        return;
    path_holder from;
    path_holder to;
    dir_entry entry{};
    if (!from.resolve("mv", words[1]) || !to.resolve("mv", words[2]))
        return;
    if (!names_an_entry("mv", from.get(), "cannot be moved") || !find_leaf("mv", from.get(), &entry))
        return;
    uint32_t dir = 0;
    const char* name = nullptr;
    if (move_target(entry.name, to.get(), &dir, &name)) {
        if (is_directory(entry) && passes_through(to->where, entry.first_cluster))
            printf("mv: error: %s cannot move into itself\n", words[1]);
        else if (is_directory(entry) && passes_through(current_location, entry.first_cluster))
            printf("mv: error: %s is the current directory or holds it\n", words[1]);
        else
            move_entry(master_fs, location_cluster(from->where), from->leaf, dir, name, "mv");
    }
    mfree(entry.name);
}

void run_df(char**, int count)
{
    if (!usage_unless(count == 1, "df") || !volume_ready("df"))
        return;
    print_u64(volume_bytes(master_fs));
    kprint(" bytes in all, ");
    print_u64(free_bytes(master_fs));
    kprint(" bytes free\n");
}

void run_date(char**, int count)
{
    if (!usage_unless(count == 1, "date"))
        return;
    rtc_time now{};
    if (!read_rtc(&now)) {
        printf("date: error: the clock cannot be read\n");
        return;
    }
    print_date_time(now);
    kprint(":");
    print_number(now.second, 2);
    kprint("\n");
}

} // namespace tavix

