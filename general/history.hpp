// The shell's history: every non-empty line typed at the prompt, kept in a ring of 1024 slots.
#pragma once

namespace tavix {

constexpr int history_slots = 1024;
constexpr int history_slot_bytes = 1024;

// The keyboard's line editor stores each finished line; the shell's history command lists them.
extern char shell_history[history_slots][history_slot_bytes];
// The slot the next line goes to, and how many slots hold a line (up to history_slots).
extern int current_index;
extern int history_count;

// Stores a non-empty line (cut to 1023 characters) in the next history slot, oldest first out.
void add_to_history(const char* command);

} // namespace tavix
