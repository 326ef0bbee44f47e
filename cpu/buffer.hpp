// Heap blocks held for the length of an operation, and views of bytes whose length is known.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "cpu/mem.hpp"

namespace tavix {

// `size` bytes at `data`, owned by someone else.
struct byte_view {
    uint8_t* data = nullptr;
    uint32_t size = 0;

    // The `count` bytes from `offset`, or an empty view when they would leave this one.
    byte_view sub(uint32_t offset, uint32_t count) const
    {
        if (offset > size || count > size - offset)
            return {};
        return {data + offset, count};
    }
};

// Copies `count` bytes from src to dest; the two may overlap. Destination first, as in the C
// library: the kernel's own memcpy and memcp keep their source-first order for their callers.
inline void copy_bytes(void* dest, const void* src, size_t count) { __builtin_memmove(dest, src, count); }

// Copies as many bytes as both views hold and returns that count.
inline uint32_t copy_bytes(byte_view dest, byte_view src)
{
    uint32_t count = dest.size < src.size ? dest.size : src.size;
    copy_bytes(dest.data, src.data, count);
    return count;
}

// A heap block owned by the scope that holds it and freed when that scope ends, on every
// path out of it. It is empty (false) when the heap had no room: check before use.
class heap_block {
public:
    explicit heap_block(size_t size) : data_(static_cast<uint8_t*>(malloc(size))), size_(data_ ? size : 0) {}
    ~heap_block() { mfree(data_); }
    heap_block(const heap_block&) = delete;
    heap_block& operator=(const heap_block&) = delete;

    explicit operator bool() const { return data_ != nullptr; }
    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    byte_view view() const { return {data_, static_cast<uint32_t>(size_)}; }
    template <typename T> T* as() const { return reinterpret_cast<T*>(data_); }

    // Hands the block over to a caller who keeps it (and frees it later); the holder is
    // empty afterwards.
    uint8_t* release()
    {
        uint8_t* data = data_;
        data_ = nullptr;
        size_ = 0;
        return data;
    }

private:
    uint8_t* data_;
    size_t size_;
};

} // namespace tavix
