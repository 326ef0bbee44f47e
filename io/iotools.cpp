// Port I/O, the kernel's own memory copy and fill, and machine control (reboot, power-off).
#include "io/iotools.hpp"

#include "arch/hw.hpp"
#include "io/kbc_registers.hpp"

namespace tavix {

namespace {

// Power-off ports of common emulators and virtual machines, tried in this order.
struct PowerOffWrite {
    uint16_t port;
    uint16_t value;
};
constexpr PowerOffWrite power_off_writes[] = {
    {0xB004, 0x2000}, // older QEMU and Bochs
    {0x604, 0x2000},  // QEMU's ACPI PM1a control
    {0x4004, 0x3400}, // VirtualBox
};

} // namespace

uint8_t port_byte_in(uint16_t port) { return hw::in8(port); }
void port_byte_out(uint16_t port, uint8_t data) { hw::out8(port, data); }
uint16_t port_word_in(uint16_t port) { return hw::in16(port); }
void port_word_out(uint16_t port, uint16_t data) { hw::out16(port, data); }
uint32_t port_dword_in(uint16_t port) { return hw::in32(port); }
void port_dword_out(uint16_t port, uint32_t data) { hw::out32(port, data); }

void insw(uint16_t port, void* addr, unsigned long count) { hw::rep_insw(port, addr, static_cast<uint32_t>(count)); }
void outsw(uint16_t port, const void* addr, unsigned long count) { hw::rep_outsw(port, addr, static_cast<uint32_t>(count)); }
void insb(uint16_t port, void* addr, unsigned long count) { hw::rep_insb(port, addr, static_cast<uint32_t>(count)); }

void memcpy(const int* src, int* dest, int bytes)
{
    // Byte by byte from the lowest address, so that a copy to a lower address inside the
    // same buffer (scrolling the screen) never reads a byte it has already overwritten.
    // Volatile keeps that order: the compiler may not fold the loop into a library copy
    // whose direction is unspecified, and the text buffer is device memory anyway.
    auto* s = reinterpret_cast<const volatile uint8_t*>(src);
    auto* d = reinterpret_cast<volatile uint8_t*>(dest);
    for (int i = 0; i < bytes; ++i)
        d[i] = s[i];
}

void memset(void* dest, char val, uint32_t count)
{
    auto* d = static_cast<uint8_t*>(dest);
    for (uint32_t i = 0; i < count; ++i)
        d[i] = static_cast<uint8_t>(val);
}

int k_toupper(int c)
{
    constexpr int case_distance = 'a' - 'A';
    if (c >= 'a' && c <= 'z')
        return c - case_distance;
    return c;
}

status_wait wait_port_bits(uint16_t port, uint8_t mask, uint8_t value, uint32_t bound)
{
    return wait_for_status(bound, [port] { return port_byte_in(port); },
        [mask, value](uint8_t status) { return (status & mask) == value; });
}

void reboot_system()
{
    // Reboot runs inside the keyboard interrupt with interrupts off: a controller that never
    // drains its input buffer must not hang the machine, so the reset pulse is sent regardless
    // once the wait runs out.
    wait_port_bits(kbc_status_port, kbc_status_input_full, 0, kbc_wait_reads);
    port_byte_out(kbc_command_port, kbc_command::pulse_reset);
    hw::halt();
}

void shutdown_system()
{
    for (const PowerOffWrite& w : power_off_writes)
        port_word_out(w.port, w.value);
    hw::halt_forever();
}

} // namespace tavix
