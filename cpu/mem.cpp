// The kernel heap: best fit over one static area, block headers in a doubly linked list.
#include "cpu/mem.hpp"

#include "general/stdio.hpp"
#include "io/iotools.hpp"

namespace tavix {

// The whole heap, in the zero-filled part of the image.
uint8_t dynamic_mem_area[dynamic_mem_total_size];
constinit dynamic_mem_node_t* dynamic_mem_start = nullptr;

namespace {

constexpr uint32_t header_size = sizeof(dynamic_mem_node_t);
constexpr uint32_t max_request = UINT32_MAX - header_size;

dynamic_mem_node_t* header_of(void* p)
{
    return reinterpret_cast<dynamic_mem_node_t*>(static_cast<uint8_t*>(p) - header_size);
}

void* data_of(dynamic_mem_node_t* node) { return reinterpret_cast<uint8_t*>(node) + header_size; }

} // namespace

void init_dmem()
{
    printf("DMEM: Initiliazing...\n");
    dynamic_mem_start = reinterpret_cast<dynamic_mem_node_t*>(dynamic_mem_area);
    dynamic_mem_start->size = dynamic_mem_total_size - header_size;
    dynamic_mem_start->used = false;
    dynamic_mem_start->next = nullptr;
    dynamic_mem_start->prev = nullptr;
}

dynamic_mem_node_t* find_memblock(dynamic_mem_node_t* dynamic_mem, size_t size)
{
    // A request this close to 4 GiB has no room for its header; the sum below would wrap.
    if (size > max_request)
        return nullptr;
    const uint32_t needed = static_cast<uint32_t>(size) + header_size;

    dynamic_mem_node_t* best = nullptr;
    uint32_t best_size = dynamic_mem_total_size + 1;
    // Best fit; an equal size also wins, so ties go to the block at the higher address.
    for (dynamic_mem_node_t* node = dynamic_mem; node != nullptr; node = node->next) {
        if (!node->used && node->size >= needed && node->size <= best_size) {
            best = node;
            best_size = node->size;
        }
    }
    return best;
}

void* malloc(size_t size)
{
    dynamic_mem_node_t* free_block = find_memblock(dynamic_mem_start, size);
    if (free_block == nullptr)
        return nullptr;

    // Carve the new block out of the top of the free block, which keeps its header.
    free_block->size -= static_cast<uint32_t>(size) + header_size;
    auto* block = reinterpret_cast<dynamic_mem_node_t*>(static_cast<uint8_t*>(data_of(free_block)) + free_block->size);
    block->size = static_cast<uint32_t>(size);
    block->used = true;
    block->prev = free_block;
    block->next = free_block->next;
    if (block->next != nullptr)
        block->next->prev = block;
    free_block->next = block;
    return data_of(block);
}

void mfree(void* p)
{
    if (p == nullptr)
        return;
    dynamic_mem_node_t* node = header_of(p);
    node->used = false;
    merge_current_node_into_previous(merge_next_node_into_current(node));
}

dynamic_mem_node_t* merge_next_node_into_current(dynamic_mem_node_t* current_mem_node)
{
    dynamic_mem_node_t* next = current_mem_node->next;
    if (next == nullptr || next->used)
        return current_mem_node;
    current_mem_node->size += next->size + header_size;
    current_mem_node->next = next->next;
    if (current_mem_node->next != nullptr)
        current_mem_node->next->prev = current_mem_node;
    return current_mem_node;
}

void merge_current_node_into_previous(dynamic_mem_node_t* current_mem_node)
{
    dynamic_mem_node_t* prev = current_mem_node->prev;
    if (prev == nullptr || prev->used)
        return;
    prev->size += current_mem_node->size + header_size;
    prev->next = current_mem_node->next;
    if (prev->next != nullptr)
        prev->next->prev = prev;
}

void* krealloc(void* ptr, size_t new_size)
{
    if (ptr == nullptr)
        return malloc(new_size);
    if (new_size == 0) {
        mfree(ptr);
        return nullptr;
    }
    void* moved = malloc(new_size);
    if (moved == nullptr)
        return nullptr;
    uint32_t old_size = header_of(ptr)->size;
    uint32_t keep = new_size < old_size ? static_cast<uint32_t>(new_size) : old_size;
    memcpy(static_cast<const int*>(ptr), static_cast<int*>(moved), static_cast<int>(keep));
    mfree(ptr);
    return moved;
}

} // namespace tavix
