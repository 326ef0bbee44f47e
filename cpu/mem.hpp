// The kernel heap: best fit over one static area, block headers in a doubly linked list.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tavix {

// Block sizes are not rounded, so headers (and the blocks behind them) sit at any byte
// address. The header is packed, with its padding spelled out, so that the compiler makes no
// alignment assumption when it reads one; the layout is the natural one of a 32-bit target.
struct [[gnu::packed]] dynamic_mem_node {
    uint32_t size; // usable bytes behind the header
    bool used;
    uint8_t reserved[3];
    dynamic_mem_node* next;
    dynamic_mem_node* prev;
};
using dynamic_mem_node_t = dynamic_mem_node;
static_assert(sizeof(void*) != 4 || sizeof(dynamic_mem_node) == 16, "the heap arithmetic assumes a 16-byte header");
static_assert(sizeof(void*) != 4 || offsetof(dynamic_mem_node, next) == 8, "next follows size and used");
static_assert(sizeof(void*) != 4 || offsetof(dynamic_mem_node, prev) == 12, "prev closes the header");

constexpr uint32_t dynamic_mem_total_size = 1024000000;

extern uint8_t dynamic_mem_area[dynamic_mem_total_size];
extern dynamic_mem_node_t* dynamic_mem_start;

void init_dmem();
dynamic_mem_node_t* find_memblock(dynamic_mem_node_t* dynamic_mem, size_t size);
void* malloc(size_t size);
void mfree(void* p);
dynamic_mem_node_t* merge_next_node_into_current(dynamic_mem_node_t* current_mem_node);
void merge_current_node_into_previous(dynamic_mem_node_t* current_mem_node);
void* krealloc(void* ptr, size_t new_size);

} // namespace tavix
