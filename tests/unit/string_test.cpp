// The kernel's string routines, including the three that take their result from the heap.
#include "cpu/string.hpp"

#include "cpu/mem.hpp"
#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t header_bytes = 16;

TEST(String, CopyAppendAndEmpty)
{
    char buffer[16];
    EXPECT_EQ(tavix::strcpy(buffer, "abc"), buffer);
    EXPECT_EQ(tavix::strcat(buffer, "de"), buffer);
    tavix::strcat(buffer, "");
    EXPECT_STREQ(buffer, "abcde");
    EXPECT_EQ(tavix::strlen(buffer), 5);
    EXPECT_EQ(tavix::strlen(""), 0);
    // join and strncat append one character.
    tavix::join(buffer, 'x');
    tavix::strncat(buffer, 'y');
    EXPECT_STREQ(buffer, "abcdexy");
    char empty[2] = "";
    tavix::join(empty, 'q');
    EXPECT_STREQ(empty, "q");

    std::memset(buffer, 'Z', sizeof buffer);
    tavix::strncpy(buffer, "cdefgh", 3); // a full copy gets no terminator
    EXPECT_EQ(std::string(buffer, 4), "cdeZ");
    tavix::strncpy(buffer, "ab", 5); // a short one is padded with zeros
    EXPECT_EQ(std::string(buffer, 6), std::string("ab\0\0\0Z", 6));
    EXPECT_EQ(tavix::strnlen("abcdef", 3), 3u);
    EXPECT_EQ(tavix::strnlen("ab", 10), 2u);
    EXPECT_EQ(tavix::strnlen("ab", 0), 0u);

    char s[6] = {'a', 'b', 'c', 0, 'Z', 0};
    EXPECT_EQ(tavix::mem_set(s, '*'), s); // up to the terminator only
    EXPECT_EQ(std::string(s, 5), std::string("***\0Z", 5));
    tavix::strnone(s);
    EXPECT_EQ(std::string(s, 3), std::string("\0**", 3));
    char t[4] = "abc";
    tavix::clearString(t);
    EXPECT_EQ(std::string(t, 3), std::string(3, '\0'));
}

TEST(String, NumbersToTextAndBack)
{
    char buffer[12];
    const std::pair<int, const char*> texts[] = {
        {0, "0"}, {-305, "-305"}, {10, "10"}, {INT_MIN, "-2147483648"}, {INT_MAX, "2147483647"}};
    for (auto [value, text] : texts) {
        tavix::intToString(value, buffer);
        EXPECT_STREQ(buffer, text);
    }
    // Only space, tab and newline are skipped; the sum wraps instead of overflowing.
    const std::pair<const char*, int> numbers[] = {
        {" \t-42abc", -42}, {"\n 12", 12}, {"+7", 7}, {"007", 7}, {"\r5", 0}, {"\v5", 0}, {"--5", 0},
        {"+-5", 0}, {"- 5", 0}, {"", 0}, {"2147483647", INT_MAX}, {"2147483648", INT_MIN},
        {"-2147483648", INT_MIN}, {"4294967297", 1}};
    for (auto [text, value] : numbers)
        EXPECT_EQ(tavix::atoi(text), value) << '"' << text << '"';
    EXPECT_EQ(tavix::to_integer(" -19x"), -19);
}

TEST(String, Comparisons)
{
    // strcmp compares signed characters and returns their difference.
    const struct {
        const char *a, *b;
        int sign;
    } cmp[] = {{"a", "b", -1}, {"b", "a", 1}, {"same", "same", 0}, {"", "", 0},
               {"ab", "abc", -'c'}, {"abc", "ab", 'c'}, {"\x80", "a", -128 - 'a'}, {"a", "\xFF", 'a' + 1}};
    for (auto c : cmp)
        EXPECT_EQ(tavix::strcmp(c.a, c.b), c.sign) << c.a << " vs " << c.b;

    // memcmp and strncmp compare unsigned bytes, only strncmp stops at a terminator; istrncmp
    // folds case to decide but reports the raw difference.
    const struct {
        char kind;
        const char *a, *b;
        int n, result;
    } bounded[] = {
        {'m', "\x80", "a", 1, 0x80 - 'a'}, {'m', "abc", "abd", 2, 0}, {'m', "x", "y", 0, 0},
        {'m', "ab\0x", "ab\0y", 4, 'x' - 'y'}, {'s', "ab\0x", "ab\0y", 4, 0},
        {'s', "\x80", "a", 1, 0x80 - 'a'}, {'s', "abc", "abd", 2, 0}, {'s', "abc", "abd", 3, 'c' - 'd'},
        {'s', "ab", "abc", 5, -'c'}, {'s', "q", "r", 0, 0},
        {'i', "ABC", "abd", 3, 'C' - 'd'}, {'i', "HeLLo", "hello", 5, 0}, {'i', "abX", "ABy", 2, 0},
        {'i', "ab", "AB", 10, 0}, {'i', "ab", "abc", 5, -'c'}, {'i', "x", "y", 0, 0},
        {'i', "@", "`", 1, '@' - '`'}, // 32 apart, but no letters
    };
    for (auto c : bounded) {
        const int result = c.kind == 'm'   ? tavix::memcmp(c.a, c.b, c.n)
                           : c.kind == 's' ? tavix::strncmp(c.a, c.b, c.n)
                                           : tavix::istrncmp(c.a, c.b, c.n);
        EXPECT_EQ(result, c.result) << c.kind << " " << c.a << " vs " << c.b << " n " << c.n;
    }

    EXPECT_EQ(tavix::startsWith("verinfo", "ver"), 1);
    EXPECT_EQ(tavix::startsWith("verinfo", ""), 1);
    EXPECT_EQ(tavix::startsWith("ver", "verinfo"), 0);
    EXPECT_EQ(tavix::startsWith("Verinfo", "ver"), 0);
}

// The edges of the ASCII ranges, and bytes above them.
TEST(String, CharacterClassesAreAsciiOnly)
{
    for (char c : std::string("AZ"))
        EXPECT_EQ(tavix::tolower(c), c + 32) << c;
    for (char c : std::string("@[az\xC4"))
        EXPECT_EQ(tavix::tolower(c), c) << c;
    for (char c : std::string("AZaz"))
        EXPECT_EQ(tavix::isalpha(c), 1) << c;
    for (char c : std::string("@[`{1\xC1"))
        EXPECT_EQ(tavix::isalpha(c), 0) << c;
    for (int c : {'0', '9'})
        EXPECT_EQ(tavix::isdigit(c), 1) << c;
    for (int c : {int{'/'}, int{':'}, int{'a'}, 0, -48})
        EXPECT_EQ(tavix::isdigit(c), 0) << c;
}

TEST(String, StrchrComparesSignedCharacters)
{
    const char* s = "ab\xE9" "c";
    EXPECT_EQ(tavix::strchr(s, 'a'), s);
    EXPECT_EQ(tavix::strchr(s, 'c'), s + 3);
    EXPECT_EQ(tavix::strchr(s, 0), s + 4);
    EXPECT_EQ(tavix::strchr(s, 'z'), nullptr);
    EXPECT_EQ(tavix::strchr(s, 0xE9), nullptr);
    EXPECT_EQ(tavix::strchr(s, static_cast<signed char>(0xE9)), s + 2);
}

TEST(String, Strtok)
{
    // Runs of delimiters, leading and trailing ones included, give no empty tokens.
    char t[] = ";, one;;two ,";
    EXPECT_STREQ(tavix::strtok(t, ";, "), "one");
    EXPECT_STREQ(tavix::strtok(nullptr, ";, "), "two");
    EXPECT_EQ(tavix::strtok(nullptr, ";, "), nullptr);
    EXPECT_EQ(tavix::strtok(nullptr, ";, "), nullptr);
    char only[] = ",,,";
    EXPECT_EQ(tavix::strtok(only, ","), nullptr);
    EXPECT_EQ(tavix::strtok(nullptr, ","), nullptr);

    // Tokens are cut in place; a new string restarts and leaves the abandoned one alone.
    char first[] = "x y z";
    EXPECT_STREQ(tavix::strtok(first, " "), "x");
    EXPECT_EQ(first[1], 0);
    char second[] = "p-q";
    EXPECT_STREQ(tavix::strtok(second, "-"), "p");
    EXPECT_STREQ(tavix::strtok(nullptr, "-"), "q");
    EXPECT_EQ(tavix::strtok(nullptr, "-"), nullptr);
    EXPECT_STREQ(first + 2, "y z");
}

TEST(String, MovesAndReverse)
{
    char up[] = "abcde";
    EXPECT_EQ(tavix::memmove(up + 1, up, 4), up + 1);
    EXPECT_STREQ(up, "aabcd");
    char down[] = "abcde";
    tavix::memmove(down, down + 1, 4);
    EXPECT_STREQ(down, "bcdee");
    tavix::memmove(down + 1, down, 0);
    EXPECT_STREQ(down, "bcdee");

    char dest[4] = "xyz"; // memcp takes the source first and ignores counts below one
    tavix::memcp("ab", dest, 2);
    tavix::memcp("qq", dest, 0);
    tavix::memcp("qq", dest, -5);
    EXPECT_STREQ(dest, "abz");

    for (auto [text, reversed] : {std::pair{"abc", "cba"}, {"abcd", "dcba"}, {"", ""}}) {
        std::string s = text;
        tavix::reverse(s.data());
        EXPECT_EQ(s, reversed);
    }
}

class HeapString : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        tavix::init_dmem();
    }
    // Every test gives back all it took: the heap is one free block again.
    void TearDown() override
    {
        EXPECT_EQ(tavix::dynamic_mem_start->next, nullptr);
        EXPECT_EQ(tavix::dynamic_mem_start->size, tavix::dynamic_mem_total_size - header_bytes);
    }
    // The usable size recorded in the header in front of a heap block.
    static uint32_t block_size(const void* p)
    {
        return reinterpret_cast<const tavix::dynamic_mem_node*>(static_cast<const uint8_t*>(p) - header_bytes)->size;
    }
    // Leaves exactly `remaining` free bytes in the heap's first block by taking all the rest.
    static void* leave_free(uint32_t remaining)
    {
        return tavix::malloc(tavix::dynamic_mem_start->size - remaining - header_bytes);
    }
    static void free_words(char** words, int count)
    {
        for (int i = 0; i < count; ++i)
            tavix::mfree(words[i]);
        tavix::mfree(words);
    }
};

TEST_F(HeapString, StrdupAndTostrTakeExactlyTheTextAndItsTerminator)
{
    const char* text = "hello";
    for (const char* source : {"", text}) {
        char* copy = tavix::strdup(source);
        ASSERT_NE(copy, nullptr);
        EXPECT_NE(copy, source);
        EXPECT_STREQ(copy, source);
        EXPECT_EQ(block_size(copy), std::strlen(source) + 1);
        tavix::mfree(copy);
    }
    const std::pair<int, const char*> cases[] = {{-7, "-7"}, {0, "0"}, {9, "9"}, {10, "10"}, {-10, "-10"},
                                                 {INT_MAX, "2147483647"}, {INT_MIN, "-2147483648"}};
    for (auto [value, expected] : cases) {
        char* s = tavix::tostr(value);
        ASSERT_NE(s, nullptr) << value;
        EXPECT_STREQ(s, expected);
        EXPECT_EQ(block_size(s), std::strlen(expected) + 1) << value;
        tavix::mfree(s);
    }
}

TEST_F(HeapString, AllocatingRoutinesReturnNullWhenTheHeapIsFull)
{
    void* rest = leave_free(header_bytes + 2);
    ASSERT_NE(rest, nullptr);
    EXPECT_EQ(tavix::strdup("abc"), nullptr);
    EXPECT_EQ(tavix::tostr(-12), nullptr);
    char* fits = tavix::tostr(5);
    ASSERT_NE(fits, nullptr);
    EXPECT_STREQ(fits, "5");
    tavix::mfree(fits);
    tavix::mfree(rest);
}

// Words are cut at spaces only, empty words dropped; the array holds exactly `count` pointers.
TEST_F(HeapString, SplitString)
{
    const struct {
        const char* line;
        std::vector<std::string> words;
    } cases[] = {
        {"  ls   -a ", {"ls", "-a"}}, {"", {}}, {"   ", {}}, {"single", {"single"}},
        {"a\tb", {"a\tb"}}, {"echo \"two words\"", {"echo", "\"two", "words\""}},
    };
    for (const auto& c : cases) {
        int count = -1;
        char** words = tavix::splitString(c.line, &count);
        ASSERT_NE(words, nullptr) << '"' << c.line << '"';
        ASSERT_EQ(count, static_cast<int>(c.words.size())) << '"' << c.line << '"';
        EXPECT_EQ(block_size(words), c.words.size() * sizeof(char*)) << '"' << c.line << '"';
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(words[i], c.words[i]) << '"' << c.line << '"';
            EXPECT_EQ(block_size(words[i]), c.words[i].size() + 1);
        }
        free_words(words, count);
    }
}

TEST_F(HeapString, SplitStringFailingMidwayFreesEverythingAndKeepsCount)
{
    // Room for the two-pointer array (8 + 16) and the first word (3 + 16), not the second.
    constexpr uint32_t room = 2 * sizeof(char*) + header_bytes + 3 + header_bytes;
    void* rest = leave_free(room);
    ASSERT_NE(rest, nullptr);
    int count = 77;
    EXPECT_EQ(tavix::splitString("ab cd", &count), nullptr);
    // Without room for even the array, nothing is allocated either.
    EXPECT_EQ(tavix::splitString("a b c d e f g", &count), nullptr);
    EXPECT_EQ(count, 77);
    // Everything splitString took went back: the first block is whole again.
    EXPECT_EQ(tavix::dynamic_mem_start->size, room);
    EXPECT_EQ(tavix::dynamic_mem_start->next->next, nullptr);
    tavix::mfree(rest);
}

} // namespace
