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

using Writes = std::vector<sim::PortAccess>;

uint32_t address_of(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }
uint32_t address_of(void (*f)()) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(f)); }

uint32_t gate_address(int vector)
{
    return idt_entries[vector].base_low | (static_cast<uint32_t>(idt_entries[vector].base_high) << 16);
}

InterruptRegisters frame(uint32_t int_no)
{
    InterruptRegisters regs{};
    regs.int_no = int_no;
    return regs;
}

Writes pic_writes() { return sim::writes_to({0x20, 0x21, 0xA0, 0xA1}); }

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

TEST_F(Idt, InitRemapsTheControllersAndInstallsExactlyTheKnownGates)
{
    std::memset(idt_entries, 0x5A, sizeof idt_entries);
    init_idt();
    EXPECT_EQ(pic_writes(), (Writes{sim::out8(0x20, 0x11), sim::out8(0xA0, 0x11), sim::out8(0x21, 0x20),
                                    sim::out8(0xA1, 0x28), sim::out8(0x21, 0x04), sim::out8(0xA1, 0x02),
                                    sim::out8(0x21, 0x01), sim::out8(0xA1, 0x01), sim::out8(0x21, 0x00),
                                    sim::out8(0xA1, 0x00)}));
    std::vector<uint32_t> addresses;
    static const idt_entry_struct zero{};
    for (int v = 0; v < 256; ++v) {
        if (v >= 48 && v != 0x80 && v != 0xB1) {
            EXPECT_EQ(std::memcmp(&idt_entries[v], &zero, sizeof zero), 0) << "vector " << v;
            continue;
        }
        EXPECT_EQ(idt_entries[v].flags, 0xEE) << "vector " << v; // callable from level 3 too
        EXPECT_EQ(idt_entries[v].sel, 0x08) << "vector " << v;
        EXPECT_EQ(idt_entries[v].always0, 0) << "vector " << v;
        addresses.push_back(gate_address(v));
    }
    // Each installed vector has a stub of its own, and the table's ends lead to the right ones.
    std::sort(addresses.begin(), addresses.end());
    EXPECT_EQ(std::adjacent_find(addresses.begin(), addresses.end()), addresses.end());
    const std::pair<int, void (*)()> stubs[] = {{0, isr0},   {8, isr8},       {31, isr31},     {32, irq0},
                                                {47, irq15}, {0x80, isr128}, {0xB1, isr177}};
    for (auto [vector, stub] : stubs)
        EXPECT_EQ(gate_address(vector), address_of(stub)) << "vector " << vector;

    EXPECT_EQ(idt_ptr.limit, 2047);
    EXPECT_EQ(idt_ptr.base, address_of(idt_entries));
    EXPECT_EQ(sim::cpu_tables().idt_address, address_of(&idt_ptr));
    EXPECT_EQ(sim::cpu_tables().idt_loads, 1);
    EXPECT_EQ(sim::screen_row(0).substr(0, 21), "IDT: Initiliazing... ");
}

// The panic line in light red right at the cursor, no line break, interrupts off, halted.
TEST_F(Idt, ExceptionsPrintThePanicLineAndHalt)
{
    const std::pair<int, const char*> cases[] = {
        {0, "Division by zero"},
        {13, "General protection fault"},
        {19, "SIMD Floating point Exception"},
        {22, " \" - listen, i don't know what is exception this!\""},
        {26, "\" - It Is RE-SE-RVED! - \""},
        {27, "Triple fault"},
        {30, "nope! but code is 30"},
        {31, "Unknown exception"},
    };
    for (auto [vector, message] : cases) {
        EXPECT_STREQ(get_ex(vector), message);
        sim::reset();
        sim::set_cursor_cell(81);
        hw::enable_interrupts();
        InterruptRegisters regs = frame(static_cast<uint32_t>(vector));
        EXPECT_THROW(isr_handler(&regs), sim::Halted) << "vector " << vector;
        const std::string line = std::string("--< Kernel panic >--|--< ") + message + " >--";
        std::string shown;
        for (size_t i = 0; i < line.size(); ++i) {
            shown += static_cast<char>(sim::text_buffer()[(81 + i) * 2]);
            ASSERT_EQ(sim::text_buffer()[(81 + i) * 2 + 1], 0x0C) << "vector " << vector << " cell " << i;
        }
        EXPECT_EQ(shown, line) << "vector " << vector;
        EXPECT_EQ(sim::cursor_cell(), 81 + line.size());
        EXPECT_FALSE(sim::interrupts_enabled());
    }
    for (int num : {32, 128, 177, 1000, -1, INT32_MIN})
        EXPECT_STREQ(get_ex(num), "Unknown exception") << num;
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

// Lines 0-7 are acknowledged once at the primary; 8-15 (and any stray vector above them) at
// the secondary first, then at the primary it is cascaded through.
TEST_F(Idt, EveryLineIsAcknowledgedOnceAtItsControllers)
{
    for (uint32_t vector = 32; vector <= 48; ++vector) {
        sim::port_log().clear();
        InterruptRegisters regs = frame(vector);
        irq_handler(&regs);
        const Writes expected = vector < 40 ? Writes{sim::out8(0x20, 0x20)}
                                            : Writes{sim::out8(0xA0, 0x20), sim::out8(0x20, 0x20)};
        EXPECT_EQ(pic_writes(), expected) << "vector " << vector;
    }
}

// What the handlers saw when they ran.
struct Seen {
    int calls;
    InterruptRegisters* regs;
    size_t port_accesses_before;
};
Seen seen;

void recording_handler(InterruptRegisters* regs)
{
    ++seen.calls;
    seen.regs = regs;
    seen.port_accesses_before = sim::port_log().size();
}

void other_handler(InterruptRegisters*) { seen.calls += 100; }

void self_removing_handler(InterruptRegisters*)
{
    seen.calls += 1000;
    irq_uninstall_handler(3);
}

TEST_F(Idt, HandlersRunForTheirOwnLineBeforeTheAcknowledgement)
{
    seen = {};
    irq_install_handler(12, recording_handler);
    irq_install_handler(1, recording_handler);
    InterruptRegisters regs = frame(44);
    irq_handler(&regs);
    EXPECT_EQ(seen.calls, 1); // line 12 only, though line 1 has the same handler
    EXPECT_EQ(seen.regs, &regs);
    EXPECT_EQ(seen.port_accesses_before, 0u);
    EXPECT_EQ(sim::port_log().size(), 2u);

    // Installing replaces, uninstalling silences, and a handler may remove itself.
    irq_install_handler(12, other_handler);
    irq_handler(&regs);
    irq_uninstall_handler(12);
    irq_handler(&regs);
    EXPECT_EQ(seen.calls, 101);
    irq_install_handler(3, self_removing_handler);
    regs = frame(35);
    irq_handler(&regs);
    irq_handler(&regs);
    EXPECT_EQ(seen.calls, 1101);
}

TEST_F(Idt, LinesOutsideTheTableAreIgnored)
{
    // Out-of-range lines must not reach the memory around the table (ASan watches it).
    for (int line : {16, -1}) {
        irq_install_handler(line, recording_handler);
        irq_uninstall_handler(line);
    }
    for (auto r : irq_routines)
        EXPECT_EQ(r, nullptr);
}

} // namespace
