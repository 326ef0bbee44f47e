// The shell's history ring.
#include "general/history.hpp"

#include "cpu/string.hpp"

namespace tavix {

constinit char shell_history[history_slots][history_slot_bytes] = {};
constinit int current_index = 0;
constinit int history_count = 0;

void add_to_history(const char* command)
{
    if (command == nullptr || command[0] == 0)
        return;
    char* slot = shell_history[current_index];
    strncpy(slot, command, history_slot_bytes - 1);
    slot[history_slot_bytes - 1] = 0;
    current_index = (current_index + 1) % history_slots;
    if (history_count < history_slots)
        ++history_count;
}

} // namespace tavix
