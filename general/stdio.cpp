// printf for the text screen, with the in-band colour escape "<(bf)>".
#include "general/stdio.hpp"

#include "cpu/string.hpp"
#include "drivers/display.hpp"

#include <stdarg.h>

namespace tavix {

namespace {

// The %-x form right-aligns its digits in a field of this many characters.
constexpr int hex_field_width = 15;
// The value of the hex letter A.
constexpr uint8_t hex_letter_base = 10;

// "<(" background foreground ")>": the escape is this many bytes long.
constexpr char escape_open_1 = '<';
constexpr char escape_open_2 = '(';
constexpr char escape_close_1 = ')';
constexpr char escape_close_2 = '>';
constexpr int escape_length = 6;
constexpr int escape_unclosed_skip = 4;

uint8_t hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<uint8_t>(c - 'a' + hex_letter_base);
    if (c >= 'A' && c <= 'F')
        return static_cast<uint8_t>(c - 'A' + hex_letter_base);
    return 0;
}

} // namespace

void hex_to_str(uint32_t num, char* str) { format_number(num, false, hex_base, 1, str); }

uint8_t parse_color_code(char bg, char fg) { return static_cast<uint8_t>(hex_value(bg) * hex_base + hex_value(fg)); }

int colour_escape_span(const char* text)
{
    if (text[0] != escape_open_1 || text[1] != escape_open_2)
        return 0;
    for (int i = 2; i < escape_unclosed_skip; ++i) {
        if (text[i] == 0)
            return i;
    }
    return text[4] == escape_close_1 && text[5] == escape_close_2 ? escape_length : escape_unclosed_skip;
}

namespace {

enum class escape_result { taken, not_an_escape, format_ends };

// Handles a colour escape "<(bf)>" at p. An escape cut short by the terminator prints its
// "<" and ends the output; an unclosed one prints its "<" and skips what looked like one.
escape_result take_colour_escape(const char** p, uint8_t* colour)
{
    const char* s = *p;
    int span = colour_escape_span(s);
    if (span == 0)
        return escape_result::not_an_escape;
    if (span == escape_length) {
        *colour = parse_color_code(s[2], s[3]);
        *p += escape_length;
        return escape_result::taken;
    }
    putchar(static_cast<uint8_t>(escape_open_1), *colour);
    if (span < escape_unclosed_skip)
        return escape_result::format_ends;
    *p += escape_unclosed_skip;
    return escape_result::taken;
}

// Prints one conversion whose letter has been read; *p stands after it and moves past the
// "%-x" form's x. Only "%-x" takes a second letter.
void print_conversion(char conversion, const char** p, va_list* args, uint8_t colour)
{
    char num_buf[number_text_bytes];
    switch (conversion) {
    case 'd':
        intToString(va_arg(*args, int), num_buf);
        kprintc(num_buf, colour);
        break;
    case 'u':
        format_number(va_arg(*args, uint32_t), false, decimal_base, 1, num_buf);
        kprintc(num_buf, colour);
        break;
    case 'x':
    case 'X':
        putchar('0', colour);
        putchar(static_cast<uint8_t>(conversion), colour);
        hex_to_str(va_arg(*args, uint32_t), num_buf);
        kprintc(num_buf, colour);
        break;
    case 'c':
        putchar(static_cast<uint8_t>(va_arg(*args, int)), colour);
        break;
    case 's':
        if (const char* s = va_arg(*args, const char*))
            kprintc(s, colour);
        break;
    case '-': {
        char form = **p;
        if (form == 0)
            break;
        ++*p;
        if (form != 'x')
            break;
        hex_to_str(va_arg(*args, uint32_t), num_buf);
        for (int pad = hex_field_width - strlen(num_buf); pad > 0; --pad)
            putchar(' ', colour);
        kprintc(num_buf, colour);
        break;
    }
    default:
        putchar(static_cast<uint8_t>(conversion), colour);
        break;
    }
}

} // namespace

void printf(const char* format, ...)
{
    va_list args;
    va_start(args, format);

    uint8_t current_color = default_attribute;
    // Every look-ahead stops at the terminator: a format cut short inside an escape or right
    // after "%" or "%-" ends the output instead of reading past its end.
    const char* p = format;
    while (*p != 0) {
        escape_result escape = take_colour_escape(&p, &current_color);
        if (escape == escape_result::format_ends)
            break;
        if (escape == escape_result::taken)
            continue;
        if (*p != '%') {
            putchar(static_cast<uint8_t>(*p), current_color);
            ++p;
            continue;
        }
        char conversion = p[1];
        if (conversion == 0)
            break;
        p += 2;
        print_conversion(conversion, &p, &args, current_color);
    }

    va_end(args);
}

} // namespace tavix
