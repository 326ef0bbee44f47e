// A one-line text progress bar: a title, 50 cells that fill with '#' and a percentage.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tavix {

constexpr int progress_title_bytes = 32; // 31 characters and the terminator
constexpr int progress_bar_cells = 50;

// Owned by the caller; the bar keeps no heap memory.
struct ProgressBar {
    uint8_t current_step;
    uint8_t total_steps;
    uint16_t position; // byte offset of the bar's first cell in the text buffer
    uint8_t color;     // attribute of the bar's cells; all text uses the default attribute
    char title[progress_title_bytes];
};
static_assert(offsetof(ProgressBar, total_steps) == 1);
static_assert(offsetof(ProgressBar, position) == 2);
static_assert(offsetof(ProgressBar, color) == 4);
static_assert(offsetof(ProgressBar, title) == 5);
static_assert(sizeof(ProgressBar) == 38);

// Clears the screen and draws the empty bar on the top row.
void init_progress_bar(ProgressBar* bar, const char* title, uint8_t color, uint8_t total_steps);
// Counts one step and redraws the filled cells and the percentage; the cursor stays put.
// A bar of zero steps has no percentage: its updates draw nothing.
void update_progress_bar(ProgressBar* bar);
// The last step, then the closing message at the cursor.
void finish_progress_bar(ProgressBar* bar);

} // namespace tavix
