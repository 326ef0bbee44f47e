// The kernel heap: exact block addresses, best fit, splitting, merging and krealloc.
#include "cpu/mem.hpp"

#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

using tavix::dynamic_mem_node_t;

constexpr uint32_t header = 16;
constexpr uint32_t first_free_size = tavix::dynamic_mem_total_size - header;

uint8_t* area_end() { return tavix::dynamic_mem_area + tavix::dynamic_mem_total_size; }
dynamic_mem_node_t* header_of(void* p) { return reinterpret_cast<dynamic_mem_node_t*>(static_cast<uint8_t*>(p) - header); }
dynamic_mem_node_t* first() { return tavix::dynamic_mem_start; }

// Checks every invariant of the block list and returns the number of blocks.
int check_heap()
{
    uint64_t total = 0;
    int blocks = 0;
    dynamic_mem_node_t* prev = nullptr;
    auto* expected = reinterpret_cast<uint8_t*>(tavix::dynamic_mem_area);
    for (dynamic_mem_node_t* node = first(); node != nullptr; node = node->next) {
        EXPECT_EQ(reinterpret_cast<uint8_t*>(node), expected) << "gap or overlap before block " << blocks;
        EXPECT_EQ(node->prev, prev) << "block " << blocks;
        if (prev != nullptr) {
            EXPECT_FALSE(!prev->used && !node->used) << "two free neighbours at block " << blocks;
        }
        total += header + node->size;
        expected = reinterpret_cast<uint8_t*>(node) + header + node->size;
        prev = node;
        ++blocks;
    }
    EXPECT_FALSE(first()->used);
    EXPECT_EQ(total, tavix::dynamic_mem_total_size);
    return blocks;
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
    void* a = tavix::malloc(100);
    EXPECT_EQ(a, area_end() - 100);
    EXPECT_EQ(first()->size, first_free_size - 116);
    void* b = tavix::malloc(50);
    EXPECT_EQ(static_cast<uint8_t*>(b), static_cast<uint8_t*>(a) - 66);
    EXPECT_EQ(header_of(b)->size, 50u);
    EXPECT_TRUE(header_of(b)->used);
    EXPECT_EQ(header_of(b)->prev, first());
    EXPECT_EQ(header_of(b)->next, header_of(a));
    EXPECT_EQ(header_of(a)->prev, header_of(b));
    EXPECT_EQ(check_heap(), 3);
}

TEST_F(Heap, ZeroByteBlocksAreDistinct)
{
    void* a = tavix::malloc(0);
    void* b = tavix::malloc(0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a, area_end());
    EXPECT_EQ(static_cast<uint8_t*>(b), area_end() - 16);
    EXPECT_EQ(header_of(a)->size, 0u);
    tavix::mfree(a);
    tavix::mfree(b);
    EXPECT_EQ(check_heap(), 1);
}

// Free blocks of 100 and 60 bytes above the big first block, each fenced by a used byte.
struct TwoHoles {
    void* hole100;
    void* hole60;
    void* fence1;
    void* fence2;
};

TwoHoles make_two_holes()
{
    TwoHoles h{};
    h.hole100 = tavix::malloc(100);
    h.fence1 = tavix::malloc(1);
    h.hole60 = tavix::malloc(60);
    h.fence2 = tavix::malloc(1);
    tavix::mfree(h.hole100);
    tavix::mfree(h.hole60);
    return h;
}

TEST_F(Heap, BestFitTakesTheSmallestBlockThatFits)
{
    TwoHoles h = make_two_holes();
    void* p = tavix::malloc(40);
    // The 60-byte block keeps its header and 4 free bytes; the new block is its top 56 bytes.
    EXPECT_EQ(static_cast<uint8_t*>(p), static_cast<uint8_t*>(h.hole60) + 4 + header);
    EXPECT_EQ(header_of(h.hole60)->size, 4u);
    EXPECT_FALSE(header_of(h.hole60)->used);
    EXPECT_EQ(header_of(h.hole100)->size, 100u);
    check_heap();
}

TEST_F(Heap, ABlockNeedsRoomForTheNewHeaderToo)
{
    TwoHoles h = make_two_holes();
    // 60 < 45 + 16: the 60-byte block is no candidate, the 100-byte one is.
    void* p = tavix::malloc(45);
    EXPECT_EQ(static_cast<uint8_t*>(p), static_cast<uint8_t*>(h.hole100) + 100 - 45);
    // An exact fit is taken and leaves a free block of size 0 in the list.
    void* q = tavix::malloc(44);
    EXPECT_EQ(static_cast<uint8_t*>(q), static_cast<uint8_t*>(h.hole60) + header);
    EXPECT_EQ(header_of(h.hole60)->size, 0u);
    EXPECT_FALSE(header_of(h.hole60)->used);
    EXPECT_EQ(header_of(h.hole60)->next, header_of(q));
    check_heap();
}

TEST_F(Heap, TiesGoToTheHigherAddress)
{
    void* high = tavix::malloc(70);
    void* fence1 = tavix::malloc(1);
    void* low = tavix::malloc(70);
    void* fence2 = tavix::malloc(1);
    tavix::mfree(high);
    tavix::mfree(low);
    ASSERT_GT(high, low);
    void* p = tavix::malloc(30);
    EXPECT_EQ(static_cast<uint8_t*>(p), static_cast<uint8_t*>(high) + 70 - 30);
    EXPECT_EQ(header_of(low)->size, 70u);
    check_heap();
    tavix::mfree(fence1);
    tavix::mfree(fence2);
    tavix::mfree(p);
    EXPECT_EQ(check_heap(), 1);
}

TEST_F(Heap, FreeMergesBothNeighbours)
{
    void* a = tavix::malloc(10);
    void* b = tavix::malloc(20);
    void* c = tavix::malloc(30);
    void* fence = tavix::malloc(5);
    tavix::mfree(a); // a is the last block: only its lower neighbour could merge, and it is used
    tavix::mfree(c);
    EXPECT_EQ(check_heap(), 5);
    EXPECT_EQ(header_of(fence)->next, header_of(c));
    tavix::mfree(b);
    // c, b and a are now one free block of the three sizes plus the two absorbed headers.
    EXPECT_EQ(header_of(c)->size, 10u + 20 + 30 + 32);
    EXPECT_FALSE(header_of(c)->used);
    EXPECT_EQ(header_of(c)->next, nullptr);
    EXPECT_EQ(check_heap(), 3);
    tavix::mfree(fence);
    EXPECT_EQ(check_heap(), 1);
    EXPECT_EQ(first()->size, first_free_size);
}

TEST_F(Heap, FreeMergesIntoTheFirstBlock)
{
    void* a = tavix::malloc(10);
    void* b = tavix::malloc(20);
    tavix::mfree(b);
    EXPECT_EQ(first()->size, first_free_size - 26);
    EXPECT_EQ(first()->next, header_of(a));
    EXPECT_EQ(header_of(a)->prev, first());
    EXPECT_EQ(check_heap(), 2);
}

TEST_F(Heap, FreeOfNullChangesNothing)
{
    void* a = tavix::malloc(10);
    tavix::mfree(nullptr);
    EXPECT_TRUE(header_of(a)->used);
    EXPECT_EQ(check_heap(), 2);
}

TEST_F(Heap, TooLargeRequestsFailSilently)
{
    EXPECT_EQ(tavix::malloc(first_free_size - 15), nullptr);
    EXPECT_EQ(tavix::malloc(first_free_size), nullptr);
    EXPECT_EQ(sim::screen_text(), std::string(24, '\n'));
    EXPECT_EQ(sim::cursor_cell(), 0);
    void* all = tavix::malloc(first_free_size - 16);
    EXPECT_EQ(static_cast<uint8_t*>(all), tavix::dynamic_mem_area + 32);
    EXPECT_EQ(first()->size, 0u);
    EXPECT_EQ(tavix::malloc(0), nullptr);
    tavix::mfree(all);
    EXPECT_EQ(check_heap(), 1);
}

TEST_F(Heap, RequestsNearFourGigabytesDoNotWrap)
{
    // With a wrapping sum, size + 16 would be tiny and every free block would qualify.
    for (uint32_t size : {0xFFFFFFFFu, 0xFFFFFFF0u, 0xFFFFFFEFu, 0xFFFFFFE0u}) {
        EXPECT_EQ(tavix::find_memblock(first(), size), nullptr) << size;
        EXPECT_EQ(tavix::malloc(size), nullptr) << size;
    }
    void* p = tavix::malloc(8);
    EXPECT_EQ(tavix::krealloc(p, 0xFFFFFFF8u), nullptr);
    EXPECT_TRUE(header_of(p)->used);
    EXPECT_EQ(check_heap(), 2);
}

TEST_F(Heap, FindMemblockSearchesFromTheGivenBlock)
{
    TwoHoles h = make_two_holes();
    EXPECT_EQ(tavix::find_memblock(first(), 40), header_of(h.hole60));
    EXPECT_EQ(tavix::find_memblock(header_of(h.fence1), 40), header_of(h.hole100));
    EXPECT_EQ(tavix::find_memblock(header_of(h.fence1), 85), nullptr);
    EXPECT_EQ(tavix::find_memblock(first(), 85), first());
}

TEST_F(Heap, MergeRoutinesReturnAndStopAtUsedNeighbours)
{
    void* a = tavix::malloc(10);
    void* b = tavix::malloc(20);
    header_of(b)->used = false;
    // The next block (a) is used: nothing changes, the same header comes back.
    EXPECT_EQ(tavix::merge_next_node_into_current(header_of(b)), header_of(b));
    EXPECT_EQ(header_of(b)->size, 20u);
    header_of(a)->used = false;
    EXPECT_EQ(tavix::merge_next_node_into_current(header_of(b)), header_of(b));
    EXPECT_EQ(header_of(b)->size, 20u + 10 + 16);
    EXPECT_EQ(header_of(b)->next, nullptr);
    tavix::merge_current_node_into_previous(header_of(b));
    EXPECT_EQ(first()->size, first_free_size);
    EXPECT_EQ(first()->next, nullptr);
}

TEST_F(Heap, KreallocOfNullAllocates)
{
    void* p = tavix::krealloc(nullptr, 10);
    EXPECT_EQ(p, area_end() - 10);
    EXPECT_EQ(header_of(p)->size, 10u);
}

TEST_F(Heap, KreallocToZeroFrees)
{
    void* p = tavix::malloc(10);
    EXPECT_EQ(tavix::krealloc(p, 0), nullptr);
    EXPECT_EQ(check_heap(), 1);
}

TEST_F(Heap, KreallocMovesAndKeepsTheSmallerSize)
{
    auto* p = static_cast<uint8_t*>(tavix::malloc(32));
    for (int i = 0; i < 32; ++i)
        p[i] = static_cast<uint8_t>(i + 1);

    auto* grown = static_cast<uint8_t*>(tavix::krealloc(p, 64));
    ASSERT_NE(grown, nullptr);
    EXPECT_NE(grown, p);
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
    tavix::mfree(shrunk);
    EXPECT_EQ(check_heap(), 1);
}

TEST_F(Heap, KreallocOnAFullHeapLeavesTheBlockAlone)
{
    auto* p = static_cast<uint8_t*>(tavix::malloc(16));
    std::memcpy(p, "sixteen bytes!!", 16);
    // Take all that is left but 20 bytes: room for a 4-byte block, not a 16-byte one.
    void* hog = tavix::malloc(first()->size - 16 - 20);
    ASSERT_NE(hog, nullptr);
    EXPECT_EQ(tavix::krealloc(p, 16), nullptr);
    EXPECT_TRUE(header_of(p)->used);
    EXPECT_STREQ(reinterpret_cast<char*>(p), "sixteen bytes!!");
    // Shrinking needs only the small new block.
    auto* small = static_cast<char*>(tavix::krealloc(p, 4));
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(std::memcmp(small, "sixt", 4), 0);
    tavix::mfree(small);
    tavix::mfree(hog);
    EXPECT_EQ(check_heap(), 1);
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
    for (int step = 0; step < 3000; ++step) {
        bool allocate = live.empty() || rng() % 3 != 0;
        if (allocate) {
            uint32_t size = rng() % 300;
            auto* p = static_cast<uint8_t*>(tavix::malloc(size));
            ASSERT_NE(p, nullptr);
            auto fill = static_cast<uint8_t>(rng());
            std::memset(p, fill, size);
            live.push_back({p, size, fill});
        } else {
            size_t victim = rng() % live.size();
            Live block = live[victim];
            for (uint32_t i = 0; i < block.size; ++i)
                ASSERT_EQ(block.p[i], block.fill) << "step " << step;
            if (rng() % 4 == 0) {
                uint32_t size = rng() % 300;
                auto* q = static_cast<uint8_t*>(tavix::krealloc(block.p, size));
                if (size == 0) {
                    ASSERT_EQ(q, nullptr);
                    live.erase(live.begin() + static_cast<long>(victim));
                } else {
                    ASSERT_NE(q, nullptr);
                    for (uint32_t i = 0; i < std::min(size, block.size); ++i)
                        ASSERT_EQ(q[i], block.fill);
                    std::memset(q, block.fill, size);
                    live[victim] = {q, size, block.fill};
                }
            } else {
                tavix::mfree(block.p);
                live.erase(live.begin() + static_cast<long>(victim));
            }
        }
        if (step % 500 == 0)
            check_heap();
    }
    for (const Live& block : live) {
        for (uint32_t i = 0; i < block.size; ++i)
            ASSERT_EQ(block.p[i], block.fill);
        tavix::mfree(block.p);
    }
    EXPECT_EQ(check_heap(), 1);
    EXPECT_EQ(first()->size, first_free_size);
}

} // namespace

namespace {

TEST_F(Heap, StatisticsCountUsedBlocksAndFreeBytes)
{
    EXPECT_EQ(tavix::heap_used_blocks(), 0u);
    EXPECT_EQ(tavix::heap_free_bytes(), first_free_size);

    void* a = tavix::malloc(100);
    void* b = tavix::malloc(5);
    void* c = tavix::malloc(7);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(tavix::heap_used_blocks(), 3u);
    EXPECT_EQ(tavix::heap_free_bytes(), first_free_size - (100 + header) - (5 + header) - (7 + header));

    // A free block between used ones counts its bytes but not its header.
    tavix::mfree(b);
    EXPECT_EQ(tavix::heap_used_blocks(), 2u);
    EXPECT_EQ(tavix::heap_free_bytes(), first_free_size - (100 + header) - header - (7 + header));

    tavix::mfree(a);
    tavix::mfree(c);
    EXPECT_EQ(tavix::heap_used_blocks(), 0u);
    EXPECT_EQ(tavix::heap_free_bytes(), first_free_size);
}

} // namespace
