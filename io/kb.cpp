// The PC keyboard: scancode decoding, the three IRQ 1 handlers and line editing.
#include "io/kb.hpp"

#include "arch/hw.hpp"
#include "cpu/string.hpp"
#include "drivers/display.hpp"
#include "general/stdio.hpp"
#include "io/iotools.hpp"

namespace tavix {

namespace {

// Key numbers 0-57 can carry a character; every key from 58 up gives none.
constexpr int map_size = 58;

struct char_map {
    char at[map_size];
};

// One run of consecutive keys and the characters they give without and with Shift.
struct key_run {
    uint8_t first_key;
    const char* low;
    const char* high;
};

constexpr key_run key_runs[] = {
    {2, "1234567890-=", "!@#$%^&*()_+"},
    {16, "qwertyuiop[]", "QWERTYUIOP{}"},
    {30, "asdfghjkl;", "ASDFGHJKL:"},
    {43, "\\", "|"},
    {44, "zxcvbnm,./", "ZXCVBNM<>?"},
    {key::space, " ", " "},
};

consteval char_map build_map(bool shifted)
{
    char_map map{};
    for (const key_run& run : key_runs) {
        const char* chars = shifted ? run.high : run.low;
        for (int i = 0; chars[i] != 0; ++i)
            map.at[run.first_key + i] = chars[i];
    }
    return map;
}

constexpr char_map low_map = build_map(false);
constexpr char_map high_map = build_map(true);

static_assert(low_map.at[30] == 'a' && high_map.at[30] == 'A');
static_assert(low_map.at[53] == '/' && high_map.at[2] == '!');
static_assert(low_map.at[key::apostrophe] == 0 && low_map.at[key::backtick] == 0);

// Both marks start in the top-left cell, so the later one covers the earlier one's start.
constexpr uint16_t status_mark_offset = 0;
constexpr const char shift_mark[] = " SHIFT";
constexpr const char shift_mark_clear[] = "      ";
constexpr const char caps_mark[] = " CAPS LOCK";
constexpr const char caps_mark_clear[] = "          ";
constexpr const char scancode_field_clear[] = "     ";

constinit char input_line[input_capacity + 1] = {};

// A full line and the prompt before it fit on the screen, so the offset where the line began
// never scrolls off the top while the line is typed.
static_assert(input_capacity + screen_columns < screen_columns * screen_rows);

struct key_event {
    uint8_t key;
    bool released;
};

key_event read_key_event()
{
    const uint8_t scancode = port_byte_in(kbc_data_port);
    return {static_cast<uint8_t>(scancode & kb_key_mask), (scancode & kb_release_flag) != 0};
}

bool shifted() { return capsOn != 0 || capsLock != 0; }

char key_char(uint8_t k)
{
    const char code = static_cast<char>(k);
    return shifted() ? get_acsii_high(code) : get_acsii_low(code);
}

bool line_full() { return strlen(input) >= input_capacity; }

// Keys that none of the handlers act on, on make or break.
bool ignored_by_readers(uint8_t k)
{
    return k == key::escape || k == key::tab || k == key::ctrl || k == key::alt || (k >= key::f1 && k <= key::f10) ||
           k == key::f11 || k == key::f12;
}

bool ignored_by_shell(uint8_t k) { return ignored_by_readers(k) || k == key::up || k == key::down; }

void draw_status_mark(const char* mark)
{
    const uint16_t saved = get_cursor();
    set_cursor(status_mark_offset);
    kprintc(mark, status_attribute);
    set_cursor(saved);
}

void left_shift_with_mark(bool released)
{
    capsOn = released ? 0 : 1;
    draw_status_mark(released ? shift_mark_clear : shift_mark);
}

void caps_lock_with_mark()
{
    capsLock = !capsLock;
    draw_status_mark(capsLock ? caps_mark : caps_mark_clear);
}

// An echo into the last cell leaves the cursor one past the screen, where it is invisible
// and where Backspace and the arrows would lose track of the line. The line scrolls up at
// once instead, and the offset where it began moves up with it.
void keep_cursor_on_screen()
{
    if (get_cursor() < screen_bytes)
        return;
    scroll_line();
    barrier -= row_bytes;
}

void echo(char shown)
{
    keep_cursor_on_screen();
    putchar(static_cast<uint8_t>(shown), default_attribute);
    keep_cursor_on_screen();
}

// Erases the line's last character when it has one that was typed after the barrier: the
// cells before the barrier hold the prompt or whatever was printed before the line. The
// cursor stands at the end of the line, so the erase works across row boundaries.
void erase_last_char()
{
    if (input[0] == 0 || get_cursor() <= barrier)
        return;
    kprint("\b");
    backspace_func(input);
}

// Appends c and echoes `shown` for it; keys without a character and a full line do nothing.
void reader_type(char c, char shown)
{
    if (c == 0 || line_full())
        return;
    echo(shown);
    join(input, c);
}

void finish_reader_line()
{
    kprint("\n");
    enter = 1;
    irq_uninstall_handler(keyboard_irq);
}

// What a key event asks of the line being edited. The shell and the two line readers share
// this one step; they differ only in how they echo and where the finished line goes.
enum class edit : uint8_t { none, type, erase, finish, left, right, shift, caps_lock };
struct edit_action {
    edit kind;
    char c;     // for type: the character
    bool plain; // a key with no editing role of its own: a character key, an arrow, any other
};

// `apostrophe` is the character the apostrophe key gives, which the shell alone shifts.
edit_action edit_for(const key_event& ev, char apostrophe)
{
    const bool pressed = !ev.released;
    switch (ev.key) {
    case key::left_shift:
        return {edit::shift, 0, false};
    case key::caps_lock:
        return {pressed ? edit::caps_lock : edit::none, 0, false};
    // These two act on release, so a held modifier still applies when the character lands.
    case key::apostrophe:
        return {pressed ? edit::none : edit::type, apostrophe, false};
    case key::backtick:
        return {pressed ? edit::none : edit::type, '~', false};
    case key::backspace:
        return {pressed ? edit::erase : edit::none, 0, false};
    case key::enter:
        return {pressed ? edit::finish : edit::none, 0, false};
    case key::left:
        return {pressed ? edit::left : edit::none, 0, true};
    case key::right:
        return {pressed ? edit::right : edit::none, 0, true};
    default:
        return {pressed ? edit::type : edit::none, key_char(ev.key), true};
    }
}

// The plain reader shows the number of a key without an editing role in the top-right
// corner while it is held.
void show_key_number(const key_event& ev)
{
    if (!ev.released) {
        kprintci_vidmem(ev.key, status_attribute, scancode_field_offset);
        return;
    }
    const uint16_t saved = get_cursor();
    set_cursor(scancode_field_offset);
    kprintc(scancode_field_clear, status_attribute);
    set_cursor(saved);
}

// The two line readers differ only in what they show: the plain one echoes each character
// and the key number in the top-right corner, the masked one a star for every key.
void reader_key(const key_event& ev, bool masked)
{
    constexpr char mask = '*';
    if (ignored_by_readers(ev.key))
        return;
    const edit_action action = edit_for(ev, '\'');
    if (action.plain && !masked)
        show_key_number(ev);
    switch (action.kind) {
    case edit::shift:
        left_shift_with_mark(ev.released);
        return;
    case edit::caps_lock:
        caps_lock_with_mark();
        return;
    case edit::type:
        reader_type(action.c, masked ? mask : action.c);
        return;
    case edit::erase:
        if (!masked) {
            erase_last_char();
            return;
        }
        // A masked line never shows what is erased, so the screen keeps its stars.
        echo(mask);
        backspace_func(input);
        return;
    case edit::finish:
        finish_reader_line();
        return;
    case edit::left:
    case edit::right:
    case edit::none:
        return;
    }
}

// The shell keeps the hardware cursor at cursor_index within the line. Every edit happens at
// the end of the line, so it first returns the cursor there: the screen always shows the
// line exactly as it will run.
void shell_cursor_to_line_end(int length)
{
    if (cursor_index < length)
        set_cursor(static_cast<uint16_t>(get_cursor() + (length - cursor_index) * cell_bytes));
    cursor_index = length;
}

void shell_type(char c)
{
    if (c == 0 || line_full())
        return;
    shell_cursor_to_line_end(strlen(input));
    echo(c);
    join(input, c);
    ++cursor_index;
}

void shell_backspace()
{
    shell_cursor_to_line_end(strlen(input));
    const int length = strlen(input);
    erase_last_char();
    if (strlen(input) < length)
        --cursor_index;
}

void shell_run_line()
{
    // The command's output follows the whole line, wherever the arrows left the cursor.
    shell_cursor_to_line_end(strlen(input));
    kprint("\n");
    enter = 1;
    add_to_history(input);
    // The shell runs the line and prints the next prompt.
    if (line_handler)
        line_handler(input);
    begin_line();
    strnone(input);
    cursor_index = 0;
}

} // namespace

constinit line_handler_t line_handler = nullptr;
constinit int capsOn = 0;
constinit int capsLock = 0;
constinit char* input = input_line;
constinit volatile int enter = 0;
constinit int barrier = default_barrier;
constinit int cursor_index = 0;

char get_acsii_low(char code)
{
    if (code < 0 || code >= map_size)
        return 0;
    return low_map.at[static_cast<int>(code)];
}

char get_acsii_high(char code)
{
    if (code < 0 || code >= map_size)
        return 0;
    return high_map.at[static_cast<int>(code)];
}

void vorn(InterruptRegisters*)
{
    const key_event ev = read_key_event();
    if (ignored_by_shell(ev.key))
        return;
    const edit_action action = edit_for(ev, shifted() ? '"' : '\'');
    switch (action.kind) {
    case edit::left:
        if (cursor_index > 0) {
            --cursor_index;
            set_cursor(static_cast<uint16_t>(get_cursor() - cell_bytes));
        }
        return;
    case edit::right:
        if (cursor_index < strlen(input)) {
            ++cursor_index;
            set_cursor(static_cast<uint16_t>(get_cursor() + cell_bytes));
        }
        return;
    case edit::erase:
        shell_backspace();
        return;
    case edit::finish:
        shell_run_line();
        return;
    case edit::type:
        shell_type(action.c);
        return;
    case edit::shift:
        capsOn = ev.released ? 0 : 1;
        return;
    case edit::caps_lock:
        capsLock = !capsLock;
        return;
    case edit::none:
        return;
    }
}

void handler(InterruptRegisters*) { reader_key(read_key_event(), false); }

void agent_handler(InterruptRegisters*) { reader_key(read_key_event(), true); }

void begin_line()
{
    keep_cursor_on_screen();
    barrier = get_cursor();
}

void get_string(uint8_t* buffer)
{
    begin_line();
    // Reinstalling on every pass is harmless and puts the reader back should anything else
    // have taken the line meanwhile; the halt sleeps until the next interrupt.
    while (enter != 1) {
        irq_install_handler(keyboard_irq, handler);
        hw::halt();
    }
    enter = 0;
    if (buffer != nullptr)
        memcp(input, buffer, strlen(input) + 1);
}

char* agent_get_string()
{
    irq_install_handler(keyboard_irq, agent_handler);
    return input;
}

void discard_pending_keys() { kbc_flush_output(); }

int backspace_func(char* buffer)
{
    const int n = strlen(buffer);
    if (n < 1)
        return 0;
    buffer[n - 1] = 0;
    return 1;
}

void set_barrier(int n) { barrier = n; }

} // namespace tavix
