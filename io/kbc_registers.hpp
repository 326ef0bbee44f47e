// The PC keyboard controller's ports, status bits, commands and configuration byte: shared by
// its driver, the reset line it also owns, and the simulated controller the host tests use.
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
enum : uint8_t {
    read_config = 0x20,
    write_config = 0x60,
    disable_second_port = 0xA7,
    disable_first_port = 0xAD,
    enable_first_port = 0xAE,
    // Pulses the processor's reset line: the PC's way to reboot.
    pulse_reset = 0xFE,
};
} // namespace kbc_command

// Bits of the controller's configuration byte.
namespace kbc_config {
constexpr uint8_t first_port_irq = 0x01;
constexpr uint8_t second_port_irq = 0x02;
constexpr uint8_t system_flag = 0x04;
constexpr uint8_t first_port_clock_off = 0x10;
constexpr uint8_t translation = 0x40; // the keyboard's set 2 codes reach the data port as set 1
} // namespace kbc_config

} // namespace tavix
