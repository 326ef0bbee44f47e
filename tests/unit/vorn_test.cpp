// The shell dispatcher: every command's output and usage rule, the variable forms, echo,
// and the release of the words after each line.
#include "general/vorn.hpp"

#include "cpu/pit.hpp"
#include "drivers/display.hpp"
#include "general/config.hpp"
#include "tests/unit/shell_support.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tavix;

namespace {

class Vorn : public ::testing::Test {
protected:
    void SetUp() override { shell_test::fresh_machine(); }

    // Runs one line on a blank screen and returns what it printed.
    static std::string run(const char* line)
    {
        sim::reset();
        execute_vorn(line);
        return shell_test::screen();
    }

    static void expect_cursor(int row, int col)
    {
        EXPECT_EQ(shell_test::cursor_row(), row);
        EXPECT_EQ(shell_test::cursor_col(), col);
    }
};

TEST_F(Vorn, EmptyOrBlankLinePrintsNothing)
{
    for (const char* line : {"", " ", "    "}) {
        EXPECT_EQ(run(line), "") << '"' << line << '"';
        expect_cursor(0, 0);
    }
}

TEST_F(Vorn, HelpPrintsTheFixedTextAndRejectsArguments)
{
    EXPECT_EQ(run("help"), "Tavix Operating System Shell commands:\n"
                           "  &help:     Displays this help message\n"
                           "  &clear:    Clear the screen\n"
                           "  &tick:     Get current tick count\n"
                           "  &identify: Identify disks (searching for one disk)\n"
                           "            to initiliaze FAT32 on them\n"
                           "  &initfs:   Initiliaze FAT32 on the first disk\n"
                           "  &rainbow:  Show all 16 colors (for screen testing)");
    expect_cursor(8, 0);
    EXPECT_EQ(run("help extra"), "Usage: &help");
    expect_cursor(2, 0);
}

TEST_F(Vorn, ClearBlanksTheScreenOnlyWithoutArguments)
{
    sim::reset();
    kprint("old text\nmore");
    execute_vorn("clear x");
    EXPECT_EQ(shell_test::screen(), "old text\nmoreUsage: &clear");
    execute_vorn("clear");
    EXPECT_EQ(shell_test::screen(), "");
    expect_cursor(0, 0);
    EXPECT_EQ(sim::attr_at(1, 0), default_attribute);
}

TEST_F(Vorn, UnknownWordsGetTheIncorrectCommandMessage)
{
    for (const char* word : {"&help", "identify", "initfs", "HELP", "helpx", "hel"}) {
        EXPECT_EQ(run(word), std::string("vorn: ") + word + ": incorrect command");
        expect_cursor(1, 0);
    }
    EXPECT_EQ(run("foo bar baz"), "vorn: foo: incorrect command");
    EXPECT_EQ(run("  spaced   out "), "vorn: spaced: incorrect command");
}

TEST_F(Vorn, FixedMessagesOfTheUnfinishedCommands)
{
    EXPECT_EQ(run("sector 5"), "don't touch me, i'm reading sector, which is not implemented yet");
    EXPECT_EQ(run("diag_chipset"), "diagchset v1.0\nError: not implemented yet");
    expect_cursor(2, 0);
}

TEST_F(Vorn, VerinfoPrintsTheBanner)
{
    const std::string out = run("verinfo");
    EXPECT_EQ(sim::screen_row(0), std::string(80, ' '));
    EXPECT_EQ(sim::screen_row(1).substr(0, 31), "Tavix 32-bit kernel 0.02 beta  ");
    EXPECT_EQ(sim::char_at(1, 29), ' '); // the blank after the version is written
    EXPECT_EQ(sim::screen_row(2).substr(0, 10), "2024-2025 ");
    expect_cursor(3, 0);
    EXPECT_EQ(run("verinfo extra words"), out);
}

TEST_F(Vorn, RainbowWritesEightyHashesInTheSixteenColours)
{
    run("rainbow");
    EXPECT_EQ(sim::screen_row(0), std::string(80, '#'));
    for (int col = 0; col < 80; ++col)
        EXPECT_EQ(sim::attr_at(0, col), col / 5) << "column " << col;
    // The 80 cells end the row; the newline then leaves an empty row.
    expect_cursor(2, 0);
}

TEST_F(Vorn, TickPrintsTheLowHalfOfTheCounter)
{
    ticks = 1234;
    EXPECT_EQ(run("tick"), "Current tick: 1234ms");
    expect_cursor(1, 0);
    ticks = 0x100000005ull;
    EXPECT_EQ(run("tick"), "Current tick: 5ms");
    ticks = 0xFFFFFFFFull;
    EXPECT_EQ(run("tick"), "Current tick: -1ms");
    ticks = 0;
    EXPECT_EQ(run("tick now"), "Usage: >tick");
    expect_cursor(2, 0);
    // A command's name cannot be assigned with the "=" form.
    EXPECT_EQ(run("tick = 5"), "Usage: >tick");
}

TEST_F(Vorn, DeclarationsNeedExactlyThreeWords)
{
    EXPECT_EQ(run("int x 5"), "");
    expect_cursor(1, 0);
    EXPECT_EQ(find_variable("x")->data.int_value, 5);
    EXPECT_EQ(run("str s hello"), "");
    EXPECT_STREQ(find_variable("s")->data.str_value, "hello");

    EXPECT_EQ(run("int x"), "Usage: >int <var_name> <value>");
    EXPECT_EQ(run("int x 5 6"), "Usage: >int <var_name> <value>");
    EXPECT_EQ(run("int"), "Usage: >int <var_name> <value>");
    EXPECT_EQ(run("str s hello world"), "Usage: >str <var_name> <value>");
    expect_cursor(1, 0);
    EXPECT_EQ(get_var_count(), 2);
}

TEST_F(Vorn, VariableErrorsAreFollowedByAnEmptyLine)
{
    EXPECT_EQ(run("int 9x 1"), "error: variable name cannot start with a digit");
    expect_cursor(2, 0);
    EXPECT_EQ(run("int y 4a2"), "error: variable contains letters");
    expect_cursor(2, 0);
    EXPECT_EQ(run("y = 1"), "syntax error: variable y not found");
    expect_cursor(2, 0);
    EXPECT_EQ(get_var_count(), 0);
}

TEST_F(Vorn, ExportListsEveryDeclarationInSlotOrder)
{
    EXPECT_EQ(run("export"), "");
    expect_cursor(0, 0);
    execute_vorn("int x 5");
    execute_vorn("str s hello");
    execute_vorn("int x -3");
    EXPECT_EQ(run("export"), "int x = 5\nstr s = hello\nint x = -3");
    expect_cursor(3, 0);
    EXPECT_EQ(run("export anything"), "int x = 5\nstr s = hello\nint x = -3");
}

TEST_F(Vorn, AssignmentFormNeedsExactlyThreeWords)
{
    execute_vorn("int x 5");
    execute_vorn("str s hello");
    EXPECT_EQ(run("x = 7"), "");
    expect_cursor(1, 0);
    EXPECT_EQ(find_variable("x")->data.int_value, 7);
    EXPECT_EQ(run("s = world"), "");
    EXPECT_STREQ(find_variable("s")->data.str_value, "world");

    EXPECT_EQ(run("x = 7 8"), "Usage: <var_name> = <value>");
    EXPECT_EQ(run("x ="), "Usage: <var_name> = <value>");
    expect_cursor(1, 0);
    EXPECT_EQ(run("x == 7"), "vorn: x: incorrect command");
    EXPECT_EQ(find_variable("x")->data.int_value, 7);
}

TEST_F(Vorn, EchoPrefersVariablesAndStripsQuotesOfOneWord)
{
    EXPECT_EQ(run("echo"), "Usage: echo <variable_name> | \"hello world\" | 12345");
    expect_cursor(1, 0);
    EXPECT_EQ(run("echo x"), "x");
    execute_vorn("int x 5");
    execute_vorn("str s hello");
    EXPECT_EQ(run("echo x"), "5");
    expect_cursor(1, 0);
    EXPECT_EQ(run("echo s and x"), "hello and 5");
    EXPECT_EQ(run("echo \"hi\""), "hi");
    EXPECT_EQ(run("echo \"hello world\""), "\"hello world\"");
    EXPECT_EQ(run("echo \""), "");
    expect_cursor(1, 0);
    EXPECT_EQ(run("echo \"\" end"), " end");
    EXPECT_EQ(run("echo \"x\""), "x");
    EXPECT_EQ(run("echo a\"b\" \"c"), "a\"b\" \"c");
    // A variable whose name carries the quotes wins over stripping them.
    execute_vorn("str \"q\" value");
    EXPECT_EQ(run("echo \"q\""), "value");
}

TEST_F(Vorn, RebootPulsesTheResetLineAndTheShellCarriesOnIfItReturns)
{
    EXPECT_EQ(run("reboot now"), "");
    EXPECT_EQ(sim::reset_pulses(), 1);
    EXPECT_EQ(run("echo alive"), "alive");
}

TEST_F(Vorn, ShutdownWritesThePowerOffPortsAndNeverReturns)
{
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
    // Take nearly the whole heap: no room is left for the word array.
    void* hog = tavix::malloc(dynamic_mem_total_size - 64);
    ASSERT_NE(hog, nullptr);
    EXPECT_EQ(run("help"), "");
    tavix::mfree(hog);
    EXPECT_NE(run("help"), "");
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

} // namespace
