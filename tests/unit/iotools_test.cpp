// Port wrappers, the source-first memcpy, memset, and the two machine-control operations.
#include "io/iotools.hpp"

#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// Answers every read of its ports with the next value of a counter and records writes. As
// the keyboard controller, `busy_reads` status reads report a full input buffer first
// (every one of them, when negative).
class Device final : public sim::Device {
public:
    Device(uint16_t port, uint32_t first, int busy = 0) : port_(port), next_(first), busy_reads(busy)
    {
        sim::attach(this);
    }
    ~Device() override { sim::detach(this); }
    bool claims(uint16_t port) const override { return port == port_; }
    uint32_t read(uint16_t, int) override
    {
        ++reads;
        if (busy_reads < 0 || reads <= busy_reads)
            return 0x1E; // input buffer full, other status bits set too
        return next_++;
    }
    void write(uint16_t, uint32_t value, int width) override { written.push_back({value, width}); }
    std::vector<std::pair<uint32_t, int>> written;
    int reads = 0;

private:
    uint16_t port_;
    uint32_t next_;
    int busy_reads;
};

using Writes = std::vector<std::pair<uint32_t, int>>;

class IoTools : public ::testing::Test {
protected:
    void SetUp() override { sim::reset(); }
};

TEST_F(IoTools, PortWrappersAndStringTransfersUseTheirWidth)
{
    Device port(0x1F0, 0xBEEFFFFEu);
    EXPECT_EQ(tavix::port_word_in(0x1F0), 0xFFFE);
    EXPECT_EQ(tavix::port_byte_in(0x1F0), 0xFF);
    EXPECT_EQ(tavix::port_dword_in(0x1F0), 0xBEF00000u);
    tavix::port_byte_out(0x1F0, 0xAB);
    tavix::port_word_out(0x1F0, 0xABCD);
    tavix::port_dword_out(0x1F0, 0x89ABCDEFu);
    EXPECT_EQ(port.written, (Writes{{0xAB, 8}, {0xABCD, 16}, {0x89ABCDEFu, 32}}));
    std::vector<int> widths;
    for (const auto& access : sim::port_log())
        widths.push_back(access.width);
    EXPECT_EQ(widths, (std::vector<int>{16, 8, 32, 8, 16, 32}));

    // One element per access, memory walked upward, nothing beyond the count touched.
    uint8_t words[8] = {};
    tavix::insw(0x1F0, words, 3);
    const uint8_t expected_words[8] = {0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0, 0};
    EXPECT_EQ(0, std::memcmp(words, expected_words, sizeof words));
    uint8_t bytes[4] = {};
    tavix::insb(0x1F0, bytes, 3);
    const uint8_t expected_bytes[4] = {0x04, 0x05, 0x06, 0};
    EXPECT_EQ(0, std::memcmp(bytes, expected_bytes, sizeof bytes));
    port.written.clear();
    const uint8_t out[4] = {0x34, 0x12, 0x78, 0x56};
    tavix::outsw(0x1F0, out, 2);
    EXPECT_EQ(port.written, (Writes{{0x1234, 16}, {0x5678, 16}}));
}

TEST_F(IoTools, MemcpyTakesTheSourceFirstAndCopiesUpward)
{
    int32_t src[4] = {1, 2, 3, 4};
    int32_t dest[4] = {};
    tavix::memcpy(src, dest, 12);
    EXPECT_EQ(dest[2], 3);
    EXPECT_EQ(dest[3], 0);
    for (int bytes : {0, -1, INT32_MIN})
        tavix::memcpy(dest + 1, dest, bytes);
    EXPECT_EQ(dest[0], 1);

    // A copy to a lower address inside one buffer, overlapping by all but one byte, gives
    // the source's bytes: scrolling the screen depends on it.
    char text[] = "abcdef";
    tavix::memcpy(reinterpret_cast<const int*>(text + 1), reinterpret_cast<int*>(text), 5);
    EXPECT_STREQ(text, "bcdeff");
}

TEST_F(IoTools, MemsetAndToUpper)
{
    char buffer[6] = {'a', 'b', 'c', 'd', 'e', 0};
    tavix::memset(buffer, 'x', 0);
    tavix::memset(buffer + 1, 'x', 3);
    EXPECT_STREQ(buffer, "axxxe");
    tavix::memset(buffer, static_cast<char>(0xFF), 1);
    EXPECT_EQ(static_cast<uint8_t>(buffer[0]), 0xFF);

    EXPECT_EQ(tavix::k_toupper('a'), 'A');
    EXPECT_EQ(tavix::k_toupper('z'), 'Z');
    for (int c : {int{'{'}, int{'`'}, int{'A'}, -1, 225})
        EXPECT_EQ(tavix::k_toupper(c), c);
}

TEST_F(IoTools, ShutdownWritesThePowerOffPortsInOrderThenHalts)
{
    EXPECT_THROW(tavix::shutdown_system(), sim::Halted);
    const std::vector<sim::PortAccess> expected{
        {sim::PortAccess::Kind::out, 0xB004, 0x2000, 16},
        {sim::PortAccess::Kind::out, 0x604, 0x2000, 16},
        {sim::PortAccess::Kind::out, 0x4004, 0x3400, 16},
    };
    EXPECT_EQ(sim::port_log(), expected);
    EXPECT_EQ(sim::halt_count(), 1);
}

// The reset is pulsed exactly once, after the last status read, and the wait for the
// controller's input buffer is bounded even when it never drains.
TEST_F(IoTools, RebootWaitsForTheControllerThenPulsesReset)
{
    for (int busy : {3, 0, -1}) {
        sim::reset();
        Device kbc(0x64, 0x1C, busy);
        tavix::reboot_system();
        if (busy >= 0)
            EXPECT_EQ(kbc.reads, busy + 1);
        else
            EXPECT_TRUE(kbc.reads > 1 && kbc.reads <= 1000000) << kbc.reads;
        EXPECT_EQ(kbc.written, (Writes{{0xFE, 8}})) << busy;
        EXPECT_EQ(sim::port_log().back(), sim::out8(0x64, 0xFE)) << busy;
        EXPECT_EQ(sim::halt_count(), 1) << busy; // halted once, then returned
    }
}

} // namespace
