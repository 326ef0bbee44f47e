// The simulated PC's port bus, interrupt flag, halts and text screen.
#include "tests/sim/sim.hpp"

#include "arch/hw.hpp"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr uint16_t crtc_index_port = 0x3D4;
constexpr uint16_t crtc_data_port = 0x3D5;
constexpr uint8_t crtc_cursor_high = 0x0E;
constexpr uint8_t crtc_cursor_low = 0x0F;
constexpr uint32_t crtc_index_mask = 0xFF; // the index register is 8 bits wide
constexpr int screen_columns = 80;
constexpr int screen_rows = 25;
constexpr int text_buffer_bytes = screen_columns * screen_rows * 2;

std::vector<Device*> devices;
std::vector<PortAccess> log;
bool interrupts = false;
bool logging = true;
int halts = 0;
HaltHook halt_hook = nullptr;
uint8_t text[text_buffer_bytes];

// The CRT controller: an index register and the two cursor-location registers.
class Crtc final : public IndexedDevice {
public:
    constexpr Crtc() : IndexedDevice(crtc_index_port, crtc_data_port, crtc_index_mask) {}
    uint32_t read_data(int) override
    {
        if (index == crtc_cursor_high)
            return cursor >> 8;
        if (index == crtc_cursor_low)
            return cursor & 0xFF;
        return 0;
    }
    void write_data(uint32_t value, int) override
    {
        if (index == crtc_cursor_high)
            cursor = static_cast<uint16_t>((cursor & 0x00FF) | ((value & 0xFF) << 8));
        else if (index == crtc_cursor_low)
            cursor = static_cast<uint16_t>((cursor & 0xFF00) | (value & 0xFF));
    }
    uint16_t cursor = 0;
};

Crtc crtc;

Device* owner(uint16_t port)
{
    if (crtc.claims(port))
        return &crtc;
    for (Device* d : devices) {
        if (d->claims(port))
            return d;
    }
    return nullptr;
}

// One access to a device already looked up: string transfers find their port's owner once,
// not once per element, so that moving a sector costs what the device does with it.
uint32_t port_in_from(Device* d, uint16_t port, int width)
{
    uint32_t all_ones = width == 32 ? 0xFFFFFFFFu : (1u << width) - 1;
    uint32_t value = d ? d->read(port, width) & all_ones : all_ones;
    if (logging)
        log.push_back({PortAccess::Kind::in, port, value, width});
    return value;
}

void port_out_to(Device* d, uint16_t port, uint32_t value, int width)
{
    if (logging)
        log.push_back({PortAccess::Kind::out, port, value, width});
    if (d)
        d->write(port, value, width);
}

uint32_t port_in(uint16_t port, int width) { return port_in_from(owner(port), port, width); }
void port_out(uint16_t port, uint32_t value, int width) { port_out_to(owner(port), port, value, width); }

} // namespace

void Device::read_words(uint16_t port, uint8_t* to, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t w = read(port, 16);
        to[2 * i] = static_cast<uint8_t>(w);
        to[2 * i + 1] = static_cast<uint8_t>(w >> 8);
    }
}

void Device::write_words(uint16_t port, const uint8_t* from, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        write(port, static_cast<uint16_t>(from[2 * i] | (from[2 * i + 1] << 8)), 16);
}

void attach(Device* device)
{
    if (std::find(devices.begin(), devices.end(), device) == devices.end())
        devices.push_back(device);
}

void detach(Device* device) { devices.erase(std::remove(devices.begin(), devices.end(), device), devices.end()); }

void reset()
{
    log.clear();
    logging = true;
    interrupts = false;
    halts = 0;
    halt_hook = nullptr;
    std::memset(text, 0, sizeof text);
    crtc = Crtc{};
}

std::vector<PortAccess>& port_log() { return log; }
void set_port_logging(bool on) { logging = on; }

std::vector<PortAccess> writes_to(std::initializer_list<uint16_t> ports)
{
    std::vector<PortAccess> out;
    for (const PortAccess& a : log) {
        if (a.kind == PortAccess::Kind::out && std::find(ports.begin(), ports.end(), a.port) != ports.end())
            out.push_back(a);
    }
    return out;
}

bool interrupts_enabled() { return interrupts; }
int halt_count() { return halts; }
void set_halt_hook(HaltHook hook) { halt_hook = hook; }

uint8_t* text_buffer() { return text; }
uint16_t cursor_cell() { return crtc.cursor; }
void set_cursor_cell(uint16_t cell) { crtc.cursor = cell; }

uint8_t char_at(int row, int col) { return text[(row * screen_columns + col) * 2]; }
uint8_t attr_at(int row, int col) { return text[(row * screen_columns + col) * 2 + 1]; }

std::string screen_row(int row)
{
    std::string s;
    for (int col = 0; col < screen_columns; ++col) {
        uint8_t c = char_at(row, col);
        s.push_back(c == 0 ? ' ' : static_cast<char>(c));
    }
    return s;
}

std::string screen_row_trimmed(int row)
{
    std::string s = screen_row(row);
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
}

std::string screen_text()
{
    std::string all;
    for (int row = 0; row < screen_rows; ++row) {
        all += screen_row_trimmed(row);
        if (row + 1 < screen_rows)
            all += '\n';
    }
    return all;
}

} // namespace sim

namespace tavix::hw {

uint8_t in8(uint16_t port) { return static_cast<uint8_t>(sim::port_in(port, 8)); }
uint16_t in16(uint16_t port) { return static_cast<uint16_t>(sim::port_in(port, 16)); }
uint32_t in32(uint16_t port) { return sim::port_in(port, 32); }
void out8(uint16_t port, uint8_t value) { sim::port_out(port, value, 8); }
void out16(uint16_t port, uint16_t value) { sim::port_out(port, value, 16); }
void out32(uint16_t port, uint32_t value) { sim::port_out(port, value, 32); }

// With the log off (long runs), a device moves the words as a block; with it on, each word is
// one logged access, as the tests that check port sequences expect.
void rep_insw(uint16_t port, void* addr, uint32_t count)
{
    auto* p = static_cast<uint8_t*>(addr);
    sim::Device* d = sim::owner(port);
    if (d && !sim::logging) {
        d->read_words(port, p, count);
        return;
    }
    for (uint32_t i = 0; i < count; ++i) {
        auto w = static_cast<uint16_t>(sim::port_in_from(d, port, 16));
        p[2 * i] = static_cast<uint8_t>(w);
        p[2 * i + 1] = static_cast<uint8_t>(w >> 8);
    }
}

void rep_outsw(uint16_t port, const void* addr, uint32_t count)
{
    auto* p = static_cast<const uint8_t*>(addr);
    sim::Device* d = sim::owner(port);
    if (d && !sim::logging) {
        d->write_words(port, p, count);
        return;
    }
    for (uint32_t i = 0; i < count; ++i)
        sim::port_out_to(d, port, static_cast<uint16_t>(p[2 * i] | (p[2 * i + 1] << 8)), 16);
}

void rep_insb(uint16_t port, void* addr, uint32_t count)
{
    auto* p = static_cast<uint8_t*>(addr);
    sim::Device* d = sim::owner(port);
    for (uint32_t i = 0; i < count; ++i)
        p[i] = static_cast<uint8_t>(sim::port_in_from(d, port, 8));
}

void disable_interrupts() { sim::interrupts = false; }
void enable_interrupts() { sim::interrupts = true; }

void halt()
{
    ++sim::halts;
    if (sim::halt_hook)
        sim::halt_hook();
}

void halt_forever()
{
    ++sim::halts;
    throw sim::Halted{};
}

volatile uint8_t* text_buffer() { return sim::text; }

} // namespace tavix::hw
