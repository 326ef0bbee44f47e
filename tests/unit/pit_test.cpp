// The interval timer: its programming, the tick counter and wait.
#include "cpu/pit.hpp"

#include "cpu/idt.hpp"
#include "tests/sim/cpu.hpp"
#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <thread>

using namespace tavix;
using namespace std::chrono_literals;

namespace {

void deliver_timer_interrupts(uint64_t count)
{
    for (uint64_t i = 0; i < count; ++i) {
        InterruptRegisters regs{};
        regs.int_no = 32;
        irq_handler(&regs);
    }
}

// Polls until cond holds or a generous limit passes; returns cond.
template <typename Cond> bool within(std::chrono::milliseconds limit, Cond cond)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!cond() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    return cond();
}

// The timer interrupt of a thread that waits, delivered as a signal to that thread: like the
// real interrupt it runs on the waiting code's own thread, between two of its instructions, so
// the tick counter and the deadline are never shared between threads. A tick is only taken
// once the wait has set its deadline (the test clears it first), so that the deadline counts
// from the ticks the test chose; a refused tick is sent again.
constexpr int timer_signal = SIGUSR1;
std::atomic<int> ticks_taken{0};
std::atomic<int> ticks_refused{0};
std::atomic<bool> release_waiter{false};

void on_timer_signal(int)
{
    if (release_waiter) {
        // A wait that failed its test would spin for ever: move time far ahead to free it.
        ticks = UINT64_MAX;
        return;
    }
    if (target == 0) {
        ++ticks_refused;
        return;
    }
    deliver_timer_interrupts(1);
    ++ticks_taken;
}

// Runs wait(ms) on its own thread, which the test's timer signals then interrupt.
class Waiter {
public:
    explicit Waiter(int ms) : thread([this, ms] {
              wait(ms);
              done = true;
          })
    {
        struct sigaction action{};
        action.sa_handler = on_timer_signal;
        sigaction(timer_signal, &action, nullptr);
        release_waiter = false;
    }
    ~Waiter()
    {
        release_waiter = true;
        while (!done) {
            pthread_kill(thread.native_handle(), timer_signal);
            std::this_thread::sleep_for(1ms);
        }
        thread.join();
    }

    // Delivers `count` timer interrupts to the waiting thread, one at a time.
    void tick(int count)
    {
        for (int i = 0; i < count; ++i) {
            int taken = ticks_taken;
            int refused = ticks_refused;
            pthread_kill(thread.native_handle(), timer_signal);
            while (ticks_taken == taken) {
                if (ticks_refused != refused) {
                    refused = ticks_refused;
                    std::this_thread::sleep_for(1ms);
                    pthread_kill(thread.native_handle(), timer_signal);
                }
                std::this_thread::yield();
            }
        }
    }

    std::atomic<bool> done{false};

private:
    std::thread thread;
};

class Pit : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        for (auto& r : irq_routines)
            r = nullptr;
        init_pit();
    }
};

TEST_F(Pit, InitProgramsChannelZeroAt1000HzAndRestartsTheCount)
{
    EXPECT_EQ(sim::writes_to({0x40, 0x43}),
              (std::vector<sim::PortAccess>{sim::out8(0x43, 0x36), sim::out8(0x40, 0xA9), sim::out8(0x40, 0x04)}));
    EXPECT_EQ(irq_routines[0], &pit_handler);
    EXPECT_EQ(sim::screen_row(0).substr(0, 21), "PIT: Initiliazing... ");

    // Each timer interrupt is one tick, acknowledged at the primary controller only.
    sim::port_log().clear();
    deliver_timer_interrupts(1000);
    EXPECT_EQ(get_ticks(), 1000u);
    EXPECT_EQ(sim::writes_to({0x20}).size(), 1000u);
    EXPECT_TRUE(sim::writes_to({0xA0}).empty());
    target = 99;
    init_pit();
    EXPECT_EQ(get_ticks(), 0u);
    EXPECT_EQ(target, 0u);
}

TEST_F(Pit, WaitOfZeroOrLessReturnsWithoutATick)
{
    for (int ms : {0, -5, INT32_MIN}) {
        Waiter w(ms);
        EXPECT_TRUE(within(2000ms, [&] { return w.done.load(); })) << "wait(" << ms << ")";
    }
    EXPECT_EQ(get_ticks(), 0u);
}

// The deadline counts from the ticks at the call; the counter carries into its high word.
TEST_F(Pit, WaitReturnsAfterExactlyItsTicks)
{
    const struct {
        uint64_t start;
        int ms;
    } cases[] = {{1000, 250}, {0xFFFFFFF0ull, 0x20}};
    for (auto c : cases) {
        ticks = c.start;
        target = 0;
        Waiter w(c.ms);
        w.tick(c.ms - 1);
        EXPECT_FALSE(within(50ms, [&] { return w.done.load(); })) << c.start;
        w.tick(1);
        EXPECT_TRUE(within(2000ms, [&] { return w.done.load(); })) << c.start;
        EXPECT_EQ(get_ticks(), c.start + c.ms);
        EXPECT_EQ(target, c.start + c.ms) << "the deadline counts from the ticks at the call";
    }
}

} // namespace
