// The simulated PC that host unit tests link in place of the real machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// One port access, as the kernel made it. Tests assert exact sequences on this log.
struct PortAccess {
    enum class Kind { in, out };
    Kind kind;
    uint16_t port;
    uint32_t value;
    int width; // 8, 16 or 32 bits; string transfers log one entry per element
    bool operator==(const PortAccess&) const = default;
};

inline PortAccess out8(uint16_t port, uint32_t value) { return {PortAccess::Kind::out, port, value, 8}; }
inline PortAccess in8(uint16_t port, uint32_t value) { return {PortAccess::Kind::in, port, value, 8}; }

// A device behind some I/O ports. Devices attach themselves to the simulated PC; a port
// that no device claims reads as all ones, like an empty ISA bus.
class Device {
public:
    virtual ~Device() = default;
    virtual bool claims(uint16_t port) const = 0;
    virtual uint32_t read(uint16_t port, int width) = 0;
    virtual void write(uint16_t port, uint32_t value, int width) = 0;
    // A string transfer of `count` 16-bit words, little-endian in memory. By default one
    // access per word; a device may move them as a block where that comes to the same.
    virtual void read_words(uint16_t port, uint8_t* to, uint32_t count);
    virtual void write_words(uint16_t port, const uint8_t* from, uint32_t count);
};

void attach(Device* device);
void detach(Device* device);

// A device behind an index (or address) port and a data port, as the CRT controller, the CMOS
// clock and PCI configuration space are: a write to the index port selects a register, a read
// of it gives the selection back, and the data port reaches the selected register.
class IndexedDevice : public Device {
public:
    constexpr IndexedDevice(uint16_t index_at, uint16_t data_at, uint32_t index_mask)
        : index_port_(index_at), data_port_(data_at), index_mask_(index_mask)
    {
    }
    bool claims(uint16_t port) const final { return port == index_port_ || port == data_port_; }
    uint32_t read(uint16_t port, int width) final { return port == index_port_ ? index : read_data(width); }
    void write(uint16_t port, uint32_t value, int width) final
    {
        if (port == index_port_)
            index = value & index_mask_;
        else
            write_data(value, width);
    }

    // The selected register, as the last write to the index port left it.
    uint32_t index = 0;

protected:
    virtual uint32_t read_data(int width) = 0;
    // A device that takes no writes on its data port ignores them.
    virtual void write_data(uint32_t, int) {}

private:
    uint16_t index_port_;
    uint16_t data_port_;
    uint32_t index_mask_;
};

// The one `D` of the simulated PC. It is attached again each time it is reached, so a test
// that took it off the bus gets it back with its next use of the device.
template <class D>
D& the_device()
{
    static D device;
    attach(&device);
    return device;
}

// Back to power-on: blank text buffer, cursor at 0, interrupts off, empty port log,
// no halts. Devices stay attached; each resets its own state.
void reset();

std::vector<PortAccess>& port_log();
// Logging every access costs memory on long runs (whole-disk benchmarks); on by default.
void set_port_logging(bool on);
// The log restricted to writes to the given ports, in order.
std::vector<PortAccess> writes_to(std::initializer_list<uint16_t> ports);

bool interrupts_enabled();
int halt_count();

// Thrown by hw::halt_forever so that a test can observe a panic instead of hanging.
struct Halted {};

// The 4000-byte text buffer and the CRT controller's cursor (a cell index).
uint8_t* text_buffer();
uint16_t cursor_cell();
void set_cursor_cell(uint16_t cell);
// Row `row` of the screen as text: character bytes 0 shown as spaces, trailing blanks kept.
std::string screen_row(int row);
// The same row without its trailing blanks.
std::string screen_row_trimmed(int row);
// The whole screen, rows joined with '\n', trailing spaces of each row removed.
std::string screen_text();
uint8_t char_at(int row, int col);
uint8_t attr_at(int row, int col);

// Called by hw::halt(): lets a test run "interrupts" while the kernel waits.
using HaltHook = void (*)();
void set_halt_hook(HaltHook hook);

} // namespace sim
