// The hardware seam: the few primitives through which the kernel touches the machine.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Implemented twice: arch/x86 for the real machine (what the kernel image links) and
// tests/sim for the simulated PC that the host unit tests link instead.
namespace tavix::hw {

uint8_t in8(uint16_t port);
uint16_t in16(uint16_t port);
uint32_t in32(uint16_t port);
void out8(uint16_t port, uint8_t value);
void out16(uint16_t port, uint16_t value);
void out32(uint16_t port, uint32_t value);

// One repeated string instruction each, walking memory upward from addr.
void rep_insw(uint16_t port, void* addr, uint32_t count);
void rep_outsw(uint16_t port, const void* addr, uint32_t count);
void rep_insb(uint16_t port, void* addr, uint32_t count);

void disable_interrupts();
void enable_interrupts();
// One halt: returns when the next interrupt has been handled.
void halt();
// Stops the processor for good (interrupts stay as they are). The simulated PC makes
// this observable instead of hanging the test.
[[noreturn]] void halt_forever();

// The 4000-byte VGA colour text buffer (0xB8000 on the real machine).
volatile uint8_t* text_buffer();

} // namespace tavix::hw

// The descriptor-table loads are assembly stubs on the real machine; their names are
// fixed because the start-up code calls them by these names.
extern "C" {
void gdt_flush(uint32_t gdt_ptr_address);
void tss_flush();
void idt_flush(uint32_t idt_ptr_address);
}
