// Channel 0 of the interval timer at 1000 Hz and the tick counter that IRQ 0 advances.
#include "cpu/pit.hpp"

#include "general/stdio.hpp"
#include "io/iotools.hpp"

namespace tavix {

// Written only by pit_handler; everything else reads it through get_ticks.
constinit volatile uint64_t ticks = 0;
constinit volatile uint64_t target = 0;

namespace {

constexpr uint32_t pit_input_hz = 1193180;
constexpr uint16_t pit_channel0_port = 0x40;
constexpr uint16_t pit_command_port = 0x43;
// Channel 0, low byte then high byte, mode 3 (square wave), binary counting.
constexpr uint8_t pit_command_square_wave = 0x36;
constexpr uint32_t timer_irq_line = 0;

} // namespace

void init_pit()
{
    printf("PIT: Initiliazing...\n");
    ticks = 0;
    target = 0;
    irq_install_handler(timer_irq_line, pit_handler);

    const uint32_t divisor = pit_input_hz / freq;
    port_byte_out(pit_command_port, pit_command_square_wave);
    port_byte_out(pit_channel0_port, static_cast<uint8_t>(divisor & 0xFF));
    port_byte_out(pit_channel0_port, static_cast<uint8_t>((divisor >> 8) & 0xFF));
}

void pit_handler(InterruptRegisters*)
{
    ticks = ticks + 1;
}

uint64_t get_ticks()
{
    // The counter is two 32-bit words on this processor and the timer may tick between
    // the two loads; two equal reads in a row cannot both be torn.
    uint64_t first;
    uint64_t second;
    do {
        first = ticks;
        second = ticks;
    } while (first != second);
    return first;
}

void wait(int ms)
{
    if (ms <= 0)
        return;
    target = get_ticks() + static_cast<uint64_t>(ms);
    while (get_ticks() < target) {
    }
}

} // namespace tavix
