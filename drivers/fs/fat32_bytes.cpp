// Little-endian readers and writers for on-disk fields, and the space trimming of fixed-width name fields.
#include "drivers/fs/fat32_bytes.hpp"

namespace tavix {

uint16_t readi16(uint8_t* buff, size_t offset)
{
    return static_cast<uint16_t>(buff[offset] | (buff[offset + 1] << 8));
}

uint32_t readi32(uint8_t* buff, size_t offset)
{
    return static_cast<uint32_t>(buff[offset]) | (static_cast<uint32_t>(buff[offset + 1]) << 8)
        | (static_cast<uint32_t>(buff[offset + 2]) << 16) | (static_cast<uint32_t>(buff[offset + 3]) << 24);
}

void writei16(uint8_t* buff, size_t offset, uint16_t value)
{
    buff[offset] = static_cast<uint8_t>(value);
    buff[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void writei32(uint8_t* buff, size_t offset, uint32_t value)
{
    for (size_t i = 0; i < sizeof value; ++i)
        buff[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void trim_spaces(char* c, int max)
{
    for (int i = 0; i <= max; ++i) {
        if (c[i] == ' ') {
            c[i] = '\0';
            return;
        }
    }
}

} // namespace tavix
