// The in-kernel test runner: runs the test groups named on the Multiboot command line, in
// that order, reports each result on the screen and on the debug console, then ends the
// emulator.
#include "kernel/kernel.hpp"

#include "arch/hw.hpp"
#include "cpu/string.hpp"
#include "general/stdio.hpp"
#include "kernel/memory_check.hpp"
#include "tests/kernel/ktest.hpp"

#include <stddef.h>
#include <stdint.h>

// Bounds of the "ktests" section, provided by the linker script.
extern "C" const tavix::ktest::Test __start_ktests[];
extern "C" const tavix::ktest::Test __stop_ktests[];

namespace tavix::ktest {

namespace {

constexpr uint32_t multiboot_flag_cmdline = 1u << 2;
constexpr uint32_t multiboot_cmdline_offset = 16;

// QEMU's debug console (-debugcon) and isa-debug-exit device; the test image only.
constexpr uint16_t debug_console_port = 0xE9;
constexpr uint16_t debug_exit_port = 0xF4;
constexpr uint8_t exit_all_passed = 0; // QEMU exits with (value << 1) | 1
constexpr uint8_t exit_some_failed = 1;

constexpr size_t line_capacity = 256;

// The first failed expectation of the running test.
struct Failure {
    bool failed;
    const char* what;
    const char* file;
    int line;
};

constinit Failure current = {};

// One output line, built once and sent to both the screen and the debug console.
struct Line {
    char text[line_capacity];
    size_t length;

    void add(const char* s)
    {
        while (*s && length + 1 < line_capacity)
            text[length++] = *s++;
        text[length] = '\0';
    }

    void add(uint32_t value)
    {
        char digits[number_text_bytes];
        format_number(value, false, decimal_base, 1, digits);
        add(digits);
    }

    void emit()
    {
        add("\n");
        printf("%s", text);
        debug_print(text);
        length = 0;
        text[0] = '\0';
    }
};

constinit Line out = {};

} // namespace

void debug_print(const char* s)
{
    while (*s)
        hw::out8(debug_console_port, static_cast<uint8_t>(*s++));
}

void debug_number(uint32_t value, int digits)
{
    char text[number_text_bytes];
    format_number(value, false, decimal_base, digits, text);
    debug_print(text);
}

namespace {

const char* command_line()
{
    if (multiboot_magic != multiboot_loader_magic || multiboot_info == 0)
        return "";
    const auto* info = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(multiboot_info));
    uint32_t flags;
    __builtin_memcpy(&flags, info, sizeof flags);
    if ((flags & multiboot_flag_cmdline) == 0)
        return "";
    uint32_t cmdline;
    __builtin_memcpy(&cmdline, info + multiboot_cmdline_offset, sizeof cmdline);
    return cmdline ? reinterpret_cast<const char*>(static_cast<uintptr_t>(cmdline)) : "";
}

// True when the `length` characters at `word` spell `name`.
bool word_is(const char* word, size_t length, const char* name)
{
    for (size_t i = 0; i < length; ++i) {
        if (name[i] != word[i])
            return false;
    }
    return name[length] == '\0';
}

struct Tally {
    uint32_t passed;
    uint32_t failed;
};

void run_test(const Test* t, Tally* tally)
{
    current = {};
    t->run();
    out.add("KTEST ");
    out.add(t->group);
    out.add(".");
    out.add(t->name);
    if (current.failed) {
        ++tally->failed;
        out.add(" FAIL ");
        out.add(current.what);
        out.add(" at ");
        out.add(current.file);
        out.add(":");
        out.add(static_cast<uint32_t>(current.line));
    } else {
        ++tally->passed;
        out.add(" PASS");
    }
    out.emit();
}

} // namespace

void expect(bool ok, const char* what, const char* file, int line)
{
    if (ok || current.failed)
        return;
    current = {true, what, file, line};
}

} // namespace tavix::ktest

void run_kernel_tests()
{
    using namespace tavix::ktest;
    Tally tally = {};
    // Start-up leaves the cursor behind the prompt.
    tavix::printf("\n");

    // Groups run in the order the command line names them, so that one that ends in a panic
    // can come after all the others have reported.
    for (const char* word = command_line(); *word != '\0';) {
        while (*word == ' ')
            ++word;
        size_t length = 0;
        while (word[length] != '\0' && word[length] != ' ')
            ++length;
        for (const Test* t = __start_ktests; t < __stop_ktests; ++t) {
            if (word_is(word, length, t->group))
                run_test(t, &tally);
        }
        word += length;
    }

    out.add("KTEST DONE ");
    out.add(tally.passed);
    out.add(" ");
    out.add(tally.failed);
    out.emit();

    tavix::hw::out8(debug_exit_port, tally.failed == 0 ? exit_all_passed : exit_some_failed);
}
