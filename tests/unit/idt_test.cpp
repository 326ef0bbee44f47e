// Interrupt gates, the interrupt-controller remap, the panic path and IRQ dispatch.
#include "cpu/idt.hpp"

#include "arch/hw.hpp"
#include "tests/sim/cpu.hpp"
#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
void isr0();
void isr8();
void isr31();
void isr128();
void isr177();
void irq0();
void irq15();
}

using namespace tavix;

namespace {

constexpr uint8_t panic_attr = 0x0C;

uint32_t address_of(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }
uint32_t address_of(void (*f)()) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(f)); }

uint32_t gate_address(int vector)
{
    return idt_entries[vector].base_low | (static_cast<uint32_t>(idt_entries[vector].base_high) << 16);
}

bool gate_is_zero(int vector)
{
    static const idt_entry_struct zero{};
    return std::memcmp(&idt_entries[vector], &zero, sizeof zero) == 0;
}

bool installed(int vector) { return vector < 48 || vector == 128 || vector == 177; }

InterruptRegisters frame(uint32_t int_no)
{
    InterruptRegisters regs{};
    regs.int_no = int_no;
    return regs;
}

class Idt : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::cpu_reset();
        for (auto& r : irq_routines)
            r = nullptr;
    }
};

TEST_F(Idt, InitInstallsExactlyTheKnownGates)
{
    std::memset(idt_entries, 0x5A, sizeof idt_entries);
    init_idt();
    std::vector<uint32_t> addresses;
    for (int v = 0; v < 256; ++v) {
        if (!installed(v)) {
            EXPECT_TRUE(gate_is_zero(v)) << "vector " << v;
            continue;
        }
        EXPECT_EQ(idt_entries[v].flags, 0xEE) << "vector " << v;
        EXPECT_EQ(idt_entries[v].sel, 0x08) << "vector " << v;
        EXPECT_EQ(idt_entries[v].always0, 0) << "vector " << v;
        addresses.push_back(gate_address(v));
    }
    // Each installed vector has a stub of its own.
    std::sort(addresses.begin(), addresses.end());
    EXPECT_EQ(std::adjacent_find(addresses.begin(), addresses.end()), addresses.end());
}

TEST_F(Idt, GatesLeadToTheirOwnStubs)
{
    init_idt();
    EXPECT_EQ(gate_address(0), address_of(isr0));
    EXPECT_EQ(gate_address(8), address_of(isr8));
    EXPECT_EQ(gate_address(31), address_of(isr31));
    EXPECT_EQ(gate_address(32), address_of(irq0));
    EXPECT_EQ(gate_address(47), address_of(irq15));
    EXPECT_EQ(gate_address(0x80), address_of(isr128));
    EXPECT_EQ(gate_address(0xB1), address_of(isr177));
}

TEST_F(Idt, InitLoadsTheTableAndEnablesInterruptsLast)
{
    ASSERT_FALSE(sim::interrupts_enabled());
    init_idt();
    EXPECT_EQ(idt_ptr.limit, 2047);
    EXPECT_EQ(idt_ptr.base, address_of(idt_entries));
    EXPECT_EQ(sim::cpu_tables().idt_address, address_of(&idt_ptr));
    EXPECT_EQ(sim::cpu_tables().idt_loads, 1);
    EXPECT_TRUE(sim::interrupts_enabled());
    EXPECT_EQ(sim::screen_row(0).substr(0, 20), "IDT: Initiliazing...");
}

TEST_F(Idt, InitRemapsTheControllersWithTenWrites)
{
    init_idt();
    const std::vector<sim::PortAccess> expected = {
        sim::out8(0x20, 0x11), sim::out8(0xA0, 0x11), sim::out8(0x21, 0x20), sim::out8(0xA1, 0x28),
        sim::out8(0x21, 0x04), sim::out8(0xA1, 0x02), sim::out8(0x21, 0x01), sim::out8(0xA1, 0x01),
        sim::out8(0x21, 0x00), sim::out8(0xA1, 0x00),
    };
    EXPECT_EQ(sim::writes_to({0x20, 0x21, 0xA0, 0xA1}), expected);
}

TEST_F(Idt, SetGateAddsPrivilegeBitsAndSplitsTheAddress)
{
    set_idt_gate(0x42, 0xDEADBEEF, 0x1234, 0x0E);
    EXPECT_EQ(idt_entries[0x42].base_low, 0xBEEF);
    EXPECT_EQ(idt_entries[0x42].base_high, 0xDEAD);
    EXPECT_EQ(idt_entries[0x42].sel, 0x1234);
    EXPECT_EQ(idt_entries[0x42].flags, 0x6E);
    EXPECT_EQ(idt_entries[0x42].always0, 0);
}

TEST_F(Idt, ExceptionMessages)
{
    EXPECT_STREQ(get_ex(0), "Division by zero");
    EXPECT_STREQ(get_ex(13), "General protection fault");
    EXPECT_STREQ(get_ex(19), "SIMD Floating point Exception");
    EXPECT_STREQ(get_ex(22), " \" - listen, i don't know what is exception this!\"");
    EXPECT_STREQ(get_ex(26), "\" - It Is RE-SE-RVED! - \"");
    EXPECT_STREQ(get_ex(27), "Triple fault");
    EXPECT_STREQ(get_ex(30), "nope! but code is 30");
    for (int num : {31, 32, 128, 177, 1000, -1, INT32_MIN})
        EXPECT_STREQ(get_ex(num), "Unknown exception") << num;
}

std::string panic_line(const char* message)
{
    return std::string("--< Kernel panic >--|--< ") + message + " >--";
}

void expect_panic(uint32_t vector, const char* message)
{
    sim::reset();
    tavix::hw::enable_interrupts();
    InterruptRegisters regs = frame(vector);
    EXPECT_THROW(isr_handler(&regs), sim::Halted) << "vector " << vector;
    const std::string line = panic_line(message);
    EXPECT_EQ(sim::screen_row(0).substr(0, line.size()), line) << "vector " << vector;
    for (size_t col = 0; col < line.size(); ++col)
        ASSERT_EQ(sim::attr_at(0, static_cast<int>(col)), panic_attr) << "column " << col;
    // No line break: the cursor stays right behind the line.
    EXPECT_EQ(sim::cursor_cell(), line.size());
    EXPECT_FALSE(sim::interrupts_enabled());
}

TEST_F(Idt, ExceptionPrintsThePanicLineAndHalts)
{
    expect_panic(0, "Division by zero");
    expect_panic(13, "General protection fault");
    expect_panic(22, " \" - listen, i don't know what is exception this!\"");
    expect_panic(31, "Unknown exception");
}

TEST_F(Idt, SoftwareInterruptsReturnWithoutEffect)
{
    for (uint32_t vector : {0x80u, 0xB1u}) {
        InterruptRegisters regs = frame(vector);
        regs.eax = 0x11111111;
        regs.edi = 0x77777777;
        const InterruptRegisters before = regs;
        isr_handler(&regs);
        EXPECT_EQ(std::memcmp(&regs, &before, sizeof regs), 0);
    }
    EXPECT_EQ(sim::screen_text(), std::string(24, '\n'));
    EXPECT_EQ(sim::halt_count(), 0);
    EXPECT_TRUE(sim::port_log().empty());
}

TEST_F(Idt, PrimaryLineIsAcknowledgedOnceAtThePrimaryOnly)
{
    for (uint32_t line : {0u, 5u, 7u}) {
        sim::port_log().clear();
        InterruptRegisters regs = frame(32 + line);
        irq_handler(&regs);
        EXPECT_EQ(sim::writes_to({0x20, 0x21, 0xA0, 0xA1}), (std::vector<sim::PortAccess>{sim::out8(0x20, 0x20)}))
            << "line " << line;
    }
}

TEST_F(Idt, SecondaryLineIsAcknowledgedAtBothSecondaryFirst)
{
    for (uint32_t line : {8u, 12u, 15u}) {
        sim::port_log().clear();
        InterruptRegisters regs = frame(32 + line);
        irq_handler(&regs);
        EXPECT_EQ(sim::writes_to({0x20, 0x21, 0xA0, 0xA1}),
                  (std::vector<sim::PortAccess>{sim::out8(0xA0, 0x20), sim::out8(0x20, 0x20)}))
            << "line " << line;
    }
}

// What the handler saw when it ran.
struct Seen {
    int calls;
    InterruptRegisters* regs;
    size_t port_writes_before;
};
Seen seen;

void recording_handler(InterruptRegisters* regs)
{
    ++seen.calls;
    seen.regs = regs;
    seen.port_writes_before = sim::port_log().size();
}

void other_handler(InterruptRegisters*) { seen.calls += 100; }

void self_removing_handler(InterruptRegisters*)
{
    ++seen.calls;
    irq_uninstall_handler(3);
}

TEST_F(Idt, HandlerRunsWithTheFrameBeforeTheAcknowledgement)
{
    seen = {};
    irq_install_handler(12, recording_handler);
    InterruptRegisters regs = frame(44);
    irq_handler(&regs);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.regs, &regs);
    EXPECT_EQ(seen.port_writes_before, 0u);
    EXPECT_EQ(sim::port_log().size(), 2u);
}

TEST_F(Idt, HandlerRunsOnlyForItsOwnLine)
{
    seen = {};
    irq_install_handler(1, recording_handler);
    InterruptRegisters regs = frame(33 + 1);
    irq_handler(&regs);
    EXPECT_EQ(seen.calls, 0);
}

TEST_F(Idt, InstallReplacesAndUninstallSilences)
{
    seen = {};
    irq_install_handler(1, recording_handler);
    irq_install_handler(1, other_handler);
    InterruptRegisters regs = frame(33);
    irq_handler(&regs);
    EXPECT_EQ(seen.calls, 100);

    irq_uninstall_handler(1);
    sim::port_log().clear();
    irq_handler(&regs);
    EXPECT_EQ(seen.calls, 100);
    EXPECT_EQ(sim::writes_to({0x20, 0xA0}), (std::vector<sim::PortAccess>{sim::out8(0x20, 0x20)}));
}

TEST_F(Idt, HandlerMayRemoveItselfFromTheNextInterruptOn)
{
    seen = {};
    irq_install_handler(3, self_removing_handler);
    InterruptRegisters regs = frame(35);
    irq_handler(&regs);
    irq_handler(&regs);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(irq_routines[3], nullptr);
}

TEST_F(Idt, LinesOutsideTheTableAreIgnored)
{
    // Out-of-range lines must not reach the memory around the table (ASan watches it).
    irq_install_handler(16, recording_handler);
    irq_install_handler(-1, recording_handler);
    irq_uninstall_handler(16);
    irq_uninstall_handler(-1);
    for (auto r : irq_routines)
        EXPECT_EQ(r, nullptr);
    // A vector outside the IRQ range reaching irq_handler is still acknowledged.
    seen = {};
    InterruptRegisters regs = frame(48);
    irq_handler(&regs);
    EXPECT_EQ(seen.calls, 0);
    EXPECT_EQ(sim::writes_to({0x20, 0xA0}).size(), 2u);
}

} // namespace
