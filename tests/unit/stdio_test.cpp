// printf on the simulated screen: conversions, colour escapes and the attributes they leave.
#include "general/stdio.hpp"

#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

// Prints on a fresh screen; returns row 0 up to the cursor (everything printed fits on it).
template <typename... Args> std::string out(const char* format, Args... args)
{
    sim::reset();
    tavix::printf(format, args...);
    return sim::screen_row(0).substr(0, sim::cursor_cell());
}

TEST(Printf, Conversions)
{
    EXPECT_EQ(out("%d|%d|%d|%u|%u|%d", -5, 0, INT32_MIN, 4294967295u, 0u, 2147483647),
              "-5|0|-2147483648|4294967295|0|2147483647");
    EXPECT_EQ(out("%x %X %x %x", 255, 255, 0, 0xDEADBEEFu), "0xFF 0XFF 0x0 0xDEADBEEF");
    EXPECT_EQ(out("%-x|%-x|%-x", 0x1F, 0, 0xFFFFFFFFu),
              std::string(13, ' ') + "1F|" + std::string(14, ' ') + "0|" + std::string(7, ' ') + "FFFFFFFF");
    EXPECT_EQ(out("%c%c[%s]%s", 'a', 0x142, "mid", ""), "aB[mid]");
    // A null string prints nothing but still takes its argument.
    EXPECT_EQ(out("<%s>%d", static_cast<const char*>(nullptr), 42), "<>42");
    // Unknown conversions print their letter and take no argument; so does "%-" before
    // anything but x. "%5d" is the unknown "%5" followed by a plain "d".
    EXPECT_EQ(out("%%|%q|%-d|%5d|%d", 9, 8), "%|q||5d|9");
    // An escape inside an argument is plain text.
    EXPECT_EQ(out("%s", "<(1e)>"), "<(1e)>");
    EXPECT_EQ(sim::attr_at(0, 1), 0x07);
}

TEST(Printf, ColourEscapes)
{
    EXPECT_EQ(out("a<(1e)>hi<(0c)>!<(07)>z"), "ahi!z");
    const uint8_t attrs[] = {0x07, 0x1E, 0x1E, 0x0C, 0x07};
    for (int col = 0; col < 5; ++col)
        EXPECT_EQ(sim::attr_at(0, col), attrs[col]) << "column " << col;

    // The colour covers converted text and padding, and the next call starts in the default.
    out("<(2A)>%d%-x", 12, 0xF);
    tavix::printf("ok");
    EXPECT_EQ(sim::attr_at(0, 0), 0x2A);
    EXPECT_EQ(sim::attr_at(0, 2), 0x2A);
    EXPECT_EQ(sim::char_at(0, 16), 'F');
    EXPECT_EQ(sim::attr_at(0, 16), 0x2A);
    EXPECT_EQ(sim::attr_at(0, 17), 0x07);

    EXPECT_EQ(out("<(zz)>x"), "x"); // digits that are no hex digits count as 0
    EXPECT_EQ(sim::attr_at(0, 0), 0x00);
    // An unclosed escape shows its '<' and drops the next three characters.
    EXPECT_EQ(out("<(12]x"), "<]x");
    EXPECT_EQ(sim::attr_at(0, 2), 0x07);
    EXPECT_EQ(out("a<b<"), "a<b<");
}

TEST(Printf, NewlineInFormatAndArgument)
{
    out("ab\ncd%s", "\nef");
    EXPECT_EQ(sim::screen_text().substr(0, 9), "ab\ncd\nef\n");
    EXPECT_EQ(sim::cursor_cell(), 2 * 80 + 2);
}

// A format cut short anywhere inside a conversion or an escape. Each one is copied into a
// heap buffer of its exact size, so that any read past the terminator trips the address checker.
TEST(Printf, NeverReadsPastTheTerminator)
{
    const std::pair<const char*, const char*> cases[] = {
        {"a%", "a"}, {"a%-", "a"}, {"<", "<"}, {"b<(", "b<"}, {"<(1", "<"}, {"<(1e", "<"}, {"<(1e)", "<)"},
    };
    for (auto [format, expected] : cases) {
        const size_t size = std::strlen(format) + 1;
        char* copy = new char[size];
        std::memcpy(copy, format, size);
        EXPECT_EQ(out(copy, 1, 2), expected) << "format " << format;
        delete[] copy;
    }
}

TEST(Printf, HexTextAndColourCodes)
{
    char text[9];
    const std::pair<uint32_t, const char*> cases[] = {
        {0, "0"}, {0xF, "F"}, {0x10, "10"}, {0xBEE, "BEE"}, {0xFFFFFFFFu, "FFFFFFFF"}, {0x80000000u, "80000000"}};
    for (auto [value, expected] : cases) {
        std::memset(text, '#', sizeof text);
        tavix::hex_to_str(value, text);
        EXPECT_STREQ(text, expected);
    }
    const struct {
        char bg, fg;
        uint8_t attr;
    } codes[] = {{'1', 'e', 0x1E}, {'F', 'a', 0xFA}, {'0', '7', 0x07}, {'g', 'G', 0}, {'/', ':', 0}, {'9', 'z', 0x90}};
    for (auto c : codes)
        EXPECT_EQ(tavix::parse_color_code(c.bg, c.fg), c.attr) << c.bg << c.fg;
}

} // namespace
