// The shell's command dispatcher: cuts a line into words and runs the built-in command.
#include "general/vorn.hpp"

#include "cpu/mem.hpp"
#include "cpu/pit.hpp"
#include "cpu/string.hpp"
#include "drivers/display.hpp"
#include "drivers/fs/fat32.hpp"
#include "general/config.hpp"
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

// Without a mounted volume the file-system commands must not reach the file system.
void run_ls(char**, int)
{
    if (!master_fs) {
        printf("ls: error: no filesystem mounted\n");
        return;
    }
    // FAT or FSInfo sectors whose write failed earlier go out first, whatever follows.
    retry_pending_writes(master_fs);
    print_directory(master_fs, &current_directory);
}

void run_mkhello(char**, int)
{
    if (!master_fs) {
        printf("mkhello: error: no filesystem mounted\n");
        return;
    }
    retry_pending_writes(master_fs);
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

// Tried in this order; the first name equal to the first word runs.
constexpr shell_command commands[] = {
    {"help", run_help},
    {"clear", run_clear},
    {"ls", run_ls},
    {"reboot", run_reboot},
    {"shutdown", run_shutdown},
    {"mkhello", run_mkhello},
    {"sector", run_sector},
    {"export", run_export},
    {"echo", run_echo},
    {"int", run_int},
    {"str", run_str},
    {"diag_chipset", run_diag_chipset},
    {"verinfo", run_verinfo},
    {"rainbow", run_rainbow},
    {"tick", run_tick},
};

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

void dispatch(char** words, int count)
{
    for (const shell_command& c : commands) {
        if (strcmp(words[0], c.name) == 0) {
            c.run(words, count);
            return;
        }
    }
    run_other(words, count);
}

void free_words(char** words, int count)
{
    for (int i = 0; i < count; ++i)
        mfree(words[i]);
    mfree(words);
}

} // namespace

void execute_vorn(const char* arg)
{
    int count = 0;
    char** words = splitString(arg, &count);
    if (words == nullptr)
        return;
    if (count > 0)
        dispatch(words, count);
    free_words(words, count);
}

} // namespace tavix
