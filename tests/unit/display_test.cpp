// The text screen on the simulated PC: what lands in the buffer and where the cursor ends up.
#include "drivers/display.hpp"

#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

uint16_t cursor_offset() { return static_cast<uint16_t>(sim::cursor_cell() * 2); }
void place_cursor(int row, int col) { sim::set_cursor_cell(static_cast<uint16_t>(row * 80 + col)); }

// Fills every cell with a character that tells its row, so moved rows can be recognised.
void fill_rows()
{
    for (int row = 0; row < 25; ++row) {
        for (int col = 0; col < 80; ++col) {
            sim::text_buffer()[(row * 80 + col) * 2] = static_cast<uint8_t>('A' + row);
            sim::text_buffer()[(row * 80 + col) * 2 + 1] = static_cast<uint8_t>(0x10 + row);
        }
    }
}

class Display : public ::testing::Test {
protected:
    void SetUp() override { sim::reset(); }
};

TEST_F(Display, TextAndNewlineOnAnEmptyScreen)
{
    tavix::kprint("ab\ncd");
    EXPECT_EQ(sim::screen_row(0).substr(0, 3), "ab ");
    EXPECT_EQ(sim::screen_row(1).substr(0, 3), "cd ");
    EXPECT_EQ(cursor_offset(), (80 + 2) * 2);
    EXPECT_EQ(sim::attr_at(0, 0), 0x07);
    EXPECT_EQ(sim::attr_at(1, 1), 0x07);
}

TEST_F(Display, NewlineAboveTheLastRowWritesNothing)
{
    tavix::kprint("hello world");
    place_cursor(0, 5);
    tavix::putchar('\n', 0x4F);
    EXPECT_EQ(sim::screen_row(0).substr(0, 11), "hello world");
    EXPECT_EQ(sim::attr_at(0, 5), 0x07);
    EXPECT_EQ(cursor_offset(), 160);
}

TEST_F(Display, FullRowThenNewlineLeavesAnEmptyRow)
{
    place_cursor(3, 0);
    tavix::kprint(std::string(80, 'x').c_str());
    EXPECT_EQ(cursor_offset(), 4 * 160);
    tavix::putchar('\n', 0x07);
    EXPECT_EQ(cursor_offset(), 5 * 160);
    EXPECT_EQ(sim::screen_row(4), std::string(80, ' '));
}

TEST_F(Display, NewlineOnTheLastRowScrolls)
{
    fill_rows();
    place_cursor(24, 10);
    tavix::putchar('\n', 0x07);
    for (int row = 0; row < 24; ++row) {
        EXPECT_EQ(sim::char_at(row, 0), 'A' + row + 1) << "row " << row;
        EXPECT_EQ(sim::char_at(row, 79), 'A' + row + 1) << "row " << row;
        EXPECT_EQ(sim::attr_at(row, 40), 0x10 + row + 1) << "row " << row;
    }
    for (int col = 0; col < 80; ++col) {
        EXPECT_EQ(sim::char_at(24, col), 0);
        EXPECT_EQ(sim::attr_at(24, col), 0x07);
    }
    EXPECT_EQ(cursor_offset(), 3840);
}

TEST_F(Display, NewlineOnePastTheLastCellScrolls)
{
    fill_rows();
    sim::set_cursor_cell(2000);
    tavix::putchar('\n', 0x07);
    EXPECT_EQ(sim::char_at(0, 0), 'B');
    EXPECT_EQ(cursor_offset(), 3840);
}

TEST_F(Display, LastCellLeavesCursorOffScreenUntilTheNextGlyph)
{
    fill_rows();
    place_cursor(24, 79);
    tavix::putchar('z', 0x1E);
    EXPECT_EQ(cursor_offset(), 4000);
    EXPECT_EQ(sim::char_at(0, 0), 'A'); // no scroll yet
    EXPECT_EQ(sim::char_at(24, 79), 'z');

    tavix::putchar('q', 0x2A);
    EXPECT_EQ(sim::char_at(0, 0), 'B'); // scrolled exactly once
    EXPECT_EQ(sim::char_at(23, 79), 'z');
    EXPECT_EQ(sim::char_at(24, 0), 'q');
    EXPECT_EQ(sim::attr_at(24, 0), 0x2A);
    EXPECT_EQ(sim::char_at(24, 1), 0);
    EXPECT_EQ(cursor_offset(), 3842);
}

TEST_F(Display, CursorBeyondTheScreenNeverWritesPastTheBuffer)
{
    sim::set_cursor_cell(2100);
    tavix::putchar('k', 0x07);
    EXPECT_EQ(sim::char_at(24, 0), 'k');
    EXPECT_EQ(cursor_offset(), 3842);
}

TEST_F(Display, ControlBytesOtherThanNewlineAndBackspaceAreGlyphs)
{
    tavix::putchar('\t', 0x07);
    tavix::putchar('\r', 0x07);
    tavix::putchar(0, 0x07);
    EXPECT_EQ(sim::char_at(0, 0), '\t');
    EXPECT_EQ(sim::char_at(0, 1), '\r');
    EXPECT_EQ(cursor_offset(), 6);
}

TEST_F(Display, BackspaceErasesTheCellBeforeTheCursor)
{
    tavix::kprintc("abc", 0x4E);
    tavix::putchar(0x08, 0x4E);
    EXPECT_EQ(sim::char_at(0, 2), ' ');
    EXPECT_EQ(sim::attr_at(0, 2), 0x07);
    EXPECT_EQ(sim::char_at(0, 1), 'b');
    EXPECT_EQ(cursor_offset(), 4);
}

TEST_F(Display, BackspaceAtColumnZeroErasesTheRowAbove)
{
    sim::text_buffer()[(2 * 80 + 79) * 2] = 'x';
    place_cursor(3, 0);
    tavix::putchar(0x08, 0x07);
    EXPECT_EQ(sim::char_at(2, 79), ' ');
    EXPECT_EQ(sim::attr_at(2, 79), 0x07);
    EXPECT_EQ(cursor_offset(), (2 * 80 + 79) * 2);
}

TEST_F(Display, BackspaceAtTheFirstCellDoesNothing)
{
    sim::text_buffer()[0] = 'x';
    sim::text_buffer()[1] = 0x1F;
    tavix::putchar(0x08, 0x07);
    EXPECT_EQ(sim::char_at(0, 0), 'x');
    EXPECT_EQ(sim::attr_at(0, 0), 0x1F);
    EXPECT_EQ(cursor_offset(), 0);
    EXPECT_TRUE(sim::writes_to({0x3D5}).empty());
}

TEST_F(Display, ClearScreenBlanksEveryCellAndHomesTheCursor)
{
    fill_rows();
    place_cursor(12, 40);
    tavix::clear_screen();
    for (int i = 0; i < 4000; i += 2) {
        ASSERT_EQ(sim::text_buffer()[i], 0) << i;
        ASSERT_EQ(sim::text_buffer()[i + 1], 0x07) << i;
    }
    EXPECT_EQ(cursor_offset(), 0);
}

TEST_F(Display, WriteStoresOneCellAndLeavesTheCursor)
{
    place_cursor(1, 1);
    tavix::write('Q', 0x5A, 3998);
    EXPECT_EQ(sim::char_at(24, 79), 'Q');
    EXPECT_EQ(sim::attr_at(24, 79), 0x5A);
    EXPECT_EQ(sim::cursor_cell(), 81);
}

TEST_F(Display, WriteNeverReachesPastTheScreen)
{
    tavix::write('a', 0x1F, 3999);
    tavix::write('b', 0x1F, 4000);
    tavix::write('c', 0x1F, 0xFFFF);
    EXPECT_EQ(sim::char_at(24, 79), 0);
    EXPECT_EQ(sim::attr_at(24, 79), 0);
}

TEST_F(Display, CursorRegistersAreProgrammedHighByteFirst)
{
    tavix::set_cursor(3998);
    auto writes = sim::writes_to({0x3D4, 0x3D5});
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0], sim::out8(0x3D4, 0x0E));
    EXPECT_EQ(writes[1], sim::out8(0x3D5, 1999 >> 8));
    EXPECT_EQ(writes[2], sim::out8(0x3D4, 0x0F));
    EXPECT_EQ(writes[3], sim::out8(0x3D5, 1999 & 0xFF));
    EXPECT_EQ(tavix::get_cursor(), 3998);
    EXPECT_EQ(tavix::get_cursor_x(), 79);
    EXPECT_EQ(tavix::get_cursor_y(), 24);
}

TEST_F(Display, CursorPlacement)
{
    tavix::set_cursor(7);
    EXPECT_EQ(tavix::get_cursor(), 6);
    tavix::set_cursor_xy(200, 200);
    EXPECT_EQ(tavix::get_cursor(), 3998);
    tavix::set_cursor_xy(5, 2);
    EXPECT_EQ(tavix::get_cursor(), (2 * 80 + 5) * 2);
    EXPECT_EQ(tavix::get_cursor_x(), 5);
    EXPECT_EQ(tavix::get_cursor_y(), 2);
}

TEST_F(Display, DecimalNumbers)
{
    char text[12];
    const std::pair<int32_t, const char*> cases[] = {
        {0, "0"}, {-120, "-120"}, {7, "7"}, {2147483647, "2147483647"}, {INT32_MIN, "-2147483648"}};
    for (auto [value, expected] : cases) {
        tavix::int_to_str(value, text);
        EXPECT_STREQ(text, expected);
    }
    tavix::kprinti(-2147483647 - 1);
    tavix::kprinti(0);
    tavix::kprintci(-120, 0x3C);
    EXPECT_EQ(sim::screen_row(0).substr(0, 17), "-21474836480-120 ");
    EXPECT_EQ(sim::attr_at(0, 11), 0x07);
    EXPECT_EQ(sim::attr_at(0, 12), 0x3C);
    EXPECT_EQ(sim::attr_at(0, 15), 0x3C);
}

TEST_F(Display, HexNumbersKeepLeadingZeros)
{
    tavix::kprint_hex(0x1F);
    tavix::kprint_hex(0xBEE);
    tavix::kprint_hex(0xDEADBEEF);
    tavix::kprint_hex_w(0xAB);
    tavix::kprint_hex_w(65537);
    EXPECT_EQ(sim::screen_row(0).substr(0, 32), "0000001F00000BEEDEADBEEF00AB0001");
    EXPECT_EQ(sim::attr_at(0, 31), 0x07);
}

TEST_F(Display, NumbersStraightIntoTheBufferLeaveTheCursor)
{
    place_cursor(10, 10);
    tavix::kprinti_vidmem(-42, 160);
    tavix::kprintci_vidmem(57, 0x70, 150);
    EXPECT_EQ(sim::screen_row(1).substr(0, 3), "-42");
    EXPECT_EQ(sim::attr_at(1, 2), 0x07);
    EXPECT_EQ(sim::screen_row(0).substr(75, 2), "57");
    EXPECT_EQ(sim::attr_at(0, 75), 0x70);
    EXPECT_EQ(sim::attr_at(0, 76), 0x70);
    EXPECT_EQ(sim::cursor_cell(), 810);
}

TEST_F(Display, NumbersStraightIntoTheBufferStayOnTheScreen)
{
    tavix::kprinti_vidmem(12345, 3996);
    EXPECT_EQ(sim::char_at(24, 78), '1');
    EXPECT_EQ(sim::char_at(24, 79), '2');
    tavix::kprinti_vidmem(9, -2);
    EXPECT_EQ(sim::char_at(0, 0), 0);
}

} // namespace
