// The progress bar on the simulated text screen: cells, percentages, attributes and cursor.
#include "general/progress.hpp"

#include "tests/unit/shell_support.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr uint8_t bar_color = 0x2A; // light green on green: unlike any text attribute
constexpr uint8_t text_attr = 0x07;

std::string repeat(char c, int n) { return std::string(static_cast<size_t>(n), c); }

class Progress : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        // Something on screen that init must clear, with the cursor somewhere in the middle.
        sim::text_buffer()[(10 * 80 + 3) * 2] = 'x';
        sim::set_cursor_cell(10 * 80 + 4);
    }

    // The 50 bar cells as text, checking that each carries the attribute its character
    // calls for: the bar colour for '#' and '-', the default for the percentage.
    static std::string bar_text(const tavix::ProgressBar& bar)
    {
        std::string s;
        for (int i = 0; i < 50; ++i) {
            const char c = static_cast<char>(sim::text_buffer()[bar.position + i * 2]);
            s.push_back(c);
            EXPECT_EQ(sim::text_buffer()[bar.position + i * 2 + 1], c == '#' || c == '-' ? bar_color : text_attr)
                << "bar cell " << i << " '" << c << "'";
        }
        return s;
    }
};

TEST_F(Progress, InitClearsTheScreenAndDrawsTheEmptyBar)
{
    tavix::ProgressBar bar;
    std::memset(&bar, 0xAB, sizeof bar);
    tavix::init_progress_bar(&bar, "Disk", bar_color, 4);
    EXPECT_EQ(bar.current_step, 0);
    EXPECT_EQ(bar.total_steps, 4);
    EXPECT_EQ(bar.color, bar_color);
    EXPECT_STREQ(bar.title, "Disk");
    EXPECT_EQ(bar.position, 7 * 2);
    EXPECT_EQ(shell_test::screen(), "Disk: [" + repeat('-', 50) + "]");
    EXPECT_EQ(bar_text(bar), repeat('-', 50));
    for (int col : {0, 3, 4, 5, 6, 57})
        EXPECT_EQ(sim::attr_at(0, col), text_attr) << col;
    EXPECT_EQ(sim::cursor_cell(), 58);
}

TEST_F(Progress, BarAfterEachUpdate)
{
    const std::string full = repeat('#', 26) + "100%" + repeat('#', 20);
    const std::string half = repeat('#', 25) + "-50%" + repeat('-', 21);
    struct Row {
        uint8_t steps;
        int updates;
        std::string bar;
    };
    const Row rows[] = {
        {4, 1, repeat('#', 12) + repeat('-', 14) + "25%" + repeat('-', 21)},
        {4, 2, half},
        {2, 1, half},
        {2, 2, full},
        {3, 1, repeat('#', 16) + repeat('-', 10) + "33%" + repeat('-', 21)},
        // The new percentage covers the old one; filled cells then overwrite what is left of it.
        {3, 2, repeat('#', 26) + "66%" + repeat('#', 4) + repeat('-', 17)},
        {3, 3, full},
        {200, 1, repeat('-', 26) + "0%" + repeat('-', 22)},
        {200, 200, full},
        // No steps, no fraction: updates draw nothing, and must not divide by zero.
        {0, 2, repeat('-', 50)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.steps) + " steps, " + std::to_string(row.updates) + " updates");
        tavix::ProgressBar bar;
        tavix::init_progress_bar(&bar, "Disk", bar_color, row.steps);
        for (int i = 0; i < row.updates; ++i)
            tavix::update_progress_bar(&bar);
        EXPECT_EQ(bar.current_step, row.steps == 0 ? 0 : row.updates);
        EXPECT_EQ(bar_text(bar), row.bar);
        EXPECT_EQ(shell_test::screen(), "Disk: [" + row.bar + "]");
        EXPECT_EQ(sim::cursor_cell(), 58);
    }
}

TEST_F(Progress, FinishTakesTheLastStepAndPrintsTheClosingMessage)
{
    for (uint8_t steps : {2, 0}) {
        tavix::ProgressBar bar;
        tavix::init_progress_bar(&bar, "Copy", bar_color, steps);
        tavix::update_progress_bar(&bar);
        tavix::finish_progress_bar(&bar);
        const std::string cells = steps == 0 ? repeat('-', 50) : repeat('#', 26) + "100%" + repeat('#', 20);
        EXPECT_EQ(bar_text(bar), cells);
        EXPECT_EQ(shell_test::screen(), "Copy: [" + cells + "]\nInitialization complete!");
        EXPECT_EQ(sim::attr_at(1, 0), text_attr);
        EXPECT_EQ(sim::cursor_cell(), 2 * 80);
    }
}

TEST_F(Progress, LongTitleIsCutTo31Characters)
{
    const std::string title = "0123456789abcdefghijklmnopqrstuvwxyzABCD"; // 40 characters
    tavix::ProgressBar bar;
    tavix::init_progress_bar(&bar, title.c_str(), bar_color, 4);
    EXPECT_EQ(std::string(bar.title), title.substr(0, 31));
    EXPECT_EQ(bar.position, (31 + 3) * 2);
    EXPECT_EQ(sim::screen_row(0).substr(0, 35), title.substr(0, 31) + ": [-");
    // The bar runs on into the next row; its closing bracket lands in row 1, column 4.
    EXPECT_EQ(sim::char_at(1, 4), ']');
    EXPECT_EQ(sim::cursor_cell(), 85);
    tavix::update_progress_bar(&bar);
    EXPECT_EQ(bar_text(bar), repeat('#', 12) + repeat('-', 14) + "25%" + repeat('-', 21));
}

} // namespace
