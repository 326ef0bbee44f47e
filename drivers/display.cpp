// The 80 x 25 VGA colour text screen: characters at the hardware cursor, scrolling, numbers.
#include "drivers/display.hpp"

#include "cpu/string.hpp"

#include "arch/hw.hpp"
#include "io/iotools.hpp"

namespace tavix {

namespace {

// The CRT controller: an index register selects which register the data port reaches.
constexpr uint16_t crtc_index_port = 0x3D4;
constexpr uint16_t crtc_data_port = 0x3D5;
constexpr uint8_t crtc_cursor_high = 0x0E;
constexpr uint8_t crtc_cursor_low = 0x0F;

constexpr uint8_t newline = 0x0A;
constexpr uint8_t backspace = 0x08;
constexpr uint8_t blank_character = 0;

constexpr int hex_digits_dword = 8;
constexpr int hex_digits_word = 4;
constexpr uint32_t word_mask = 0xFFFF;

// Writes the text straight into the text buffer without moving the cursor or scrolling.
void print_vidmem(const char* text, uint8_t attr, int32_t offset)
{
    for (int i = 0; text[i] != 0; ++i) {
        int32_t at = offset + i * cell_bytes;
        if (at < 0 || at >= screen_bytes)
            return;
        write(static_cast<uint8_t>(text[i]), attr, static_cast<uint16_t>(at));
    }
}

// Writes the glyph at `offset`, the cursor's place, and moves the cursor past it.
void put_glyph_at(uint8_t character, uint8_t attribute_byte, uint16_t offset)
{
    // The cursor rests one past the last cell after the screen fills; the next glyph scrolls.
    // Any offset beyond that is treated the same way rather than written off the screen.
    if (offset >= screen_bytes) {
        scroll_line();
        offset = last_row_offset;
    }
    write(character, attribute_byte, offset);
    set_cursor(static_cast<uint16_t>(offset + cell_bytes));
}

} // namespace

void kprint(const char* str) { kprintc(str, default_attribute); }

void kprintc(const char* str, uint8_t attr)
{
    for (int i = 0; str[i] != 0; ++i)
        putchar(static_cast<uint8_t>(str[i]), attr);
}

void putchar(uint8_t character, uint8_t attribute_byte)
{
    uint16_t offset = get_cursor();

    if (character == newline) {
        if (offset >= last_row_offset) {
            scroll_line();
            return;
        }
        set_cursor(static_cast<uint16_t>(offset - offset % row_bytes + row_bytes));
        return;
    }

    if (character == backspace) {
        // Nothing lies before the first cell; erasing there would write below the buffer.
        if (offset < cell_bytes)
            return;
        set_cursor(static_cast<uint16_t>(offset - cell_bytes));
        kprint(" ");
        set_cursor(static_cast<uint16_t>(offset - cell_bytes));
        return;
    }

    put_glyph_at(character, attribute_byte, offset);
}

void put_glyph(uint8_t character, uint8_t attribute_byte) { put_glyph_at(character, attribute_byte, get_cursor()); }

void scroll_line()
{
    // The buffer is device memory shared with the VGA card; the kernel's copy walks it upward
    // byte by byte, which is what moving every row to the one above needs.
    auto* buffer = const_cast<uint8_t*>(hw::text_buffer());
    for (int row = 1; row < screen_rows; ++row) {
        memcpy(reinterpret_cast<const int*>(buffer + row * row_bytes),
               reinterpret_cast<int*>(buffer + (row - 1) * row_bytes), row_bytes);
    }
    for (uint16_t offset = last_row_offset; offset < screen_bytes; offset += cell_bytes)
        write(blank_character, default_attribute, offset);
    set_cursor(last_row_offset);
}

void clear_screen()
{
    for (uint16_t offset = 0; offset < screen_bytes; offset += cell_bytes)
        write(blank_character, default_attribute, offset);
    set_cursor(0);
}

void write(uint8_t character, uint8_t attribute_byte, uint16_t offset)
{
    // An offset past the last cell would land in memory that is not the screen; an odd
    // offset in the last cell would put its attribute byte there.
    if (offset > screen_bytes - cell_bytes)
        return;
    volatile uint8_t* buffer = hw::text_buffer();
    buffer[offset] = character;
    buffer[offset + 1] = attribute_byte;
}

uint16_t get_cursor()
{
    port_byte_out(crtc_index_port, crtc_cursor_high);
    uint16_t high = port_byte_in(crtc_data_port);
    port_byte_out(crtc_index_port, crtc_cursor_low);
    uint16_t low = port_byte_in(crtc_data_port);
    return static_cast<uint16_t>(((high << 8) | low) * cell_bytes);
}

void set_cursor(uint16_t pos)
{
    uint16_t cell = pos / cell_bytes;
    port_byte_out(crtc_index_port, crtc_cursor_high);
    port_byte_out(crtc_data_port, static_cast<uint8_t>(cell >> 8));
    port_byte_out(crtc_index_port, crtc_cursor_low);
    port_byte_out(crtc_data_port, static_cast<uint8_t>(cell & 0xFF));
}

uint8_t get_cursor_x() { return static_cast<uint8_t>((get_cursor() / cell_bytes) % screen_columns); }
uint8_t get_cursor_y() { return static_cast<uint8_t>((get_cursor() / cell_bytes) / screen_columns); }

void set_cursor_xy(uint8_t x, uint8_t y)
{
    constexpr uint8_t last_column = screen_columns - 1;
    constexpr uint8_t last_row = screen_rows - 1;
    if (x > last_column)
        x = last_column;
    if (y > last_row)
        y = last_row;
    set_cursor(static_cast<uint16_t>((y * screen_columns + x) * cell_bytes));
}

// The cursor stays visible: nothing in the system needs it hidden.
void disable_cursor() {}

// Both print every digit of their width, leading zeros included; the word form shows only
// the low 16 bits.
void kprint_hex(uint32_t value)
{
    char buffer[number_text_bytes];
    format_number(value, false, hex_base, hex_digits_dword, buffer);
    kprint(buffer);
}

void kprint_hex_w(uint32_t value)
{
    char buffer[number_text_bytes];
    format_number(value & word_mask, false, hex_base, hex_digits_word, buffer);
    kprint(buffer);
}

void int_to_str(int32_t num, char* str) { intToString(num, str); }

void kprinti(int32_t number)
{
    char buffer[number_text_bytes];
    int_to_str(number, buffer);
    kprint(buffer);
}

void kprintci(int32_t number, uint8_t attr)
{
    char buffer[number_text_bytes];
    int_to_str(number, buffer);
    kprintc(buffer, attr);
}

void kprinti_vidmem(int32_t number, int32_t offset) { kprintci_vidmem(number, default_attribute, offset); }

void kprintci_vidmem(int32_t number, uint8_t attr, int32_t offset)
{
    char buffer[number_text_bytes];
    int_to_str(number, buffer);
    print_vidmem(buffer, attr, offset);
}

} // namespace tavix
