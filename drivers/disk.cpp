// The primary ATA disk in PIO mode: the probe and the 28/48-bit sector transfers.
#include "drivers/disk.hpp"

#include "general/stdio.hpp"
#include "io/iotools.hpp"

namespace tavix {

namespace {

constexpr uint16_t ata_data = 0x1F0;
constexpr uint16_t ata_features = 0x1F1;
constexpr uint16_t ata_sector_count = 0x1F2;
constexpr uint16_t ata_lba_low = 0x1F3;
constexpr uint16_t ata_lba_mid = 0x1F4;
constexpr uint16_t ata_lba_high = 0x1F5;
constexpr uint16_t ata_drive_select = 0x1F6;
constexpr uint16_t ata_command = 0x1F7;
constexpr uint16_t ata_status = 0x1F7;

constexpr uint8_t status_bsy = 0x80;
constexpr uint8_t status_drq = 0x08;
constexpr uint8_t status_err = 0x01;

constexpr uint8_t cmd_identify = 0xEC;
constexpr uint8_t cmd_flush_cache = 0xE7;
constexpr uint8_t cmd_read_sectors = 0x20;
constexpr uint8_t cmd_read_sectors_ext = 0x24;
constexpr uint8_t cmd_write_sectors_ext = 0x34;

constexpr uint8_t select_probe = 0xA0;
constexpr uint8_t select_lba28 = 0xE0;
constexpr uint8_t select_lba48 = 0x40;

// The probe clears these task-file registers, in this order, before IDENTIFY.
constexpr uint16_t probe_cleared_registers[] = {ata_sector_count, ata_lba_low, ata_lba_mid, ata_lba_high};

// With no controller behind the ports the ISA bus floats and every read gives all ones. A
// channel with no drive reads all ones but bit 7 on a host with the pull-down on DD7 that the
// standard asks for: no drive shows DRQ and ERR together.
constexpr uint8_t floating_bus = 0xFF;
constexpr uint8_t empty_channel = 0x7F;

// A packet device aborts IDENTIFY DEVICE and leaves its signature in the LBA mid and high
// registers: a parallel ATAPI drive and a serial one behind a legacy-mode controller.
struct device_signature {
    uint8_t mid;
    uint8_t high;
};
constexpr device_signature packet_signatures[] = {{0x14, 0xEB}, {0x69, 0x96}};

bool is_packet_device(uint8_t mid, uint8_t high)
{
    for (const device_signature& s : packet_signatures) {
        if (s.mid == mid && s.high == high)
            return true;
    }
    return false;
}

constexpr uint32_t words_per_sector = ata_sector_size / 2;

// Every wait reads the status port a bounded number of times (the bounds are in iotools.hpp):
// an empty bus reads 0xFF and so shows BSY for ever, and a drive that raised ERR never asks
// for data.
uint8_t read_status() { return port_byte_in(ata_status); }
bool not_busy(uint8_t status) { return (status & status_bsy) == 0; }
bool data_or_error(uint8_t status) { return (status & (status_drq | status_err)) != 0; }

// A drive has 400 ns after a command or a data block to raise BSY or drop DRQ; until then the
// status register still shows the state before. A status read takes at least 100 ns on the
// bus, so the reads that follow each command and block are not taken for its outcome.
constexpr int settle_status_reads = 4;

void settle()
{
    for (int i = 0; i < settle_status_reads; ++i)
        read_status();
}

void send_command(uint8_t command)
{
    port_byte_out(ata_command, command);
    settle();
}

enum class wait_result { ready, error, timeout };

wait_result result_of(status_wait w)
{
    if (!w.met)
        return wait_result::timeout;
    return (w.status & status_err) ? wait_result::error : wait_result::ready;
}

// Waits until the drive is not busy and either asks for data (ready) or shows ERR.
wait_result wait_data_request(uint32_t bound)
{
    return result_of(wait_for_status(bound, read_status, [](uint8_t s) { return not_busy(s) && data_or_error(s); }));
}

// Waits until the drive is not busy; reports ERR if the finished command raised it.
wait_result wait_not_busy(uint32_t bound) { return result_of(wait_for_status(bound, read_status, not_busy)); }

void report_timeout() { printf("disk: error: the drive did not answer in time; transfer abandoned.\n"); }

// True when a wait ended in trouble; the failure is reported once and the transfer given up.
bool read_wait_failed(wait_result r, uint64_t lba)
{
    if (r == wait_result::timeout)
        report_timeout();
    else if (r == wait_result::error)
        printf("disk: error: reading sector %u failed.\n", static_cast<uint32_t>(lba));
    return r != wait_result::ready;
}

bool write_wait_failed(wait_result r)
{
    if (r == wait_result::timeout)
        report_timeout();
    else if (r == wait_result::error)
        printf("DISK SET ERROR STATUS!\n");
    return r != wait_result::ready;
}

// Each two-byte register of a 48-bit command takes its high byte first, then its low byte.
void program_task_file48(uint64_t LBA, uint16_t sectorcount)
{
    port_byte_out(ata_drive_select, select_lba48);
    port_byte_out(ata_sector_count, static_cast<uint8_t>(sectorcount >> 8));
    port_byte_out(ata_lba_low, static_cast<uint8_t>(LBA >> 24));
    port_byte_out(ata_lba_mid, static_cast<uint8_t>(LBA >> 32));
    port_byte_out(ata_lba_high, static_cast<uint8_t>(LBA >> 40));
    port_byte_out(ata_sector_count, static_cast<uint8_t>(sectorcount));
    port_byte_out(ata_lba_low, static_cast<uint8_t>(LBA));
    port_byte_out(ata_lba_mid, static_cast<uint8_t>(LBA >> 8));
    port_byte_out(ata_lba_high, static_cast<uint8_t>(LBA >> 16));
}

// Programs a 48-bit command and issues it; false when there is nothing to move (a count of 0
// would ask the drive for 65536 sectors).
bool start_transfer48(uint64_t LBA, uint16_t sectorcount, uint8_t command)
{
    if (sectorcount == 0)
        return false;
    program_task_file48(LBA, sectorcount);
    send_command(command);
    return true;
}

// Moves the sectors of a read command that has just been issued.
uint8_t read_data_sectors(uint64_t LBA, uint32_t sectorcount, uint8_t* target)
{
    for (uint32_t k = 0; k < sectorcount; ++k) {
        if (read_wait_failed(wait_data_request(ata_data_wait_reads), LBA + k))
            return 0;
        insw(ata_data, target + ata_sector_size * k, words_per_sector);
        settle();
    }
    return 1;
}

// The identify data of the last probe that read it; the mount takes the capacity from it.
constinit uint8_t identify_data[ata_sector_size] = {};

// Identify-data words that give the capacity.
constexpr uint32_t id_lba28_sectors_word = 60; // two words, low first
constexpr uint32_t id_command_sets_word = 83;
constexpr uint16_t id_command_set_lba48 = 1u << 10;
constexpr uint32_t id_lba48_sectors_word = 100; // four words, low first

// `words` identify words from `first` on, least significant first.
uint64_t identify_words(uint32_t first, uint32_t words)
{
    uint64_t value = 0;
    for (uint32_t w = first + words; w-- > first;)
        value = value << 16 | static_cast<uint64_t>(identify_data[2 * w] | identify_data[2 * w + 1] << 8);
    return value;
}

// Selects the master and sends IDENTIFY. True when a drive answered; *status is then its
// status once it is no longer busy. False after the lines that say why nothing did.
bool drive_answered(uint8_t* status)
{
    port_byte_in(ata_status);
    port_byte_out(ata_drive_select, select_probe);
    for (uint16_t reg : probe_cleared_registers) {
        port_byte_in(ata_status);
        port_byte_out(reg, 0);
    }
    port_byte_in(ata_status);
    // Nothing else goes to the command port until the identify data is read: a drive may
    // take a second command at once and drop the data of the first.
    send_command(cmd_identify);

    *status = wait_for_status(ata_busy_wait_reads, read_status, not_busy).status;
    if (*status == floating_bus) {
        printf("identify: error: no ATA controller at ports 0x1F0-0x1F7 (a SATA/AHCI-only PC?)\n");
        return false;
    }
    if (*status & status_bsy) {
        printf("identify: error: the drive stayed busy; giving up.\n");
        printf("identify: tip: fat32 mounting is not possible.\n");
        return false;
    }
    if (*status == 0 || *status == empty_channel) {
        printf("identify: error: disk not found, or it is not an ATA disk\n");
        printf("identify: tip: fat32 mounting is not possible.\n");
        return false;
    }
    return true;
}

// A packet device (or anything else) leaves a non-zero signature in the LBA registers; an
// ATA disk leaves zeros. False after one line naming what answered instead.
bool answered_as_ata_disk()
{
    uint8_t mid = port_byte_in(ata_lba_mid);
    uint8_t hi = port_byte_in(ata_lba_high);
    if (is_packet_device(mid, hi)) {
        printf("identify: error: the primary master is a CD/DVD (ATAPI) drive, not a disk.\n");
        return false;
    }
    if (mid != 0 || hi != 0) {
        printf("identify: error: the primary master is not an ATA disk.\n");
        return false;
    }
    return true;
}

// Waits for the identify data; `status` is the one that ended the busy wait, which may already
// show it and counts as the first read. False after one line when the data does not come.
bool identify_data_ready(uint8_t status)
{
    if (!data_or_error(status))
        status = wait_for_status(ata_data_wait_reads - 1, read_status, data_or_error).status;
    if (!data_or_error(status)) {
        printf("identify: error: the drive sent no identify data; giving up.\n");
        return false;
    }
    // No disk answers as master, though something holds the channel: a channel whose only
    // drive is the slave answers so for its empty master.
    if (status & status_err) {
        printf("identify: error: no disk answers as primary master (Tavix uses only that one).\n");
        return false;
    }
    return true;
}

} // namespace

uint8_t identify()
{
    uint8_t status = 0;
    if (!drive_answered(&status))
        return 0;
    printf("Status indicates presence of a drive. Polling while STAT_BSY... ");
    printf("Done.\n");
    if (!answered_as_ata_disk())
        return 0;
    printf("Waiting for ERR or DRQ.\n");
    if (!identify_data_ready(status))
        return 0;
    printf("Reading IDENTIFY structure.\n");
    insw(ata_data, identify_data, words_per_sector);
    printf("Success. Disk is ready to go.\n");
    return 1;
}

uint64_t identify_sector_count()
{
    if (identify_words(id_command_sets_word, 1) & id_command_set_lba48)
        return identify_words(id_lba48_sectors_word, 4);
    return identify_words(id_lba28_sectors_word, 2);
}

uint8_t ata_pio_read28(uint32_t LBA, uint8_t sectorcount, uint8_t* target)
{
    // A count of 0 would ask the drive for 256 sectors; there is nothing to move.
    if (sectorcount == 0)
        return 1;
    port_byte_out(ata_drive_select, static_cast<uint8_t>(select_lba28 | ((LBA >> 24) & 0x0F)));
    port_byte_out(ata_features, 0);
    port_byte_out(ata_sector_count, sectorcount);
    port_byte_out(ata_lba_low, static_cast<uint8_t>(LBA));
    port_byte_out(ata_lba_mid, static_cast<uint8_t>(LBA >> 8));
    port_byte_out(ata_lba_high, static_cast<uint8_t>(LBA >> 16));
    send_command(cmd_read_sectors);
    return read_data_sectors(LBA, sectorcount, target);
}

uint8_t ata_pio_read48(uint64_t LBA, uint16_t sectorcount, uint8_t* target)
{
    if (!start_transfer48(LBA, sectorcount, cmd_read_sectors_ext))
        return 1;
    return read_data_sectors(LBA, sectorcount, target);
}

uint8_t ata_pio_write48(uint64_t LBA, uint16_t sectorcount, uint8_t* target)
{
    if (!start_transfer48(LBA, sectorcount, cmd_write_sectors_ext))
        return 1;
    for (uint32_t k = 0; k < sectorcount; ++k) {
        if (write_wait_failed(wait_data_request(ata_data_wait_reads)))
            return 0;
        outsw(ata_data, target + ata_sector_size * k, words_per_sector);
        settle();
    }
    // The drive only takes the flush once it has stored the last sector, and a failed
    // store shows up only now.
    wait_result stored = wait_not_busy(ata_data_wait_reads);
    if (stored == wait_result::ready) {
        send_command(cmd_flush_cache);
        stored = wait_not_busy(ata_flush_wait_reads);
    }
    return write_wait_failed(stored) ? 0 : 1;
}

} // namespace tavix
