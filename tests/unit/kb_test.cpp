// The keyboard: decoding maps, the three IRQ 1 handlers driven through the simulated
// controller, line editing, the status marks, the history ring and the line readers.
#include "io/kb.hpp"

#include "drivers/display.hpp"
#include "general/stdio.hpp"
#include "tests/unit/shell_support.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace tavix;

namespace {

constexpr uint8_t release = 0x80;
constexpr irq_handler_t all_handlers[] = {vorn, handler, agent_handler};

class Keyboard : public ::testing::Test {
protected:
    void SetUp() override { shell_test::fresh_machine(); }

    // The shell as start-up leaves it: a prompt at the cursor (row 0 unless a test moved
    // it), the line beginning behind it, vorn on IRQ 1.
    static void start_shell()
    {
        tavix::printf("masteruser: %s &", "/");
        begin_line();
        irq_install_handler(keyboard_irq, vorn);
    }

    static void deliver(std::initializer_list<int> scancodes)
    {
        for (int s : scancodes)
            sim::deliver(static_cast<uint8_t>(s));
    }

    static void press(uint8_t k, int times = 1)
    {
        for (int i = 0; i < times; ++i)
            sim::press(k);
    }

    static void expect_cursor(int row, int col)
    {
        EXPECT_EQ(shell_test::cursor_row(), row);
        EXPECT_EQ(shell_test::cursor_col(), col);
    }
};

TEST(KeyboardMaps, EveryRowUnshiftedAndShiftedAndNothingElse)
{
    struct Row {
        int first;
        const char* low;
        const char* high;
    };
    const Row rows[] = {
        {2, "1234567890-=", "!@#$%^&*()_+"}, {16, "qwertyuiop[]", "QWERTYUIOP{}"}, {30, "asdfghjkl;", "ASDFGHJKL:"},
        {43, "\\zxcvbnm,./", "|ZXCVBNM<>?"}, {57, " ", " "},
    };
    int with_char = 0;
    for (const Row& r : rows) {
        for (int i = 0; r.low[i] != 0; ++i, ++with_char) {
            EXPECT_EQ(get_acsii_low(static_cast<char>(r.first + i)), r.low[i]) << "key " << r.first + i;
            EXPECT_EQ(get_acsii_high(static_cast<char>(r.first + i)), r.high[i]) << "key " << r.first + i;
        }
    }
    // Every other code, negative ones included, gives nothing in either map.
    int low = 0, high = 0;
    for (int code = -128; code < 128; ++code) {
        low += get_acsii_low(static_cast<char>(code)) != 0;
        high += get_acsii_high(static_cast<char>(code)) != 0;
    }
    EXPECT_EQ(low, with_char);
    EXPECT_EQ(high, with_char);
}

TEST_F(Keyboard, ModifierMakeAndBreakRulesAndCapsLockAsALatchedShift)
{
    start_shell();
    sim::deliver(key::left_shift);
    EXPECT_EQ(capsOn, 1);
    sim::deliver(key::left_shift | release);
    EXPECT_EQ(capsOn, 0);
    // Every Caps Lock make toggles, a break changes nothing.
    deliver({key::caps_lock, key::caps_lock});
    EXPECT_EQ(capsLock, 0);
    deliver({key::caps_lock, key::caps_lock | release});
    EXPECT_EQ(capsLock, 1);
    deliver({2, 2 | release, 30, 30 | release, 39}); // 1 a ;
    // Shift on top of Caps Lock still gives the shifted character.
    deliver({key::left_shift, 30, key::left_shift | release});
    deliver({key::caps_lock, 30});
    // Right Shift is no modifier and, having no character, types nothing.
    deliver({key::right_shift, 30});
    EXPECT_STREQ(input, "!A:Aaa");
    EXPECT_EQ(capsOn + capsLock, 0);
    EXPECT_EQ(sim::screen_row(0).substr(15, 7), "!A:Aaa ");
    expect_cursor(0, 21);
}

TEST_F(Keyboard, KeysWithoutACharacterTypeNothingAndAFullLineDropsKeysInEveryHandler)
{
    for (irq_handler_t h : all_handlers) {
        shell_test::fresh_machine();
        sim::set_port_logging(false);
        irq_install_handler(keyboard_irq, h);
        for (int k : {int{key::right_shift}, 55, 71, 83, 89, 0x7F, 0})
            sim::press(static_cast<uint8_t>(k));
        EXPECT_STREQ(input, "");
        EXPECT_EQ(sim::cursor_cell(), 0);
        EXPECT_EQ(sim::char_at(0, 0), 0);

        for (int i = 0; i < input_capacity + 500; ++i) {
            sim::press(static_cast<uint8_t>(16 + i % 10));
            if (i % 97 == 0)
                sim::press(key::backtick);
        }
        EXPECT_EQ(tavix::strlen(input), input_capacity);
        // Exactly one echoed cell per stored character.
        EXPECT_EQ(sim::cursor_cell(), input_capacity);
        EXPECT_EQ(sim::char_at(input_capacity / 80, input_capacity % 80), 0);
        deliver({key::backspace, 30});
        EXPECT_EQ(input[input_capacity - 1], 'a');
    }
}

TEST_F(Keyboard, ApostropheAndBacktickActOnRelease)
{
    start_shell();
    deliver({key::apostrophe, key::backtick});
    EXPECT_STREQ(input, "");
    deliver({key::apostrophe | release, key::backtick | release});
    EXPECT_STREQ(input, "'~");
    // In the shell, Shift or Caps Lock on when the key comes up gives the double quote.
    sim::deliver(key::left_shift);
    press(key::apostrophe);
    press(key::backtick);
    deliver({key::left_shift | release, key::caps_lock});
    press(key::apostrophe);
    EXPECT_STREQ(input, "'~\"~\"");
    EXPECT_EQ(sim::screen_row(0).substr(15, 5), "'~\"~\"");

    // The readers always give an apostrophe, and one tilde per keystroke; the masked one
    // echoes stars.
    for (irq_handler_t h : {handler, agent_handler}) {
        shell_test::fresh_machine();
        irq_install_handler(keyboard_irq, h);
        sim::set_cursor_cell(80);
        capsLock = 1;
        sim::deliver(key::left_shift);
        press(key::apostrophe);
        press(key::backtick);
        EXPECT_STREQ(input, "'~");
        EXPECT_EQ(sim::screen_row(1).substr(0, 3), h == handler ? "'~ " : "** ");
    }
}

TEST_F(Keyboard, StatusMarksOverlapInTheTopLeftCells)
{
    sim::set_cursor_cell(5 * 80 + 7);
    irq_install_handler(keyboard_irq, handler);
    sim::deliver(key::caps_lock);
    EXPECT_EQ(sim::screen_row(0).substr(0, 10), " CAPS LOCK");
    sim::deliver(key::left_shift);
    EXPECT_EQ(sim::screen_row(0).substr(0, 10), " SHIFTLOCK");
    sim::deliver(key::left_shift | release);
    EXPECT_EQ(sim::screen_row(0).substr(0, 11), "      LOCK ");
    for (int col = 0; col < 10; ++col)
        EXPECT_EQ(sim::attr_at(0, col), status_attribute) << col;
    sim::deliver(key::caps_lock);
    EXPECT_EQ(sim::screen_row(0).substr(0, 10), std::string(10, ' '));
    EXPECT_EQ(sim::attr_at(0, 9), status_attribute);
    // The marks never move the typing position.
    expect_cursor(5, 7);

    // The shell tracks the same modifiers without drawing anything.
    shell_test::fresh_machine();
    start_shell();
    deliver({key::caps_lock, key::left_shift});
    EXPECT_EQ(sim::screen_row(0).substr(0, 16), "masteruser: / & ");
    EXPECT_EQ(capsOn + capsLock, 2);
}

TEST_F(Keyboard, ReaderShowsTheScancodeWhileAKeyIsDown)
{
    irq_install_handler(keyboard_irq, handler);
    sim::deliver(30);
    EXPECT_EQ(sim::screen_row(0).substr(75, 2), "30");
    EXPECT_EQ(sim::attr_at(0, 75), status_attribute);
    sim::deliver(30 | release);
    EXPECT_EQ(sim::screen_row(0).substr(75, 5), "     ");
    EXPECT_EQ(sim::attr_at(0, 79), status_attribute);
    EXPECT_STREQ(input, "a");
    expect_cursor(0, 1);
    // The masked reader leaves that field alone.
    shell_test::fresh_machine();
    irq_install_handler(keyboard_irq, agent_handler);
    press(30);
    EXPECT_EQ(sim::char_at(0, 75), 0);
}

TEST_F(Keyboard, BackspaceStopsAtTheBarrierAndOnAnEmptyLine)
{
    start_shell();
    EXPECT_EQ(barrier, 15 * 2);
    // An empty line leaves the prompt alone.
    press(key::backspace);
    EXPECT_EQ(sim::screen_row(0).substr(0, 15), "masteruser: / &");
    sim::type("abc");
    press(key::backspace);
    EXPECT_STREQ(input, "ab");
    EXPECT_EQ(sim::screen_row(0).substr(15, 3), "ab ");
    expect_cursor(0, 17);
    // The break of Backspace does nothing.
    sim::deliver(key::backspace | release);
    EXPECT_STREQ(input, "ab");
    // Erasing stops where the line began, however often Backspace comes.
    press(key::backspace, 4);
    EXPECT_STREQ(input, "");
    EXPECT_EQ(sim::screen_row(0), "masteruser: / &" + std::string(65, ' '));
    expect_cursor(0, 15);

    // A reader's barrier is the offset where the read started.
    shell_test::fresh_machine();
    sim::set_cursor_cell(10);
    barrier = 10 * 2;
    irq_install_handler(keyboard_irq, handler);
    sim::type("xy");
    press(key::backspace, 3);
    EXPECT_STREQ(input, "");
    expect_cursor(0, 10);
    // The masked reader has no barrier and erases nothing on screen.
    shell_test::fresh_machine();
    irq_install_handler(keyboard_irq, agent_handler);
    sim::type("ab");
    press(key::backspace);
    EXPECT_STREQ(input, "a");
    EXPECT_EQ(sim::screen_row(0).substr(0, 4), "*** ");
    char empty[] = "";
    EXPECT_EQ(backspace_func(empty), 0);
}

TEST_F(Keyboard, ArrowsStayWithinTheLineAndEditsHappenAtItsEnd)
{
    start_shell();
    press(key::left);
    expect_cursor(0, 15);
    sim::type("ab");
    press(key::right);
    expect_cursor(0, 17);
    press(key::left, 3);
    EXPECT_EQ(cursor_index, 0);
    expect_cursor(0, 15);
    press(key::right);
    EXPECT_EQ(cursor_index, 1);
    expect_cursor(0, 16);
    // Typing always extends the end of the line, and the echo lands there too.
    sim::type("c");
    EXPECT_STREQ(input, "abc");
    EXPECT_EQ(sim::screen_row(0).substr(15, 4), "abc ");
    expect_cursor(0, 18);
    press(key::left);
    press(key::backspace);
    EXPECT_STREQ(input, "ab");
    EXPECT_EQ(sim::screen_row(0).substr(15, 4), "ab  ");
    // Up, Down and the 0xE0 prefix do nothing.
    press(key::up);
    press(key::down);
    sim::deliver(0xE0);
    EXPECT_STREQ(input, "ab");
    expect_cursor(0, 17);
}

// A line longer than a row: Enter with the cursor moved back onto the first row still puts
// the output after the whole line, and Backspace erases across the row boundary up to the
// prompt and no further.
TEST_F(Keyboard, EnterAndBackspaceOnAWrappedLine)
{
    start_shell();
    const std::string words(70, 'x');
    sim::type("echo " + words); // 15 + 75 cells: the line ends at row 1, column 10
    expect_cursor(1, 10);
    press(key::left, 20);
    expect_cursor(0, 70);
    press(key::enter);
    EXPECT_EQ(shell_test::screen(), "masteruser: / &echo " + std::string(60, 'x') + "\n" + std::string(10, 'x') +
                                        "\n" + words + "\nmasteruser: / &");
    expect_cursor(3, 15);
    EXPECT_EQ(barrier, (3 * 80 + 15) * 2);

    sim::type("echo " + words);
    press(key::left, 3);
    press(key::backspace, 11); // the first one goes back to the end of the line
    EXPECT_EQ(tavix::strlen(input), 75 - 11);
    EXPECT_EQ(cursor_index, 75 - 11);
    expect_cursor(3, 79);
    EXPECT_EQ(sim::screen_row(4), std::string(80, ' '));
    EXPECT_EQ(sim::screen_row(3).substr(75, 5), "xxxx ");
    press(key::backspace, 80);
    EXPECT_STREQ(input, "");
    expect_cursor(3, 15);
    EXPECT_EQ(sim::screen_row(3), "masteruser: / &" + std::string(65, ' '));
}

// A line that fills the last cell of the screen scrolls at once: the cursor never stands past
// the screen, and Backspace still erases the whole line and nothing of the prompt.
TEST_F(Keyboard, ALineEndingInTheLastCellScrollsAndStaysErasable)
{
    sim::set_cursor_cell(24 * 80);
    start_shell();
    sim::type(std::string(65, 'q'));
    expect_cursor(24, 0);
    EXPECT_EQ(sim::screen_row(23), "masteruser: / &" + std::string(65, 'q'));
    EXPECT_EQ(barrier, (23 * 80 + 15) * 2);
    press(key::backspace);
    expect_cursor(23, 79);
    EXPECT_EQ(sim::char_at(23, 79), ' ');
    EXPECT_EQ(tavix::strlen(input), 64);
    sim::type("qq");
    expect_cursor(24, 1);
    press(key::left, 3);
    expect_cursor(23, 78);
    press(key::backspace, 70);
    EXPECT_STREQ(input, "");
    expect_cursor(23, 15);
    EXPECT_EQ(sim::screen_row(23), "masteruser: / &" + std::string(65, ' '));
    sim::type("help\n");
    EXPECT_NE(shell_test::screen().find("Tavix Operating System Shell commands:"), std::string::npos);
    EXPECT_EQ(sim::screen_row(24).substr(0, 15), "masteruser: / &");
    expect_cursor(24, 15);
}

TEST_F(Keyboard, EnterStoresRunsPromptsAndEmpties)
{
    start_shell();
    sim::type("echo hi\n");
    EXPECT_EQ(enter, 1);
    EXPECT_STREQ(shell_history[0], "echo hi");
    EXPECT_STREQ(input, "");
    EXPECT_EQ(cursor_index, 0);
    // An empty line stores nothing and runs nothing.
    sim::type("\n");
    EXPECT_EQ(history_count, 1);
    EXPECT_EQ(current_index, 1);
    EXPECT_EQ(shell_test::screen(), "masteruser: / &echo hi\nhi\nmasteruser: / &\nmasteruser: / &");
    expect_cursor(3, 15);
}

TEST_F(Keyboard, HistoryWrapsAfterTheLastSlotAndCutsLongLines)
{
    add_to_history(std::string(1500, 'L').c_str());
    EXPECT_EQ(std::string(shell_history[0]), std::string(1023, 'L'));
    add_to_history("");
    add_to_history(nullptr);
    EXPECT_EQ(current_index, 1);
    for (int i = 1; i < history_slots; ++i)
        add_to_history(("line " + std::to_string(i)).c_str());
    EXPECT_EQ(current_index, 0);
    EXPECT_EQ(history_count, history_slots);
    add_to_history("newest");
    EXPECT_STREQ(shell_history[0], "newest");
    EXPECT_STREQ(shell_history[1], "line 1");
    EXPECT_EQ(current_index, 1);
    EXPECT_EQ(history_count, history_slots);
}

TEST_F(Keyboard, GetStringReadsOneLineAndCopiesOnlyThatLine)
{
    // Enter already set: nothing to wait for.
    enter = 1;
    get_string(nullptr);
    EXPECT_EQ(enter, 0);
    EXPECT_EQ(sim::halt_count(), 0);

    sim::set_cursor_cell(80 + 4);
    sim::queue_text("Hi there\n");
    sim::set_halt_hook(sim::deliver_on_halt);
    uint8_t buffer[input_capacity + 16];
    std::memset(buffer, 0xAA, sizeof buffer);
    get_string(buffer);
    EXPECT_EQ(barrier, (80 + 4) * 2);
    EXPECT_EQ(enter, 0);
    EXPECT_STREQ(reinterpret_cast<char*>(buffer), "Hi there");
    EXPECT_EQ(buffer[9], 0xAA);
    EXPECT_STREQ(input, "Hi there");
    EXPECT_EQ(sim::screen_row(1).substr(4, 9), "Hi there ");
    expect_cursor(2, 0);
    // The reader took itself off IRQ 1: further keys reach nobody.
    press(30);
    EXPECT_STREQ(input, "Hi there");
}

TEST_F(Keyboard, GetStringErasesAcrossARowButNotWhatWasThereBefore)
{
    tavix::strcpy(input, "old");
    sim::set_cursor_cell(80 + 78);
    sim::queue_text("abcd");
    for (int i = 0; i < 6; ++i)
        sim::queue_key(key::backspace);
    sim::queue_text("z\n");
    sim::set_halt_hook(sim::deliver_on_halt);
    get_string(nullptr);
    EXPECT_STREQ(input, "oldz");
    EXPECT_EQ(sim::screen_row(1).substr(78, 2), "z ");
    EXPECT_EQ(sim::screen_row(2).substr(0, 2), "  ");
    expect_cursor(2, 0);
}

TEST_F(Keyboard, GetStringOfAFullLineStaysInsideTheBuffer)
{
    sim::set_port_logging(false);
    for (int i = 0; i < input_capacity + 10; ++i)
        sim::queue_key(30);
    sim::queue_key(key::enter);
    sim::set_halt_hook(sim::deliver_on_halt);
    // Exactly the documented size, on the heap so the sanitizer sees any byte beyond it.
    auto* buffer = new uint8_t[input_capacity + 1];
    get_string(buffer);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), std::string(input_capacity, 'a'));
    delete[] buffer;
}

TEST_F(Keyboard, AgentGetStringReturnsAtOnceAndMasksEveryKey)
{
    sim::set_cursor_cell(2 * 80);
    char* line = agent_get_string();
    EXPECT_EQ(line, input);
    EXPECT_EQ(enter, 0);
    sim::type("Pw1\n");
    EXPECT_STREQ(line, "Pw1");
    EXPECT_EQ(enter, 1);
    EXPECT_EQ(sim::screen_row(2).substr(0, 4), "*** ");
    // The Shift of "P" drew its mark and took it away again.
    EXPECT_EQ(sim::screen_row(0).substr(0, 6), "      ");
    EXPECT_EQ(sim::attr_at(0, 5), status_attribute);
    press(30);
    EXPECT_STREQ(line, "Pw1");
}

} // namespace
