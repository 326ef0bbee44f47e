// The shell dispatcher and its variables: every command's output and usage rule, the
// declaration and assignment rules, echo, the full variable table, the shell's initial
// current directory and the heap after many lines.
#include "general/vorn.hpp"

#include "cpu/pit.hpp"
#include "drivers/display.hpp"
#include "general/config.hpp"
#include "tests/unit/shell_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace tavix;

namespace {

class Vorn : public ::testing::Test {
protected:
    void SetUp() override { shell_test::fresh_machine(); }

    // Runs one line on a blank screen and checks all it printed, newlines included: the text
    // row by row and the cursor where the last character left it.
    static void expect_run(const std::string& line, const std::string& printed)
    {
        SCOPED_TRACE("line \"" + line + "\"");
        sim::reset();
        execute_vorn(line.c_str());
        std::string text = printed;
        text.erase(text.find_last_not_of('\n') + 1);
        EXPECT_EQ(shell_test::screen(), text);
        const size_t last_newline = printed.rfind('\n');
        EXPECT_EQ(shell_test::cursor_row(), std::count(printed.begin(), printed.end(), '\n'));
        EXPECT_EQ(shell_test::cursor_col(), printed.size() - (last_newline == std::string::npos ? 0 : last_newline + 1));
    }
};

TEST_F(Vorn, SessionOfCommandsAndVariables)
{
    const std::string int_usage = "Usage: >int <var_name> <value>\n";
    const std::string assign_usage = "Usage: <var_name> = <value>\n";
    const std::string digit_error = "error: variable name cannot start with a digit\n\n";
    const std::pair<const char*, std::string> session[] = {
        {"", ""},
        {"    ", ""},
        {"help",
         "Tavix Operating System Shell commands:\n  &help:     Displays this help message\n"
         "  &clear:    Clear the screen\n  &tick:     Get current tick count\n"
         "  &identify: Identify disks (searching for one disk)\n            to initiliaze FAT32 on them\n"
         "  &initfs:   Initiliaze FAT32 on the first disk\n  &rainbow:  Show all 16 colors (for screen testing)\n"},
        {"help extra", "Usage: &help\n\n"},
        {"clear x", "Usage: &clear\n\n"},
        {"&help", "vorn: &help: incorrect command\n"},
        {"identify", "vorn: identify: incorrect command\n"},
        {"HELP", "vorn: HELP: incorrect command\n"},
        {"helpx", "vorn: helpx: incorrect command\n"},
        {"hel", "vorn: hel: incorrect command\n"},
        {"  spaced   out ", "vorn: spaced: incorrect command\n"},
        {"sector 5", "don't touch me, i'm reading sector, which is not implemented yet\n"},
        {"diag_chipset", "diagchset v1.0\nError: not implemented yet\n"},
        {"verinfo extra words", "\nTavix 32-bit kernel 0.02 beta\n2024-2025 built and maintained by the Tavix developers\n"},
        {"tick now", "Usage: >tick\n\n"},
        {"tick = 5", "Usage: >tick\n\n"}, // a command's name is no variable
        {"export", ""},
        {"echo", "Usage: echo <variable_name> | \"hello world\" | 12345\n"},
        {"echo x", "x\n"},
        {"int x 5", "\n"},
        {"str s hello", "\n"},
        {"int x -3", "\n"},
        {"int X 2", "\n"},
        {"export anything", "int x = 5\nstr s = hello\nint x = -3\nint X = 2\n"},
        {"echo x X s", "5 2 hello\n"}, // names are case-sensitive, the earliest declaration wins
        {"int x", int_usage},
        {"int x 5 6", int_usage},
        {"int", int_usage},
        {"str s hello world", "Usage: >str <var_name> <value>\n"},
        {"int 9x 1", digit_error},
        {"str 9lives cat", digit_error},
        {"int y 4a2", "error: variable contains letters\n\n"},
        {"y = 1", "syntax error: variable y not found\n\n"},
        // Integers convert up to the first non-digit; only the first character of a name is
        // checked, and a string takes any text.
        {"int neg -17", "\n"},
        {"int bang 5!", "\n"},
        {"int dash 12-3", "\n"},
        {"int sign -", "\n"},
        {"int lives9 1", "\n"},
        {"str a.b 12ab!", "\n"},
        {"echo neg bang dash sign lives9 a.b", "-17 5 12 0 1 12ab!\n"},
        {"x = 7", "\n"},
        {"s = world", "\n"},
        {"echo x s", "7 world\n"},
        {"x = 7 8", assign_usage},
        {"x =", assign_usage},
        {"x == 7", "vorn: x: incorrect command\n"},
        // Assigning to an integer takes any text and keeps the type.
        {"x = abc", "\n"},
        {"echo x", "0\n"},
        {"x = 7x", "\n"},
        {"echo s and x", "world and 7\n"},
        {"echo \"hi\"", "hi\n"},
        {"echo \"hello world\"", "\"hello world\"\n"},
        {"echo \"", "\n"},
        {"echo \"\" end", " end\n"},
        {"echo \"x\"", "x\n"},
        {"echo a\"b\" \"c", "a\"b\" \"c\n"},
        // A variable whose name carries the quotes wins over stripping them.
        {"str \"q\" value", "\n"},
        {"echo \"q\"", "value\n"},
    };
    for (const auto& [line, printed] : session)
        expect_run(line, printed);
    EXPECT_EQ(get_var_count(), 11);
    EXPECT_EQ(find_variable("x"), &var[0]);
    // The rows above are compared without trailing blanks; the banner's version ends with a
    // written blank, not an untouched cell.
    sim::reset();
    execute_vorn("verinfo");
    EXPECT_EQ(sim::char_at(1, 29), ' ');
}

TEST_F(Vorn, ClearBlanksTheScreen)
{
    kprint("old text\nmore");
    execute_vorn("clear");
    EXPECT_EQ(shell_test::screen(), "");
    EXPECT_EQ(sim::cursor_cell(), 0);
    EXPECT_EQ(sim::attr_at(1, 0), default_attribute);
}

TEST_F(Vorn, RainbowWritesEightyHashesInTheSixteenColours)
{
    execute_vorn("rainbow");
    EXPECT_EQ(sim::screen_row(0), std::string(80, '#'));
    for (int col = 0; col < 80; ++col)
        EXPECT_EQ(sim::attr_at(0, col), col / 5) << "column " << col;
    // The 80 cells end the row; the newline then leaves an empty row.
    EXPECT_EQ(sim::cursor_cell(), 2 * 80);
}

TEST_F(Vorn, TickPrintsTheLowHalfOfTheCounter)
{
    const std::pair<uint64_t, const char*> cases[] = {
        {1234, "Current tick: 1234ms\n"}, {0x100000005ull, "Current tick: 5ms\n"}, {0xFFFFFFFFull, "Current tick: -1ms\n"}};
    for (const auto& [count, printed] : cases) {
        ticks = count;
        expect_run("tick", printed);
    }
    ticks = 0;
}

TEST_F(Vorn, RebootPulsesTheResetLineAndShutdownNeverReturns)
{
    expect_run("reboot now", "");
    EXPECT_EQ(sim::reset_pulses(), 1);
    // Should the reset not happen, the shell carries on.
    expect_run("echo alive", "alive\n");

    sim::reset();
    EXPECT_THROW(execute_vorn("shutdown"), sim::Halted);
    const std::vector<sim::PortAccess> writes = sim::writes_to({0xB004, 0x604, 0x4004});
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].port, 0xB004);
    EXPECT_EQ(writes[0].value, 0x2000u);
    EXPECT_EQ(writes[2].value, 0x3400u);
}

TEST_F(Vorn, AnExhaustedHeapMakesTheLineDoNothing)
{
    // Nearly the whole heap taken: no room is left for the word array.
    void* hog = tavix::malloc(dynamic_mem_total_size - 64);
    ASSERT_NE(hog, nullptr);
    expect_run("help extra", "");
    tavix::mfree(hog);
    expect_run("help extra", "Usage: &help\n\n");
}

TEST_F(Vorn, TenThousandCommandsLeaveTheHeapAsTheyFoundIt)
{
    execute_vorn("int x 5");
    execute_vorn("str s hello");
    sim::set_port_logging(false);
    const shell_test::HeapUse before = shell_test::heap_use();
    const char* lines[] = {
        "help",          "help extra", "clear x",   "sector a b", "export",        "echo",
        "echo x s \"q\"", "int",        "int a b c", "str a b c d", "diag_chipset", "verinfo",
        "rainbow",       "tick",       "tick 1",    "x = 9",      "x = 1 2",       "s = hello",
        "nothing",       "y = 3",      "   ",       "int 1a 2",   "int z 4q",      "clear",
    };
    for (int i = 0; i < 10000; ++i)
        execute_vorn(lines[i % std::size(lines)]);
    EXPECT_EQ(shell_test::heap_use(), before);
    EXPECT_EQ(get_var_count(), 2);
}

TEST_F(Vorn, StringAssignmentReleasesTheOldCopyAndFreeVariablesEverything)
{
    const shell_test::HeapUse empty = shell_test::heap_use();
    init_variable("s", "hello", TYPE_STR);
    init_variable("n", "1", TYPE_INT);
    const shell_test::HeapUse declared = shell_test::heap_use();
    assign_variable("s", "world");
    EXPECT_STREQ(find_variable("s")->data.str_value, "world");
    EXPECT_EQ(shell_test::heap_use().blocks, declared.blocks);
    free_variables();
    EXPECT_EQ(shell_test::heap_use(), empty);
    EXPECT_EQ(get_var_count(), 0);
    EXPECT_EQ(find_variable("s"), nullptr);
    // The emptied table is used afresh from its first slot.
    init_variable("c", "3", TYPE_INT);
    EXPECT_EQ(find_variable("c"), &var[0]);
}

TEST_F(Vorn, FullTableRefusesFurtherDeclarationsWithOneLine)
{
    for (int i = 0; i < max_variables; ++i)
        init_variable(("v" + std::to_string(i)).c_str(), "1", TYPE_INT);
    ASSERT_EQ(var_count, static_cast<uint64_t>(max_variables));
    EXPECT_EQ(shell_test::screen(), "");
    const shell_test::HeapUse before = shell_test::heap_use();
    init_variable("late", "2", TYPE_INT);
    init_variable("later", "text", TYPE_STR);
    EXPECT_EQ(var_count, static_cast<uint64_t>(max_variables));
    EXPECT_EQ(find_variable("late"), nullptr);
    EXPECT_EQ(shell_test::heap_use(), before);
    EXPECT_EQ(shell_test::screen(), "error: too many variables\nerror: too many variables");
    EXPECT_EQ(find_variable("v511"), &var[511]);
}

TEST_F(Vorn, StartGlobalConfigMakesTheRootTheOnlyEntryOutsideTheHeap)
{
    start_global_config();
    ASSERT_EQ(current_directory.num_entries, 1u);
    EXPECT_STREQ(current_directory.entries[0].name, "/");
    EXPECT_EQ(current_directory.entries[0].first_cluster, 0u);
    EXPECT_EQ(current_directory.cluster, 0u);
    // Set up before the heap exists: the array must not be one of its blocks.
    const auto* entries = reinterpret_cast<const uint8_t*>(current_directory.entries);
    EXPECT_TRUE(entries < dynamic_mem_area || entries >= dynamic_mem_area + dynamic_mem_total_size);
}

} // namespace
