// The chipset hook: a two-write initialisation and an interrupt handler that reports its status bit.
#include "drivers/chipset/chipset.hpp"

#include "general/stdio.hpp"
#include "io/iotools.hpp"

namespace tavix {

namespace {

constexpr uint16_t control_port = 0x00;
constexpr uint16_t status_port = 0x04;
constexpr uint8_t control_enable = 0x01;
constexpr uint8_t status_clear = 0x00;
constexpr uint8_t status_interrupt_pending = 0x01;

} // namespace

void init_chipset()
{
    port_byte_out(control_port, control_enable);
    port_byte_out(status_port, status_clear);
    printf("\nUniversal chipset driver UCD v.1.0.0\nInfo: Chipset initialized successfully.\n\n");
}

void interrupt_handler(InterruptRegisters*)
{
    if ((port_byte_in(status_port) & status_interrupt_pending) != 0)
        printf("Interrupt from chipset detected.\n");
}

} // namespace tavix
