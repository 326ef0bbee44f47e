// printf on the simulated screen: conversions, colour escapes and the attributes they leave.
#include "general/stdio.hpp"

#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

// Row 0 up to the cursor, when everything printed fits on it.
std::string printed()
{
    return sim::screen_row(0).substr(0, sim::cursor_cell());
}

class Printf : public ::testing::Test {
protected:
    void SetUp() override { sim::reset(); }
};

TEST_F(Printf, SignedAndUnsignedDecimal)
{
    tavix::printf("%d|%d|%d|%u|%u|%d", -5, 0, INT32_MIN, 4294967295u, 0u, 2147483647);
    EXPECT_EQ(printed(), "-5|0|-2147483648|4294967295|0|2147483647");
}

TEST_F(Printf, HexWithLowerAndUpperPrefix)
{
    tavix::printf("%x %X %x %x", 255, 255, 0, 0xDEADBEEFu);
    EXPECT_EQ(printed(), "0xFF 0XFF 0x0 0xDEADBEEF");
}

TEST_F(Printf, RightAlignedHexField)
{
    tavix::printf("%-x|%-x|%-x", 0x1F, 0, 0xFFFFFFFFu);
    EXPECT_EQ(printed(), std::string(13, ' ') + "1F|" + std::string(14, ' ') + "0|" + std::string(7, ' ') + "FFFFFFFF");
}

TEST_F(Printf, CharactersAndStrings)
{
    tavix::printf("%c%c[%s]%s", 'a', 0x142, "mid", "");
    EXPECT_EQ(printed(), "aB[mid]");
}

TEST_F(Printf, NullStringPrintsNothingAndKeepsArgumentOrder)
{
    tavix::printf("<%s>%d", static_cast<const char*>(nullptr), 42);
    EXPECT_EQ(printed(), "<>42");
}

TEST_F(Printf, UnknownConversionsPrintTheirLetter)
{
    tavix::printf("%%|%q|%-d|%5d|%d", 9, 8);
    // %-d consumes no argument, %5 prints '5', so %d after it takes 9 and the last takes 8.
    EXPECT_EQ(printed(), "%|q||5d|9");
    sim::reset();
    tavix::printf("%-d%d", 3);
    EXPECT_EQ(printed(), "3");
}

TEST_F(Printf, ColourEscapeSetsTheAttributeOfWhatFollows)
{
    tavix::printf("a<(1e)>hi<(0c)>!<(07)>z");
    EXPECT_EQ(printed(), "ahi!z");
    EXPECT_EQ(sim::attr_at(0, 0), 0x07);
    EXPECT_EQ(sim::attr_at(0, 1), 0x1E);
    EXPECT_EQ(sim::attr_at(0, 2), 0x1E);
    EXPECT_EQ(sim::attr_at(0, 3), 0x0C);
    EXPECT_EQ(sim::attr_at(0, 4), 0x07);
}

TEST_F(Printf, ColourAppliesToConvertedTextAndPadding)
{
    tavix::printf("<(2A)>%d%-x", 12, 0xF);
    EXPECT_EQ(sim::attr_at(0, 0), 0x2A);
    EXPECT_EQ(sim::attr_at(0, 2), 0x2A); // a padding space
    EXPECT_EQ(sim::attr_at(0, 16), 0x2A);
    EXPECT_EQ(sim::char_at(0, 16), 'F');
}

TEST_F(Printf, InvalidColourDigitsGiveZero)
{
    tavix::printf("<(zz)>x");
    EXPECT_EQ(printed(), "x");
    EXPECT_EQ(sim::attr_at(0, 0), 0x00);
}

TEST_F(Printf, BrokenEscapeShowsTheAngleBracketOnly)
{
    tavix::printf("<(12]x");
    EXPECT_EQ(printed(), "<]x");
    EXPECT_EQ(sim::attr_at(0, 0), 0x07);
    EXPECT_EQ(sim::attr_at(0, 2), 0x07);
    sim::reset();
    tavix::printf("a<b<");
    EXPECT_EQ(printed(), "a<b<");
}

TEST_F(Printf, EscapeInsideAStringArgumentIsText)
{
    tavix::printf("%s", "<(1e)>");
    EXPECT_EQ(printed(), "<(1e)>");
    EXPECT_EQ(sim::attr_at(0, 1), 0x07);
}

TEST_F(Printf, EveryCallStartsInTheDefaultColour)
{
    tavix::printf("<(0c)>panic");
    tavix::printf("ok");
    EXPECT_EQ(sim::attr_at(0, 0), 0x0C);
    EXPECT_EQ(sim::attr_at(0, 5), 0x07);
    EXPECT_EQ(printed(), "panicok");
}

TEST_F(Printf, NewlineInFormatAndArgumentActsAsOnScreen)
{
    tavix::printf("ab\ncd%s", "\nef");
    EXPECT_EQ(sim::screen_row(0).substr(0, 3), "ab ");
    EXPECT_EQ(sim::screen_row(1).substr(0, 3), "cd ");
    EXPECT_EQ(sim::screen_row(2).substr(0, 3), "ef ");
    EXPECT_EQ(sim::cursor_cell(), 2 * 80 + 2);
}

// A format cut short anywhere inside a conversion or an escape. Each one is copied into a
// heap buffer of its exact size, so that any read past the terminator trips the address checker.
TEST_F(Printf, NeverReadsPastTheTerminator)
{
    const std::pair<const char*, const char*> cases[] = {
        {"a%", "a"}, {"a%-", "a"}, {"<", "<"}, {"b<(", "b<"}, {"<(1", "<"}, {"<(1e", "<"}, {"<(1e)", "<)"},
    };
    for (auto [format, expected] : cases) {
        sim::reset();
        size_t size = std::strlen(format) + 1;
        char* exact = new char[size];
        std::memcpy(exact, format, size);
        tavix::printf(exact, 1, 2);
        delete[] exact;
        EXPECT_EQ(printed(), expected) << "format " << format;
    }
}

TEST(HexToStr, NoPrefixNoLeadingZeros)
{
    char text[9];
    const std::pair<uint32_t, const char*> cases[] = {
        {0, "0"}, {0xF, "F"}, {0x10, "10"}, {0xBEE, "BEE"}, {0xFFFFFFFFu, "FFFFFFFF"}, {0x80000000u, "80000000"}};
    for (auto [value, expected] : cases) {
        std::memset(text, '#', sizeof text);
        tavix::hex_to_str(value, text);
        EXPECT_STREQ(text, expected);
    }
}

TEST(ParseColorCode, EachCharacterIsOneHexDigit)
{
    EXPECT_EQ(tavix::parse_color_code('1', 'e'), 0x1E);
    EXPECT_EQ(tavix::parse_color_code('F', 'a'), 0xFA);
    EXPECT_EQ(tavix::parse_color_code('0', '7'), 0x07);
    EXPECT_EQ(tavix::parse_color_code('g', 'G'), 0x00);
    EXPECT_EQ(tavix::parse_color_code('/', ':'), 0x00);
    EXPECT_EQ(tavix::parse_color_code('9', 'z'), 0x90);
}

} // namespace
