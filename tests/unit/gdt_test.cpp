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

TEST_F(Gdt, InitBuildsAndLoadsTheFlatTable)
{
    init_gdt();
    const Bytes expected[5] = {
        {0, 0, 0, 0, 0, 0, 0, 0},
        {0xFF, 0xFF, 0x00, 0x00, 0x00, 0x9A, 0xCF, 0x00},
        {0xFF, 0xFF, 0x00, 0x00, 0x00, 0x92, 0xCF, 0x00},
        {0xFF, 0xFF, 0x00, 0x00, 0x00, 0xFA, 0xCF, 0x00},
        {0xFF, 0xFF, 0x00, 0x00, 0x00, 0xF2, 0xCF, 0x00},
    };
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(descriptor(i), expected[i]) << "descriptor " << i;
    // The task-state descriptor: limit 103, available 32-bit TSS at level 3, base its record.
    const uint32_t tss = address_of(&tss_entry);
    EXPECT_EQ(descriptor(5), (Bytes{0x67, 0x00, static_cast<uint8_t>(tss), static_cast<uint8_t>(tss >> 8),
                                    static_cast<uint8_t>(tss >> 16), 0xE9, 0x00, static_cast<uint8_t>(tss >> 24)}));

    EXPECT_EQ(gdt_ptr.limit, 47);
    EXPECT_EQ(gdt_ptr.base, address_of(gdt_entries));
    EXPECT_EQ(sim::cpu_tables().gdt_address, address_of(&gdt_ptr));
    EXPECT_EQ(sim::cpu_tables().gdt_loads, 1);
    EXPECT_TRUE(sim::cpu_tables().task_register_loaded);
    EXPECT_EQ(sim::screen_row(0).substr(0, 21), "GDT: Initiliazing... ");
    EXPECT_EQ(sim::cursor_cell(), 80);
}

TEST_F(Gdt, GateSplitsBaseLimitAndGranularity)
{
    set_gdt_gate(3, 0x12345678, 0x12345, 0x9A, 0xCF);
    EXPECT_EQ(descriptor(3), (Bytes{0x45, 0x23, 0x78, 0x56, 0x34, 0x9A, 0xC1, 0x12}));
    const Bytes untouched{0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB};
    EXPECT_EQ(descriptor(2), untouched);
    EXPECT_EQ(descriptor(4), untouched);
    // Only the low 20 limit bits and the high granularity nibble are used.
    set_gdt_gate(1, 0, 0xFFF0FFFF, 0x92, 0x0F);
    EXPECT_EQ(gdt_entries[1].limit, 0xFFFF);
    EXPECT_EQ(gdt_entries[1].flags, 0x00);
    set_gdt_gate(1, 0, 0x000F0000, 0x92, 0xFF);
    EXPECT_EQ(gdt_entries[1].limit, 0x0000);
    EXPECT_EQ(gdt_entries[1].flags, 0xFF);
}

TEST_F(Gdt, TaskStateHoldsOnlyTheStackAndTheKernelSelectors)
{
    write_tss(5, 0x10, 0x0009F000);
    tss_entry_t expected{};
    expected.ss0 = 0x10;
    expected.esp0 = 0x0009F000;
    expected.cs = 0x0B;
    expected.ss = expected.ds = expected.es = expected.fs = expected.gs = 0x13;
    EXPECT_EQ(std::memcmp(&tss_entry, &expected, sizeof expected), 0);
    // init_gdt's own: a zero stack (nothing runs at another level) and no I/O map.
    init_gdt();
    expected.esp0 = 0;
    EXPECT_EQ(std::memcmp(&tss_entry, &expected, sizeof expected), 0);
}

} // namespace
