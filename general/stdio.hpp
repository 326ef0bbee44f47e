// printf for the text screen, with the in-band colour escape "<(bf)>".
#pragma once

#include <stdint.h>

namespace tavix {

void printf(const char* format, ...);
void hex_to_str(uint32_t num, char* str);
uint8_t parse_color_code(char bg, char fg);

} // namespace tavix
