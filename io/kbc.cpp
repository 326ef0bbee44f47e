// The PC keyboard controller: its set-up before interrupts come on, and emptying its output.
#include "io/kbc.hpp"

#include "io/iotools.hpp"

namespace tavix {

namespace {

// Used when the controller does not hand out its configuration: the system flag says the
// self-test passed, as the firmware leaves it.
constexpr uint8_t fallback_config = kbc_config::system_flag;

// A missing or stuck controller must not hang start-up: both waits give up after
// kbc_wait_reads status reads.
bool wait_input_empty() { return wait_port_bits(kbc_status_port, kbc_status_input_full, 0, kbc_wait_reads).met; }
bool wait_output_full()
{
    return wait_port_bits(kbc_status_port, kbc_status_output_full, kbc_status_output_full, kbc_wait_reads).met;
}

// A write the controller never takes is made anyway once the wait runs out: there is
// nothing better to do, and a later step may still get through.
void send_command(uint8_t command)
{
    wait_input_empty();
    port_byte_out(kbc_command_port, command);
}

void send_data(uint8_t data)
{
    wait_input_empty();
    port_byte_out(kbc_data_port, data);
}

uint8_t read_config()
{
    send_command(kbc_command::read_config);
    if (!wait_output_full())
        return fallback_config;
    return port_byte_in(kbc_data_port);
}

} // namespace

void kbc_flush_output()
{
    for (int i = 0; i < kbc_flush_byte_limit && (port_byte_in(kbc_status_port) & kbc_status_output_full) != 0; ++i)
        port_byte_in(kbc_data_port);
}

void init_keyboard_controller()
{
    // With both ports off no key byte can slip in between a command and its answer.
    send_command(kbc_command::disable_first_port);
    send_command(kbc_command::disable_second_port);
    kbc_flush_output();

    uint8_t config = read_config();
    config |= kbc_config::translation | kbc_config::first_port_irq;
    config &= static_cast<uint8_t>(~(kbc_config::second_port_irq | kbc_config::first_port_clock_off));
    send_command(kbc_command::write_config);
    send_data(config);

    send_command(kbc_command::enable_first_port);
    kbc_flush_output();
}

} // namespace tavix
