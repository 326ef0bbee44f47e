// The PC keyboard: scancode decoding, the three IRQ 1 handlers and line editing.
#pragma once

#include "cpu/idt.hpp"
#include "general/history.hpp"
#include "io/kbc.hpp"

#include <stdint.h>

namespace tavix {

// The keyboard raises this IRQ line for every key event.
constexpr int keyboard_irq = 1;

// Each key event arrives on the controller's data port as one scan code set 1 byte
// (init_keyboard_controller sees to the set).
// Bit 7 of a scancode marks a break (release); bits 0-6 are the key number.
constexpr uint8_t kb_release_flag = 0x80;
constexpr uint8_t kb_key_mask = 0x7F;

// Key numbers the handlers treat specially.
namespace key {
enum : uint8_t {
    escape = 1,
    backspace = 14,
    tab = 15,
    enter = 28,
    ctrl = 29,
    apostrophe = 40,
    backtick = 41,
    left_shift = 42,
    right_shift = 54,
    alt = 56,
    space = 57,
    caps_lock = 58,
    f1 = 59,
    f10 = 68,
    up = 72,
    left = 75,
    right = 77,
    down = 80,
    f11 = 87,
    f12 = 88,
};
} // namespace key

// The line buffer holds this many characters plus a terminator. A character key on a full
// line is dropped: neither echoed nor appended.
constexpr int input_capacity = 1024;

// Where the one-shot reader shows the scancode of the key being held (row 0, column 75),
// and the width of that field.
constexpr int scancode_field_offset = 150;

// Initial Backspace barrier, a screen offset: until a line begins, the top-left cell.
constexpr int default_barrier = 0;

// The characters a key gives without and with Shift (or Caps Lock); 0 when it has none.
char get_acsii_low(char code);
char get_acsii_high(char code);

// Shift held (Left Shift only) and the Caps Lock latch, shared by all three handlers.
extern int capsOn;
extern int capsLock;

// The line being typed; always points at a buffer of input_capacity + 1 bytes.
extern char* input;
// Set by every handler on Enter; get_string waits for it, so it is re-read on every check.
extern volatile int enter;
// The screen offset where the line being typed began: Backspace never erases the cell there
// or any before it. It moves up a row whenever the line scrolls.
extern int barrier;
extern int cursor_index;

// What Enter hands the finished line to; it runs the line and prints the next prompt.
// Start-up points it at the shell, so that the keyboard knows nothing of the shell; until
// then a finished line is dropped.
using line_handler_t = void (*)(const char* line);
extern line_handler_t line_handler;

// The shell's IRQ 1 handler: edits the line and hands it to line_handler on Enter.
void vorn(InterruptRegisters* regs);
// IRQ 1 handler of get_string: echoes, draws the Shift/Caps Lock marks, uninstalls on Enter.
void handler(InterruptRegisters* regs);
// IRQ 1 handler of agent_get_string: as handler, but every echo is "*".
void agent_handler(InterruptRegisters* regs);

// The line typed from here on begins at the cursor (scrolled onto the screen first if it
// stands past the last cell): sets barrier to the cursor's offset. Called after every prompt.
void begin_line();

// Reads one line with interrupts enabled (never from a handler). On return the line is in
// `input` and, when buffer is not null, copied with its terminator into buffer, which must
// hold input_capacity + 1 bytes; nothing past the terminator is written.
void get_string(uint8_t* buffer);
// Installs the masked reader and returns `input` at once; Enter sets `enter`.
char* agent_get_string();

// Reads and drops the bytes the controller holds unread. An unread byte keeps the keyboard's
// interrupt line raised, and the edge-triggered interrupt controller then never reports
// another key; start-up drains the controller before the shell takes IRQ 1.
void discard_pending_keys();

// Removes the last character; returns 1 if there was one, 0 for an empty string.
int backspace_func(char* buffer);
// Sets the Backspace barrier to the screen offset n.
void set_barrier(int n);

} // namespace tavix
