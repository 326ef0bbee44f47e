// Little-endian readers and writers for on-disk fields, and the space trimming of fixed-width name fields.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tavix {

uint16_t readi16(uint8_t* buff, size_t offset);
uint32_t readi32(uint8_t* buff, size_t offset);
// Stores value at `offset`, least significant byte first: the counterparts of readi16 and readi32.
void writei16(uint8_t* buff, size_t offset, uint16_t value);
void writei32(uint8_t* buff, size_t offset, uint32_t value);
// Replaces the first space among c[0..max] with a NUL.
void trim_spaces(char* c, int max);

} // namespace tavix
