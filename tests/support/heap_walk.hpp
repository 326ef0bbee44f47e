// One walk over the kernel heap's block list, for tests on the host and in the kernel: what is
// in use, and whether the list is sound. Freestanding, so the in-kernel tests can use it too.
#pragma once

#include "cpu/mem.hpp"

#include <stdint.h>

namespace heap_test {

struct heap_walk {
    uint32_t blocks = 0;
    uint32_t used_blocks = 0;
    uint64_t used_bytes = 0;
    uint64_t free_bytes = 0; // in free blocks, their headers not counted
    // The blocks follow each other without gap or overlap and cover the whole area.
    bool tiles_area = true;
    // Every block's prev is the block before it.
    bool links_agree = true;
    // No two free blocks lie next to each other (a free always merges them).
    bool merged = true;
};

constexpr uint32_t block_header_bytes = sizeof(tavix::dynamic_mem_node_t);

inline heap_walk walk_heap()
{
    heap_walk walk;
    uint64_t covered = 0;
    auto* expected = tavix::dynamic_mem_area;
    tavix::dynamic_mem_node_t* prev = nullptr;
    for (auto* node = tavix::dynamic_mem_start; node != nullptr; node = node->next) {
        walk.tiles_area = walk.tiles_area && reinterpret_cast<uint8_t*>(node) == expected;
        walk.links_agree = walk.links_agree && node->prev == prev;
        walk.merged = walk.merged && !(prev != nullptr && !prev->used && !node->used);
        ++walk.blocks;
        if (node->used) {
            ++walk.used_blocks;
            walk.used_bytes += node->size;
        } else {
            walk.free_bytes += node->size;
        }
        covered += block_header_bytes + node->size;
        expected = reinterpret_cast<uint8_t*>(node) + block_header_bytes + node->size;
        prev = node;
    }
    walk.tiles_area = walk.tiles_area && covered == tavix::dynamic_mem_total_size;
    return walk;
}

} // namespace heap_test
