// The 80 x 25 VGA colour text screen: characters at the hardware cursor, scrolling, numbers.
#pragma once

#include <stdint.h>

namespace tavix {

// Attribute bytes: background in the high nibble, foreground in the low nibble.
constexpr uint8_t default_attribute = 0x07; // light grey on black
constexpr uint8_t status_attribute = 0x70;  // black on light grey
constexpr uint8_t panic_attribute = 0x0C;   // light red on black

constexpr int screen_columns = 80;
constexpr int screen_rows = 25;
// Each cell is a character byte and its attribute byte.
constexpr uint16_t cell_bytes = 2;
constexpr uint16_t row_bytes = screen_columns * cell_bytes;
constexpr uint16_t screen_bytes = screen_rows * row_bytes; // 4000: one past the last cell
constexpr uint16_t last_row_offset = screen_bytes - row_bytes;

// Every position is a byte offset into the text buffer: (row * 80 + column) * 2.
void kprint(const char* str);
// Writes the character at the cursor and moves on; a newline goes to the next row and a
// backspace erases the cell before the cursor.
void putchar(uint8_t character, uint8_t attribute_byte);
// Writes the character's glyph at the cursor and moves on, whatever the character: control
// characters show as the code page's symbols.
void put_glyph(uint8_t character, uint8_t attribute_byte);
void scroll_line();
void clear_screen();
void write(uint8_t character, uint8_t attribute_byte, uint16_t offset);
uint16_t get_cursor();
void set_cursor(uint16_t pos);
uint8_t get_cursor_x();
uint8_t get_cursor_y();
void set_cursor_xy(uint8_t x, uint8_t y);
void disable_cursor();
void kprint_hex(uint32_t value);
void kprint_hex_w(uint32_t value);
void kprintc(const char* str, uint8_t attr);
void int_to_str(int32_t num, char* str);
void kprinti(int32_t number);
void kprintci(int32_t number, uint8_t attr);
void kprinti_vidmem(int32_t number, int32_t offset);
void kprintci_vidmem(int32_t number, uint8_t attr, int32_t offset);

} // namespace tavix
