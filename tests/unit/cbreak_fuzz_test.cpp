// Seeded mutation fuzzing of the script compiler: random and mutated scripts must never
// crash, read or write out of bounds, loop without end or leave heap blocks behind.
#include "general/cbreak.hpp"

#include "cpu/mem.hpp"
#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace tavix;

namespace {

constexpr uint32_t default_executions = 30000;
constexpr uint32_t default_seed = 20240601;
constexpr unsigned watchdog_seconds = 10;
constexpr size_t max_input_bytes = 4096;

const char* const corpus[] = {
    "int -> x = 5\nfunc -> start() [\n  print(\"hello\")\n  print_int(x + 2)\n]\n",
    "# comment\nint -> a = 10\nint -> b = 3\nfunc -> start() [ print_int(a - b - 2) print_int(a * b + 4) ]",
    "func -> f(a, b) [ [ nested ] ]\nint -> start(p) [ print(\"<(1e)>colour\") print(\"100%d%s\") ]",
    "int -> m = 2147483647\nfunc -> start() [ print_int(m + 1) print_int(65536 * 65536) print_int(y) ]",
    "func -> g() [ return 1 ]\r\nfunc -> start() [ int -> z = 4 print_int(z) ]\r\n",
    "func -> start(a,b,c,d,e,f,g,h,i,j,k) [ print(\"too many\") ]",
    "func -> start() [ print(\"unterminated ]",
    "int -> x = 1 int -> x = 2 func -> start() [ print_int(x*x*x-x) print(\"<(0c)>red%\") ]",
};

// Pieces that steer mutations toward the grammar's interesting corners.
const char* const dictionary[] = {
    "int", "func", "print", "print_int", "return", "start", "->", "-", ">", "=", "(", ")", "[", "]",
    "[[", "]]", ",", "+", "*", "\"", "#", "\n", "\r", "\t", " ", "%", "%s", "%d", "<(", ")>", "<(1e)>",
    "0", "9", "2147483647", "99999999999999999999999999999999999999", "x", "start()", "_", ";",
};

using Rng = std::mt19937;

uint32_t pick(Rng& rng, uint32_t bound) { return bound == 0 ? 0 : static_cast<uint32_t>(rng() % bound); }

void mutate(std::string& text, Rng& rng)
{
    const uint32_t steps = 1 + pick(rng, 6);
    for (uint32_t step = 0; step < steps; ++step) {
        const uint32_t at = pick(rng, static_cast<uint32_t>(text.size()) + 1);
        switch (pick(rng, 7)) {
        case 0: // flip a byte to any value (NUL ends the text early, which is fine)
            if (!text.empty())
                text[pick(rng, static_cast<uint32_t>(text.size()))] = static_cast<char>(rng());
            break;
        case 1: // insert a grammar piece
            text.insert(at, dictionary[pick(rng, std::size(dictionary))]);
            break;
        case 2: // delete a range
            text.erase(at, pick(rng, 16));
            break;
        case 3: { // duplicate a range somewhere else
            const uint32_t from = pick(rng, static_cast<uint32_t>(text.size()) + 1);
            const std::string piece = text.substr(from, pick(rng, 64));
            text.insert(pick(rng, static_cast<uint32_t>(text.size()) + 1), piece);
            break;
        }
        case 4: { // splice in part of another corpus script
            const std::string other = corpus[pick(rng, std::size(corpus))];
            const uint32_t from = pick(rng, static_cast<uint32_t>(other.size()));
            text.insert(at, other.substr(from, pick(rng, 80)));
            break;
        }
        case 5: // a long run of one character (word, digit, bracket and string limits)
            text.insert(at, std::string(1 + pick(rng, 400), "aZ_9[]\"(#%"[pick(rng, 10)]));
            break;
        default: // a random printable byte
            text.insert(at, 1, static_cast<char>(' ' + pick(rng, 95)));
            break;
        }
    }
    if (text.size() > max_input_bytes)
        text.resize(max_input_bytes);
}

std::string random_text(Rng& rng)
{
    std::string text;
    const uint32_t pieces = pick(rng, 60);
    for (uint32_t i = 0; i < pieces; ++i) {
        text += dictionary[pick(rng, std::size(dictionary))];
        if (pick(rng, 2) == 0)
            text += ' ';
    }
    return text;
}

struct HeapCheck {
    std::vector<std::pair<uint32_t, bool>> blocks;
    bool consistent = true;
};

// The heap lives in one static area that the sanitizer sees as a single object, so an
// overrun of one block shows up here, as a broken header chain, rather than there.
HeapCheck walk_heap()
{
    HeapCheck check;
    uint64_t covered = 0;
    const dynamic_mem_node_t* prev = nullptr;
    for (const dynamic_mem_node_t* node = dynamic_mem_start; node != nullptr; node = node->next) {
        if (node->prev != prev || check.blocks.size() > 100000) {
            check.consistent = false;
            return check;
        }
        check.blocks.emplace_back(node->size, node->used);
        covered += node->size + sizeof(dynamic_mem_node_t);
        prev = node;
    }
    check.consistent = covered == dynamic_mem_total_size;
    return check;
}

// The input under test, for the watchdog's report.
std::string current_input;

void watchdog_fired(int)
{
    static const char message[] = "\nwatchdog: one compile ran too long; input follows\n";
    (void)!write(STDERR_FILENO, message, sizeof message - 1);
    (void)!write(STDERR_FILENO, current_input.data(), current_input.size());
    _exit(1);
}

uint32_t from_environment(const char* name, uint32_t fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr ? static_cast<uint32_t>(std::strtoul(value, nullptr, 10)) : fallback;
}

TEST(ScriptFuzz, MutatedScriptsStayInBoundsAndReleaseEverything)
{
    init_dmem();
    sim::reset();
    sim::set_port_logging(false);
    const HeapCheck clean = walk_heap();
    ASSERT_TRUE(clean.consistent);

    const uint32_t executions = from_environment("TAVIX_FUZZ_RUNS", default_executions);
    const uint32_t seed = from_environment("TAVIX_FUZZ_SEED", default_seed);
    Rng rng(seed);
    std::signal(SIGALRM, watchdog_fired);

    uint32_t errors = 0;
    uint32_t ran_start = 0;
    for (uint32_t run = 0; run < executions; ++run) {
        std::string text = pick(rng, 8) == 0 ? random_text(rng) : corpus[pick(rng, std::size(corpus))];
        mutate(text, rng);
        current_input = text;

        alarm(watchdog_seconds);
        init_compiler(text.c_str());
        compile();
        alarm(0);

        const uint32_t length = static_cast<uint32_t>(std::strlen(text.c_str()));
        // Each token read consumes text, except the end marker and the look-ahead after
        // "int ->" (read twice); the start body is read a second time. So the count is linear.
        if (script_tokens_read() > 4 * length + 8) {
            ADD_FAILURE() << "seed " << seed << " run " << run << ": " << script_tokens_read()
                          << " tokens for " << length << " bytes:\n" << text;
            break;
        }
        const HeapCheck during = walk_heap();
        if (!during.consistent) {
            ADD_FAILURE() << "seed " << seed << " run " << run << ": heap corrupted by:\n" << text;
            break;
        }
        errors += script_has_error() ? 1 : 0;
        ran_start += find_start_function() && !script_has_error() ? 1 : 0;

        free_compiler();
        const HeapCheck after = walk_heap();
        if (!after.consistent || after.blocks != clean.blocks) {
            ADD_FAILURE() << "seed " << seed << " run " << run << ": heap not back to its start after:\n" << text;
            break;
        }
        if (run % 64 == 0) {
            sim::reset();
            sim::set_port_logging(false);
        }
    }
    std::signal(SIGALRM, SIG_DFL);
    sim::set_port_logging(true);

    std::printf("script fuzz: %u executions (seed %u), %u ended in an error, %u ran start cleanly\n",
                executions, seed, errors, ran_start);
    // Both outcomes must be common, or the mutations are not reaching the interesting paths.
    EXPECT_GT(errors, executions / 10);
    EXPECT_GT(ran_start, executions / 20);
}

} // namespace
