// The kernel heap: exact block addresses, best fit, splitting, merging and krealloc.
#include "cpu/mem.hpp"

#include "tests/sim/sim.hpp"
#include "tests/support/heap_walk.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

using tavix::dynamic_mem_node_t;
using tavix::malloc;
using tavix::mfree;

constexpr uint32_t header = 16;
constexpr uint32_t first_free_size = tavix::dynamic_mem_total_size - header;

uint8_t* at(void* p, int offset) { return static_cast<uint8_t*>(p) + offset; }
uint8_t* area_end() { return tavix::dynamic_mem_area + tavix::dynamic_mem_total_size; }
dynamic_mem_node_t* header_of(void* p) { return reinterpret_cast<dynamic_mem_node_t*>(at(p, -16)); }
dynamic_mem_node_t* first() { return tavix::dynamic_mem_start; }

// Checks every invariant of the block list and returns the number of blocks.
int check_heap()
{
    const heap_test::heap_walk walk = heap_test::walk_heap();
    EXPECT_TRUE(walk.tiles_area) << "a gap or an overlap between blocks";
    EXPECT_TRUE(walk.links_agree) << "a prev link that names the wrong block";
    EXPECT_TRUE(walk.merged) << "two free neighbours";
    EXPECT_FALSE(first()->used);
    return static_cast<int>(walk.blocks);
}

class Heap : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        tavix::init_dmem();
        sim::reset();
    }
};

TEST_F(Heap, InitAnnouncesItselfAndMakesOneFreeBlock)
{
    sim::reset();
    tavix::init_dmem();
    EXPECT_EQ(sim::screen_row(0).substr(0, 22), "DMEM: Initiliazing... ");
    EXPECT_EQ(sim::cursor_cell(), 80);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(first()), tavix::dynamic_mem_area);
    EXPECT_EQ(first()->size, 1023999984u);
    EXPECT_FALSE(first()->used);
    EXPECT_EQ(first()->next, nullptr);
    EXPECT_EQ(first()->prev, nullptr);
}

TEST_F(Heap, BlocksAreCarvedFromTheTopOfTheArea)
{
    void* a = malloc(100);
    EXPECT_EQ(a, area_end() - 100);
    EXPECT_EQ(first()->size, first_free_size - 116);
    void* b = malloc(50);
    EXPECT_EQ(b, at(a, -66));
    EXPECT_EQ(header_of(b)->size, 50u);
    EXPECT_TRUE(header_of(b)->used);
    EXPECT_EQ(header_of(b)->prev, first());
    EXPECT_EQ(header_of(b)->next, header_of(a));
    EXPECT_EQ(header_of(a)->prev, header_of(b));
    // Zero-byte blocks are distinct blocks of their own.
    void* z1 = malloc(0);
    void* z2 = malloc(0);
    EXPECT_EQ(z1, at(b, -16));
    EXPECT_EQ(z2, at(b, -32));
    EXPECT_EQ(header_of(z1)->size, 0u);
    EXPECT_EQ(check_heap(), 5);
}

// Free blocks of 100 and 60 bytes above the big first block, each fenced by a used byte.
TEST_F(Heap, BestFitSplitsTheSmallestBlockThatFitsWithItsHeader)
{
    void* hole100 = malloc(100);
    void* fence1 = malloc(1);
    void* hole60 = malloc(60);
    malloc(1);
    mfree(hole100);
    mfree(hole60);
    EXPECT_EQ(tavix::find_memblock(first(), 40), header_of(hole60));
    // The search starts at the given block.
    EXPECT_EQ(tavix::find_memblock(header_of(fence1), 40), header_of(hole100));
    EXPECT_EQ(tavix::find_memblock(header_of(fence1), 85), nullptr);
    EXPECT_EQ(tavix::find_memblock(first(), 85), first());

    // 60 < 45 + 16: the 60-byte block is no candidate, the 100-byte one is, and its top goes.
    void* p = malloc(45);
    EXPECT_EQ(p, at(hole100, 100 - 45));
    EXPECT_EQ(header_of(hole100)->size, 100u - 45 - 16);
    // The 60-byte block keeps its header and 4 free bytes; the new block is its top 56 bytes.
    void* q = malloc(40);
    EXPECT_EQ(q, at(hole60, 4 + 16));
    EXPECT_EQ(header_of(hole60)->size, 4u);
    EXPECT_FALSE(header_of(hole60)->used);
    mfree(q);
    // An exact fit is taken and leaves a free block of size 0 in the list.
    q = malloc(44);
    EXPECT_EQ(q, at(hole60, 16));
    EXPECT_EQ(header_of(hole60)->size, 0u);
    EXPECT_FALSE(header_of(hole60)->used);
    EXPECT_EQ(header_of(hole60)->next, header_of(q));
    check_heap();
}

TEST_F(Heap, TiesGoToTheHigherAddress)
{
    void* high = malloc(70);
    malloc(1);
    void* low = malloc(70);
    malloc(1);
    mfree(high);
    mfree(low);
    EXPECT_EQ(malloc(30), at(high, 70 - 30));
    EXPECT_EQ(header_of(low)->size, 70u);
    check_heap();
}

TEST_F(Heap, FreeMergesWithFreeNeighboursOnly)
{
    void* a = malloc(10);
    void* b = malloc(20);
    void* c = malloc(30);
    void* fence = malloc(5);
    mfree(nullptr);
    mfree(a); // the last block: its lower neighbour is used
    mfree(c);
    EXPECT_EQ(check_heap(), 5);
    EXPECT_EQ(header_of(fence)->next, header_of(c));
    mfree(b);
    // c, b and a are now one free block of the three sizes plus the two absorbed headers.
    EXPECT_EQ(header_of(c)->size, 10u + 20 + 30 + 32);
    EXPECT_FALSE(header_of(c)->used);
    EXPECT_EQ(header_of(c)->next, nullptr);
    EXPECT_EQ(check_heap(), 3);
    mfree(fence); // into the first block, and the block above with it
    EXPECT_EQ(check_heap(), 1);
    EXPECT_EQ(first()->size, first_free_size);
}

TEST_F(Heap, TooLargeRequestsFailSilently)
{
    // Near 4 GiB a wrapping size + 16 would be tiny and every free block would qualify.
    for (uint32_t size : {first_free_size - 15, first_free_size, 0xFFFFFFFFu, 0xFFFFFFF0u, 0xFFFFFFEFu}) {
        EXPECT_EQ(tavix::find_memblock(first(), size), nullptr) << size;
        EXPECT_EQ(malloc(size), nullptr) << size;
    }
    EXPECT_EQ(sim::screen_text(), std::string(24, '\n'));
    void* all = malloc(first_free_size - 16);
    EXPECT_EQ(all, tavix::dynamic_mem_area + 32);
    EXPECT_EQ(first()->size, 0u);
    EXPECT_EQ(malloc(0), nullptr);
    EXPECT_EQ(check_heap(), 2);
}

TEST_F(Heap, Krealloc)
{
    void* fresh = tavix::krealloc(nullptr, 10);
    EXPECT_EQ(fresh, area_end() - 10);
    EXPECT_EQ(header_of(fresh)->size, 10u);
    EXPECT_EQ(tavix::krealloc(fresh, 0), nullptr);
    EXPECT_EQ(check_heap(), 1);

    // Growing and shrinking both move the block and keep the smaller of the two sizes.
    auto* p = static_cast<uint8_t*>(malloc(32));
    for (int i = 0; i < 32; ++i)
        p[i] = static_cast<uint8_t>(i + 1);
    auto* grown = static_cast<uint8_t*>(tavix::krealloc(p, 64));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(grown, p - 16 - 64);
    EXPECT_EQ(header_of(grown)->size, 64u);
    for (int i = 0; i < 32; ++i)
        ASSERT_EQ(grown[i], i + 1) << i;
    EXPECT_EQ(check_heap(), 3); // the old block stays behind, free, above the new one
    auto* shrunk = static_cast<uint8_t*>(tavix::krealloc(grown, 8));
    ASSERT_NE(shrunk, nullptr);
    EXPECT_NE(shrunk, grown);
    EXPECT_EQ(header_of(shrunk)->size, 8u);
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(shrunk[i], i + 1) << i;
    mfree(shrunk);
    EXPECT_EQ(check_heap(), 1);
}

TEST_F(Heap, KreallocThatFindsNoRoomLeavesTheBlockAlone)
{
    auto* p = static_cast<char*>(malloc(16));
    std::memcpy(p, "sixteen bytes!!", 16);
    EXPECT_EQ(tavix::krealloc(p, 0xFFFFFFF8u), nullptr);
    // Take all that is left but 20 bytes: room for a 4-byte block, not a 16-byte one.
    void* hog = malloc(first()->size - 16 - 20);
    ASSERT_NE(hog, nullptr);
    EXPECT_EQ(tavix::krealloc(p, 16), nullptr);
    EXPECT_TRUE(header_of(p)->used);
    EXPECT_STREQ(p, "sixteen bytes!!");
    auto* small = static_cast<char*>(tavix::krealloc(p, 4));
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(std::memcmp(small, "sixt", 4), 0);
    mfree(small);
    mfree(hog);
    EXPECT_EQ(check_heap(), 1);
}

// A free block between used ones counts its bytes but not its header.
TEST_F(Heap, StatisticsCountUsedBlocksAndFreeBytes)
{
    malloc(100);
    void* b = malloc(5);
    malloc(7);
    EXPECT_EQ(heap_test::walk_heap().used_blocks, 3u);
    mfree(b);
    EXPECT_EQ(heap_test::walk_heap().used_blocks, 2u);
    EXPECT_EQ(heap_test::walk_heap().free_bytes, first_free_size - (100 + header) - header - (7 + header));
}

// A seeded mix of allocations and releases: every block keeps its own bytes, the list keeps
// its invariants, and releasing everything gives back one whole free block.
TEST_F(Heap, RandomMixKeepsContentsAndInvariants)
{
    std::mt19937 rng(20240501);
    struct Live {
        uint8_t* p;
        uint32_t size;
        uint8_t fill;
    };
    std::vector<Live> live;
    auto intact = [](const Live& b) { return std::all_of(b.p, b.p + b.size, [&](uint8_t x) { return x == b.fill; }); };
    for (int step = 0; step < 3000; ++step) {
        if (step % 500 == 0)
            check_heap();
        if (live.empty() || rng() % 3 != 0) {
            uint32_t size = rng() % 300;
            auto* p = static_cast<uint8_t*>(malloc(size));
            ASSERT_NE(p, nullptr);
            auto fill = static_cast<uint8_t>(rng());
            std::memset(p, fill, size);
            live.push_back({p, size, fill});
            continue;
        }
        size_t victim = rng() % live.size();
        Live block = live[victim];
        ASSERT_TRUE(intact(block)) << "step " << step;
        const bool resize = rng() % 4 == 0;
        const uint32_t size = resize ? rng() % 300 : 0;
        uint8_t* q = nullptr;
        if (resize)
            q = static_cast<uint8_t*>(tavix::krealloc(block.p, size));
        else
            mfree(block.p);
        if (size == 0) {
            ASSERT_EQ(q, nullptr);
            live.erase(live.begin() + static_cast<long>(victim));
            continue;
        }
        ASSERT_NE(q, nullptr);
        ASSERT_TRUE(intact({q, std::min(size, block.size), block.fill})) << "step " << step;
        std::memset(q, block.fill, size);
        live[victim] = {q, size, block.fill};
    }
    for (const Live& block : live) {
        ASSERT_TRUE(intact(block));
        mfree(block.p);
    }
    EXPECT_EQ(check_heap(), 1);
    EXPECT_EQ(first()->size, first_free_size);
}

} // namespace
