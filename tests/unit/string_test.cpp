// The kernel's string routines, including the three that take their result from the heap.
#include "cpu/string.hpp"

#include "cpu/mem.hpp"
#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

constexpr uint32_t header_bytes = 16;

// The usable size recorded in the header in front of a heap block.
uint32_t block_size(const void* p)
{
    return reinterpret_cast<const tavix::dynamic_mem_node*>(static_cast<const uint8_t*>(p) - header_bytes)->size;
}

// Leaves exactly `remaining` free bytes in the heap's first block by taking all the rest.
void* leave_free(uint32_t remaining)
{
    uint32_t all = tavix::dynamic_mem_start->size;
    return tavix::malloc(all - remaining - header_bytes);
}

bool heap_is_one_free_block()
{
    return tavix::dynamic_mem_start->next == nullptr &&
           tavix::dynamic_mem_start->size == tavix::dynamic_mem_total_size - header_bytes;
}

TEST(String, AppendersAddOneCharacter)
{
    char s[8] = "ab";
    tavix::join(s, 'x');
    EXPECT_STREQ(s, "abx");
    tavix::strncat(s, 'y');
    EXPECT_STREQ(s, "abxy");
    char empty[2] = "";
    tavix::join(empty, 'q');
    EXPECT_STREQ(empty, "q");
}

TEST(String, CopyAndConcatenate)
{
    char buffer[16];
    EXPECT_EQ(tavix::strcpy(buffer, "abc"), buffer);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(tavix::strcat(buffer, "de"), buffer);
    EXPECT_STREQ(buffer, "abcde");
    tavix::strcat(buffer, "");
    EXPECT_STREQ(buffer, "abcde");
    EXPECT_EQ(tavix::strlen(buffer), 5);
    EXPECT_EQ(tavix::strlen(""), 0);
}

TEST(String, StrncpyPadsWithZerosAndAddsNoTerminatorWhenFull)
{
    char buffer[8];
    std::memset(buffer, 'Z', sizeof buffer);
    tavix::strncpy(buffer, "ab", 5);
    EXPECT_EQ(std::string(buffer, 6), std::string("ab\0\0\0Z", 6));

    std::memset(buffer, 'Z', sizeof buffer);
    tavix::strncpy(buffer, "abcdef", 3);
    EXPECT_EQ(std::string(buffer, 4), "abcZ");
}

TEST(String, StrnlenStopsAtTheLimit)
{
    EXPECT_EQ(tavix::strnlen("abcdef", 3), 3u);
    EXPECT_EQ(tavix::strnlen("ab", 10), 2u);
    EXPECT_EQ(tavix::strnlen("ab", 0), 0u);
}

TEST(String, MemSetOverwritesTheStringButNotItsTerminator)
{
    char s[6] = {'a', 'b', 'c', 0, 'Z', 0};
    EXPECT_EQ(tavix::mem_set(s, '*'), s);
    EXPECT_STREQ(s, "***");
    EXPECT_EQ(s[3], 0);
    EXPECT_EQ(s[4], 'Z');
}

TEST(String, EmptyingAString)
{
    char s[4] = "abc";
    tavix::strnone(s);
    EXPECT_STREQ(s, "");
    EXPECT_EQ(s[1], 'b');
    char t[4] = "abc";
    tavix::clearString(t);
    EXPECT_EQ(std::string(t, 3), std::string(3, '\0'));
}

TEST(String, IntToStringExtremes)
{
    char buffer[12];
    tavix::intToString(0, buffer);
    EXPECT_STREQ(buffer, "0");
    tavix::intToString(-305, buffer);
    EXPECT_STREQ(buffer, "-305");
    tavix::intToString(INT_MIN, buffer);
    EXPECT_STREQ(buffer, "-2147483648");
    tavix::intToString(INT_MAX, buffer);
    EXPECT_STREQ(buffer, "2147483647");
    tavix::intToString(10, buffer);
    EXPECT_STREQ(buffer, "10");
}

TEST(String, AtoiSkipsOnlySpaceTabAndNewline)
{
    EXPECT_EQ(tavix::atoi(" \t-42abc"), -42);
    EXPECT_EQ(tavix::atoi("\n 12"), 12);
    EXPECT_EQ(tavix::atoi("+7"), 7);
    EXPECT_EQ(tavix::atoi("\r5"), 0);
    EXPECT_EQ(tavix::atoi("\v5"), 0);
    EXPECT_EQ(tavix::atoi("--5"), 0);
    EXPECT_EQ(tavix::atoi("+-5"), 0);
    EXPECT_EQ(tavix::atoi(""), 0);
    EXPECT_EQ(tavix::atoi("- 5"), 0);
    EXPECT_EQ(tavix::atoi("007"), 7);
    EXPECT_EQ(tavix::to_integer(" -19x"), -19);
}

TEST(String, AtoiWrapsOnOverflow)
{
    EXPECT_EQ(tavix::atoi("2147483647"), INT_MAX);
    EXPECT_EQ(tavix::atoi("2147483648"), INT_MIN);
    EXPECT_EQ(tavix::atoi("-2147483648"), INT_MIN);
    EXPECT_EQ(tavix::atoi("4294967297"), 1);
}

TEST(String, StrcmpComparesSignedCharacters)
{
    EXPECT_EQ(tavix::strcmp("a", "b"), -1);
    EXPECT_EQ(tavix::strcmp("b", "a"), 1);
    EXPECT_EQ(tavix::strcmp("same", "same"), 0);
    EXPECT_EQ(tavix::strcmp("", ""), 0);
    EXPECT_EQ(tavix::strcmp("ab", "abc"), -'c');
    EXPECT_EQ(tavix::strcmp("abc", "ab"), 'c');
    EXPECT_LT(tavix::strcmp("\x80", "a"), 0);
    EXPECT_GT(tavix::strcmp("a", "\xFF"), 0);
}

TEST(String, MemcmpAndStrncmpCompareUnsignedBytes)
{
    EXPECT_GT(tavix::memcmp("\x80", "a", 1), 0);
    EXPECT_EQ(tavix::memcmp("\x80", "a", 1), 0x80 - 'a');
    EXPECT_EQ(tavix::memcmp("abc", "abd", 2), 0);
    EXPECT_EQ(tavix::memcmp("x", "y", 0), 0);
    // memcmp does not stop at a terminator; strncmp does.
    EXPECT_NE(tavix::memcmp("ab\0x", "ab\0y", 4), 0);
    EXPECT_EQ(tavix::strncmp("ab\0x", "ab\0y", 4), 0);
    EXPECT_EQ(tavix::strncmp("\x80", "a", 1), 0x80 - 'a');
    EXPECT_EQ(tavix::strncmp("abc", "abd", 2), 0);
    EXPECT_EQ(tavix::strncmp("abc", "abd", 3), 'c' - 'd');
    EXPECT_EQ(tavix::strncmp("ab", "abc", 5), -'c');
    EXPECT_EQ(tavix::strncmp("q", "r", 0), 0);
}

TEST(String, CharacterClassesAreAsciiOnly)
{
    EXPECT_EQ(tavix::tolower('Z'), 'z');
    EXPECT_EQ(tavix::tolower('A'), 'a');
    EXPECT_EQ(tavix::tolower('@'), '@');
    EXPECT_EQ(tavix::tolower('['), '[');
    EXPECT_EQ(tavix::tolower('z'), 'z');
    EXPECT_EQ(tavix::tolower('\xC4'), '\xC4');

    for (int c : {'0', '5', '9'})
        EXPECT_EQ(tavix::isdigit(c), 1) << c;
    for (int c : {int{'/'}, int{':'}, int{'a'}, 0, -48})
        EXPECT_EQ(tavix::isdigit(c), 0) << c;
    for (char c : {'A', 'Z', 'a', 'z'})
        EXPECT_EQ(tavix::isalpha(c), 1) << c;
    for (char c : {'@', '[', '`', '{', '1', '\xC1'})
        EXPECT_EQ(tavix::isalpha(c), 0) << static_cast<int>(c);
}

TEST(String, IstrncmpFoldsCaseButReportsTheRawDifference)
{
    EXPECT_EQ(tavix::istrncmp("ABC", "abd", 3), 'C' - 'd');
    EXPECT_EQ(tavix::istrncmp("ABC", "abd", 3), -33);
    EXPECT_EQ(tavix::istrncmp("HeLLo", "hello", 5), 0);
    EXPECT_EQ(tavix::istrncmp("abX", "ABy", 2), 0);
    EXPECT_EQ(tavix::istrncmp("ab", "AB", 10), 0);
    EXPECT_EQ(tavix::istrncmp("ab", "abc", 5), -'c');
    EXPECT_EQ(tavix::istrncmp("x", "y", 0), 0);
    // '@' and '`' differ by 32 like a letter pair but are not letters.
    EXPECT_EQ(tavix::istrncmp("@", "`", 1), '@' - '`');
}

TEST(String, StrchrComparesSignedCharacters)
{
    const char* s = "ab\xE9" "c";
    EXPECT_EQ(tavix::strchr(s, 'b'), s + 1);
    EXPECT_EQ(tavix::strchr(s, 'a'), s);
    EXPECT_EQ(tavix::strchr(s, 0), s + 4);
    EXPECT_EQ(tavix::strchr(s, 'z'), nullptr);
    EXPECT_EQ(tavix::strchr(s, 0xE9), nullptr);
    EXPECT_EQ(tavix::strchr(s, static_cast<signed char>(0xE9)), s + 2);
}

TEST(String, StrtokSkipsRunsOfDelimiters)
{
    char s[] = "a,,b";
    EXPECT_STREQ(tavix::strtok(s, ","), "a");
    EXPECT_STREQ(tavix::strtok(nullptr, ","), "b");
    EXPECT_EQ(tavix::strtok(nullptr, ","), nullptr);
    EXPECT_EQ(tavix::strtok(nullptr, ","), nullptr);

    char t[] = ";, one;two ,";
    EXPECT_STREQ(tavix::strtok(t, ";, "), "one");
    EXPECT_STREQ(tavix::strtok(nullptr, ";, "), "two");
    EXPECT_EQ(tavix::strtok(nullptr, ";, "), nullptr);

    char only[] = ",,,";
    EXPECT_EQ(tavix::strtok(only, ","), nullptr);
    EXPECT_EQ(tavix::strtok(nullptr, ","), nullptr);
}

TEST(String, StrtokSplitsInPlaceAndANewStringRestarts)
{
    char first[] = "x y z";
    EXPECT_STREQ(tavix::strtok(first, " "), "x");
    EXPECT_EQ(first[1], 0);
    char second[] = "p-q";
    EXPECT_STREQ(tavix::strtok(second, "-"), "p");
    EXPECT_STREQ(tavix::strtok(nullptr, "-"), "q");
    EXPECT_EQ(tavix::strtok(nullptr, "-"), nullptr);
    // The abandoned string keeps the rest of its text untouched.
    EXPECT_STREQ(first + 2, "y z");
}

TEST(String, MemmoveHandlesOverlapBothWays)
{
    char up[] = "abcde";
    EXPECT_EQ(tavix::memmove(up + 1, up, 4), up + 1);
    EXPECT_STREQ(up, "aabcd");

    char down[] = "abcde";
    tavix::memmove(down, down + 1, 4);
    EXPECT_STREQ(down, "bcdee");

    char same[] = "abc";
    tavix::memmove(same, same, 3);
    EXPECT_STREQ(same, "abc");

    char none[] = "abc";
    tavix::memmove(none + 1, none, 0);
    EXPECT_STREQ(none, "abc");
}

TEST(String, MemcpCopiesSourceFirstAndIgnoresNonPositiveCounts)
{
    char dest[4] = "xyz";
    tavix::memcp("ab", dest, 2);
    EXPECT_STREQ(dest, "abz");
    tavix::memcp("qq", dest, 0);
    tavix::memcp("qq", dest, -5);
    EXPECT_STREQ(dest, "abz");
}

TEST(String, ReverseAndStartsWith)
{
    char odd[] = "abc";
    tavix::reverse(odd);
    EXPECT_STREQ(odd, "cba");
    char even[] = "abcd";
    tavix::reverse(even);
    EXPECT_STREQ(even, "dcba");
    char empty[] = "";
    tavix::reverse(empty);
    EXPECT_STREQ(empty, "");

    EXPECT_EQ(tavix::startsWith("verinfo", "ver"), 1);
    EXPECT_EQ(tavix::startsWith("verinfo", ""), 1);
    EXPECT_EQ(tavix::startsWith("ver", "verinfo"), 0);
    EXPECT_EQ(tavix::startsWith("Verinfo", "ver"), 0);
}

class HeapString : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        tavix::init_dmem();
    }
};

TEST_F(HeapString, StrdupTakesExactlyTheLengthPlusOne)
{
    char* empty = tavix::strdup("");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(block_size(empty), 1u);
    EXPECT_EQ(empty[0], 0);

    const char* text = "hello";
    char* copy = tavix::strdup(text);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, text);
    EXPECT_EQ(block_size(copy), 6u);
    EXPECT_STREQ(copy, "hello");

    tavix::mfree(copy);
    tavix::mfree(empty);
    EXPECT_TRUE(heap_is_one_free_block());
}

TEST_F(HeapString, TostrBlockHoldsExactlyTheText)
{
    struct Case {
        int value;
        const char* text;
    };
    for (Case c : {Case{-7, "-7"}, Case{0, "0"}, Case{9, "9"}, Case{10, "10"}, Case{-10, "-10"},
                   Case{INT_MAX, "2147483647"}, Case{INT_MIN, "-2147483648"}}) {
        char* s = tavix::tostr(c.value);
        ASSERT_NE(s, nullptr) << c.value;
        EXPECT_STREQ(s, c.text);
        EXPECT_EQ(block_size(s), std::strlen(c.text) + 1) << c.value;
        tavix::mfree(s);
    }
    EXPECT_TRUE(heap_is_one_free_block());
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
    EXPECT_TRUE(heap_is_one_free_block());
}

// Frees the array from splitString and every word in it.
void free_words(char** words, int count)
{
    for (int i = 0; i < count; ++i)
        tavix::mfree(words[i]);
    tavix::mfree(words);
}

TEST_F(HeapString, SplitStringDropsEmptyWords)
{
    int count = -1;
    char** words = tavix::splitString("  ls   -a ", &count);
    ASSERT_NE(words, nullptr);
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(words[0], "ls");
    EXPECT_STREQ(words[1], "-a");
    EXPECT_EQ(block_size(words), 2 * sizeof(char*));
    EXPECT_EQ(block_size(words[0]), 3u);
    EXPECT_EQ(block_size(words[1]), 3u);
    free_words(words, count);
    EXPECT_TRUE(heap_is_one_free_block());
}

TEST_F(HeapString, SplitStringOfNothingGivesAnEmptyArray)
{
    for (const char* line : {"", "   "}) {
        int count = -1;
        char** words = tavix::splitString(line, &count);
        ASSERT_NE(words, nullptr) << '"' << line << '"';
        EXPECT_EQ(count, 0);
        EXPECT_EQ(block_size(words), 0u);
        free_words(words, count);
    }
    EXPECT_TRUE(heap_is_one_free_block());
}

TEST_F(HeapString, SplitStringSeparatesAtSpacesOnly)
{
    int count = 0;
    char** words = tavix::splitString("a\tb", &count);
    ASSERT_NE(words, nullptr);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(words[0], "a\tb");
    free_words(words, count);

    words = tavix::splitString("echo \"two words\"", &count);
    ASSERT_NE(words, nullptr);
    ASSERT_EQ(count, 3);
    EXPECT_STREQ(words[0], "echo");
    EXPECT_STREQ(words[1], "\"two");
    EXPECT_STREQ(words[2], "words\"");
    free_words(words, count);

    words = tavix::splitString("single", &count);
    ASSERT_NE(words, nullptr);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(words[0], "single");
    free_words(words, count);
    EXPECT_TRUE(heap_is_one_free_block());
}

TEST_F(HeapString, SplitStringFailingMidwayFreesEverythingAndKeepsCount)
{
    // Room for the two-pointer array (8 + 16) and the first word (3 + 16), not the second.
    constexpr uint32_t room = 2 * sizeof(char*) + header_bytes + 3 + header_bytes;
    void* rest = leave_free(room);
    ASSERT_NE(rest, nullptr);

    int count = 77;
    EXPECT_EQ(tavix::splitString("ab cd", &count), nullptr);
    EXPECT_EQ(count, 77);
    // Everything splitString took went back: the first block is whole again.
    EXPECT_EQ(tavix::dynamic_mem_start->size, room);
    EXPECT_EQ(tavix::dynamic_mem_start->next, tavix::dynamic_mem_start->next->prev->next);
    EXPECT_FALSE(tavix::dynamic_mem_start->used);
    EXPECT_TRUE(tavix::dynamic_mem_start->next->used);

    // Without room for even the array, nothing is allocated either.
    EXPECT_EQ(tavix::splitString("a b c d e f g", &count), nullptr);
    EXPECT_EQ(count, 77);
    EXPECT_EQ(tavix::dynamic_mem_start->size, room);

    tavix::mfree(rest);
    EXPECT_TRUE(heap_is_one_free_block());
}

} // namespace
