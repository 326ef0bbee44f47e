// The in-kernel test runner: runs the test groups named on the Multiboot command line,
// reports each result on the screen and on the debug console, then ends the emulator.
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

// True when word is one of the space-separated words of line.
bool has_word(const char* line, const char* word)
{
    while (*line) {
        while (*line == ' ')
            ++line;
        const char* w = word;
        const char* p = line;
        while (*p && *p != ' ' && *w && *p == *w) {
            ++p;
            ++w;
        }
        if (*w == '\0' && (*p == '\0' || *p == ' '))
            return true;
        while (*line && *line != ' ')
            ++line;
    }
    return false;
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
    const char* groups = command_line();
    uint32_t passed = 0;
    uint32_t failed = 0;
    // Start-up leaves the cursor behind the prompt.
    tavix::printf("\n");

    for (const Test* t = __start_ktests; t < __stop_ktests; ++t) {
        if (!has_word(groups, t->group))
            continue;
        current = {};
        t->run();
        out.add("KTEST ");
        out.add(t->group);
        out.add(".");
        out.add(t->name);
        if (current.failed) {
            ++failed;
            out.add(" FAIL ");
            out.add(current.what);
            out.add(" at ");
            out.add(current.file);
            out.add(":");
            out.add(static_cast<uint32_t>(current.line));
        } else {
            ++passed;
            out.add(" PASS");
        }
        out.emit();
    }

    out.add("KTEST DONE ");
    out.add(passed);
    out.add(" ");
    out.add(failed);
    out.emit();

    tavix::hw::out8(debug_exit_port, failed == 0 ? exit_all_passed : exit_some_failed);
}
