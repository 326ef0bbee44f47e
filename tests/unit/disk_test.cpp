// The ATA PIO driver against the simulated drive: probe messages, exact task-file order,
// data placement, and bounded give-up on absent, failing and stuck drives.
#include "drivers/disk.hpp"

#include "cpu/mem.hpp"
#include "tests/sim/ata.hpp"
#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using sim::AtaDisk;
using sim::PortAccess;

constexpr uint64_t disk_sectors = 4096;

std::vector<PortAccess> task_file_writes()
{
    return sim::writes_to({0x1F1, 0x1F2, 0x1F3, 0x1F4, 0x1F5, 0x1F6, 0x1F7});
}

void fill_pattern(AtaDisk& disk, uint64_t lba, uint8_t seed)
{
    uint8_t sector[512];
    for (int i = 0; i < 512; ++i)
        sector[i] = static_cast<uint8_t>(seed + i * 7);
    disk.write_sector(lba, sector);
}

class Disk : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        disk.reset_state();
    }
    AtaDisk disk{disk_sectors};
};

TEST_F(Disk, IdentifyFindsAnAtaDiskAndPrintsItsProgress)
{
    // The drive has its identify data ready at once, so it would take any command written
    // after IDENTIFY and drop that data.
    EXPECT_EQ(tavix::identify(), 1);
    EXPECT_EQ(sim::screen_row_trimmed(0), "Status indicates presence of a drive. Polling while STAT_BSY... Done.");
    EXPECT_EQ(sim::screen_row_trimmed(1), "Waiting for ERR or DRQ.");
    EXPECT_EQ(sim::screen_row_trimmed(2), "Reading IDENTIFY structure.");
    EXPECT_EQ(sim::screen_row_trimmed(3), "Success. Disk is ready to go.");
    EXPECT_EQ(sim::screen_row_trimmed(4), "");
    std::vector<PortAccess> expected = {sim::out8(0x1F6, 0xA0), sim::out8(0x1F2, 0), sim::out8(0x1F3, 0),
        sim::out8(0x1F4, 0), sim::out8(0x1F5, 0), sim::out8(0x1F7, 0xEC)};
    EXPECT_EQ(task_file_writes(), expected);
    // The probe read all 256 words, leaving the drive idle for the next command.
    EXPECT_EQ(disk.commands(), std::vector<uint8_t>{AtaDisk::cmd_identify});
    uint8_t sector[512];
    EXPECT_EQ(tavix::ata_pio_read48(0, 1, sector), 1);

    disk.reset_state();
    disk.set_busy_reads(3);
    EXPECT_EQ(tavix::identify(), 1) << "a drive busy for a while after IDENTIFY";
}

// What answers instead of a disk: each probe fails with exactly these lines on the screen and
// nothing else, the two "identify:" lines where nothing answers at all.
TEST_F(Disk, IdentifyNamesWhatAnswersInsteadOfADisk)
{
    const struct {
        AtaDisk::Mode mode;
        int busy_reads; // the drive stays busy this long after IDENTIFY
        std::vector<std::string> lines;
    } cases[] = {
        {AtaDisk::Mode::empty, 0,
            {"identify: error: disk not found, or it is not an ATA disk", "identify: tip: fat32 mounting is not possible."}},
        {AtaDisk::Mode::pulled_down, 0,
            {"identify: error: disk not found, or it is not an ATA disk", "identify: tip: fat32 mounting is not possible."}},
        {AtaDisk::Mode::absent, 0, {"identify: error: no ATA controller at ports 0x1F0-0x1F7 (a SATA/AHCI-only PC?)"}},
        {AtaDisk::Mode::present, 2000000,
            {"identify: error: the drive stayed busy; giving up.", "identify: tip: fat32 mounting is not possible."}},
        {AtaDisk::Mode::packet, 0,
            {"Status indicates presence of a drive. Polling while STAT_BSY... Done.",
                "identify: error: the primary master is a CD/DVD (ATAPI) drive, not a disk."}},
        {AtaDisk::Mode::error, 0,
            {"Status indicates presence of a drive. Polling while STAT_BSY... Done.", "Waiting for ERR or DRQ.",
                "identify: error: no disk answers as primary master (Tavix uses only that one)."}},
    };
    for (const auto& c : cases) {
        sim::reset();
        // The stuck drive's two million status reads would fill the port log.
        sim::set_port_logging(false);
        disk.reset_state();
        disk.set_mode(c.mode);
        disk.set_busy_reads(c.busy_reads);
        EXPECT_EQ(tavix::identify(), 0) << c.lines[0];
        std::string expected;
        for (size_t row = 0; row < 25; ++row)
            expected += (row < c.lines.size() ? c.lines[row] : "") + (row + 1 < 25 ? "\n" : "");
        EXPECT_EQ(sim::screen_text(), expected);
    }
}

TEST_F(Disk, Read48ProgramsTheTaskFileHighBytesFirstAndFillsBothSectors)
{
    // An LBA whose six bytes are all different, so any mix-up of the order shows.
    constexpr uint64_t lba = 0x0000060504030201ULL;
    disk.resize(lba + 8);
    fill_pattern(disk, lba, 0x11);
    fill_pattern(disk, lba + 1, 0x77);
    disk.set_busy_reads(2);
    std::vector<uint8_t> target(1024 + 16, 0xCC);
    EXPECT_EQ(tavix::ata_pio_read48(lba, 2, target.data()), 1);
    std::vector<PortAccess> expected = {sim::out8(0x1F6, 0x40), sim::out8(0x1F2, 0x00), sim::out8(0x1F3, 0x04),
        sim::out8(0x1F4, 0x05), sim::out8(0x1F5, 0x06), sim::out8(0x1F2, 0x02), sim::out8(0x1F3, 0x01),
        sim::out8(0x1F4, 0x02), sim::out8(0x1F5, 0x03), sim::out8(0x1F7, 0x24)};
    EXPECT_EQ(task_file_writes(), expected);
    uint8_t first[512], second[512];
    disk.read_sector(lba, first);
    disk.read_sector(lba + 1, second);
    EXPECT_EQ(0, std::memcmp(target.data(), first, 512));
    EXPECT_EQ(0, std::memcmp(target.data() + 512, second, 512));
    for (size_t i = 1024; i < target.size(); ++i)
        EXPECT_EQ(target[i], 0xCC) << "byte " << i << " past the request";
    EXPECT_EQ(disk.sectors_read(), 2u);
}

TEST_F(Disk, Read28ProgramsTheLowNibbleIntoTheDriveSelect)
{
    fill_pattern(disk, 0x0A0B, 0x33);
    uint8_t target[512];
    EXPECT_EQ(tavix::ata_pio_read28(0x0A0B, 1, target), 1);
    std::vector<PortAccess> expected = {sim::out8(0x1F6, 0xE0), sim::out8(0x1F1, 0), sim::out8(0x1F2, 1),
        sim::out8(0x1F3, 0x0B), sim::out8(0x1F4, 0x0A), sim::out8(0x1F5, 0), sim::out8(0x1F7, 0x20)};
    EXPECT_EQ(task_file_writes(), expected);
    uint8_t stored[512];
    disk.read_sector(0x0A0B, stored);
    EXPECT_EQ(0, std::memcmp(target, stored, 512));
}

TEST_F(Disk, WriteStoresEachSectorThenFlushesAndWaitsForTheDrive)
{
    disk.set_busy_reads(4);
    std::vector<uint8_t> data(1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 13 + 1);
    EXPECT_EQ(tavix::ata_pio_write48(100, 2, data.data()), 1);
    std::vector<PortAccess> expected = {sim::out8(0x1F6, 0x40), sim::out8(0x1F2, 0), sim::out8(0x1F3, 0),
        sim::out8(0x1F4, 0), sim::out8(0x1F5, 0), sim::out8(0x1F2, 2), sim::out8(0x1F3, 100), sim::out8(0x1F4, 0),
        sim::out8(0x1F5, 0), sim::out8(0x1F7, 0x34), sim::out8(0x1F7, 0xE7)};
    EXPECT_EQ(task_file_writes(), expected);
    EXPECT_EQ(disk.commands(), (std::vector<uint8_t>{AtaDisk::cmd_write48, AtaDisk::cmd_flush}));
    // The last thing the driver did was see the flush finish.
    const PortAccess& last = sim::port_log().back();
    EXPECT_EQ(last.port, 0x1F7);
    EXPECT_EQ(last.kind, PortAccess::Kind::in);
    EXPECT_EQ(last.value & AtaDisk::status_bsy, 0u);
    uint8_t stored[512];
    disk.read_sector(101, stored);
    EXPECT_EQ(0, std::memcmp(stored, data.data() + 512, 512));
}

TEST_F(Disk, AFailedWriteIsReportedOnceAndReturnsFailure)
{
    disk.fail_write_at(201);
    std::vector<uint8_t> data(1024, 0x5A);
    EXPECT_EQ(tavix::ata_pio_write48(200, 2, data.data()), 0);
    EXPECT_EQ(sim::screen_row_trimmed(0), "DISK SET ERROR STATUS!");
    EXPECT_EQ(sim::screen_row_trimmed(1), "");
    EXPECT_EQ(disk.written_lbas(), std::vector<uint64_t>{200});
    EXPECT_EQ(disk.flushes(), 0);

    // The last sector's failure only shows after the data went out.
    sim::reset();
    disk.reset_state();
    EXPECT_EQ(tavix::ata_pio_write48(201, 1, data.data()), 0);
    EXPECT_EQ(sim::screen_row_trimmed(0), "DISK SET ERROR STATUS!");
    EXPECT_EQ(sim::screen_row_trimmed(1), "");
}

TEST_F(Disk, TransfersGiveUpOnErrAndOnAStuckBus)
{
    std::vector<uint8_t> target(512, 0xCC);
    // Past the end of the disk the drive aborts the read with ERR.
    EXPECT_EQ(tavix::ata_pio_read48(disk_sectors, 1, target.data()), 0);
    EXPECT_EQ(target[0], 0xCC);
    EXPECT_NE(sim::screen_text().find("disk: error: reading sector 4096 failed."), std::string::npos);

    sim::reset();
    disk.set_mode(AtaDisk::Mode::error);
    EXPECT_EQ(tavix::ata_pio_write48(1, 1, target.data()), 0);
    EXPECT_EQ(sim::screen_row_trimmed(0), "DISK SET ERROR STATUS!");
    EXPECT_EQ(sim::screen_row_trimmed(1), "");

    sim::reset();
    disk.set_mode(AtaDisk::Mode::absent);
    sim::set_port_logging(false);
    EXPECT_EQ(tavix::ata_pio_read48(1, 1, target.data()), 0);
    EXPECT_EQ(tavix::ata_pio_write48(1, 1, target.data()), 0);
    EXPECT_EQ(target[0], 0xCC);
    EXPECT_NE(sim::screen_text().find("disk: error: the drive did not answer in time"), std::string::npos);
}

// A drive may show a command's or a data block's effect on its status only 400 ns later: the
// driver must not take the old status for the new one, or it reads a sector before the drive
// has it, sends a sector the drive does not take, or sends FLUSH CACHE to a busy drive.
TEST_F(Disk, TransfersWaitForTheDriveToShowEachCommandAndBlock)
{
    disk.set_settle_reads(4);
    disk.set_busy_reads(2);
    fill_pattern(disk, 7, 0x21);
    fill_pattern(disk, 8, 0x42);
    std::vector<uint8_t> target(1024, 0xCC);
    EXPECT_EQ(tavix::identify(), 1);
    EXPECT_EQ(tavix::ata_pio_read48(7, 2, target.data()), 1);
    std::vector<uint8_t> stored(1024);
    disk.read_sector(7, stored.data());
    disk.read_sector(8, stored.data() + 512);
    EXPECT_EQ(target, stored);

    std::vector<uint8_t> data(1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 5 + 3);
    EXPECT_EQ(tavix::ata_pio_write48(20, 2, data.data()), 1);
    disk.read_sector(20, stored.data());
    disk.read_sector(21, stored.data() + 512);
    EXPECT_EQ(stored, data);
    EXPECT_EQ(disk.commands(),
        (std::vector<uint8_t>{AtaDisk::cmd_identify, AtaDisk::cmd_read48, AtaDisk::cmd_write48, AtaDisk::cmd_flush}));
}

TEST_F(Disk, ACountOfZeroTouchesNoPort)
{
    uint8_t target[512];
    EXPECT_EQ(tavix::ata_pio_read48(5, 0, target), 1);
    EXPECT_EQ(tavix::ata_pio_write48(5, 0, target), 1);
    EXPECT_EQ(tavix::ata_pio_read28(5, 0, target), 1);
    EXPECT_TRUE(sim::port_log().empty());
}

} // namespace
