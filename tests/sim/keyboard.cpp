// The simulated keyboard controller: a queue of scancodes behind ports 0x60 and 0x64.
#include "tests/sim/keyboard.hpp"

#include "arch/hw.hpp"
#include "cpu/descriptors.h"
#include "cpu/idt.hpp"
#include "io/kb.hpp"
#include "io/kbc_registers.hpp"
#include "tests/sim/sim.hpp"

#include <stdexcept>
#include <vector>

namespace sim {

namespace {

// The controller's ports, commands and configuration bits, and the key numbers, are the ones
// the kernel's driver uses; only what the kernel never sends is named here.
constexpr uint8_t command_enable_second = 0xA8;
// Translation on, first-port interrupt on, system flag: how a firmware usually hands over.
constexpr uint8_t default_config =
    tavix::kbc_config::first_port_irq | tavix::kbc_config::system_flag | tavix::kbc_config::translation;
constexpr uint8_t set2_break_prefix = 0xF0;

// Scan code set 1 key numbers of the US layout, for the characters queue_text types.
struct key_for_char {
    uint8_t key;
    bool shift;
};

key_for_char lookup(char c)
{
    static const std::string rows_low[] = {"1234567890-=", "qwertyuiop[]", "asdfghjkl;'`", "\\zxcvbnm,./"};
    static const std::string rows_high[] = {"!@#$%^&*()_+", "QWERTYUIOP{}", "ASDFGHJKL:\"~", "|ZXCVBNM<>?"};
    static const uint8_t first_key[] = {2, 16, 30, 43};
    if (c == ' ')
        return {57, false};
    if (c == '\n')
        return {tavix::key::enter, false};
    for (int r = 0; r < 4; ++r) {
        if (size_t i = rows_low[r].find(c); i != std::string::npos)
            return {static_cast<uint8_t>(first_key[r] + i), false};
        if (size_t i = rows_high[r].find(c); i != std::string::npos)
            return {static_cast<uint8_t>(first_key[r] + i), true};
    }
    throw std::invalid_argument(std::string("no key types ") + c);
}

// The keyboard's own scan code set 2 make codes for the set 1 key numbers 0x01-0x3A, which is
// what the controller passes on when its translation is off.
constexpr uint8_t set2_make[] = {
    0x00, 0x76, 0x16, 0x1E, 0x26, 0x25, 0x2E, 0x36, 0x3D, 0x3E, 0x46, 0x45, 0x4E, 0x55, 0x66, 0x0D, // 0x00-0x0F
    0x15, 0x1D, 0x24, 0x2D, 0x2C, 0x35, 0x3C, 0x43, 0x44, 0x4D, 0x54, 0x5B, 0x5A, 0x14, 0x1C, 0x1B, // 0x10-0x1F
    0x23, 0x2B, 0x34, 0x33, 0x3B, 0x42, 0x4B, 0x4C, 0x52, 0x0E, 0x12, 0x5D, 0x1A, 0x22, 0x21, 0x2A, // 0x20-0x2F
    0x32, 0x31, 0x3A, 0x41, 0x49, 0x4A, 0x59, 0x7C, 0x11, 0x29, 0x58,                               // 0x30-0x3A
};

// The bytes the keyboard sends for one set 1 event when the controller does not translate.
std::vector<uint8_t> untranslated(uint8_t scancode)
{
    const uint8_t key = scancode & 0x7F;
    if (key == 0 || key >= sizeof set2_make)
        return {scancode};
    if (scancode & tavix::kb_release_flag)
        return {set2_break_prefix, set2_make[key]};
    return {set2_make[key]};
}

} // namespace

class Keyboard final : public Device {
public:
    bool claims(uint16_t port) const override { return port == tavix::kbc_data_port || port == tavix::kbc_status_port; }
    uint32_t read(uint16_t port, int) override
    {
        if (port == tavix::kbc_data_port) {
            if (!output.empty()) {
                data = output.front();
                output.pop_front();
            }
            return data;
        }
        ++status_reads;
        uint8_t status = stuck_output || !output.empty() ? tavix::kbc_status_output_full : 0;
        if (busy_polls > 0) {
            --busy_polls;
            status |= tavix::kbc_status_input_full;
        }
        return status;
    }
    void write(uint16_t port, uint32_t value, int) override
    {
        if (port == tavix::kbc_data_port) {
            if (awaiting_config && !mute)
                config = static_cast<uint8_t>(value);
            awaiting_config = false;
            return;
        }
        switch (value) {
        case tavix::kbc_command::pulse_reset:
            ++resets;
            break;
        case tavix::kbc_command::read_config:
            if (!mute)
                output.push_back(config);
            break;
        case tavix::kbc_command::write_config:
            awaiting_config = true;
            break;
        case tavix::kbc_command::disable_first_port:
            first_port = false;
            break;
        case tavix::kbc_command::enable_first_port:
            first_port = true;
            break;
        case tavix::kbc_command::disable_second_port:
            second_port = false;
            break;
        case command_enable_second:
            second_port = true;
            break;
        default:
            break;
        }
    }
    bool translating() const { return (config & tavix::kbc_config::translation) != 0; }

    std::deque<uint8_t> pending;
    std::deque<uint8_t> output;
    uint8_t data = 0;
    int resets = 0;
    uint8_t config = default_config;
    bool awaiting_config = false;
    bool first_port = true;
    bool second_port = true;
    int busy_polls = 0;
    bool mute = false;
    bool stuck_output = false;
    int status_reads = 0;
};

Keyboard& keyboard() { return the_device<Keyboard>(); }

void keyboard_reset() { keyboard() = Keyboard{}; }

void queue_scancode(uint8_t scancode) { keyboard().pending.push_back(scancode); }

void queue_key(uint8_t key_number)
{
    queue_scancode(key_number);
    queue_scancode(static_cast<uint8_t>(key_number | tavix::kb_release_flag));
}

void queue_text(const std::string& text)
{
    for (char c : text) {
        const key_for_char k = lookup(c);
        if (k.shift)
            queue_scancode(tavix::key::left_shift);
        queue_key(k.key);
        if (k.shift)
            queue_scancode(tavix::key::left_shift | tavix::kb_release_flag);
    }
}

size_t queued_scancodes() { return keyboard().pending.size(); }

void deliver(uint8_t scancode)
{
    Keyboard& kb = keyboard();
    const std::vector<uint8_t> bytes = kb.translating() ? std::vector<uint8_t>{scancode} : untranslated(scancode);
    for (uint8_t byte : bytes) {
        kb.data = byte;
        const bool was_enabled = interrupts_enabled();
        tavix::hw::disable_interrupts();
        tavix::InterruptRegisters regs{};
        regs.int_no = IRQ_BASE_VECTOR + tavix::keyboard_irq;
        irq_handler(&regs);
        if (was_enabled)
            tavix::hw::enable_interrupts();
    }
}

bool deliver_next()
{
    Keyboard& kb = keyboard();
    if (kb.pending.empty())
        return false;
    const uint8_t scancode = kb.pending.front();
    kb.pending.pop_front();
    deliver(scancode);
    return true;
}

void deliver_all()
{
    while (deliver_next()) {
    }
}

void press(uint8_t key_number)
{
    deliver(key_number);
    deliver(static_cast<uint8_t>(key_number | tavix::kb_release_flag));
}

void type(const std::string& text)
{
    queue_text(text);
    deliver_all();
}

void deliver_on_halt()
{
    if (!deliver_next())
        throw std::runtime_error("the kernel waits for a key but the keyboard queue is empty");
}

int reset_pulses() { return keyboard().resets; }

void set_controller_config(uint8_t config) { keyboard().config = config; }
uint8_t controller_config() { return keyboard().config; }
bool first_port_enabled() { return keyboard().first_port; }
bool second_port_enabled() { return keyboard().second_port; }

void key_at_power_on(uint8_t key_number)
{
    Keyboard& kb = keyboard();
    for (uint8_t scancode : {key_number, static_cast<uint8_t>(key_number | tavix::kb_release_flag)}) {
        const std::vector<uint8_t> bytes = kb.translating() ? std::vector<uint8_t>{scancode} : untranslated(scancode);
        kb.output.insert(kb.output.end(), bytes.begin(), bytes.end());
    }
}

size_t controller_output_bytes() { return keyboard().output.size(); }
void set_input_busy_polls(int polls) { keyboard().busy_polls = polls; }
void set_controller_mute(bool mute) { keyboard().mute = mute; }
void set_output_stuck(bool stuck) { keyboard().stuck_output = stuck; }
int status_reads() { return keyboard().status_reads; }

} // namespace sim
