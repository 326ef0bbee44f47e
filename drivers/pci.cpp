// The PCI bus scan: configuration reads through mechanism #1 and the table of functions found.
#include "drivers/pci.hpp"

#include "general/stdio.hpp"
#include "io/iotools.hpp"

namespace tavix {

namespace {

constexpr uint16_t config_address_port = 0xCF8;
constexpr uint16_t config_data_port = 0xCFC;

// Layout of the configuration address written to 0xCF8.
constexpr uint32_t config_enable = 0x80000000;
constexpr int bus_shift = 16;
constexpr int slot_shift = 11;
constexpr int func_shift = 8;
constexpr uint16_t register_mask = 0xFC; // registers are dword aligned

// The widest value each field of the address can hold.
constexpr uint16_t max_bus = 0xFF;
constexpr uint16_t max_slot = 0x1F;
constexpr uint16_t max_func = 0x07;
constexpr uint16_t max_register = 0xFF;

constexpr uint32_t absent_function = 0xFFFFFFFF;

// Configuration registers the scan reads.
constexpr uint16_t id_register = 0x00;
constexpr uint16_t class_register = 0x08;
constexpr uint16_t bar0_register = 0x10;
constexpr uint16_t model_register = 0x20;

constexpr uint32_t half_mask = 0xFFFF;
constexpr int half_shift = 16;
constexpr uint16_t absent_id = 0xFFFF;
constexpr int class_shift = 24;
constexpr int subclass_shift = 16;
constexpr uint32_t byte_mask = 0xFF;

// The scan looks at a fixed window of the configuration space, not all of it.
constexpr uint16_t scan_buses = 20;
constexpr uint16_t scan_slots = 4;
constexpr uint16_t scan_functions = 8;

} // namespace

constinit pci_device pci_devices[pci_max_devices] = {};
constinit int32_t pci_device_count = 0;

uint32_t pci_read_dword(uint16_t bus, uint16_t slot, uint16_t func, uint16_t offset)
{
    // A wider value would spill into the neighbouring field and read some other function.
    if (bus > max_bus || slot > max_slot || func > max_func || offset > max_register)
        return absent_function;

    const uint32_t address = config_enable | static_cast<uint32_t>(bus) << bus_shift |
                             static_cast<uint32_t>(slot) << slot_shift |
                             static_cast<uint32_t>(func) << func_shift |
                             static_cast<uint32_t>(offset & register_mask);
    port_dword_out(config_address_port, address);
    return port_dword_in(config_data_port);
}

void fetch_pci_device_model(pci_device*, uint16_t bus, uint16_t slot, uint16_t func)
{
    // FIXME: nothing maps this register to a model name yet, so the model stays empty.
    (void)pci_read_dword(bus, slot, func, model_register);
}

void detect_pci_devices()
{
    printf("Detected PCI Devices:\n");
    printf("Vendor ID   Device ID   Class Code  Subclass Code Base Address  Model\n");
    printf("-----------------------------------------------------------------------\n");

    for (uint16_t bus = 0; bus < scan_buses; ++bus) {
        for (uint16_t slot = 0; slot < scan_slots; ++slot) {
            for (uint16_t func = 0; func < scan_functions; ++func) {
                const uint32_t ids = pci_read_dword(bus, slot, func, id_register);
                const auto vendor = static_cast<uint16_t>(ids & half_mask);
                const auto device = static_cast<uint16_t>(ids >> half_shift);
                if (device == absent_id || vendor == absent_id)
                    continue;

                const auto class_code =
                    static_cast<uint8_t>(pci_read_dword(bus, slot, func, class_register) >> class_shift);
                const auto subclass_code = static_cast<uint8_t>(
                    (pci_read_dword(bus, slot, func, class_register) >> subclass_shift) & byte_mask);

                // A full table drops the function but the scan still walks the whole window.
                if (pci_device_count >= pci_max_devices)
                    continue;

                pci_device& entry = pci_devices[pci_device_count];
                entry.vendor_id = vendor;
                entry.device_id = device;
                entry.class_code = class_code;
                entry.subclass_code = subclass_code;
                entry.base_address = pci_read_dword(bus, slot, func, bar0_register);
                fetch_pci_device_model(&entry, bus, slot, func);

                printf(" %x      %x      %x         %x           %x           \"%s\"\n", entry.vendor_id,
                       entry.device_id, entry.class_code, entry.subclass_code, entry.base_address, entry.model);
                ++pci_device_count;
            }
        }
    }
}

void print_pci_device_info(pci_device* device)
{
    printf("%x %x %x %x %x %s\n", device->vendor_id, device->device_id, device->class_code, device->subclass_code,
           device->base_address, device->model);
}

void init_pci() { detect_pci_devices(); }

} // namespace tavix
