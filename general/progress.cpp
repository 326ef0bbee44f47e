// A one-line text progress bar: a title, 50 cells that fill with '#' and a percentage.
#include "general/progress.hpp"

#include "cpu/string.hpp"
#include "drivers/display.hpp"
#include "general/stdio.hpp"

namespace tavix {

namespace {

constexpr uint8_t empty_cell = '-';
constexpr uint8_t filled_cell = '#';
constexpr int full_percent = 100;
constexpr int percent_per_cell = full_percent / progress_bar_cells;
// The percentage sits over the middle of the bar: 52 bytes, that is 26 cells, in.
constexpr uint16_t percentage_byte_offset = 52;

} // namespace

void init_progress_bar(ProgressBar* bar, const char* title, uint8_t color, uint8_t total_steps)
{
    bar->current_step = 0;
    bar->total_steps = total_steps;
    bar->color = color;
    strncpy(bar->title, title, progress_title_bytes - 1);
    bar->title[progress_title_bytes - 1] = 0;

    clear_screen();
    printf("%s: [", bar->title);
    bar->position = get_cursor();
    for (int cell = 0; cell < progress_bar_cells; ++cell)
        putchar(empty_cell, color);
    printf("]");
}

void update_progress_bar(ProgressBar* bar)
{
    // Without a step count there is no fraction to show, and dividing by it would fault.
    if (bar->total_steps == 0)
        return;

    const uint16_t saved_cursor = get_cursor();
    ++bar->current_step;
    const auto percentage = static_cast<uint8_t>(bar->current_step * full_percent / bar->total_steps);
    const int filled = percentage / percent_per_cell;

    set_cursor(bar->position);
    for (int cell = 0; cell < filled; ++cell)
        putchar(filled_cell, bar->color);

    set_cursor(static_cast<uint16_t>(bar->position + percentage_byte_offset));
    printf("%d%%", percentage);
    set_cursor(saved_cursor);
}

void finish_progress_bar(ProgressBar* bar)
{
    update_progress_bar(bar);
    printf("\nInitialization complete!\n");
}

} // namespace tavix
