// The kernel's own string, character and number-text routines. Several share a name with a
// C library function but not always its contract: memcpy-style routines take the source
// first, strcmp compares signed characters, strncat appends one character.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tavix {

char* strcpy(char* dest, const char* src);
int strlen(const char* s);
char* strncpy(char* dest, const char* src, size_t n);
char* strcat(char* s, const char* append);
size_t strnlen(const char* s, size_t maxlen);
int isdigit(int c);
int isalpha(char c);
int memcmp(const void* s1, const void* s2, size_t n);
int strncmp(const char* s1, const char* s2, size_t n);
void* memmove(void* dest, const void* src, size_t n);
char* strtok(char* str, const char* delimiters);
void reverse(char* s);
int startsWith(const char* s1, const char* s2);
int to_integer(const char* str);

int strcmp(const char* s1, const char* s2);
void strncat(char* s, char c);
void join(char* s, char n);
char* mem_set(char* dest, int val);
void memcp(const void* source, void* dest, int nbytes);
void strnone(char* str);
void clearString(char* string);
void intToString(int n, char* str);

// Number text. Every routine that turns a number into digits goes through format_number.
constexpr uint32_t decimal_base = 10;
constexpr uint32_t hex_base = 16;
// Room for the longest text format_number writes (32 binary digits), a sign and the NUL.
constexpr int number_text_bytes = 34;
// The magnitude of n, also for the most negative value (unsigned negation does not overflow).
constexpr uint32_t magnitude_of(int32_t n) { return n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n); }
// Writes `magnitude` in `base` (2-16; digits 0-9 then upper-case A-F) into `out`, preceded by
// '-' when `negative`, with at least `min_digits` digits (leading zeros), and a terminator.
// Returns the length without the terminator.
int format_number(uint32_t magnitude, bool negative, uint32_t base, int min_digits, char* out);
int atoi(const char* str);
char tolower(char s1);
int istrncmp(const char* str1, const char* str2, int n);
char* strchr(const char* str, int character);

// These three return heap blocks (see cpu/mem) that the caller releases with mfree.
char* strdup(const char* str);
char* tostr(int value);
// Cuts a line into words at spaces. Returns the array (exactly *count pointers) or null.
char** splitString(const char* str, int* count);

} // namespace tavix
