// The PC keyboard controller: its set-up before interrupts come on, and emptying its output.
#pragma once

#include <stdint.h>

namespace tavix {

// The data port carries key bytes and command results; the status port reads the status
// register and takes controller commands.
constexpr uint16_t kbc_data_port = 0x60;
constexpr uint16_t kbc_status_port = 0x64;
constexpr uint16_t kbc_command_port = 0x64;

constexpr uint8_t kbc_status_output_full = 0x01; // a byte waits on the data port
constexpr uint8_t kbc_status_input_full = 0x02;  // the controller has not yet taken the last write

namespace kbc_command {
constexpr uint8_t read_config = 0x20;
constexpr uint8_t write_config = 0x60;
constexpr uint8_t disable_second_port = 0xA7;
constexpr uint8_t disable_first_port = 0xAD;
constexpr uint8_t enable_first_port = 0xAE;
} // namespace kbc_command

// Bits of the controller's configuration byte.
namespace kbc_config {
constexpr uint8_t first_port_irq = 0x01;
constexpr uint8_t second_port_irq = 0x02;
constexpr uint8_t system_flag = 0x04;
constexpr uint8_t first_port_clock_off = 0x10;
constexpr uint8_t translation = 0x40; // the keyboard's set 2 codes reach the data port as set 1
} // namespace kbc_config

// How often a wait reads the status register before it gives up. The controller answers in
// microseconds; a missing or stuck one must not hang start-up.
constexpr int kbc_status_poll_limit = 100000;
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
