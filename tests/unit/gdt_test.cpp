// Segment descriptors and the task-state segment, byte for byte.
#include "cpu/gdt.hpp"

#include "tests/sim/cpu.hpp"
#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

using namespace tavix;

namespace {

using Bytes = std::array<uint8_t, 8>;

Bytes descriptor(int index)
{
    Bytes b;
    std::memcpy(b.data(), &gdt_entries[index], b.size());
    return b;
}

uint32_t address_of(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

class Gdt : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::cpu_reset();
        std::memset(gdt_entries, 0xAB, sizeof gdt_entries);
        std::memset(&tss_entry, 0xCD, sizeof tss_entry);
    }
};

TEST_F(Gdt, InitBuildsTheFlatTable)
{
    init_gdt();
    EXPECT_EQ(descriptor(0), (Bytes{0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(descriptor(1), (Bytes{0xFF, 0xFF, 0x00, 0x00, 0x00, 0x9A, 0xCF, 0x00}));
    EXPECT_EQ(descriptor(2), (Bytes{0xFF, 0xFF, 0x00, 0x00, 0x00, 0x92, 0xCF, 0x00}));
    EXPECT_EQ(descriptor(3), (Bytes{0xFF, 0xFF, 0x00, 0x00, 0x00, 0xFA, 0xCF, 0x00}));
    EXPECT_EQ(descriptor(4), (Bytes{0xFF, 0xFF, 0x00, 0x00, 0x00, 0xF2, 0xCF, 0x00}));
}

TEST_F(Gdt, TaskStateDescriptorPointsAtTheTss)
{
    init_gdt();
    const Bytes d = descriptor(5);
    EXPECT_EQ(d[0], 0x67);
    EXPECT_EQ(d[1], 0x00);
    EXPECT_EQ(d[5], 0xE9);
    EXPECT_EQ(d[6], 0x00);
    const uint32_t base = d[2] | (d[3] << 8) | (d[4] << 16) | (static_cast<uint32_t>(d[7]) << 24);
    EXPECT_EQ(base, address_of(&tss_entry));
}

TEST_F(Gdt, InitLoadsTableAndTaskRegisterAndAnnouncesItself)
{
    init_gdt();
    EXPECT_EQ(gdt_ptr.limit, 47);
    EXPECT_EQ(gdt_ptr.base, address_of(gdt_entries));
    EXPECT_EQ(sim::cpu_tables().gdt_address, address_of(&gdt_ptr));
    EXPECT_EQ(sim::cpu_tables().gdt_loads, 1);
    EXPECT_TRUE(sim::cpu_tables().task_register_loaded);
    EXPECT_EQ(sim::screen_row(0).substr(0, 20), "GDT: Initiliazing...");
    EXPECT_EQ(sim::cursor_cell(), 80); // the line break took the cursor to row 1
}

TEST_F(Gdt, GateSplitsBaseLimitAndGranularity)
{
    set_gdt_gate(3, 0x12345678, 0x12345, 0x9A, 0xCF);
    EXPECT_EQ(gdt_entries[3].limit, 0x2345);
    EXPECT_EQ(gdt_entries[3].flags, 0xC1);
    EXPECT_EQ(gdt_entries[3].base_low, 0x5678);
    EXPECT_EQ(gdt_entries[3].base_middle, 0x34);
    EXPECT_EQ(gdt_entries[3].base_high, 0x12);
    EXPECT_EQ(gdt_entries[3].access, 0x9A);
    // The neighbours are not touched.
    EXPECT_EQ(descriptor(2), (Bytes{0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB}));
    EXPECT_EQ(descriptor(4), (Bytes{0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB}));
}

TEST_F(Gdt, GateUsesOnlyHighGranularityNibbleAndLow20LimitBits)
{
    set_gdt_gate(1, 0, 0xFFF0FFFF, 0x92, 0x0F);
    EXPECT_EQ(gdt_entries[1].limit, 0xFFFF);
    EXPECT_EQ(gdt_entries[1].flags, 0x00);
    set_gdt_gate(1, 0, 0x000F0000, 0x92, 0xFF);
    EXPECT_EQ(gdt_entries[1].limit, 0x0000);
    EXPECT_EQ(gdt_entries[1].flags, 0xFF);
}

TEST_F(Gdt, WriteTssClearsEverythingButTheKernelSelectors)
{
    write_tss(5, 0x10, 0x0009F000);
    tss_entry_t expected{};
    expected.ss0 = 0x10;
    expected.esp0 = 0x0009F000;
    expected.cs = 0x0B;
    expected.ss = expected.ds = expected.es = expected.fs = expected.gs = 0x13;
    EXPECT_EQ(std::memcmp(&tss_entry, &expected, sizeof expected), 0);
    EXPECT_EQ(gdt_entries[5].access, 0xE9);
}

TEST_F(Gdt, InitLeavesTssWithZeroStackAndZeroIoMap)
{
    init_gdt();
    EXPECT_EQ(tss_entry.esp0, 0u);
    EXPECT_EQ(tss_entry.ss0, 0x10u);
    EXPECT_EQ(tss_entry.iomap_base, 0u);
    EXPECT_EQ(tss_entry.prev_tss, 0u);
    EXPECT_EQ(tss_entry.eip, 0u);
}

} // namespace
