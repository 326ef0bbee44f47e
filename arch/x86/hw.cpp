// The hardware seam on the real machine: inline assembly and the real text buffer.
#include "arch/hw.hpp"

namespace tavix::hw {

namespace {
constexpr uintptr_t vga_text_address = 0xB8000;
}

uint8_t in8(uint16_t port)
{
    uint8_t value;
    asm volatile("inb %1, %0" : "=a"(value) : "Nd"(port));
    return value;
}

uint16_t in16(uint16_t port)
{
    uint16_t value;
    asm volatile("inw %1, %0" : "=a"(value) : "Nd"(port));
    return value;
}

uint32_t in32(uint16_t port)
{
    uint32_t value;
    asm volatile("inl %1, %0" : "=a"(value) : "Nd"(port));
    return value;
}

void out8(uint16_t port, uint8_t value) { asm volatile("outb %0, %1" : : "a"(value), "Nd"(port)); }
void out16(uint16_t port, uint16_t value) { asm volatile("outw %0, %1" : : "a"(value), "Nd"(port)); }
void out32(uint16_t port, uint32_t value) { asm volatile("outl %0, %1" : : "a"(value), "Nd"(port)); }

void rep_insw(uint16_t port, void* addr, uint32_t count)
{
    asm volatile("cld; rep insw" : "+D"(addr), "+c"(count) : "d"(port) : "memory");
}

void rep_outsw(uint16_t port, const void* addr, uint32_t count)
{
    asm volatile("cld; rep outsw" : "+S"(addr), "+c"(count) : "d"(port) : "memory");
}

void rep_insb(uint16_t port, void* addr, uint32_t count)
{
    asm volatile("cld; rep insb" : "+D"(addr), "+c"(count) : "d"(port) : "memory");
}

void disable_interrupts() { asm volatile("cli" ::: "memory"); }
void enable_interrupts() { asm volatile("sti" ::: "memory"); }
void halt() { asm volatile("hlt" ::: "memory"); }

void halt_forever()
{
    for (;;)
        asm volatile("hlt" ::: "memory");
}

volatile uint8_t* text_buffer() { return reinterpret_cast<volatile uint8_t*>(vga_text_address); }

} // namespace tavix::hw
