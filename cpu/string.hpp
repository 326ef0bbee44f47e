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
