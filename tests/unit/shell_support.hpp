// Shared set-up for the unit tests of the shell and what it prints: a fresh machine, heap and
// shell state, and readers for what was left on the screen and in the heap.
#pragma once

#include "cpu/idt.hpp"
#include "cpu/mem.hpp"
#include "cpu/string.hpp"
#include "general/config.hpp"
#include "general/vorn.hpp"
#include "io/kb.hpp"
#include "tests/sim/keyboard.hpp"
#include "tests/sim/sim.hpp"
#include "tests/support/heap_walk.hpp"

#include <cstring>
#include <string>

namespace shell_test {

// Back to the state start-up leaves: empty line and table, modifiers off, nothing on IRQ 1,
// a fresh heap, a blank screen with the cursor in the top-left cell.
inline void fresh_machine()
{
    sim::reset();
    sim::keyboard_reset();
    // Released into the old heap before a new one replaces it.
    tavix::free_variables();
    tavix::init_dmem();
    tavix::start_global_config();
    tavix::capsOn = 0;
    tavix::capsLock = 0;
    tavix::strnone(tavix::input);
    tavix::enter = 0;
    tavix::barrier = tavix::default_barrier;
    tavix::cursor_index = 0;
    tavix::current_index = 0;
    tavix::history_count = 0;
    std::memset(tavix::shell_history, 0, sizeof tavix::shell_history);
    tavix::irq_uninstall_handler(tavix::keyboard_irq);
    // Start-up hands finished lines to the shell; so do the tests.
    tavix::line_handler = tavix::run_shell_line;
    sim::reset();
}

// Used heap blocks and their bytes, by walking the block list.
struct HeapUse {
    int blocks = 0;
    uint64_t bytes = 0;
    bool operator==(const HeapUse&) const = default;
};

inline HeapUse heap_use()
{
    const heap_test::heap_walk walk = heap_test::walk_heap();
    return {static_cast<int>(walk.used_blocks), walk.used_bytes};
}

inline int cursor_row() { return sim::cursor_cell() / 80; }
inline int cursor_col() { return sim::cursor_cell() % 80; }

// The screen's rows as text, trailing blank rows dropped, rows joined with '\n'.
inline std::string screen()
{
    std::string s = sim::screen_text();
    s.erase(s.find_last_not_of('\n') + 1);
    return s;
}

} // namespace shell_test
