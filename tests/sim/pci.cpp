// The simulated PCI configuration space: mechanism #1 on ports 0xCF8 (address) and 0xCFC (data).
#include "tests/sim/pci.hpp"

#include "tests/sim/sim.hpp"

#include <map>
#include <set>
#include <tuple>

namespace sim {

namespace {

constexpr uint16_t address_port = 0xCF8;
constexpr uint16_t data_port = 0xCFC;
constexpr uint32_t enable_bit = 0x80000000;
constexpr uint32_t all_ones = 0xFFFFFFFF;
// Programming interface 0x80 and revision 1 in the low half of the class register, so that
// a reader which fails to pick out its byte shows it.
constexpr uint32_t class_register_filler = 0x8001;

// (bus, slot, function, register) as the address port encodes them.
using RegisterKey = std::tuple<uint8_t, uint8_t, uint8_t, uint8_t>;
using FunctionKey = std::tuple<uint8_t, uint8_t, uint8_t>;

RegisterKey decode(uint32_t address)
{
    return {static_cast<uint8_t>(address >> 16), static_cast<uint8_t>((address >> 11) & 0x1F),
            static_cast<uint8_t>((address >> 8) & 0x07), static_cast<uint8_t>(address & 0xFC)};
}

} // namespace

// The address port is the index: it selects the register that the data port reads.
class PciBus final : public IndexedDevice {
public:
    PciBus() : IndexedDevice(address_port, data_port, all_ones) {}

    uint32_t read_data(int) override
    {
        if ((index & enable_bit) == 0)
            return all_ones;
        const RegisterKey key = decode(index);
        const auto& [bus, slot, func, offset] = key;
        if (functions.count({bus, slot, func}) == 0)
            return all_ones;
        ++reads[key];
        auto reg = registers.find(key);
        return reg == registers.end() ? 0 : reg->second;
    }

    std::set<FunctionKey> functions;
    std::map<RegisterKey, uint32_t> registers;
    std::map<RegisterKey, int> reads;
};

PciBus& pci() { return the_device<PciBus>(); }

void pci_reset() { pci() = PciBus{}; }

void pci_set_register(uint8_t bus, uint8_t slot, uint8_t func, uint8_t offset, uint32_t value)
{
    PciBus& b = pci();
    b.functions.insert({bus, slot, func});
    b.registers[{bus, slot, func, offset}] = value;
}

void pci_add_function(uint8_t bus, uint8_t slot, uint8_t func, uint16_t vendor, uint16_t device,
                      uint8_t class_code, uint8_t subclass_code, uint32_t bar0)
{
    pci_set_register(bus, slot, func, 0x00, static_cast<uint32_t>(device) << 16 | vendor);
    pci_set_register(bus, slot, func, 0x08,
                     static_cast<uint32_t>(class_code) << 24 | static_cast<uint32_t>(subclass_code) << 16 | class_register_filler);
    pci_set_register(bus, slot, func, 0x10, bar0);
}

int pci_reads(uint8_t bus, uint8_t slot, uint8_t func, uint8_t offset)
{
    PciBus& b = pci();
    auto it = b.reads.find({bus, slot, func, offset});
    return it == b.reads.end() ? 0 : it->second;
}

} // namespace sim
