// In-kernel tests of the PCI scan on a real configuration space, and of the progress bar
// drawn on the real text screen.
#include "arch/hw.hpp"
#include "drivers/display.hpp"
#include "drivers/pci.hpp"
#include "general/progress.hpp"
#include "tests/kernel/ktest.hpp"

#include <stdint.h>

using namespace tavix;
using tavix::ktest::debug_print;

namespace {

constexpr int heading_rows = 3;
// Each row of the printed listing goes to the debug console behind this prefix, so that the
// system test can compare it with what QEMU itself reports.
constexpr const char* listing_prefix = "PCI| ";

// Sends one screen row, without its trailing blanks, to the debug console.
void echo_row(int row)
{
    const volatile uint8_t* text = hw::text_buffer() + row * row_bytes;
    int end = screen_columns;
    while (end > 0 && (text[(end - 1) * 2] == ' ' || text[(end - 1) * 2] == 0))
        --end;
    char line[screen_columns + 1];
    for (int col = 0; col < end; ++col)
        line[col] = static_cast<char>(text[col * 2]);
    line[end] = 0;
    debug_print(listing_prefix);
    debug_print(line);
    debug_print("\n");
}

bool row_starts_with(int row, const char* s)
{
    const volatile uint8_t* text = hw::text_buffer() + row * row_bytes;
    for (int col = 0; s[col] != 0; ++col) {
        if (col >= screen_columns || text[col * 2] != static_cast<uint8_t>(s[col]))
            return false;
    }
    return true;
}

} // namespace

KTEST(pci, scan_prints_the_functions_it_stores)
{
    const int first = pci_device_count;
    init_pci();
    const int found = pci_device_count - first;
    // Every i440FX PC the tests boot (QEMU's pc, Bochs, v86) has its host bridge and ISA bridge
    // in the first two slots; what else the window holds differs between them, and the system
    // tests compare the listing with each machine's own account of its bus.
    KEXPECT(found >= 2);

    // The listing ends right above the cursor; rows that scrolled by keep their order.
    const int listing_rows = heading_rows + found;
    const int top = get_cursor() / row_bytes - listing_rows;
    KEXPECT(top >= 0);
    if (top < 0)
        return;
    KEXPECT(row_starts_with(top, "Detected PCI Devices:"));
    KEXPECT(row_starts_with(top + 1, "Vendor ID   Device ID   Class Code  Subclass Code Base Address  Model"));
    KEXPECT(row_starts_with(top + 2, "-----------------------------------------------------------------------"));
    for (int row = top + heading_rows; row < top + listing_rows; ++row)
        echo_row(row);
}

KTEST(progress, bar_fills_on_the_real_screen)
{
    constexpr uint8_t color = 0x2F;
    ProgressBar bar;
    init_progress_bar(&bar, "Disk", color, 4);
    const uint16_t after_bracket = get_cursor();
    update_progress_bar(&bar);
    update_progress_bar(&bar);

    const volatile uint8_t* text = hw::text_buffer();
    KEXPECT(row_starts_with(0, "Disk: [#########################-50%---------------------]"));
    auto attr = [&](int col) { return text[col * 2 + 1]; };
    KEXPECT(attr(0) == default_attribute && attr(6) == default_attribute);
    KEXPECT(attr(7) == color && attr(31) == color && attr(32) == color);
    KEXPECT(attr(33) == default_attribute && attr(35) == default_attribute);
    KEXPECT(attr(36) == color && attr(56) == color);
    KEXPECT(attr(57) == default_attribute);
    KEXPECT(get_cursor() == after_bracket);
    KEXPECT(after_bracket == 58 * 2);

    update_progress_bar(&bar);
    finish_progress_bar(&bar);
    KEXPECT(row_starts_with(0, "Disk: [##########################100%####################]"));
    KEXPECT(row_starts_with(1, "Initialization complete!"));
    KEXPECT(get_cursor() == 2 * row_bytes);
}
