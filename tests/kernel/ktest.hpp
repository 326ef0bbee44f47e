// In-kernel tests: each KTEST registers itself in the "ktests" linker section, and the
// runner (tests/kernel/runner.cpp) runs the groups named on the Multiboot command line.
#pragma once

#include <stdint.h>

namespace tavix::ktest {

struct Test {
    const char* group;
    const char* name;
    void (*run)();
};

// Records a failed expectation of the running test (printed with its place).
void expect(bool ok, const char* what, const char* file, int line);

// Writes to QEMU's debug console (-debugcon), which the system tests read next to the
// screen: text as it is, and a number in decimal with at least `digits` digits.
void debug_print(const char* s);
void debug_number(uint32_t value, int digits = 1);

} // namespace tavix::ktest

#define KTEST(group, name)                                                                     \
    static void ktest_##group##_##name();                                                      \
    [[gnu::used, gnu::section("ktests"), gnu::aligned(4)]] const tavix::ktest::Test            \
        ktest_entry_##group##_##name{#group, #name, ktest_##group##_##name};                   \
    static void ktest_##group##_##name()

#define KEXPECT(cond) tavix::ktest::expect((cond), #cond, __FILE__, __LINE__)
