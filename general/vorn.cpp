// The shell's command dispatcher: cuts a line into words and runs the built-in command.
#include "general/vorn.hpp"

#include "cpu/mem.hpp"
#include "cpu/pit.hpp"
#include "cpu/string.hpp"
#include "drivers/display.hpp"
#include "drivers/fs/fat32.hpp"
#include "drivers/pci.hpp"
#include "general/config.hpp"
#include "general/history.hpp"
#include "general/shell_fs.hpp"
#include "general/stdio.hpp"
#include "io/iotools.hpp"

#include <stdint.h>

namespace tavix {

namespace {

constexpr const char version_string[] = "Tavix 32-bit kernel 0.02 beta";
constexpr int rainbow_colours = 16;
constexpr char quote = '"';

void run_help(char**, int count)
{
    if (count != 1) {
        kprint("Usage: &help\n\n");
        return;
    }
    printf("Tavix Operating System Shell commands:\n");
    printf("  &help:     Displays this help message\n");
    printf("  &clear:    Clear the screen\n");
    printf("  &tick:     Get current tick count\n");
    printf("  &identify: Identify disks (searching for one disk)\n            to initiliaze FAT32 on them\n");
    printf("  &initfs:   Initiliaze FAT32 on the first disk\n");
    printf("  &rainbow:  Show all 16 colors (for screen testing)\n");
}

void run_clear(char**, int count)
{
    if (count != 1) {
        printf("Usage: &clear\n\n");
        return;
    }
    clear_screen();
}

void run_ls(char**, int)
{
    if (volume_ready("ls"))
        print_directory(master_fs, &current_directory);
}

void run_mkhello(char**, int)
{
    if (!volume_ready("mkhello"))
        return;
    char name[] = "hello";
    mkdir(master_fs, &current_directory, name);
}

void run_reboot(char**, int) { reboot_system(); }

void run_shutdown(char**, int) { shutdown_system(); }

void run_sector(char**, int) { printf("don't touch me, i'm reading sector, which is not implemented yet\n"); }

void print_value(const global_variable* v)
{
    if (v->type == TYPE_INT)
        kprinti(v->data.int_value);
    else
        kprint(v->data.str_value);
}

void run_export(char**, int)
{
    for (int i = 0; i < get_var_count(); ++i) {
        kprint(var[i].type == TYPE_INT ? "int " : "str ");
        kprint(var[i].name);
        kprint(" = ");
        print_value(&var[i]);
        kprint("\n");
    }
}

// A variable's value wins over the literal word; a one-word quoted text loses its quotes.
void echo_word(char* word)
{
    if (const global_variable* v = find_variable(word)) {
        print_value(v);
        return;
    }
    const int length = strlen(word);
    if (word[0] == quote && word[length - 1] == quote) {
        word[length - 1] = 0;
        kprint(word + 1);
        return;
    }
    kprint(word);
}

void run_echo(char** words, int count)
{
    if (count == 1) {
        kprint("Usage: echo <variable_name> | \"hello world\" | 12345\n");
        return;
    }
    for (int i = 1; i < count; ++i) {
        echo_word(words[i]);
        if (i + 1 < count)
            kprint(" ");
    }
    kprint("\n");
}

// >int and >str: declare <var_name> with <value> as that type.
void declare_variable(char** words, int count, const char* usage, int type)
{
    if (count != 3) {
        kprint(usage);
        return;
    }
    init_variable(words[1], words[2], type);
    kprint("\n");
}

void run_int(char** words, int count) { declare_variable(words, count, "Usage: >int <var_name> <value>\n", TYPE_INT); }

void run_str(char** words, int count) { declare_variable(words, count, "Usage: >str <var_name> <value>\n", TYPE_STR); }

void run_diag_chipset(char**, int) { printf("diagchset v1.0\nError: not implemented yet\n"); }

void run_verinfo(char**, int) { printf("\n%s \n2024-2025 built and maintained by the Tavix developers\n", version_string); }

void run_rainbow(char**, int)
{
    for (int colour = 0; colour < rainbow_colours; ++colour)
        kprintc("#####", static_cast<uint8_t>(colour));
    printf("\n");
}

void run_tick(char**, int count)
{
    if (count != 1) {
        kprint("Usage: >tick\n\n");
        return;
    }
    kprint("Current tick: ");
    kprinti(static_cast<int32_t>(static_cast<uint32_t>(get_ticks())));
    kprint("ms\n");
}

void run_lspci(char**, int count)
{
    if (count != 1) {
        kprint("Usage: lspci\n");
        return;
    }
    // Each scan fills the table afresh.
    pci_device_count = 0;
    init_pci();
}

void run_history(char**, int count)
{
    if (count != 1) {
        kprint("Usage: history\n");
        return;
    }
    int oldest = (current_index - history_count + history_slots) % history_slots;
    for (int i = 0; i < history_count; ++i)
        printf("%d  %s\n", i + 1, shell_history[(oldest + i) % history_slots]);
}

void run_commands(char** words, int count);

// Tried in this order; the first name equal to the first word runs.
constexpr shell_command commands[] = {
    {"help", run_help, "the fixed help text", false},
    {"clear", run_clear, "clear the screen", false},
    {"ls", run_ls, "the current dir's record", false},
    {"reboot", run_reboot, "restart the machine", false},
    {"shutdown", run_shutdown, "switch the machine off", false},
    {"mkhello", run_mkhello, "make directory hello here", false},
    {"sector", run_sector, "(not implemented)", false},
    {"export", run_export, "list the variables", false},
    {"echo", run_echo, "print words or variables", false},
    {"int", run_int, "declare integer variable", false},
    {"str", run_str, "declare string variable", false},
    {"diag_chipset", run_diag_chipset, "(not implemented)", false},
    {"verinfo", run_verinfo, "the version banner", false},
    {"rainbow", run_rainbow, "show the 16 colours", false},
    {"tick", run_tick, "milliseconds since boot", false},
    {"dir", run_dir, "list a directory", true},
    {"cd", run_cd, "change directory", true},
    {"pwd", run_pwd, "print current directory", false},
    {"cat", run_cat, "print a file", true},
    {"write", run_write, "create a file with text", true},
    {"append", run_append, "add text to a file", true},
    {"rm", run_rm, "delete a file", true},
    {"mkdir", run_mkdir, "create a directory", true},
    {"rmdir", run_rmdir, "remove an empty directory", true},
    {"mv", run_mv, "rename or move", true},
    {"run", run_run, "run a script file", true},
    {"lspci", run_lspci, "list the PCI devices", false},
    {"date", run_date, "the clock's date and time", false},
    {"df", run_df, "size and free space", false},
    {"history", run_history, "the lines typed so far", false},
    {"commands", run_commands, "this list", false},
};

// Two commands to a row, so that the list fits on the screen.
constexpr int commands_per_row = 2;
constexpr int command_name_width = 13;
constexpr int command_column_width = 40;

void print_padded(const char* text, int width)
{
    kprint(text);
    for (int pad = width - strlen(text); pad > 0; --pad)
        kprint(" ");
}

void run_commands(char**, int count)
{
    if (count != 1) {
        kprint("Usage: commands\n");
        return;
    }
    int column = 0;
    for (const shell_command& c : commands) {
        print_padded(c.name, command_name_width);
        if (++column < commands_per_row) {
            print_padded(c.about, command_column_width - command_name_width);
            continue;
        }
        kprint(c.about);
        kprint("\n");
        column = 0;
    }
    if (column != 0)
        kprint("\n");
    kprint("NAME = VALUE assigns to a variable. A command typed without the words it\n"
           "needs prints its usage. Paths are absolute or relative, with . and ..;\n"
           "put a name with spaces in double quotes.\n");
}

// A line that names no command is an assignment when its second word is "=".
void run_other(char** words, int count)
{
    if (count >= 2 && strcmp(words[1], "=") == 0) {
        if (count != 3) {
            kprint("Usage: <var_name> = <value>\n");
            return;
        }
        assign_variable(words[0], words[2]);
        kprint("\n");
        return;
    }
    printf("vorn: %s: incorrect command\n", words[0]);
}

void free_words(char** words, int count)
{
    for (int i = 0; i < count; ++i)
        mfree(words[i]);
    mfree(words);
}

// The word at `p` (after any spaces) into `out` when it is not null, quotes dropped; *length
// is its length. The end of the word, or null when a quote is left open.
const char* scan_word(const char* p, char* out, int* length)
{
    bool quoted = false;
    int n = 0;
    for (; *p != 0 && (quoted || *p != ' '); ++p) {
        if (*p == quote) {
            quoted = !quoted;
            continue;
        }
        if (out)
            out[n] = *p;
        ++n;
    }
    if (out)
        out[n] = 0;
    *length = n;
    return quoted ? nullptr : p;
}

const char* skip_spaces(const char* p)
{
    while (*p == ' ')
        ++p;
    return p;
}

// The line's words with their quoted parts joined, as heap blocks like splitString's; null
// after one line naming `who` when a quote is left open or the heap is full.
char** split_quoted(const char* line, int* count, const char* who)
{
    int words = 0;
    int length = 0;
    for (const char* p = skip_spaces(line); *p != 0; p = skip_spaces(p), ++words) {
        p = scan_word(p, nullptr, &length);
        if (!p) {
            printf("%s: error: a double quote is not closed\n", who);
            return nullptr;
        }
    }
    auto** list = static_cast<char**>(malloc(static_cast<size_t>(words) * sizeof(char*)));
    int made = 0;
    for (const char* p = skip_spaces(line); list && made < words; p = skip_spaces(p), ++made) {
        scan_word(p, nullptr, &length);
        list[made] = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
        if (!list[made]) {
            free_words(list, made);
            list = nullptr;
            break;
        }
        p = scan_word(p, list[made], &length);
    }
    if (!list) {
        printf("%s: error: out of memory\n", who);
        return nullptr;
    }
    *count = words;
    return list;
}

void dispatch(const char* line, char** words, int count)
{
    for (const shell_command& c : commands) {
        if (strcmp(words[0], c.name) != 0)
            continue;
        if (!c.quoted) {
            c.run(words, count);
            return;
        }
        int joined_count = 0;
        if (char** joined = split_quoted(line, &joined_count, c.name)) {
            c.run(joined, joined_count);
            free_words(joined, joined_count);
        }
        return;
    }
    run_other(words, count);
}

} // namespace

void execute_vorn(const char* arg)
{
    int count = 0;
    char** words = splitString(arg, &count);
    if (words == nullptr)
        return;
    if (count > 0)
        dispatch(arg, words, count);
    free_words(words, count);
}

void print_prompt() { printf("masteruser: %s &", current_location.path); }

void run_shell_line(const char* line)
{
    execute_vorn(line);
    print_prompt();
}

} // namespace tavix
