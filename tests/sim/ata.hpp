// A simulated ATA disk on the primary channel (ports 0x1F0-0x1F7), speaking PIO.
#pragma once

#include "tests/sim/sim.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// Device 0 of the primary channel over a sparse in-memory image. It implements IDENTIFY
// DEVICE, READ SECTORS, READ SECTORS EXT, WRITE SECTORS EXT and FLUSH CACHE with the
// BSY/DRQ/ERR handshake of a real drive: a command written while BSY is set is ignored, one
// written while data waits for the host ends that transfer and runs, an address past the
// end of the image aborts with ERR, and each command (and each written sector) keeps BSY up
// for a configurable number of status reads. Like a real drive it may also take its time to
// show any of that: for a configurable number of status reads after a command or a data block
// the status is still the one from before.
class AtaDisk final : public Device {
public:
    enum class Mode {
        present, // an ATA disk
        absent,  // nothing on the bus: every port floats at 0xFF
        empty,   // a channel with no drive: the status reads 0
        pulled_down, // no drive, on a host with the pull-down on DD7 the standard asks for:
                     // every register reads 0x7F
        packet,  // a packet device: IDENTIFY aborts and leaves the 0x14/0xEB signature
        error,   // a broken drive: every command ends with ERR and never raises DRQ
    };

    static constexpr uint32_t sector_size = 512;
    static constexpr uint8_t status_err = 0x01;
    static constexpr uint8_t status_drq = 0x08;
    static constexpr uint8_t status_dsc = 0x10;
    static constexpr uint8_t status_drdy = 0x40;
    static constexpr uint8_t status_bsy = 0x80;
    static constexpr uint8_t cmd_identify = 0xEC;
    static constexpr uint8_t cmd_flush = 0xE7;
    static constexpr uint8_t cmd_read28 = 0x20;
    static constexpr uint8_t cmd_read48 = 0x24;
    static constexpr uint8_t cmd_write48 = 0x34;

    // A disk of `sectors` zero sectors, attached to the simulated PC.
    explicit AtaDisk(uint64_t sectors = 0);
    ~AtaDisk() override;
    AtaDisk(const AtaDisk&) = delete;
    AtaDisk& operator=(const AtaDisk&) = delete;

    // Replaces the image with a file's contents (its size must be a multiple of 512).
    // All-zero stretches take no memory, so large sparse images are cheap.
    bool load(const std::string& path);
    // Writes the image to a file (sparse where the image is zero).
    bool save(const std::string& path) const;
    // Takes a copy of another drive's image (cheaper than loading the file again).
    void copy_image_from(const AtaDisk& other);
    uint64_t sector_count() const { return sectors_; }
    void resize(uint64_t sectors) { sectors_ = sectors; }
    void read_sector(uint64_t lba, uint8_t* out) const;
    void write_sector(uint64_t lba, const uint8_t* in);

    void set_mode(Mode mode) { mode_ = mode; }
    // Status reads that show BSY after each command and each written sector.
    void set_busy_reads(int reads) { busy_reads_ = reads; }
    // Status reads after each command and each data block that still show the status from
    // before: the standard gives a drive 400 ns to raise BSY or drop DRQ.
    void set_settle_reads(int reads) { settle_reads_ = reads; }
    // Makes the write of this LBA fail with ERR (write fault) instead of storing it.
    void fail_write_at(uint64_t lba) { failing_lba_ = lba; }
    // Makes the `n`-th sector write from now on (1 = the next one) fail once with a write
    // fault, as a transient error would; 0 turns it off.
    void fail_nth_write(uint64_t n) { failing_write_ = n == 0 ? 0 : write_attempts_ + n; }
    // Makes every read that covers this LBA abort with ERR (an unreadable sector).
    void fail_read_at(uint64_t lba) { failing_read_lba_ = lba; }
    // Sector writes tried since the last reset_state(), failed ones included.
    uint64_t write_attempts() const { return write_attempts_; }
    // Back to an idle drive and zero counters; the image is kept.
    void reset_state();

    // What the kernel asked of the drive since the last reset_state().
    const std::vector<uint8_t>& commands() const { return commands_; }
    int command_count(uint8_t command) const;
    uint64_t sectors_read() const { return sectors_read_; }
    uint64_t sectors_written() const { return sectors_written_; }
    // Every written LBA, in order.
    const std::vector<uint64_t>& written_lbas() const { return written_; }
    // Commands that addressed sectors past the end of the image.
    int out_of_range_requests() const { return out_of_range_; }
    int flushes() const { return command_count(cmd_flush); }

    bool claims(uint16_t port) const override;
    uint32_t read(uint16_t port, int width) override;
    void write(uint16_t port, uint32_t value, int width) override;
    void read_words(uint16_t port, uint8_t* to, uint32_t count) override;
    void write_words(uint16_t port, const uint8_t* from, uint32_t count) override;

private:
    static constexpr uint32_t chunk_sectors = 128;
    enum class Transfer { none, identify, read, write };

    uint8_t* chunk_for(uint64_t lba, bool create) const;
    bool no_drive() const { return mode_ == Mode::empty || mode_ == Mode::pulled_down; }
    uint8_t status_now();
    void begin_settle();
    void execute(uint8_t command);
    void abort(uint8_t error);
    void start_read(uint64_t lba, uint32_t count);
    void load_read_sector();
    bool data_ready(Transfer direction) const;
    void end_read_sector();
    void finish_write_sector();
    uint64_t lba28() const;
    uint64_t lba48() const;
    uint32_t count48() const;

    uint64_t sectors_ = 0;
    mutable std::map<uint64_t, std::unique_ptr<uint8_t[]>> chunks_;
    Mode mode_ = Mode::present;
    int busy_reads_ = 0;
    int busy_left_ = 0;
    int settle_reads_ = 0;
    int settle_left_ = 0;
    uint8_t status_before_ = 0;
    uint64_t failing_lba_ = UINT64_MAX;
    uint64_t failing_read_lba_ = UINT64_MAX;
    uint64_t failing_write_ = 0;
    uint64_t write_attempts_ = 0;

    // Task file: each of count/LBA bytes keeps the previous write too (the 48-bit "HOB").
    uint8_t features_ = 0;
    uint8_t count_[2] = {};
    uint8_t lba_low_[2] = {};
    uint8_t lba_mid_[2] = {};
    uint8_t lba_high_[2] = {};
    uint8_t device_ = 0;
    uint8_t status_ = 0;
    uint8_t error_ = 0;

    Transfer transfer_ = Transfer::none;
    uint64_t next_lba_ = 0;
    uint32_t sectors_left_ = 0;
    uint8_t buffer_[sector_size] = {};
    uint32_t buffer_pos_ = 0;

    std::vector<uint8_t> commands_;
    std::vector<uint64_t> written_;
    uint64_t sectors_read_ = 0;
    uint64_t sectors_written_ = 0;
    int out_of_range_ = 0;
};

} // namespace sim
