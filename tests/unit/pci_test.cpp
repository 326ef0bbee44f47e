// The PCI scan against the simulated configuration space (addresses, skips, the full table,
// the listing on screen) and the chipset hook's port writes and handler.
#include "drivers/pci.hpp"

#include "drivers/chipset/chipset.hpp"
#include "tests/sim/pci.hpp"
#include "tests/unit/shell_support.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using sim::PortAccess;

constexpr uint16_t address_port = 0xCF8;
constexpr uint16_t data_port = 0xCFC;

const std::string heading = "Detected PCI Devices:\n"
                            "Vendor ID   Device ID   Class Code  Subclass Code Base Address  Model\n"
                            "-----------------------------------------------------------------------";

class Pci : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::pci_reset();
        tavix::pci_device_count = 0;
        std::memset(tavix::pci_devices, 0, sizeof tavix::pci_devices);
    }

    // The configuration addresses written to 0xCF8, in order.
    static std::vector<uint32_t> addresses()
    {
        std::vector<uint32_t> out;
        for (const PortAccess& a : sim::writes_to({address_port}))
            out.push_back(a.value);
        return out;
    }

    // The stored table as "vendor device class subclass bar0" rows in hex; the interface and
    // model, which nothing fills in, must stay zero.
    static std::vector<std::string> table()
    {
        std::vector<std::string> rows;
        for (int i = 0; i < tavix::pci_device_count; ++i) {
            const tavix::pci_device& d = tavix::pci_devices[i];
            char row[64];
            std::snprintf(row, sizeof row, "%x %x %x %x %x", d.vendor_id, d.device_id, d.class_code,
                          d.subclass_code, d.base_address);
            rows.push_back(row);
            EXPECT_EQ(d.interface, 0) << i;
            EXPECT_EQ(std::string(d.model, sizeof d.model), std::string(sizeof d.model, '\0')) << i;
        }
        return rows;
    }
};

TEST_F(Pci, ConfigurationAddressAndFieldsTooWideForIt)
{
    sim::pci_set_register(0x12, 0x1F, 7, 0x3C, 0xCAFEF00D);
    // The two low offset bits select bytes inside the register and are not part of the address.
    EXPECT_EQ(tavix::pci_read_dword(0x12, 0x1F, 7, 0x3F), 0xCAFEF00Du);
    const std::vector<PortAccess> expected = {
        {PortAccess::Kind::out, address_port, 0x8012FF3C, 32},
        {PortAccess::Kind::in, data_port, 0xCAFEF00D, 32},
    };
    EXPECT_EQ(sim::port_log(), expected);
    sim::reset();
    EXPECT_EQ(tavix::pci_read_dword(0xFF, 0x1F, 7, 0xFF), 0xFFFFFFFFu); // no such function
    EXPECT_EQ(addresses(), std::vector<uint32_t>{0x80FFFFFC});

    // Wider values read as absent without port access: slot 32 would otherwise land on bus 1
    // slot 0, function 8 on slot 1, and so on.
    sim::reset();
    sim::pci_add_function(1, 0, 0, 0x8086, 0x1237, 6, 0, 0);
    sim::pci_add_function(0, 1, 0, 0x8086, 0x7000, 6, 1, 0);
    EXPECT_EQ(tavix::pci_read_dword(0, 32, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(tavix::pci_read_dword(0, 0, 8, 0), 0xFFFFFFFFu);
    EXPECT_EQ(tavix::pci_read_dword(0x100, 0, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(tavix::pci_read_dword(1, 0, 0, 0x100), 0xFFFFFFFFu);
    EXPECT_TRUE(sim::port_log().empty());
}

TEST_F(Pci, EmptyBusPrintsTheHeadingAndProbesTheWindowInOrder)
{
    tavix::init_pci();
    EXPECT_EQ(tavix::pci_device_count, 0);
    EXPECT_EQ(shell_test::screen(), heading);
    EXPECT_EQ(sim::cursor_cell(), 3 * 80);
    // Register 0 of each function of 20 buses x 4 slots x 8 functions, bus outermost, and
    // nothing else: no function answered, so no further register is read.
    std::vector<uint32_t> expected;
    for (uint32_t bus = 0; bus < 20; ++bus)
        for (uint32_t slot = 0; slot < 4; ++slot)
            for (uint32_t func = 0; func < 8; ++func)
                expected.push_back(0x80000000 | bus << 16 | slot << 11 | func << 8);
    EXPECT_EQ(addresses(), expected);
}

TEST_F(Pci, ScanStoresAndPrintsTheWindowInOrderSkippingHalfAbsentIdentities)
{
    // Added out of order; the corners of the window and two just outside it.
    sim::pci_add_function(19, 3, 7, 0x1AF4, 0x1000, 0x02, 0x00, 0xC041);
    sim::pci_add_function(0, 1, 1, 0x8086, 0x7010, 0x01, 0x01, 0);
    sim::pci_add_function(0, 0, 0, 0x8086, 0x1237, 0x06, 0x00, 0);
    sim::pci_add_function(0, 2, 0, 0x1234, 0x1111, 0x03, 0x00, 0xFD000008);
    sim::pci_add_function(0, 4, 0, 0x10EC, 0x8139, 0x02, 0x00, 0xC001);  // slot 4: outside
    sim::pci_add_function(20, 0, 0, 0x10EC, 0x8139, 0x02, 0x00, 0xC001); // bus 20: outside
    // Vendor all ones with a valid device, and the other way round.
    sim::pci_set_register(0, 3, 0, 0x00, 0x1237FFFF);
    sim::pci_set_register(0, 3, 0, 0x08, 0x06000000);
    sim::pci_set_register(0, 3, 1, 0x00, 0xFFFF8086);
    sim::pci_set_register(0, 3, 1, 0x08, 0x06000000);

    tavix::init_pci();

    EXPECT_EQ(table(), (std::vector<std::string>{"8086 1237 6 0 0", "8086 7010 1 1 0", "1234 1111 3 0 fd000008",
                                                 "1af4 1000 2 0 c041"}));
    EXPECT_EQ(tavix::pci_devices[4].vendor_id, 0);
    EXPECT_EQ(shell_test::screen(), heading + "\n"
                        " 0x8086      0x1237      0x6         0x0           0x0           \"\"\n"
                        " 0x8086      0x7010      0x1         0x1           0x0           \"\"\n"
                        " 0x1234      0x1111      0x3         0x0           0xFD000008           \"\"\n"
                        " 0x1AF4      0x1000      0x2         0x0           0xC041           \"\"");
    // Per stored function: identity, the class register twice, BAR 0 and the model register.
    EXPECT_EQ(sim::pci_reads(0, 1, 1, 0x00), 1);
    EXPECT_EQ(sim::pci_reads(0, 1, 1, 0x08), 2);
    EXPECT_EQ(sim::pci_reads(0, 1, 1, 0x10), 1);
    EXPECT_EQ(sim::pci_reads(0, 1, 1, 0x20), 1);
    EXPECT_EQ(sim::pci_reads(0, 3, 0, 0x08), 0);
    EXPECT_EQ(sim::pci_reads(0, 3, 1, 0x08), 0);
    EXPECT_EQ(sim::pci_reads(0, 4, 0, 0x00), 0);
    EXPECT_EQ(sim::pci_reads(20, 0, 0, 0x00), 0);

    // The table is not reset: a second scan appends the same functions again.
    tavix::init_pci();
    ASSERT_EQ(tavix::pci_device_count, 8);
    EXPECT_EQ(tavix::pci_devices[4].device_id, 0x1237);
    EXPECT_EQ(tavix::pci_devices[7].device_id, 0x1000);
}

TEST_F(Pci, FullTableDropsFurtherFunctionsButTheScanGoesOn)
{
    // Every function of buses 0-8: 288 of them, BAR 0 numbering them from 0x1000 up.
    uint32_t index = 0;
    for (uint8_t bus = 0; bus < 9; ++bus)
        for (uint8_t slot = 0; slot < 4; ++slot)
            for (uint8_t func = 0; func < 8; ++func, ++index)
                sim::pci_add_function(bus, slot, func, 0x8086, static_cast<uint16_t>(index), 0x02, 0x80,
                                      0x1000 + index);
    // The 257th function is bus 8 slot 0 function 0; the last one of the window comes after.
    sim::pci_add_function(19, 3, 7, 0x1AF4, 0x1001, 0x01, 0x00, 0xBEEF);

    tavix::detect_pci_devices();

    EXPECT_EQ(tavix::pci_device_count, 256);
    EXPECT_EQ(tavix::pci_devices[255].base_address, 0x10FFu);
    EXPECT_EQ(tavix::pci_devices[255].device_id, 255);
    // The dropped functions are probed but neither BAR 0 nor the model register is read.
    EXPECT_EQ(sim::pci_reads(8, 0, 0, 0x00), 1);
    EXPECT_EQ(sim::pci_reads(8, 0, 0, 0x10), 0);
    EXPECT_EQ(sim::pci_reads(8, 0, 0, 0x20), 0);
    EXPECT_EQ(sim::pci_reads(19, 3, 7, 0x00), 1);
    EXPECT_EQ(sim::pci_reads(19, 3, 7, 0x10), 0);
    // The last row printed is the 256th function's, and nothing follows it.
    EXPECT_EQ(sim::cursor_cell(), 24 * 80);
    EXPECT_EQ(sim::screen_row(23), " 0x8086      0xFF      0x2         0x80           0x10FF           \"\"" +
                                       std::string(11, ' '));
    EXPECT_EQ(shell_test::screen().find("0xBEEF"), std::string::npos);

    // A second scan appends nothing more to a full table.
    sim::reset();
    tavix::init_pci();
    EXPECT_EQ(tavix::pci_device_count, 256);
    EXPECT_EQ(shell_test::screen(), heading);
}

TEST_F(Pci, ModelRegisterIsReadAndDeviceInfoIsOneLine)
{
    sim::pci_add_function(0, 3, 2, 0x8086, 0x7113, 0x06, 0x80, 0);
    tavix::pci_device d = {0x8086, 0x7010, 0x01, 0x01, 0, 0xC001, "kept"};
    tavix::fetch_pci_device_model(&d, 0, 3, 2);
    EXPECT_STREQ(d.model, "kept");
    EXPECT_EQ(addresses(), std::vector<uint32_t>{0x80001A20});
    EXPECT_EQ(sim::pci_reads(0, 3, 2, 0x20), 1);

    tavix::print_pci_device_info(&d);
    d.model[0] = 0;
    tavix::print_pci_device_info(&d);
    EXPECT_EQ(shell_test::screen(), "0x8086 0x7010 0x1 0x1 0xC001 kept\n0x8086 0x7010 0x1 0x1 0xC001");
    EXPECT_EQ(sim::char_at(1, 28), ' ');
    EXPECT_EQ(sim::cursor_cell(), 2 * 80);
}

// Ports 0x00 and 0x04 with a status byte the test chooses; writes are only logged.
class ChipsetPorts final : public sim::Device {
public:
    bool claims(uint16_t port) const override { return port == 0x00 || port == 0x04; }
    uint32_t read(uint16_t port, int) override { return port == 0x04 ? status : 0; }
    void write(uint16_t, uint32_t, int) override {}
    uint8_t status = 0;
};

// Every access to the chipset's two ports, in order.
std::vector<PortAccess> chipset_accesses()
{
    std::vector<PortAccess> out;
    for (const PortAccess& a : sim::port_log())
        if (a.port == 0x00 || a.port == 0x04)
            out.push_back(a);
    return out;
}

TEST(Chipset, InitWritesControlThenStatusAndTheHandlerReportsTheStatusBit)
{
    sim::reset();
    ChipsetPorts ports;
    sim::attach(&ports);
    tavix::init_chipset();
    tavix::init_chipset();
    const PortAccess control = sim::out8(0x00, 0x01);
    const PortAccess status = sim::out8(0x04, 0x00);
    EXPECT_EQ(chipset_accesses(), (std::vector<PortAccess>{control, status, control, status}));
    const std::string banner = "\nUniversal chipset driver UCD v.1.0.0\nInfo: Chipset initialized successfully.";
    EXPECT_EQ(shell_test::screen(), banner + "\n\n" + banner);
    EXPECT_EQ(sim::cursor_cell(), 8 * 80);

    // Bit 0 clear, every other bit set: silence. The handler never looks at the frame.
    sim::reset();
    ports.status = 0xFE;
    tavix::interrupt_handler(nullptr);
    EXPECT_EQ(shell_test::screen(), "");
    EXPECT_EQ(chipset_accesses(), std::vector<PortAccess>{sim::in8(0x04, 0xFE)});
    ports.status = 0x01;
    tavix::interrupt_handler(nullptr);
    EXPECT_EQ(shell_test::screen(), "Interrupt from chipset detected.");
    EXPECT_EQ(sim::cursor_cell(), 80);
    // It acknowledges nothing itself: no write reaches either interrupt controller.
    EXPECT_TRUE(sim::writes_to({0x20, 0xA0, 0x00, 0x04}).empty());
    sim::detach(&ports);
}

} // namespace
