// The simulated keyboard controller: a queue of scancodes behind ports 0x60 and 0x64.
#include "tests/sim/keyboard.hpp"

#include "arch/hw.hpp"
#include "cpu/idt.hpp"
#include "tests/sim/sim.hpp"

#include <stdexcept>

namespace sim {

namespace {

constexpr uint16_t data_port = 0x60;
constexpr uint16_t status_port = 0x64;
constexpr uint8_t status_output_full = 0x01;
constexpr uint8_t command_pulse_reset = 0xFE;
constexpr uint32_t keyboard_vector = 33;
constexpr uint8_t release_flag = 0x80;
constexpr uint8_t left_shift = 42;
constexpr uint8_t enter = 28;

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
        return {enter, false};
    for (int r = 0; r < 4; ++r) {
        if (size_t i = rows_low[r].find(c); i != std::string::npos)
            return {static_cast<uint8_t>(first_key[r] + i), false};
        if (size_t i = rows_high[r].find(c); i != std::string::npos)
            return {static_cast<uint8_t>(first_key[r] + i), true};
    }
    throw std::invalid_argument(std::string("no key types ") + c);
}

} // namespace

class Keyboard final : public Device {
public:
    bool claims(uint16_t port) const override { return port == data_port || port == status_port; }
    uint32_t read(uint16_t port, int) override
    {
        if (port == data_port)
            return data;
        return pending.empty() ? 0 : status_output_full;
    }
    void write(uint16_t port, uint32_t value, int) override
    {
        if (port == status_port && value == command_pulse_reset)
            ++resets;
    }

    std::deque<uint8_t> pending;
    uint8_t data = 0;
    int resets = 0;
};

Keyboard& keyboard()
{
    static Keyboard kb;
    attach(&kb);
    return kb;
}

void keyboard_reset()
{
    Keyboard& kb = keyboard();
    kb.pending.clear();
    kb.data = 0;
    kb.resets = 0;
}

void queue_scancode(uint8_t scancode) { keyboard().pending.push_back(scancode); }

void queue_key(uint8_t key_number)
{
    queue_scancode(key_number);
    queue_scancode(static_cast<uint8_t>(key_number | release_flag));
}

void queue_text(const std::string& text)
{
    for (char c : text) {
        const key_for_char k = lookup(c);
        if (k.shift)
            queue_scancode(left_shift);
        queue_key(k.key);
        if (k.shift)
            queue_scancode(left_shift | release_flag);
    }
}

size_t queued_scancodes() { return keyboard().pending.size(); }

void deliver(uint8_t scancode)
{
    keyboard().data = scancode;
    const bool was_enabled = interrupts_enabled();
    tavix::hw::disable_interrupts();
    tavix::InterruptRegisters regs{};
    regs.int_no = keyboard_vector;
    irq_handler(&regs);
    if (was_enabled)
        tavix::hw::enable_interrupts();
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
    deliver(static_cast<uint8_t>(key_number | release_flag));
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

} // namespace sim
