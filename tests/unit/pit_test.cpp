// The interval timer: its programming, the tick counter and wait.
#include "cpu/pit.hpp"

#include "cpu/idt.hpp"
#include "tests/sim/cpu.hpp"
#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace tavix;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t timer_vector = 32;

void deliver_timer_interrupts(int count)
{
    for (int i = 0; i < count; ++i) {
        InterruptRegisters regs{};
        regs.int_no = timer_vector;
        irq_handler(&regs);
    }
}

class Pit : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::cpu_reset();
        for (auto& r : irq_routines)
            r = nullptr;
    }
};

// Runs wait(ms) on its own thread so that the test can play the timer meanwhile.
class Waiter {
public:
    explicit Waiter(int ms)
        : thread([this, ms] {
              wait(ms);
              done = true;
          })
    {
    }
    ~Waiter()
    {
        // A wait that failed its test would spin for ever: move time far ahead to free it.
        if (!done)
            ticks = UINT64_MAX / 2;
        thread.join();
    }
    bool finished_within(std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        return done;
    }
    std::atomic<bool> done{false};

private:
    std::thread thread;
};

TEST_F(Pit, InitProgramsChannelZeroAt1000Hz)
{
    init_pit();
    EXPECT_EQ(sim::writes_to({0x40, 0x43}),
              (std::vector<sim::PortAccess>{sim::out8(0x43, 0x36), sim::out8(0x40, 0xA9), sim::out8(0x40, 0x04)}));
    EXPECT_EQ(irq_routines[0], &pit_handler);
    EXPECT_EQ(sim::screen_row(0).substr(0, 20), "PIT: Initiliazing...");
}

TEST_F(Pit, InitRestartsTheCount)
{
    init_pit();
    deliver_timer_interrupts(7);
    ASSERT_EQ(get_ticks(), 7u);
    target = 99;
    init_pit();
    EXPECT_EQ(get_ticks(), 0u);
    EXPECT_EQ(target, 0u);
}

TEST_F(Pit, EachTimerInterruptIsOneTickAndIsAcknowledged)
{
    init_pit();
    sim::port_log().clear();
    deliver_timer_interrupts(1000);
    EXPECT_EQ(get_ticks(), 1000u);
    EXPECT_EQ(sim::writes_to({0x20}).size(), 1000u);
    EXPECT_TRUE(sim::writes_to({0xA0}).empty());
}

TEST_F(Pit, CounterCarriesIntoItsHighWord)
{
    init_pit();
    ticks = 0xFFFFFFFFull;
    deliver_timer_interrupts(1);
    EXPECT_EQ(get_ticks(), 0x100000000ull);
}

TEST_F(Pit, WaitOfZeroOrLessReturnsWithoutATick)
{
    init_pit();
    for (int ms : {0, -5, INT32_MIN}) {
        Waiter w(ms);
        EXPECT_TRUE(w.finished_within(2000ms)) << "wait(" << ms << ")";
    }
    EXPECT_EQ(get_ticks(), 0u);
}

TEST_F(Pit, WaitReturnsAfterExactlyItsTicks)
{
    init_pit();
    deliver_timer_interrupts(1000);
    target = 0;
    Waiter w(250);
    // Only once the deadline is set do the ticks count against it.
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (target != 1250 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(target, 1250u);

    deliver_timer_interrupts(249);
    EXPECT_FALSE(w.finished_within(50ms));
    deliver_timer_interrupts(1);
    EXPECT_TRUE(w.finished_within(2000ms));
}

TEST_F(Pit, WaitCrossesTheHighWord)
{
    init_pit();
    ticks = 0xFFFFFFF0ull;
    target = 0;
    Waiter w(0x20);
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (target != 0x100000010ull && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(target, 0x100000010ull);
    deliver_timer_interrupts(0x1F);
    EXPECT_FALSE(w.finished_within(50ms));
    deliver_timer_interrupts(1);
    EXPECT_TRUE(w.finished_within(2000ms));
}

} // namespace
