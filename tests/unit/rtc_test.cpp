// The CMOS clock reader against the simulated clock: both data formats, both hour formats,
// the century register and the two-digit window, the update-in-progress wait, a dead or
// absent clock, values out of range and a second ticking over in the middle of a reading.
#include "drivers/rtc.hpp"

#include "tests/sim/cmos.hpp"
#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdio>
#include <string>

namespace {

using sim::CmosTime;
using sim::PortAccess;

constexpr uint16_t index_port = 0x70;
constexpr uint16_t data_port = 0x71;
constexpr uint8_t reg_hours = 0x04;
constexpr uint8_t reg_day = 0x07;
constexpr uint8_t reg_month = 0x08;
constexpr uint8_t reg_year = 0x09;
constexpr uint8_t reg_century = 0x32;
constexpr uint8_t reg_minutes = 0x02;
constexpr uint8_t reg_seconds = 0x00;
constexpr uint8_t status_b_bcd_24 = 0x02;
constexpr uint8_t status_b_bcd_12 = 0x00;
constexpr uint8_t status_b_binary_24 = 0x06;
constexpr uint8_t status_b_binary_12 = 0x04;
constexpr uint8_t reg_status_b = 0x0B;

std::string text(const tavix::rtc_time& t)
{
    char s[32];
    std::snprintf(s, sizeof s, "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return s;
}

std::string text(const CmosTime& t)
{
    char s[32];
    std::snprintf(s, sizeof s, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return s;
}

const std::string fallback = "1980-01-01 00:00:00";

class Rtc : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::cmos_reset();
    }

    // Reads the clock into a record full of garbage, so that every field must be written.
    static std::string read(uint8_t expected_result)
    {
        tavix::rtc_time t = {0xFFFF, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(tavix::read_rtc(&t), expected_result);
        return text(t);
    }
};

TEST_F(Rtc, ReadsEveryFormatOfTheClock)
{
    const CmosTime times[] = {
        {2026, 12, 9, 3, 5, 42}, {1980, 1, 1, 0, 0, 0},   {1999, 12, 31, 23, 59, 59}, {2000, 2, 29, 12, 0, 1},
        {2079, 6, 30, 11, 59, 58}, {2024, 2, 29, 13, 30, 0}, {2037, 10, 17, 18, 45, 9},
    };
    for (bool bcd : {true, false}) {
        for (bool hour_24 : {true, false}) {
            sim::cmos_set_format(bcd, hour_24);
            for (const CmosTime& t : times) {
                sim::cmos_set_time(t);
                EXPECT_EQ(read(1), text(t)) << "bcd " << bcd << ", 24-hour " << hour_24;
            }
        }
    }
}

TEST_F(Rtc, TwelveHourModeHasNoHourZeroAndMarksTheAfternoon)
{
    // Raw register values, so that the clock's own encoding is not what the test relies on.
    struct Case {
        uint8_t status_b;
        uint8_t hour_register;
        unsigned hour;
    };
    const Case cases[] = {
        {status_b_bcd_12, 0x12, 0},    // 12 AM is midnight
        {status_b_bcd_12, 0x01, 1},    {status_b_bcd_12, 0x11, 11},
        {status_b_bcd_12, 0x92, 12},   // 12 PM is noon
        {status_b_bcd_12, 0x81, 13},   {status_b_bcd_12, 0x91, 23},
        {status_b_binary_12, 0x0C, 0}, {status_b_binary_12, 0x8C, 12},
        {status_b_binary_12, 0x8B, 23}, {status_b_binary_12, 0x07, 7},
        {status_b_bcd_24, 0x23, 23},   {status_b_binary_24, 0x17, 23},
    };
    for (const Case& c : cases) {
        sim::cmos_override_register(reg_status_b, c.status_b);
        sim::cmos_override_register(reg_hours, c.hour_register);
        tavix::rtc_time t = {};
        EXPECT_EQ(tavix::read_rtc(&t), 1) << std::hex << int(c.status_b) << " " << int(c.hour_register);
        EXPECT_EQ(t.hour, c.hour) << std::hex << int(c.status_b) << " " << int(c.hour_register);
    }
}

TEST_F(Rtc, CenturyRegisterWhenPlausibleElseTwoDigitsFrom80AreThe1900s)
{
    struct Case {
        uint8_t status_b;
        uint8_t century;
        uint8_t year;
        unsigned full_year;
    };
    const Case cases[] = {
        {status_b_bcd_24, 0x20, 0x80, 2080}, {status_b_bcd_24, 0x20, 0x99, 2099}, {status_b_bcd_24, 0x19, 0x99, 1999},
        {status_b_bcd_24, 0x21, 0x07, 2107}, {status_b_binary_24, 20, 85, 2085},
        // No century kept, one that is no number of the format, or one giving a year that no
        // FAT date holds: the two digits alone decide.
        {status_b_bcd_24, 0x00, 0x26, 2026}, {status_b_bcd_24, 0x00, 0x80, 1980}, {status_b_bcd_24, 0xFF, 0x80, 1980},
        {status_b_bcd_24, 0x1A, 0x05, 2005}, {status_b_bcd_24, 0x21, 0x08, 2008}, {status_b_bcd_24, 0x19, 0x79, 2079},
        {status_b_binary_24, 0x20, 85, 1985},
    };
    for (const Case& c : cases) {
        sim::cmos_override_register(reg_status_b, c.status_b);
        sim::cmos_override_register(reg_century, c.century);
        sim::cmos_override_register(reg_year, c.year);
        tavix::rtc_time t = {};
        EXPECT_EQ(tavix::read_rtc(&t), 1);
        EXPECT_EQ(t.year, c.full_year) << std::hex << int(c.century) << " " << int(c.year);
    }
}

TEST_F(Rtc, ValuesOutOfRangeGiveTheFallbackDate)
{
    struct Case {
        const char* what;
        uint8_t reg;
        uint8_t value;
        uint8_t status_b;
    };
    const Case cases[] = {
        {"month 0", reg_month, 0x00, status_b_bcd_24},
        {"month 13", reg_month, 0x13, status_b_bcd_24},
        {"binary month 13", reg_month, 0x0D, status_b_binary_24},
        {"day 0", reg_day, 0x00, status_b_bcd_24},
        {"day 32", reg_day, 0x32, status_b_bcd_24},
        {"hour 24", reg_hours, 0x24, status_b_bcd_24},
        {"12-hour hour 0", reg_hours, 0x00, status_b_bcd_12},
        {"12-hour hour 13", reg_hours, 0x13, status_b_bcd_12},
        {"minute 60", reg_minutes, 0x60, status_b_bcd_24},
        {"binary second 60", reg_seconds, 0x3C, status_b_binary_24},
        {"BCD digit above 9", reg_seconds, 0x0A, status_b_bcd_24},
        {"BCD year digit above 9", reg_year, 0xA0, status_b_bcd_24},
        {"binary year 100", reg_year, 100, status_b_binary_24},
        {"an ISA bus floating high", reg_day, 0xFF, status_b_binary_24},
    };
    for (const Case& c : cases) {
        sim::cmos_reset();
        sim::cmos_override_register(reg_status_b, c.status_b);
        sim::cmos_override_register(c.reg, c.value);
        EXPECT_EQ(read(0), fallback) << c.what;
    }
}

TEST_F(Rtc, DayMustExistInItsMonth)
{
    sim::cmos_set_time({2023, 2, 28, 0, 0, 0});
    sim::cmos_override_register(reg_day, 0x29);
    EXPECT_EQ(read(0), fallback) << "no 29 February in 2023";
    sim::cmos_set_time({2000, 2, 28, 0, 0, 0});
    EXPECT_EQ(read(1), "2000-02-29 00:00:00") << "2000 is a leap year";
    sim::cmos_override_register(reg_month, 0x04);
    sim::cmos_override_register(reg_day, 0x31);
    EXPECT_EQ(read(0), fallback) << "no 31 April";
}

TEST_F(Rtc, WaitsForTheUpdateCycleToEnd)
{
    constexpr int update_reads = 500;
    sim::cmos_set_time({2026, 12, 9, 4, 1, 2});
    sim::cmos_set_update_in_progress(update_reads);
    EXPECT_EQ(read(1), "2026-12-09 04:01:02");
    EXPECT_GT(sim::cmos_status_a_reads(), update_reads);
    EXPECT_GT(sim::cmos_time_reads(), 0);
    EXPECT_EQ(sim::cmos_time_reads_during_update(), 0);
}

TEST_F(Rtc, DeadOrMissingClockGivesTheFallbackDate)
{
    sim::cmos_set_time({2026, 12, 9, 4, 1, 2});
    sim::cmos_set_update_in_progress(sim::cmos_update_for_ever);
    EXPECT_EQ(read(0), fallback);
    EXPECT_EQ(sim::cmos_time_reads(), 0) << "nothing is read while the clock updates";
    // The wait is bounded: a shell command must not hang on a dead clock.
    EXPECT_LT(sim::cmos_status_a_reads(), 1000000);

    // No clock at all: every port floats high. That reads as a divider held in reset, a clock
    // that is not counting, so the read gives up at once instead of waiting out the bound.
    sim::cmos_remove();
    sim::port_log().clear();
    EXPECT_EQ(read(0), fallback);
    const auto& log = sim::port_log();
    const auto data_reads = std::count_if(log.begin(), log.end(), [](const sim::PortAccess& a) {
        return a.kind == sim::PortAccess::Kind::in && a.port == tavix::cmos_data_port;
    });
    EXPECT_EQ(data_reads, 1) << "one look at register A";
    sim::cmos_reset();
}

TEST_F(Rtc, SecondTickingOverDuringAReadingNeverGivesATornTime)
{
    const CmosTime before = {1999, 12, 31, 23, 59, 59};
    const std::string after = "2000-01-01 00:00:00";
    for (bool hour_24 : {true, false}) {
        for (int reads = 1; reads <= 20; ++reads) {
            sim::cmos_reset();
            sim::cmos_set_format(true, hour_24);
            sim::cmos_set_time(before);
            sim::cmos_tick_after_reads(reads, false);
            const std::string got = read(1);
            EXPECT_TRUE(got == text(before) || got == after) << got << " with the tick after " << reads << " reads";
            // A tick after the very first register cannot have been seen by two agreeing readings.
            if (reads == 1) {
                EXPECT_EQ(got, after);
            }
        }
    }
}

TEST_F(Rtc, ClockThatNeverHoldsStillGivesTheFallbackDate)
{
    sim::cmos_set_time({2026, 12, 9, 4, 1, 2});
    sim::cmos_tick_after_reads(3, true);
    EXPECT_EQ(read(0), fallback);
}

TEST_F(Rtc, TouchesOnlyTheClockPortsAndKeepsNmiUnmasked)
{
    sim::cmos_set_format(true, false);
    sim::cmos_set_update_in_progress(3);
    sim::cmos_tick_after_reads(2, false);
    read(1);
    ASSERT_FALSE(sim::port_log().empty());
    for (const PortAccess& a : sim::port_log()) {
        EXPECT_TRUE(a.port == index_port || a.port == data_port) << std::hex << a.port;
        EXPECT_EQ(a.width, 8);
        if (a.kind == PortAccess::Kind::out) {
            EXPECT_EQ(a.port, index_port) << "the clock's registers are never written";
            EXPECT_EQ(a.value & 0x80, 0u) << "register selected with NMIs masked: " << std::hex << a.value;
        }
    }
}

} // namespace
