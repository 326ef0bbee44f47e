// libFuzzer entry for the script compiler: each input is one script, compiled, run and
// released; the kernel heap must come back exactly as it was.
#include "general/cbreak.hpp"

#include "cpu/mem.hpp"
#include "tests/sim/sim.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr size_t max_input_bytes = 1 << 16;
constexpr uint32_t inputs_per_screen_reset = 64;

std::vector<std::pair<uint32_t, bool>> heap_blocks()
{
    std::vector<std::pair<uint32_t, bool>> blocks;
    for (const tavix::dynamic_mem_node_t* node = tavix::dynamic_mem_start; node != nullptr; node = node->next)
        blocks.emplace_back(node->size, node->used);
    return blocks;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool started = false;
    static std::vector<std::pair<uint32_t, bool>> clean;
    static uint32_t inputs = 0;
    if (!started) {
        tavix::init_dmem();
        clean = heap_blocks();
        started = true;
    }
    if (inputs++ % inputs_per_screen_reset == 0) {
        sim::reset();
        sim::set_port_logging(false);
    }
    if (size > max_input_bytes)
        return 0;

    // The compiler reads a NUL-terminated text, so the input ends at its first NUL.
    const std::string text(reinterpret_cast<const char*>(data), size);
    tavix::init_compiler(text.c_str());
    tavix::compile();
    if (tavix::script_tokens_read() > 4 * size + 8)
        std::abort();
    tavix::free_compiler();
    if (heap_blocks() != clean)
        std::abort();
    return 0;
}
