// The simulated keyboard controller: a queue of scancodes behind ports 0x60 and 0x64.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace sim {

// Holds the byte of the last delivered event on the data port until the next one arrives,
// as the real controller does; the status port reports an empty input buffer and a full
// output buffer while a byte waits in the controller (a command's answer or a key held at
// power-on). It takes the configuration and port commands on 0x64; writes of the reset
// command are counted.
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

// The controller's own state. Its configuration byte starts as a firmware usually leaves it
// (translation on, first-port interrupt on); with translation off, every event delivered or
// held reaches the data port as the keyboard's scan code set 2 bytes (0xF0 before a break).
void set_controller_config(uint8_t config);
uint8_t controller_config();
bool first_port_enabled();
bool second_port_enabled();
// A key pressed and released before the kernel runs: its bytes wait in the controller's
// output buffer, as the translation of that moment gives them, until the data port is read.
void key_at_power_on(uint8_t key_number);
size_t controller_output_bytes();
// Faults for the bounded waits: the next `polls` status reads report a full input buffer; a
// mute controller ignores the configuration commands; a stuck one always reports a byte.
void set_input_busy_polls(int polls);
void set_controller_mute(bool mute);
void set_output_stuck(bool stuck);
// How often the status register has been read since the last keyboard_reset.
int status_reads();

} // namespace sim
