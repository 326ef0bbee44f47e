// The simulated PC itself: the port bus and the CRT controller behave like the hardware.
#include "tests/sim/sim.hpp"

#include "arch/hw.hpp"

#include <gtest/gtest.h>

using namespace tavix;

TEST(Sim, EmptyBusReadsAllOnesAndIsLogged)
{
    sim::reset();
    EXPECT_EQ(hw::in8(0x1234), 0xFF);
    EXPECT_EQ(hw::in16(0x1234), 0xFFFF);
    EXPECT_EQ(hw::in32(0x1234), 0xFFFFFFFFu);
    ASSERT_EQ(sim::port_log().size(), 3u);
    EXPECT_EQ(sim::port_log()[0], sim::in8(0x1234, 0xFF));
}

TEST(Sim, CrtcCursorRegistersRoundTrip)
{
    sim::reset();
    hw::out8(0x3D4, 0x0E);
    hw::out8(0x3D5, 0x07);
    hw::out8(0x3D4, 0x0F);
    hw::out8(0x3D5, 0xCF);
    EXPECT_EQ(sim::cursor_cell(), 0x07CF);
    hw::out8(0x3D4, 0x0E);
    EXPECT_EQ(hw::in8(0x3D5), 0x07);
}

TEST(Sim, HaltForeverIsObservable)
{
    sim::reset();
    EXPECT_THROW(hw::halt_forever(), sim::Halted);
    EXPECT_EQ(sim::halt_count(), 1);
}
