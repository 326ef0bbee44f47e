// The C-linkage memory routines that the compiler itself emits calls to (struct copies,
// zeroing). They keep the standard contract, destination first, and are separate from
// the kernel's own memcpy(src, dest, bytes). String instructions keep the compiler from
// turning their loops back into calls to themselves.
#include <stddef.h>

extern "C" {

void* memcpy(void* dest, const void* src, size_t n)
{
    void* d = dest;
    asm volatile("cld; rep movsb" : "+D"(d), "+S"(src), "+c"(n) : : "memory");
    return dest;
}

void* memset(void* dest, int value, size_t n)
{
    void* d = dest;
    asm volatile("cld; rep stosb" : "+D"(d), "+c"(n) : "a"(value) : "memory");
    return dest;
}

void* memmove(void* dest, const void* src, size_t n)
{
    auto* d = static_cast<unsigned char*>(dest);
    auto* s = static_cast<const unsigned char*>(src);
    if (d <= s || d >= s + n)
        return memcpy(dest, src, n);
    // Overlap with the destination above the source: copy backwards.
    d += n - 1;
    s += n - 1;
    asm volatile("std; rep movsb; cld" : "+D"(d), "+S"(s), "+c"(n) : : "memory");
    return dest;
}

int memcmp(const void* a, const void* b, size_t n)
{
    auto* x = static_cast<const unsigned char*>(a);
    auto* y = static_cast<const unsigned char*>(b);
    for (size_t i = 0; i < n; ++i) {
        if (x[i] != y[i])
            return x[i] - y[i];
    }
    return 0;
}

} // extern "C"
