// The text screen on the simulated PC: what lands in the buffer and where the cursor ends up.
#include "drivers/display.hpp"

#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

uint16_t cursor_offset() { return static_cast<uint16_t>(sim::cursor_cell() * 2); }
void place_cursor(int row, int col) { sim::set_cursor_cell(static_cast<uint16_t>(row * 80 + col)); }

// Fills every cell with a character and an attribute that tell its row, so moved rows show.
void fill_rows()
{
    for (int cell = 0; cell < 2000; ++cell) {
        sim::text_buffer()[cell * 2] = static_cast<uint8_t>('A' + cell / 80);
        sim::text_buffer()[cell * 2 + 1] = static_cast<uint8_t>(0x10 + cell / 80);
    }
}

class Display : public ::testing::Test {
protected:
    void SetUp() override { sim::reset(); }
};

TEST_F(Display, TextNewlineAndControlBytes)
{
    tavix::kprint("ab\ncd\t\r");
    tavix::putchar(0, 0x07);
    EXPECT_EQ(sim::screen_row(0).substr(0, 3), "ab ");
    EXPECT_EQ(sim::screen_row(1).substr(0, 5), "cd\t\r ");
    EXPECT_EQ(sim::attr_at(1, 1), 0x07);
    EXPECT_EQ(cursor_offset(), (80 + 5) * 2); // tab, carriage return and 0 are glyphs

    // A newline inside a row writes nothing; one right after a full row leaves an empty row.
    place_cursor(0, 1);
    tavix::putchar('\n', 0x4F);
    EXPECT_EQ(sim::screen_row(0).substr(0, 3), "ab ");
    EXPECT_EQ(sim::attr_at(0, 1), 0x07);
    EXPECT_EQ(cursor_offset(), 160);
    place_cursor(3, 0);
    tavix::kprint((std::string(80, 'x') + "\n").c_str());
    EXPECT_EQ(cursor_offset(), 5 * 160);
    EXPECT_EQ(sim::screen_row(4), std::string(80, ' '));
}

// Each start scrolls exactly once: every row moves up with its attributes, the last row is
// blanked, and the byte (if a glyph) lands at the start of the last row.
TEST_F(Display, ScrollingAtTheBottom)
{
    const struct {
        uint16_t cell;
        uint8_t byte;
    } cases[] = {{24 * 80 + 10, '\n'}, {2000, '\n'}, {2000, 'k'}, {2100, 'k'}};
    for (auto c : cases) {
        sim::reset();
        fill_rows();
        sim::set_cursor_cell(c.cell);
        tavix::putchar(c.byte, 0x2A);
        const bool glyph = c.byte != '\n';
        for (int row = 0; row < 24; ++row) {
            ASSERT_EQ(sim::char_at(row, 0), 'A' + row + 1) << "cell " << c.cell << " row " << row;
            ASSERT_EQ(sim::char_at(row, 79), 'A' + row + 1) << "cell " << c.cell << " row " << row;
            ASSERT_EQ(sim::attr_at(row, 40), 0x10 + row + 1) << "cell " << c.cell << " row " << row;
        }
        EXPECT_EQ(sim::char_at(24, 0), glyph ? c.byte : 0) << c.cell;
        EXPECT_EQ(sim::attr_at(24, 0), glyph ? 0x2A : 0x07) << c.cell;
        for (int col = 1; col < 80; ++col) {
            ASSERT_EQ(sim::char_at(24, col), 0) << "cell " << c.cell << " col " << col;
            ASSERT_EQ(sim::attr_at(24, col), 0x07) << "cell " << c.cell << " col " << col;
        }
        EXPECT_EQ(cursor_offset(), glyph ? 3842 : 3840) << c.cell;
    }
}

TEST_F(Display, LastCellLeavesTheCursorOffScreenWithoutScrolling)
{
    fill_rows();
    place_cursor(24, 79);
    tavix::putchar('z', 0x1E);
    EXPECT_EQ(cursor_offset(), 4000);
    EXPECT_EQ(sim::char_at(0, 0), 'A');
    EXPECT_EQ(sim::char_at(24, 79), 'z');
    EXPECT_EQ(sim::attr_at(24, 79), 0x1E);
}

TEST_F(Display, BackspaceErasesTheCellBeforeTheCursor)
{
    // At the very first cell there is nothing to erase, and the cursor is not even written.
    sim::text_buffer()[0] = 'x';
    sim::text_buffer()[1] = 0x1F;
    tavix::putchar(0x08, 0x07);
    EXPECT_EQ(sim::char_at(0, 0), 'x');
    EXPECT_EQ(sim::attr_at(0, 0), 0x1F);
    EXPECT_TRUE(sim::writes_to({0x3D5}).empty());

    place_cursor(2, 76);
    tavix::kprintc("abcd", 0x4E);
    tavix::putchar(0x08, 0x4E); // at column 0: the last cell of the row above goes
    tavix::putchar(0x08, 0x4E);
    EXPECT_EQ(sim::screen_row(2).substr(76), "ab  ");
    EXPECT_EQ(sim::attr_at(2, 78), 0x07);
    EXPECT_EQ(sim::attr_at(2, 79), 0x07);
    EXPECT_EQ(cursor_offset(), (2 * 80 + 78) * 2);
}

TEST_F(Display, ClearAndWrite)
{
    fill_rows();
    place_cursor(12, 40);
    tavix::clear_screen();
    for (int i = 0; i < 4000; i += 2) {
        ASSERT_EQ(sim::text_buffer()[i], 0) << i;
        ASSERT_EQ(sim::text_buffer()[i + 1], 0x07) << i;
    }
    EXPECT_EQ(cursor_offset(), 0);

    place_cursor(1, 1);
    tavix::write('Q', 0x5A, 3998);
    EXPECT_EQ(sim::char_at(24, 79), 'Q');
    EXPECT_EQ(sim::attr_at(24, 79), 0x5A);
    EXPECT_EQ(sim::cursor_cell(), 81);
    // Offsets whose cell would reach past the screen are ignored.
    for (uint16_t offset : {3999, 4000, 0xFFFF})
        tavix::write('a', 0x1F, offset);
    EXPECT_EQ(sim::attr_at(24, 79), 0x5A);
}

TEST_F(Display, CursorRegisters)
{
    tavix::set_cursor(3998);
    const std::vector<sim::PortAccess> high_byte_first{sim::out8(0x3D4, 0x0E), sim::out8(0x3D5, 1999 >> 8),
                                                       sim::out8(0x3D4, 0x0F), sim::out8(0x3D5, 1999 & 0xFF)};
    EXPECT_EQ(sim::writes_to({0x3D4, 0x3D5}), high_byte_first);
    EXPECT_EQ(tavix::get_cursor(), 3998);
    EXPECT_EQ(tavix::get_cursor_x(), 79);
    EXPECT_EQ(tavix::get_cursor_y(), 24);

    tavix::set_cursor(7); // an odd offset means the cell it lies in
    EXPECT_EQ(tavix::get_cursor(), 6);
    tavix::set_cursor_xy(200, 200);
    EXPECT_EQ(tavix::get_cursor(), 3998);
    tavix::set_cursor_xy(5, 2);
    EXPECT_EQ(tavix::get_cursor(), (2 * 80 + 5) * 2);
    EXPECT_EQ(tavix::get_cursor_x(), 5);
    EXPECT_EQ(tavix::get_cursor_y(), 2);
}

TEST_F(Display, Numbers)
{
    char text[12];
    const std::pair<int32_t, const char*> cases[] = {
        {0, "0"}, {-120, "-120"}, {7, "7"}, {2147483647, "2147483647"}, {INT32_MIN, "-2147483648"}};
    for (auto [value, expected] : cases) {
        tavix::int_to_str(value, text);
        EXPECT_STREQ(text, expected);
    }
    tavix::kprinti(INT32_MIN);
    tavix::kprintci(-120, 0x3C);
    // Hexadecimal keeps its leading zeros; the word form keeps only the low 16 bits.
    tavix::kprint_hex(0xBEE);
    tavix::kprint_hex(0xDEADBEEF);
    tavix::kprint_hex_w(0xAB);
    tavix::kprint_hex_w(65537);
    EXPECT_EQ(sim::screen_row(0).substr(0, 40), "-2147483648-12000000BEEDEADBEEF00AB0001 ");
    EXPECT_EQ(sim::attr_at(0, 10), 0x07);
    EXPECT_EQ(sim::attr_at(0, 11), 0x3C);
    EXPECT_EQ(sim::attr_at(0, 14), 0x3C);
    EXPECT_EQ(sim::attr_at(0, 15), 0x07);
}

TEST_F(Display, NumbersStraightIntoTheBuffer)
{
    place_cursor(10, 10);
    tavix::kprinti_vidmem(-42, 160);
    tavix::kprintci_vidmem(57, 0x70, 150);
    EXPECT_EQ(sim::screen_row(1).substr(0, 4), "-42 ");
    EXPECT_EQ(sim::attr_at(1, 2), 0x07);
    EXPECT_EQ(sim::screen_row(0).substr(75, 3), "57 ");
    EXPECT_EQ(sim::attr_at(0, 76), 0x70);
    EXPECT_EQ(sim::cursor_cell(), 810);
    // The text is cut at the end of the screen and never starts before it.
    tavix::kprinti_vidmem(12345, 3996);
    EXPECT_EQ(sim::screen_row(24).substr(78), "12");
    tavix::kprinti_vidmem(9, -2);
    EXPECT_EQ(sim::char_at(0, 0), 0);
}

} // namespace
