// libFuzzer entry for the script compiler: each input is one script, compiled, run and
// released; the kernel heap must come back exactly as it was.
#include "tests/fuzz/script_round_trip.hpp"
#include "tests/sim/sim.hpp"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    constexpr size_t max_input_bytes = 1 << 16;
    constexpr uint32_t inputs_per_screen_reset = 64;
    static script_fuzz::HeapBlocks clean;
    static uint32_t inputs = 0;
    if (inputs == 0) {
        tavix::init_dmem();
        clean = script_fuzz::heap_blocks();
    }
    if (inputs++ % inputs_per_screen_reset == 0) {
        sim::reset();
        sim::set_port_logging(false);
    }
    if (size > max_input_bytes)
        return 0;
    if (const char* fault = script_fuzz::round_trip(std::string(reinterpret_cast<const char*>(data), size), clean)) {
        std::fprintf(stderr, "script compiler: %s\n", fault);
        std::abort();
    }
    return 0;
}
