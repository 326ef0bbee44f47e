// The simulated primary-channel ATA disk.
#include "tests/sim/ata.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr uint16_t port_data = 0x1F0;
constexpr uint16_t port_error = 0x1F1;
constexpr uint16_t port_count = 0x1F2;
constexpr uint16_t port_lba_low = 0x1F3;
constexpr uint16_t port_lba_mid = 0x1F4;
constexpr uint16_t port_lba_high = 0x1F5;
constexpr uint16_t port_device = 0x1F6;
constexpr uint16_t port_command = 0x1F7;

constexpr uint8_t device_select_slave = 0x10;
constexpr uint8_t error_abort = 0x04;
constexpr uint8_t error_id_not_found = 0x10;
constexpr uint8_t error_uncorrectable = 0x40;
constexpr uint8_t status_write_fault = 0x20;
constexpr uint8_t packet_signature_mid = 0x14;
constexpr uint8_t packet_signature_high = 0xEB;
// DD7 pulled low, the other data lines floating high.
constexpr uint8_t pulled_down_bus = 0x7F;

void put_word(uint8_t* buffer, int word, uint16_t value)
{
    buffer[2 * word] = static_cast<uint8_t>(value);
    buffer[2 * word + 1] = static_cast<uint8_t>(value >> 8);
}

// ATA strings store two characters per word, the first in the high byte.
void put_string(uint8_t* buffer, int first_word, int words, const char* text)
{
    size_t len = std::strlen(text);
    for (int i = 0; i < 2 * words; ++i) {
        char c = static_cast<size_t>(i) < len ? text[i] : ' ';
        buffer[2 * first_word + (i ^ 1)] = static_cast<uint8_t>(c);
    }
}

} // namespace

AtaDisk::AtaDisk(uint64_t sectors) : sectors_(sectors)
{
    reset_state();
    attach(this);
}

AtaDisk::~AtaDisk() { detach(this); }

uint8_t* AtaDisk::chunk_for(uint64_t lba, bool create) const
{
    uint64_t index = lba / chunk_sectors;
    auto it = chunks_.find(index);
    if (it == chunks_.end()) {
        if (!create)
            return nullptr;
        auto chunk = std::make_unique<uint8_t[]>(chunk_sectors * sector_size);
        std::memset(chunk.get(), 0, chunk_sectors * sector_size);
        it = chunks_.emplace(index, std::move(chunk)).first;
    }
    return it->second.get() + (lba % chunk_sectors) * sector_size;
}

void AtaDisk::read_sector(uint64_t lba, uint8_t* out) const
{
    const uint8_t* p = chunk_for(lba, false);
    if (p)
        std::memcpy(out, p, sector_size);
    else
        std::memset(out, 0, sector_size);
}

void AtaDisk::write_sector(uint64_t lba, const uint8_t* in) { std::memcpy(chunk_for(lba, true), in, sector_size); }

bool AtaDisk::load(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    off_t size = ::lseek(fd, 0, SEEK_END);
    if (size < 0 || size % sector_size != 0) {
        ::close(fd);
        return false;
    }
    chunks_.clear();
    sectors_ = static_cast<uint64_t>(size) / sector_size;
    std::vector<uint8_t> block(chunk_sectors * sector_size);
    const std::vector<uint8_t> zeros(block.size(), 0);
    for (uint64_t index = 0; index * chunk_sectors < sectors_; ++index) {
        off_t at = static_cast<off_t>(index * block.size());
        // Skip the file's holes without reading them.
        off_t data = ::lseek(fd, at, SEEK_DATA);
        if (data < 0)
            break;
        if (data >= at + static_cast<off_t>(block.size())) {
            index = static_cast<uint64_t>(data) / block.size() - 1;
            continue;
        }
        ssize_t got = ::pread(fd, block.data(), block.size(), at);
        if (got <= 0)
            break;
        if (std::memcmp(block.data(), zeros.data(), static_cast<size_t>(got)) == 0)
            continue;
        auto chunk = std::make_unique<uint8_t[]>(block.size());
        std::memset(chunk.get(), 0, block.size());
        std::memcpy(chunk.get(), block.data(), static_cast<size_t>(got));
        chunks_.emplace(index, std::move(chunk));
    }
    ::close(fd);
    return true;
}

bool AtaDisk::save(const std::string& path) const
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    bool ok = ::ftruncate(fd, static_cast<off_t>(sectors_ * sector_size)) == 0;
    for (const auto& [index, chunk] : chunks_) {
        uint64_t first = index * chunk_sectors;
        if (first >= sectors_)
            continue;
        uint64_t bytes = std::min<uint64_t>(chunk_sectors, sectors_ - first) * sector_size;
        ok = ok && ::pwrite(fd, chunk.get(), bytes, static_cast<off_t>(first * sector_size)) == static_cast<ssize_t>(bytes);
    }
    return ::close(fd) == 0 && ok;
}

void AtaDisk::copy_image_from(const AtaDisk& other)
{
    chunks_.clear();
    sectors_ = other.sectors_;
    for (const auto& [index, chunk] : other.chunks_) {
        auto copy = std::make_unique<uint8_t[]>(chunk_sectors * sector_size);
        std::memcpy(copy.get(), chunk.get(), chunk_sectors * sector_size);
        chunks_.emplace(index, std::move(copy));
    }
}

void AtaDisk::reset_state()
{
    features_ = 0;
    std::memset(count_, 0, sizeof count_);
    std::memset(lba_low_, 0, sizeof lba_low_);
    std::memset(lba_mid_, 0, sizeof lba_mid_);
    std::memset(lba_high_, 0, sizeof lba_high_);
    device_ = 0;
    status_ = status_drdy | status_dsc;
    error_ = 0;
    busy_left_ = 0;
    settle_left_ = 0;
    transfer_ = Transfer::none;
    sectors_left_ = 0;
    buffer_pos_ = 0;
    commands_.clear();
    written_.clear();
    sectors_read_ = 0;
    sectors_written_ = 0;
    out_of_range_ = 0;
    write_attempts_ = 0;
    failing_write_ = 0;
}

int AtaDisk::command_count(uint8_t command) const
{
    return static_cast<int>(std::count(commands_.begin(), commands_.end(), command));
}

bool AtaDisk::claims(uint16_t port) const
{
    return mode_ != Mode::absent && port >= port_data && port <= port_command;
}

uint8_t AtaDisk::status_now()
{
    if (mode_ == Mode::empty || (device_ & device_select_slave))
        return 0;
    if (settle_left_ > 0) {
        --settle_left_;
        return status_before_;
    }
    if (busy_left_ > 0) {
        --busy_left_;
        return status_bsy;
    }
    return status_;
}

// What the host reads until the drive shows what a command or a data block changed.
void AtaDisk::begin_settle()
{
    status_before_ = busy_left_ > 0 ? status_bsy : status_;
    settle_left_ = settle_reads_;
}

uint32_t AtaDisk::read(uint16_t port, int width)
{
    if (mode_ == Mode::empty)
        return 0;
    if (mode_ == Mode::pulled_down)
        return pulled_down_bus;
    switch (port) {
    case port_data: {
        if (width != 16 || !data_ready(Transfer::read))
            return 0;
        uint16_t word = static_cast<uint16_t>(buffer_[buffer_pos_] | (buffer_[buffer_pos_ + 1] << 8));
        buffer_pos_ += 2;
        if (buffer_pos_ == sector_size)
            end_read_sector();
        return word;
    }
    case port_error:
        return error_;
    case port_count:
        return count_[0];
    case port_lba_low:
        return lba_low_[0];
    case port_lba_mid:
        return lba_mid_[0];
    case port_lba_high:
        return lba_high_[0];
    case port_device:
        return device_;
    case port_command:
        return status_now();
    default:
        return 0xFF;
    }
}

void AtaDisk::write(uint16_t port, uint32_t value, int width)
{
    if (no_drive())
        return;
    auto shift_in = [value](uint8_t* reg) {
        reg[1] = reg[0];
        reg[0] = static_cast<uint8_t>(value);
    };
    switch (port) {
    case port_data:
        if (width != 16 || !data_ready(Transfer::write))
            return;
        buffer_[buffer_pos_] = static_cast<uint8_t>(value);
        buffer_[buffer_pos_ + 1] = static_cast<uint8_t>(value >> 8);
        buffer_pos_ += 2;
        if (buffer_pos_ == sector_size)
            finish_write_sector();
        return;
    case port_error:
        features_ = static_cast<uint8_t>(value);
        return;
    case port_count:
        shift_in(count_);
        return;
    case port_lba_low:
        shift_in(lba_low_);
        return;
    case port_lba_mid:
        shift_in(lba_mid_);
        return;
    case port_lba_high:
        shift_in(lba_high_);
        return;
    case port_device:
        device_ = static_cast<uint8_t>(value);
        return;
    case port_command:
        // A busy drive takes no command. One that still holds data executes the new command
        // and drops that data, as the standard lets any drive do.
        if ((device_ & device_select_slave) || busy_left_ > 0 || (status_ & status_bsy))
            return;
        transfer_ = Transfer::none;
        commands_.push_back(static_cast<uint8_t>(value));
        begin_settle();
        execute(static_cast<uint8_t>(value));
        return;
    default:
        return;
    }
}

void AtaDisk::abort(uint8_t error)
{
    transfer_ = Transfer::none;
    error_ = error;
    status_ = status_drdy | status_err;
    busy_left_ = busy_reads_;
}

uint64_t AtaDisk::lba28() const
{
    return (static_cast<uint64_t>(device_ & 0x0F) << 24) | (static_cast<uint64_t>(lba_high_[0]) << 16)
        | (static_cast<uint64_t>(lba_mid_[0]) << 8) | lba_low_[0];
}

uint64_t AtaDisk::lba48() const
{
    return (static_cast<uint64_t>(lba_high_[1]) << 40) | (static_cast<uint64_t>(lba_mid_[1]) << 32)
        | (static_cast<uint64_t>(lba_low_[1]) << 24) | (static_cast<uint64_t>(lba_high_[0]) << 16)
        | (static_cast<uint64_t>(lba_mid_[0]) << 8) | lba_low_[0];
}

uint32_t AtaDisk::count48() const
{
    uint32_t count = (static_cast<uint32_t>(count_[1]) << 8) | count_[0];
    return count == 0 ? 65536 : count;
}

void AtaDisk::execute(uint8_t command)
{
    error_ = 0;
    if (mode_ == Mode::error) {
        abort(error_abort);
        return;
    }
    if (mode_ == Mode::packet) {
        lba_mid_[0] = packet_signature_mid;
        lba_high_[0] = packet_signature_high;
        abort(error_abort);
        return;
    }
    switch (command) {
    case cmd_identify: {
        std::memset(buffer_, 0, sizeof buffer_);
        uint32_t lba28_sectors = static_cast<uint32_t>(std::min<uint64_t>(sectors_, 0x0FFFFFFF));
        put_word(buffer_, 0, 0x0040);
        put_string(buffer_, 27, 20, "TAVIX SIMULATED DISK");
        put_word(buffer_, 49, 0x0200); // LBA supported
        put_word(buffer_, 60, static_cast<uint16_t>(lba28_sectors));
        put_word(buffer_, 61, static_cast<uint16_t>(lba28_sectors >> 16));
        put_word(buffer_, 83, 0x0400); // 48-bit addressing
        for (int i = 0; i < 4; ++i)
            put_word(buffer_, 100 + i, static_cast<uint16_t>(sectors_ >> (16 * i)));
        transfer_ = Transfer::identify;
        buffer_pos_ = 0;
        status_ = status_drdy | status_dsc | status_drq;
        busy_left_ = busy_reads_;
        return;
    }
    case cmd_read28:
        start_read(lba28(), count_[0] == 0 ? 256 : count_[0]);
        return;
    case cmd_read48:
        start_read(lba48(), count48());
        return;
    case cmd_write48: {
        uint64_t lba = lba48();
        uint32_t count = count48();
        if (lba + count > sectors_) {
            ++out_of_range_;
            abort(error_id_not_found);
            return;
        }
        transfer_ = Transfer::write;
        next_lba_ = lba;
        sectors_left_ = count;
        buffer_pos_ = 0;
        status_ = status_drdy | status_dsc | status_drq;
        busy_left_ = busy_reads_;
        return;
    }
    case cmd_flush:
        status_ = status_drdy | status_dsc;
        busy_left_ = busy_reads_;
        return;
    default:
        abort(error_abort);
        return;
    }
}

void AtaDisk::start_read(uint64_t lba, uint32_t count)
{
    if (lba + count > sectors_) {
        ++out_of_range_;
        abort(error_id_not_found);
        return;
    }
    if (failing_read_lba_ >= lba && failing_read_lba_ < lba + count) {
        abort(error_uncorrectable);
        return;
    }
    transfer_ = Transfer::read;
    next_lba_ = lba;
    sectors_left_ = count;
    load_read_sector();
    status_ = status_drdy | status_dsc | status_drq;
    busy_left_ = busy_reads_;
}

// True when the data register moves a word in `direction` now: DRQ up, BSY down, and the
// command's data flows that way (identify data is read like a sector).
bool AtaDisk::data_ready(Transfer direction) const
{
    bool writing = transfer_ == Transfer::write;
    return (status_ & status_drq) && busy_left_ == 0 && (direction == Transfer::write) == writing;
}

// The host has taken the last word of a sector: the next one is loaded, or the command ends.
void AtaDisk::end_read_sector()
{
    begin_settle();
    buffer_pos_ = 0;
    if (transfer_ == Transfer::read)
        ++sectors_read_;
    if (transfer_ == Transfer::read && --sectors_left_ > 0) {
        ++next_lba_;
        load_read_sector();
        busy_left_ = busy_reads_;
    } else {
        transfer_ = Transfer::none;
        status_ = status_drdy | status_dsc;
    }
}

// Block transfers move what is left of the current sector with one copy; where the drive
// would not take a word (not ready, another port), each word goes through read or write.
void AtaDisk::read_words(uint16_t port, uint8_t* to, uint32_t count)
{
    while (count > 0) {
        if (no_drive() || port != port_data || !data_ready(Transfer::read)) {
            Device::read_words(port, to, count);
            return;
        }
        uint32_t words = std::min(count, (sector_size - buffer_pos_) / 2);
        std::memcpy(to, buffer_ + buffer_pos_, words * 2);
        buffer_pos_ += words * 2;
        to += words * 2;
        count -= words;
        if (buffer_pos_ == sector_size)
            end_read_sector();
    }
}

void AtaDisk::write_words(uint16_t port, const uint8_t* from, uint32_t count)
{
    while (count > 0) {
        if (no_drive() || port != port_data || !data_ready(Transfer::write)) {
            Device::write_words(port, from, count);
            return;
        }
        uint32_t words = std::min(count, (sector_size - buffer_pos_) / 2);
        std::memcpy(buffer_ + buffer_pos_, from, words * 2);
        buffer_pos_ += words * 2;
        from += words * 2;
        count -= words;
        if (buffer_pos_ == sector_size)
            finish_write_sector();
    }
}

void AtaDisk::load_read_sector()
{
    read_sector(next_lba_, buffer_);
    buffer_pos_ = 0;
}

void AtaDisk::finish_write_sector()
{
    begin_settle();
    buffer_pos_ = 0;
    busy_left_ = busy_reads_;
    ++write_attempts_;
    bool transient = write_attempts_ == failing_write_;
    if (next_lba_ == failing_lba_ || transient) {
        transfer_ = Transfer::none;
        error_ = error_abort;
        status_ = status_drdy | status_err | status_write_fault;
        return;
    }
    write_sector(next_lba_, buffer_);
    written_.push_back(next_lba_);
    ++sectors_written_;
    if (--sectors_left_ > 0) {
        ++next_lba_;
        return;
    }
    transfer_ = Transfer::none;
    status_ = status_drdy | status_dsc;
}

} // namespace sim
