// The simulated PCI configuration space: mechanism #1 on ports 0xCF8 (address) and 0xCFC (data).
#pragma once

#include <cstdint>

namespace sim {

// Holds the registers of the functions a test puts on the bus. The data port answers for
// the function and register latched in the address port: all ones when the enable bit is
// clear or no such function exists, 0 for a register of a present function never set.
class PciBus;

// The one PCI bus of the simulated PC, attached on first use. Reset it in each test.
PciBus& pci();

// Removes every function and clears the latched address.
void pci_reset();
// Sets one 32-bit configuration register; the function exists from then on.
void pci_set_register(uint8_t bus, uint8_t slot, uint8_t func, uint8_t offset, uint32_t value);
// Adds a function with its identity registers: 0x00 (device:vendor), 0x08 (class, subclass
// in the top two bytes, programming interface 0x80 and revision 1 below) and 0x10 (BAR 0).
void pci_add_function(uint8_t bus, uint8_t slot, uint8_t func, uint16_t vendor, uint16_t device,
                      uint8_t class_code, uint8_t subclass_code, uint32_t bar0);
// Data-port reads that found the enable bit set and the given register of the given function.
int pci_reads(uint8_t bus, uint8_t slot, uint8_t func, uint8_t offset);

} // namespace sim
