// The PC keyboard controller: its set-up before interrupts come on, and emptying its output.
#pragma once

#include "io/kbc_registers.hpp"

#include <stdint.h>

namespace tavix {

// More bytes than the controller and the keyboard's own queue hold between them: a flush
// reading this many has met a controller that never empties, and stops.
constexpr int kbc_flush_byte_limit = 32;

// Brings the controller to the state the shell decodes: first port on with translation and
// its interrupt, second port and its interrupt off, no stale bytes. Whatever the firmware
// left, and whatever keys arrived meanwhile, later keys then arrive as scan code set 1.
// Runs with interrupts off; every wait is bounded, so a controller that does not answer
// costs at most a few bounded waits and start-up goes on.
void init_keyboard_controller();

// Reads and drops the bytes the controller holds, at most kbc_flush_byte_limit of them.
void kbc_flush_output();

} // namespace tavix
