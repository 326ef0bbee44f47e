// printf for the text screen, with the in-band colour escape "<(bf)>".
#pragma once

#include <stdint.h>

namespace tavix {

void printf(const char* format, ...);
void hex_to_str(uint32_t num, char* str);
uint8_t parse_color_code(char bg, char fg);
// The characters printf takes as one colour escape at text: 6 for "<(bf)>", 4 for an
// unclosed "<(bf", fewer when the terminator cuts it short; 0 when no escape starts there.
int colour_escape_span(const char* text);

} // namespace tavix
