// The PCI bus scan: configuration reads through mechanism #1 and the table of functions found.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tavix {

constexpr int pci_model_bytes = 64;
constexpr int pci_max_devices = 256;

struct pci_device {
    uint16_t vendor_id;
    uint16_t device_id;
    uint8_t class_code;
    uint8_t subclass_code;
    uint8_t interface; // never read from the device; stays 0
    uint32_t base_address; // BAR 0, raw
    char model[pci_model_bytes]; // no source of model names exists; stays empty
};
static_assert(offsetof(pci_device, vendor_id) == 0);
static_assert(offsetof(pci_device, device_id) == 2);
static_assert(offsetof(pci_device, class_code) == 4);
static_assert(offsetof(pci_device, subclass_code) == 5);
static_assert(offsetof(pci_device, interface) == 6);
static_assert(offsetof(pci_device, base_address) == 8);
static_assert(offsetof(pci_device, model) == 12);
static_assert(sizeof(pci_device) == 76);

extern pci_device pci_devices[pci_max_devices];
extern int32_t pci_device_count;

// A bus, slot, function or register outside what the configuration address can carry
// reads as an absent function (all ones) without touching the ports.
uint32_t pci_read_dword(uint16_t bus, uint16_t slot, uint16_t func, uint16_t offset);
void fetch_pci_device_model(pci_device* device, uint16_t bus, uint16_t slot, uint16_t func);
void detect_pci_devices();
void print_pci_device_info(pci_device* device);
void init_pci();

} // namespace tavix
