// printf for the text screen, with the in-band colour escape "<(bf)>".
#include "general/stdio.hpp"

#include "cpu/string.hpp"
#include "drivers/display.hpp"

#include <stdarg.h>

namespace tavix {

namespace {

constexpr int number_buffer_bytes = 32;
// The %-x form right-aligns its digits in a field of this many characters.
constexpr int hex_field_width = 15;
constexpr int hex_base = 16;
constexpr int decimal_base = 10;
constexpr int nibble_bits = 4;
constexpr uint32_t nibble_mask = 0xF;

// "<(" background foreground ")>": the escape is this many bytes long.
constexpr char escape_open_1 = '<';
constexpr char escape_open_2 = '(';
constexpr char escape_close_1 = ')';
constexpr char escape_close_2 = '>';
constexpr int escape_length = 6;
constexpr int escape_unclosed_skip = 4;

void print_string(const char* s, uint8_t color)
{
    for (int i = 0; s[i] != 0; ++i)
        putchar(static_cast<uint8_t>(s[i]), color);
}

void unsigned_to_str(uint32_t value, char* str)
{
    int length = 0;
    do {
        str[length++] = static_cast<char>('0' + value % decimal_base);
        value /= decimal_base;
    } while (value != 0);
    str[length] = 0;
    reverse(str);
}

uint8_t hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<uint8_t>(c - 'a' + decimal_base);
    if (c >= 'A' && c <= 'F')
        return static_cast<uint8_t>(c - 'A' + decimal_base);
    return 0;
}

} // namespace

void hex_to_str(uint32_t num, char* str)
{
    int length = 0;
    do {
        uint32_t nibble = num & nibble_mask;
        str[length++] = static_cast<char>(nibble < decimal_base ? '0' + nibble : 'A' + (nibble - decimal_base));
        num >>= nibble_bits;
    } while (num != 0);
    str[length] = 0;
    reverse(str);
}

uint8_t parse_color_code(char bg, char fg) { return static_cast<uint8_t>(hex_value(bg) * hex_base + hex_value(fg)); }

void printf(const char* format, ...)
{
    va_list args;
    va_start(args, format);

    uint8_t current_color = default_attribute;
    char num_buf[number_buffer_bytes];

    // Every look-ahead below stops at the terminator: a format cut short inside an escape or
    // right after "%" or "%-" ends the output instead of reading past its end.
    const char* p = format;
    while (*p != 0) {
        if (p[0] == escape_open_1 && p[1] == escape_open_2) {
            if (p[2] == 0 || p[3] == 0) {
                putchar(static_cast<uint8_t>(escape_open_1), current_color);
                break;
            }
            if (p[4] == escape_close_1 && p[5] == escape_close_2) {
                current_color = parse_color_code(p[2], p[3]);
                p += escape_length;
            } else {
                putchar(static_cast<uint8_t>(escape_open_1), current_color);
                p += escape_unclosed_skip;
            }
            continue;
        }

        if (*p != '%') {
            putchar(static_cast<uint8_t>(*p), current_color);
            ++p;
            continue;
        }

        char conversion = p[1];
        if (conversion == 0)
            break;
        p += 2;
        switch (conversion) {
        case 'd':
            intToString(va_arg(args, int), num_buf);
            print_string(num_buf, current_color);
            break;
        case 'u':
            unsigned_to_str(va_arg(args, uint32_t), num_buf);
            print_string(num_buf, current_color);
            break;
        case 'x':
        case 'X':
            putchar('0', current_color);
            putchar(static_cast<uint8_t>(conversion), current_color);
            hex_to_str(va_arg(args, uint32_t), num_buf);
            print_string(num_buf, current_color);
            break;
        case 'c':
            putchar(static_cast<uint8_t>(va_arg(args, int)), current_color);
            break;
        case 's':
            if (const char* s = va_arg(args, const char*))
                print_string(s, current_color);
            break;
        case '-': {
            char form = *p;
            if (form == 0)
                break;
            ++p;
            if (form != 'x')
                break;
            hex_to_str(va_arg(args, uint32_t), num_buf);
            for (int pad = hex_field_width - strlen(num_buf); pad > 0; --pad)
                putchar(' ', current_color);
            print_string(num_buf, current_color);
            break;
        }
        default:
            putchar(static_cast<uint8_t>(conversion), current_color);
            break;
        }
    }

    va_end(args);
}

} // namespace tavix
