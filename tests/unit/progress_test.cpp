// The progress bar on the simulated text screen: cells, percentages, attributes and cursor.
#include "general/progress.hpp"

#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint8_t bar_color = 0x2A; // light green on green: unlike any text attribute
constexpr uint8_t text_attr = 0x07;

// The screen as text without the blank rows below the last written one.
std::string screen()
{
    std::string s = sim::screen_text();
    s.erase(s.find_last_not_of('\n') + 1);
    return s;
}

class Progress : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        // Something on screen that init must clear, with the cursor somewhere in the middle.
        sim::text_buffer()[(10 * 80 + 3) * 2] = 'x';
        sim::set_cursor_cell(10 * 80 + 4);
    }

    // Bar cell i as (character, attribute); the bar starts at the stored byte offset.
    static std::pair<char, uint8_t> cell(const tavix::ProgressBar& bar, int i)
    {
        const int byte = bar.position + i * 2;
        return {static_cast<char>(sim::text_buffer()[byte]), sim::text_buffer()[byte + 1]};
    }

    // The 50 bar cells as text, and a check that every cell carries the attribute its
    // character calls for: the bar colour for '#' and '-', the default for the percentage.
    static std::string bar_text(const tavix::ProgressBar& bar)
    {
        std::string s;
        for (int i = 0; i < 50; ++i) {
            auto [c, attr] = cell(bar, i);
            s.push_back(c);
            const uint8_t expected = (c == '#' || c == '-') ? bar_color : text_attr;
            EXPECT_EQ(attr, expected) << "bar cell " << i << " '" << c << "'";
        }
        return s;
    }

    static std::string repeat(char c, int n) { return std::string(static_cast<size_t>(n), c); }
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
    EXPECT_EQ(screen(), "Disk: [" + repeat('-', 50) + "]");
    EXPECT_EQ(bar_text(bar), repeat('-', 50));
    for (int col : {0, 3, 4, 5, 6, 57})
        EXPECT_EQ(sim::attr_at(0, col), text_attr) << col;
    EXPECT_EQ(sim::cursor_cell(), 58);
}

TEST_F(Progress, DiskWithFourStepsAfterTwoUpdates)
{
    tavix::ProgressBar bar;
    tavix::init_progress_bar(&bar, "Disk", bar_color, 4);
    tavix::update_progress_bar(&bar);
    EXPECT_EQ(bar_text(bar), repeat('#', 12) + repeat('-', 14) + "25%" + repeat('-', 21));
    tavix::update_progress_bar(&bar);

    EXPECT_EQ(bar.current_step, 2);
    EXPECT_EQ(bar_text(bar), repeat('#', 25) + "-" + "50%" + repeat('-', 21));
    EXPECT_EQ(sim::screen_row(0).substr(0, 7), "Disk: [");
    EXPECT_EQ(sim::char_at(0, 57), ']');
    EXPECT_EQ(sim::cursor_cell(), 58);
}

TEST_F(Progress, TwoStepsEndWithTheClosingMessageAfterTheBar)
{
    tavix::ProgressBar bar;
    tavix::init_progress_bar(&bar, "Copy", bar_color, 2);
    tavix::update_progress_bar(&bar);
    EXPECT_EQ(bar_text(bar), repeat('#', 25) + "-" + "50%" + repeat('-', 21));

    tavix::finish_progress_bar(&bar);
    EXPECT_EQ(bar_text(bar), repeat('#', 26) + "100%" + repeat('#', 20));
    EXPECT_EQ(screen(), "Copy: [" + repeat('#', 26) + "100%" + repeat('#', 20) + "]\nInitialization complete!");
    EXPECT_EQ(sim::attr_at(1, 0), text_attr);
    EXPECT_EQ(sim::cursor_cell(), 2 * 80);
}

TEST_F(Progress, ThreeStepsOverwriteTheOldPercentage)
{
    tavix::ProgressBar bar;
    tavix::init_progress_bar(&bar, "Load", bar_color, 3);
    tavix::update_progress_bar(&bar);
    EXPECT_EQ(bar_text(bar), repeat('#', 16) + repeat('-', 10) + "33%" + repeat('-', 21));
    tavix::update_progress_bar(&bar);
    EXPECT_EQ(bar_text(bar), repeat('#', 26) + "66%" + repeat('#', 4) + repeat('-', 17));
    tavix::update_progress_bar(&bar);
    EXPECT_EQ(bar_text(bar), repeat('#', 26) + "100%" + repeat('#', 20));
    EXPECT_EQ(sim::cursor_cell(), 58);
}

TEST_F(Progress, TwoHundredStepsStartAtZeroPercent)
{
    tavix::ProgressBar bar;
    tavix::init_progress_bar(&bar, "Scan", bar_color, 200);
    tavix::update_progress_bar(&bar);
    EXPECT_EQ(bar_text(bar), repeat('-', 26) + "0%" + repeat('-', 22));
    for (int i = 1; i < 200; ++i)
        tavix::update_progress_bar(&bar);
    EXPECT_EQ(bar.current_step, 200);
    EXPECT_EQ(bar_text(bar), repeat('#', 26) + "100%" + repeat('#', 20));
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

TEST_F(Progress, ZeroStepsDrawNothingAndDoNotFault)
{
    tavix::ProgressBar bar;
    tavix::init_progress_bar(&bar, "Empty", bar_color, 0);
    const std::vector<uint8_t> before(sim::text_buffer(), sim::text_buffer() + 4000);
    const uint16_t cursor = sim::cursor_cell();

    tavix::update_progress_bar(&bar);
    tavix::update_progress_bar(&bar);
    EXPECT_EQ(std::vector<uint8_t>(sim::text_buffer(), sim::text_buffer() + 4000), before);
    EXPECT_EQ(sim::cursor_cell(), cursor);
    EXPECT_EQ(bar_text(bar), repeat('-', 50));

    tavix::finish_progress_bar(&bar);
    EXPECT_EQ(screen(), "Empty: [" + repeat('-', 50) + "]\nInitialization complete!");
}

} // namespace
