// The simulated keyboard controller: a queue of scancodes behind ports 0x60 and 0x64.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace sim {

// Holds the byte of the last delivered event on the data port until the next one arrives,
// as the real controller does; the status port reports an empty input buffer and a full
// output buffer while a byte waits. Writes of the reset command to 0x64 are counted.
class Keyboard;

// The one keyboard of the simulated PC, attached on first use. Reset it in each test.
Keyboard& keyboard();

void keyboard_reset();
void queue_scancode(uint8_t scancode);
// Queues make and break codes for a whole text, with Left Shift around the characters that
// need it and Enter for '\n'.
void queue_text(const std::string& text);
// Queues the make and the break code of one key.
void queue_key(uint8_t key_number);
size_t queued_scancodes();

// Puts the next queued scancode on the data port and raises IRQ 1 the way the entry stub
// does: irq_handler with vector 33, interrupts off while it runs. False when the queue is
// empty.
bool deliver_next();
// Delivers everything queued, in order.
void deliver_all();
// Makes scancode the controller's byte and raises IRQ 1 for it at once.
void deliver(uint8_t scancode);
void press(uint8_t key_number);
void type(const std::string& text);

// A halt hook (sim::set_halt_hook) that delivers one queued scancode per halt, so kernel
// code that sleeps waiting for a key sees the queue arrive. Throws std::runtime_error when
// the kernel halts with the queue empty, instead of waiting for ever.
void deliver_on_halt();

int reset_pulses();

} // namespace sim
