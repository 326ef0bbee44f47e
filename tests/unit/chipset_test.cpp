// The chipset hook: its two port writes in order, the banner, and the handler's status check.
#include "drivers/chipset/chipset.hpp"

#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sim::PortAccess;

constexpr uint16_t control_port = 0x00;
constexpr uint16_t status_port = 0x04;

// The screen as text without the blank rows below the last written one.
std::string screen()
{
    std::string s = sim::screen_text();
    s.erase(s.find_last_not_of('\n') + 1);
    return s;
}

// Ports 0x00 and 0x04 with a status byte the test chooses; writes are only logged.
class ChipsetPorts final : public sim::Device {
public:
    bool claims(uint16_t port) const override { return port == control_port || port == status_port; }
    uint32_t read(uint16_t port, int) override { return port == status_port ? status : 0; }
    void write(uint16_t, uint32_t, int) override {}
    uint8_t status = 0;
};

class Chipset : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::attach(&ports);
    }
    void TearDown() override { sim::detach(&ports); }

    // Every access to the chipset's two ports, in order.
    static std::vector<PortAccess> chipset_accesses()
    {
        std::vector<PortAccess> out;
        for (const PortAccess& a : sim::port_log())
            if (a.port == control_port || a.port == status_port)
                out.push_back(a);
        return out;
    }

    ChipsetPorts ports;
};

TEST_F(Chipset, InitWritesControlThenStatusAndAnnouncesEachTime)
{
    tavix::init_chipset();
    const std::vector<PortAccess> once = {sim::out8(control_port, 0x01), sim::out8(status_port, 0x00)};
    EXPECT_EQ(chipset_accesses(), once);
    EXPECT_EQ(screen(), "\nUniversal chipset driver UCD v.1.0.0\nInfo: Chipset initialized successfully.");
    EXPECT_EQ(sim::cursor_cell(), 4 * 80);

    tavix::init_chipset();
    const std::vector<PortAccess> twice = {sim::out8(control_port, 0x01), sim::out8(status_port, 0x00),
                                           sim::out8(control_port, 0x01), sim::out8(status_port, 0x00)};
    EXPECT_EQ(chipset_accesses(), twice);
    EXPECT_EQ(screen(), "\nUniversal chipset driver UCD v.1.0.0\nInfo: Chipset initialized successfully.\n"
                        "\n\nUniversal chipset driver UCD v.1.0.0\nInfo: Chipset initialized successfully.");
    EXPECT_EQ(sim::cursor_cell(), 8 * 80);
}

TEST_F(Chipset, HandlerReportsOnlyWhenTheStatusBitIsSet)
{
    // Bit 0 clear, every other bit set: silence. The handler never looks at the frame.
    ports.status = 0xFE;
    tavix::interrupt_handler(nullptr);
    EXPECT_EQ(screen(), "");
    EXPECT_EQ(chipset_accesses(), std::vector<PortAccess>{sim::in8(status_port, 0xFE)});

    ports.status = 0x01;
    tavix::interrupt_handler(nullptr);
    EXPECT_EQ(screen(), "Interrupt from chipset detected.");
    EXPECT_EQ(sim::cursor_cell(), 80);
    // The handler acknowledges nothing itself: no write reaches either interrupt controller.
    EXPECT_TRUE(sim::writes_to({0x20, 0xA0}).empty());
    EXPECT_TRUE(sim::writes_to({control_port, status_port}).empty());
}

} // namespace
