// One script through the compiler and back, with the checks every fuzzing input gets; shared
// by the libFuzzer target, the seeded fuzz loop and the compiler's unit tests.
#pragma once

#include "cpu/mem.hpp"
#include "general/cbreak.hpp"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace script_fuzz {

using HeapBlocks = std::vector<std::pair<uint32_t, bool>>;

// The heap as (size, used) blocks; empty when the header chain is broken or the blocks no
// longer tile the area. The heap is one static area the sanitizer sees as a single object,
// so an overrun of one block shows up here rather than there.
inline HeapBlocks heap_blocks()
{
    HeapBlocks blocks;
    uint64_t covered = 0;
    const tavix::dynamic_mem_node_t* prev = nullptr;
    for (const tavix::dynamic_mem_node_t* node = tavix::dynamic_mem_start; node != nullptr; node = node->next) {
        if (node->prev != prev || blocks.size() > 100000)
            return {};
        blocks.emplace_back(node->size, node->used);
        covered += node->size + sizeof(tavix::dynamic_mem_node_t);
        prev = node;
    }
    return covered == tavix::dynamic_mem_total_size ? blocks : HeapBlocks{};
}

// Compiles and runs the text (up to its first NUL) and releases it. Returns null when all
// went well, else what went wrong: more tokens than a linear pass allows (each token read
// consumes text, except the end marker, the look-ahead after "int ->" and the second reading
// of the start body), or a heap that is broken or not back to `clean`.
inline const char* round_trip(const std::string& text, const HeapBlocks& clean)
{
    tavix::init_compiler(text.c_str());
    tavix::compile();
    if (tavix::script_tokens_read() > 4 * std::char_traits<char>::length(text.c_str()) + 8)
        return "token count not linear in the text";
    if (heap_blocks().empty())
        return "heap corrupted";
    tavix::free_compiler();
    return heap_blocks() == clean ? nullptr : "heap not back to its start";
}

} // namespace script_fuzz
