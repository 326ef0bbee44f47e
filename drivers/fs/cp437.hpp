// Code page 437, the character set of the VGA text font: what a long name's UTF-16 characters become on screen.
#pragma once

#include <stdint.h>

namespace tavix {

// Shown for a character the font cannot draw, so that a name keeps its length.
constexpr uint8_t cp437_unknown = '?';

// The code page 437 byte for a UTF-16 code unit: printable ASCII as it is, a character of the
// font's upper half as its byte, anything else (control characters, surrogates, scripts the
// font lacks) as cp437_unknown.
uint8_t cp437_from_utf16(uint16_t unit);
// The upper-case form of a code page 437 byte, as FAT readers compare names: ASCII letters
// and the accented letters whose both cases the code page holds.
uint8_t cp437_toupper(uint8_t c);

} // namespace tavix
