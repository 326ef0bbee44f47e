// The kernel's own string, character and number-text routines.
#include "cpu/string.hpp"

#include "cpu/mem.hpp"

namespace tavix {

namespace {

constexpr char case_distance = 'a' - 'A';
constexpr char word_separator = ' ';

// Where strtok resumes; null before the first call and after the last token.
constinit char* last_token = nullptr;

bool is_space_for_atoi(char c) { return c == ' ' || c == '\t' || c == '\n'; }

} // namespace

char* strcpy(char* dest, const char* src)
{
    int i = 0;
    for (; src[i] != 0; ++i)
        dest[i] = src[i];
    dest[i] = 0;
    return dest;
}

int strlen(const char* s)
{
    int length = 0;
    while (s[length] != 0)
        ++length;
    return length;
}

char* strncpy(char* dest, const char* src, size_t n)
{
    size_t i = 0;
    for (; i < n && src[i] != 0; ++i)
        dest[i] = src[i];
    for (; i < n; ++i)
        dest[i] = 0;
    return dest;
}

char* strcat(char* s, const char* append)
{
    strcpy(s + strlen(s), append);
    return s;
}

size_t strnlen(const char* s, size_t maxlen)
{
    size_t length = 0;
    while (length < maxlen && s[length] != 0)
        ++length;
    return length;
}

int isdigit(int c) { return c >= '0' && c <= '9' ? 1 : 0; }
int isalpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ? 1 : 0; }

int memcmp(const void* s1, const void* s2, size_t n)
{
    auto* a = static_cast<const uint8_t*>(s1);
    auto* b = static_cast<const uint8_t*>(s2);
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i])
            return a[i] - b[i];
    }
    return 0;
}

int strncmp(const char* s1, const char* s2, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        auto a = static_cast<uint8_t>(s1[i]);
        auto b = static_cast<uint8_t>(s2[i]);
        if (a != b)
            return a - b;
        if (a == 0)
            return 0;
    }
    return 0;
}

void* memmove(void* dest, const void* src, size_t n)
{
    auto* d = static_cast<uint8_t*>(dest);
    auto* s = static_cast<const uint8_t*>(src);
    if (d < s || d >= s + n) {
        for (size_t i = 0; i < n; ++i)
            d[i] = s[i];
    } else {
        // The destination overlaps the source from above: copy from the end.
        for (size_t i = n; i > 0; --i)
            d[i - 1] = s[i - 1];
    }
    return dest;
}

char* strtok(char* str, const char* delimiters)
{
    if (str != nullptr)
        last_token = str;
    if (last_token == nullptr)
        return nullptr;

    while (*last_token != 0 && strchr(delimiters, *last_token) != nullptr)
        ++last_token;
    if (*last_token == 0) {
        last_token = nullptr;
        return nullptr;
    }

    char* token = last_token;
    char* end = token;
    while (*end != 0 && strchr(delimiters, *end) == nullptr)
        ++end;
    if (*end == 0) {
        last_token = nullptr;
    } else {
        *end = 0;
        last_token = end + 1;
    }
    return token;
}

void reverse(char* s)
{
    for (int i = 0, j = strlen(s) - 1; i < j; ++i, --j) {
        char c = s[i];
        s[i] = s[j];
        s[j] = c;
    }
}

int startsWith(const char* s1, const char* s2)
{
    for (int i = 0; s2[i] != 0; ++i) {
        if (s1[i] != s2[i])
            return 0;
    }
    return 1;
}

int to_integer(const char* str) { return atoi(str); }

int strcmp(const char* s1, const char* s2)
{
    int i = 0;
    while (s1[i] != 0 && s1[i] == s2[i])
        ++i;
    // Plain char is signed on this target; make that explicit so the host agrees.
    return static_cast<signed char>(s1[i]) - static_cast<signed char>(s2[i]);
}

void strncat(char* s, char c)
{
    int length = strlen(s);
    s[length] = c;
    s[length + 1] = 0;
}

void join(char* s, char n) { strncat(s, n); }

char* mem_set(char* dest, int val)
{
    int length = strlen(dest);
    for (int i = 0; i < length; ++i)
        dest[i] = static_cast<char>(val);
    return dest;
}

void memcp(const void* source, void* dest, int nbytes)
{
    auto* s = static_cast<const uint8_t*>(source);
    auto* d = static_cast<uint8_t*>(dest);
    for (int i = 0; i < nbytes; ++i)
        d[i] = s[i];
}

void strnone(char* str) { str[0] = 0; }

// Zeroes the string's bytes, so that whatever it held does not linger in memory.
void clearString(char* string)
{
    for (int i = 0; string[i] != 0; ++i)
        string[i] = 0;
}

int format_number(uint32_t magnitude, bool negative, uint32_t base, int min_digits, char* out)
{
    constexpr char digits[] = "0123456789ABCDEF";
    int length = 0;
    // Digits come out least significant first; the text is turned round at the end.
    do {
        out[length++] = digits[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0 || length < min_digits);
    if (negative)
        out[length++] = '-';
    out[length] = 0;
    reverse(out);
    return length;
}

void intToString(int n, char* str) { format_number(magnitude_of(n), n < 0, decimal_base, 1, str); }

int atoi(const char* str)
{
    while (is_space_for_atoi(*str))
        ++str;
    int sign = 1;
    if (*str == '-' || *str == '+') {
        sign = *str == '-' ? -1 : 1;
        ++str;
    }
    // Unsigned arithmetic wraps where signed overflow would be undefined.
    uint32_t result = 0;
    for (; isdigit(*str); ++str)
        result = result * decimal_base + static_cast<uint32_t>(*str - '0');
    return static_cast<int>(sign < 0 ? 0u - result : result);
}

char tolower(char s1) { return s1 >= 'A' && s1 <= 'Z' ? static_cast<char>(s1 + case_distance) : s1; }

int istrncmp(const char* str1, const char* str2, int n)
{
    for (int i = 0; i < n; ++i) {
        if (tolower(str1[i]) != tolower(str2[i]))
            return static_cast<uint8_t>(str1[i]) - static_cast<uint8_t>(str2[i]);
        if (str1[i] == 0)
            return 0;
    }
    return 0;
}

char* strchr(const char* str, int character)
{
    // Bytes compare as signed characters, so a value of 128-255 never matches.
    for (int i = 0;; ++i) {
        if (static_cast<signed char>(str[i]) == character)
            return const_cast<char*>(str + i);
        if (str[i] == 0)
            return nullptr;
    }
}

char* strdup(const char* str)
{
    int length = strlen(str);
    auto* copy = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    if (copy == nullptr)
        return nullptr;
    strcpy(copy, str);
    return copy;
}

char* tostr(int value)
{
    char text[number_text_bytes];
    intToString(value, text);
    return strdup(text);
}

char** splitString(const char* str, int* count)
{
    int words = 0;
    for (int i = 0; str[i] != 0; ++i) {
        if (str[i] != word_separator && (i == 0 || str[i - 1] == word_separator))
            ++words;
    }

    auto** array = static_cast<char**>(malloc(static_cast<size_t>(words) * sizeof(char*)));
    if (array == nullptr)
        return nullptr;

    int stored = 0;
    for (int i = 0; str[i] != 0;) {
        if (str[i] == word_separator) {
            ++i;
            continue;
        }
        int length = 0;
        while (str[i + length] != 0 && str[i + length] != word_separator)
            ++length;
        auto* word = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
        if (word == nullptr) {
            for (int k = 0; k < stored; ++k)
                mfree(array[k]);
            mfree(array);
            return nullptr;
        }
        strncpy(word, str + i, static_cast<size_t>(length));
        word[length] = 0;
        array[stored++] = word;
        i += length;
    }

    *count = words;
    return array;
}

} // namespace tavix
