// Port wrappers, the source-first memcpy, memset, and the two machine-control operations.
#include "io/iotools.hpp"

#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

namespace {

// A device that answers every read of its port with the next value of a counter and
// records what is written to it.
class CountingPort final : public sim::Device {
public:
    explicit CountingPort(uint16_t port, uint32_t first) : port_(port), next_(first) {}
    bool claims(uint16_t port) const override { return port == port_; }
    uint32_t read(uint16_t, int) override { return next_++; }
    void write(uint16_t, uint32_t value, int width) override { written.push_back({value, width}); }
    std::vector<std::pair<uint32_t, int>> written;

private:
    uint16_t port_;
    uint32_t next_;
};

// A keyboard controller whose input buffer drains after `busy_reads` status reads
// (never, when negative).
class KeyboardController final : public sim::Device {
public:
    explicit KeyboardController(int busy) : busy_reads(busy) {}
    bool claims(uint16_t port) const override { return port == 0x60 || port == 0x64; }
    uint32_t read(uint16_t port, int) override
    {
        if (port != 0x64)
            return 0;
        ++status_reads;
        if (busy_reads < 0 || status_reads <= busy_reads)
            return 0x1E; // input buffer full, other status bits set too
        return 0x1C;
    }
    void write(uint16_t port, uint32_t value, int) override
    {
        if (port == 0x64)
            commands.push_back(static_cast<uint8_t>(value));
    }
    int busy_reads;
    int status_reads = 0;
    std::vector<uint8_t> commands;
};

// Attaches a device for the length of one test.
template <typename D> class Attached {
public:
    template <typename... Args> explicit Attached(Args... args) : device(args...) { sim::attach(&device); }
    ~Attached() { sim::detach(&device); }
    D device;
};

class IoTools : public ::testing::Test {
protected:
    void SetUp() override { sim::reset(); }
};

TEST_F(IoTools, PortWrappersUseTheirWidth)
{
    Attached<CountingPort> port(0x1F0, 0xBEEF1234u);
    EXPECT_EQ(tavix::port_word_in(0x1F0), 0x1234);
    EXPECT_EQ(tavix::port_byte_in(0x1F0), 0x35);
    EXPECT_EQ(tavix::port_dword_in(0x1F0), 0xBEEF1236u);
    tavix::port_byte_out(0x1F0, 0xAB);
    tavix::port_word_out(0x1F0, 0xABCD);
    tavix::port_dword_out(0x1F0, 0x89ABCDEFu);
    const std::vector<std::pair<uint32_t, int>> expected{{0xAB, 8}, {0xABCD, 16}, {0x89ABCDEFu, 32}};
    EXPECT_EQ(port.device.written, expected);
    const auto& log = sim::port_log();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0].width, 16);
    EXPECT_EQ(log[1].width, 8);
    EXPECT_EQ(log[2].width, 32);
}

TEST_F(IoTools, WordInReturnsAllSixteenBits)
{
    Attached<CountingPort> port(0x170, 0xFFFE);
    EXPECT_EQ(tavix::port_word_in(0x170), 0xFFFE);
    EXPECT_EQ(tavix::port_word_in(0x170), 0xFFFF);
}

TEST_F(IoTools, StringTransfersWalkMemoryUpward)
{
    Attached<CountingPort> port(0x1F0, 0x0102);
    uint8_t words[8] = {};
    tavix::insw(0x1F0, words, 3);
    const uint8_t expected_words[8] = {0x02, 0x01, 0x03, 0x01, 0x04, 0x01, 0, 0};
    EXPECT_EQ(0, std::memcmp(words, expected_words, sizeof words));

    uint8_t bytes[4] = {};
    tavix::insb(0x1F0, bytes, 3);
    const uint8_t expected_bytes[4] = {0x05, 0x06, 0x07, 0};
    EXPECT_EQ(0, std::memcmp(bytes, expected_bytes, sizeof bytes));

    const uint8_t out[4] = {0x34, 0x12, 0x78, 0x56};
    tavix::outsw(0x1F0, out, 2);
    const std::vector<std::pair<uint32_t, int>> expected{{0x1234, 16}, {0x5678, 16}};
    EXPECT_EQ(port.device.written, expected);
}

TEST_F(IoTools, MemcpyTakesTheSourceFirst)
{
    int32_t src[4] = {1, 2, 3, 4};
    int32_t dest[4] = {};
    tavix::memcpy(src, dest, 12);
    EXPECT_EQ(dest[0], 1);
    EXPECT_EQ(dest[2], 3);
    EXPECT_EQ(dest[3], 0);
    EXPECT_EQ(src[0], 1);
}

TEST_F(IoTools, MemcpyWithNoPositiveCountCopiesNothing)
{
    int32_t src[2] = {7, 8};
    int32_t dest[2] = {5, 6};
    tavix::memcpy(src, dest, 0);
    tavix::memcpy(src, dest, -1);
    tavix::memcpy(src, dest, INT32_MIN);
    EXPECT_EQ(dest[0], 5);
    EXPECT_EQ(dest[1], 6);
}

TEST_F(IoTools, MemcpyDownwardInOneBufferIsSafe)
{
    alignas(4) uint8_t rows[3 * 160];
    for (int i = 0; i < 3 * 160; ++i)
        rows[i] = static_cast<uint8_t>(i / 160 * 50 + i % 50);
    std::vector<uint8_t> before(rows, rows + sizeof rows);
    tavix::memcpy(reinterpret_cast<const int*>(rows + 160), reinterpret_cast<int*>(rows), 160);
    EXPECT_EQ(0, std::memcmp(rows, before.data() + 160, 160));
    EXPECT_EQ(0, std::memcmp(rows + 160, before.data() + 160, 320));

    // Overlapping by all but one byte: an upward copy still gives the source's bytes.
    char text[] = "abcdef";
    tavix::memcpy(reinterpret_cast<const int*>(text + 1), reinterpret_cast<int*>(text), 5);
    EXPECT_STREQ(text, "bcdeff");
}

TEST_F(IoTools, MemsetFillsExactlyCountBytes)
{
    char buffer[6] = {'a', 'b', 'c', 'd', 'e', 0};
    tavix::memset(buffer, 'x', 0);
    EXPECT_STREQ(buffer, "abcde");
    tavix::memset(buffer + 1, 'x', 3);
    EXPECT_STREQ(buffer, "axxxe");
    tavix::memset(buffer, static_cast<char>(0xFF), 1);
    EXPECT_EQ(static_cast<uint8_t>(buffer[0]), 0xFF);
}

TEST_F(IoTools, ToUpperChangesOnlyLowerCaseAsciiLetters)
{
    EXPECT_EQ(tavix::k_toupper('a'), 'A');
    EXPECT_EQ(tavix::k_toupper('z'), 'Z');
    EXPECT_EQ(tavix::k_toupper('{'), '{');
    EXPECT_EQ(tavix::k_toupper('`'), '`');
    EXPECT_EQ(tavix::k_toupper('A'), 'A');
    EXPECT_EQ(tavix::k_toupper(-1), -1);
    EXPECT_EQ(tavix::k_toupper(225), 225);
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

TEST_F(IoTools, RebootWaitsForTheControllerThenPulsesReset)
{
    Attached<KeyboardController> kbc(3);
    tavix::reboot_system();
    EXPECT_EQ(kbc.device.status_reads, 4);
    EXPECT_EQ(kbc.device.commands, std::vector<uint8_t>{0xFE});
    EXPECT_EQ(sim::port_log().back(), sim::out8(0x64, 0xFE));
    EXPECT_EQ(sim::halt_count(), 1); // halted once, then returned
}

TEST_F(IoTools, RebootWithAReadyControllerReadsStatusOnce)
{
    Attached<KeyboardController> kbc(0);
    tavix::reboot_system();
    EXPECT_EQ(kbc.device.status_reads, 1);
    EXPECT_EQ(kbc.device.commands, std::vector<uint8_t>{0xFE});
}

TEST_F(IoTools, RebootWaitIsBoundedWhenTheControllerNeverEmpties)
{
    Attached<KeyboardController> kbc(-1);
    tavix::reboot_system();
    EXPECT_GT(kbc.device.status_reads, 1);
    EXPECT_LE(kbc.device.status_reads, 1000000);
    // The reset is pulsed anyway, exactly once, after the last status read.
    EXPECT_EQ(kbc.device.commands, std::vector<uint8_t>{0xFE});
    EXPECT_EQ(sim::port_log().back(), sim::out8(0x64, 0xFE));
    EXPECT_EQ(sim::halt_count(), 1);
}

} // namespace
