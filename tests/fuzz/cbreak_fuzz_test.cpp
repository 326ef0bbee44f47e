// Seeded mutation fuzzing of the script compiler on the libFuzzer target's corpus and
// dictionary: mutated scripts must never crash, read or write out of bounds, loop without
// end or leave heap blocks behind. TAVIX_FUZZ_RUNS and TAVIX_FUZZ_SEED override the defaults.
#include "tests/fuzz/script_round_trip.hpp"
#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <unistd.h>

namespace {

constexpr uint32_t default_executions = 20000;
constexpr uint32_t default_seed = 20240601;
constexpr unsigned watchdog_seconds = 10;
constexpr size_t max_input_bytes = 4096;
const std::string fuzz_dir = TAVIX_SOURCE_DIR "/tests/fuzz/";

std::vector<std::string> read_corpus()
{
    std::vector<std::string> scripts;
    for (const auto& entry : std::filesystem::directory_iterator(fuzz_dir + "cbreak_corpus")) {
        std::ostringstream text;
        text << std::ifstream(entry.path(), std::ios::binary).rdbuf();
        scripts.push_back(text.str());
    }
    return scripts;
}

// The dictionary's quoted entries, with its \" \\ and \xNN escapes undone.
std::vector<std::string> read_dictionary()
{
    std::vector<std::string> pieces;
    std::ifstream file(fuzz_dir + "cbreak.dict");
    for (std::string line; std::getline(file, line);) {
        if (line.size() < 2 || line.front() != '"')
            continue;
        std::string piece;
        for (size_t i = 1; i + 1 < line.size(); ++i) {
            if (line[i] == '\\' && line[i + 1] == 'x')
                piece += static_cast<char>(std::stoi(line.substr(i + 2, 2), nullptr, 16)), i += 3;
            else
                piece += line[i] == '\\' ? line[++i] : line[i];
        }
        pieces.push_back(piece);
    }
    return pieces;
}

std::string current_input; // for the watchdog's report

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
    const std::vector<std::string> corpus = read_corpus();
    const std::vector<std::string> dictionary = read_dictionary();
    ASSERT_GE(corpus.size(), 5u);
    ASSERT_GE(dictionary.size(), 30u);
    tavix::init_dmem();
    const script_fuzz::HeapBlocks clean = script_fuzz::heap_blocks();
    ASSERT_FALSE(clean.empty());

    const uint32_t executions = from_environment("TAVIX_FUZZ_RUNS", default_executions);
    const uint32_t seed = from_environment("TAVIX_FUZZ_SEED", default_seed);
    std::mt19937 rng(seed);
    auto pick = [&](size_t bound) { return bound == 0 ? size_t{0} : rng() % bound; };
    std::signal(SIGALRM, watchdog_fired);

    uint32_t errors = 0;
    uint32_t ran_start = 0;
    for (uint32_t run = 0; run < executions; ++run) {
        if (run % 64 == 0) {
            sim::reset();
            sim::set_port_logging(false);
        }
        std::string text = corpus[pick(corpus.size())];
        for (size_t step = 0, steps = 1 + pick(6); step < steps; ++step) {
            const size_t at = pick(text.size() + 1);
            switch (pick(5)) {
            case 0: // any byte value (a NUL ends the text early, which is fine)
                text.insert(at, 1, static_cast<char>(rng()));
                break;
            case 1:
                text.insert(at, dictionary[pick(dictionary.size())]);
                break;
            case 2:
                text.erase(at, pick(16));
                break;
            case 3: { // part of another script
                const std::string& other = corpus[pick(corpus.size())];
                text.insert(at, other.substr(pick(other.size()), pick(80)));
                break;
            }
            default: // a long run of one character: word, number, string and bracket limits
                text.insert(at, 1 + pick(400), "aZ_9[]\"(#%"[pick(10)]);
                break;
            }
        }
        text.resize(std::min(text.size(), max_input_bytes));
        current_input = text;

        alarm(watchdog_seconds);
        const char* fault = script_fuzz::round_trip(text, clean);
        alarm(0);
        if (fault != nullptr) {
            ADD_FAILURE() << "seed " << seed << " run " << run << ": " << fault << " after:\n" << text;
            break;
        }
        // Without an error the compile found start and ran it to the end.
        (tavix::script_has_error() ? errors : ran_start) += 1;
    }
    std::signal(SIGALRM, SIG_DFL);
    sim::set_port_logging(true);

    std::printf("script fuzz: %u executions (seed %u), %u ended in an error, %u ran start cleanly\n", executions,
                seed, errors, ran_start);
    // Both outcomes must be common, or the mutations are not reaching the interesting paths.
    EXPECT_GT(errors, executions / 10);
    EXPECT_GT(ran_start, executions / 20);
}

} // namespace
