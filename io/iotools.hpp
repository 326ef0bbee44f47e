// Port I/O, the kernel's own memory copy and fill, and machine control (reboot, power-off).
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tavix {

uint8_t port_byte_in(uint16_t port);
void port_byte_out(uint16_t port, uint8_t data);
uint16_t port_word_in(uint16_t port);
void port_word_out(uint16_t port, uint16_t data);
uint32_t port_dword_in(uint16_t port);
void port_dword_out(uint16_t port, uint32_t data);

// Repeated string transfers: one instruction each, memory walked upward from addr.
void insw(uint16_t port, void* addr, unsigned long count);
void outsw(uint16_t port, const void* addr, unsigned long count);
void insb(uint16_t port, void* addr, unsigned long count);

// Note the order: source first, destination second. Copies upward one byte at a time,
// so moving data to a lower address inside one buffer is safe. bytes <= 0 copies nothing.
void memcpy(const int* src, int* dest, int bytes);
// Stores the byte val into count bytes from dest upward.
void memset(void* dest, char val, uint32_t count);
// 'a'..'z' become 'A'..'Z'; every other value is returned unchanged.
int k_toupper(int c);

// Resets the machine through the keyboard controller. Returns only if the reset did not happen.
void reboot_system();
// Powers off through the emulators' power-management ports; halts for good otherwise.
[[noreturn]] void shutdown_system();

} // namespace tavix
