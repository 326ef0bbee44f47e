// libFuzzer entry for the FAT32 driver: each input is laid over the first bytes of a small,
// valid FAT32 volume in the simulated drive, which is then mounted, listed several directory
// levels deep, given one new directory and unmounted. Checks on every input: no crash or hang
// (the sanitizers and libFuzzer's time-out), no write request outside the volume the kernel
// mounted, and the kernel heap back exactly as it was. One seed puts the volume in the first
// partition of an MBR instead, so that the partition table is fuzzed too.
//
// Started with TAVIX_FAT32_SEED_DIR=<dir> in the environment, it writes its seed inputs there
// and exits: the build makes the seed corpus that way, from the same generator.
#include "cpu/mem.hpp"
#include "drivers/fs/fat32.hpp"
#include "drivers/fs/fat32_layout.hpp"
#include "drivers/fs/fat32_dir.hpp"
#include "drivers/fs/fat32_locate.hpp"
#include "tests/sim/ata.hpp"
#include "tests/sim/cmos.hpp"
#include "tests/sim/sim.hpp"
#include "tests/support/heap_walk.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

// ---- The seed volume ----
// Two reserved sectors (boot sector, FSInfo), two one-sector FATs (128 entries, clusters
// 2-127), data from LBA 4. Everything a mount and a listing read sits in the first sectors,
// so that short inputs reach the boot sector, FSInfo, the FAT and every directory.
constexpr uint32_t sector_bytes = 512;
constexpr uint32_t slot_bytes = 32;
constexpr uint32_t reserved_sectors = 2;
constexpr uint32_t fsinfo_sector = 1;
constexpr uint32_t fat_copies = 2;
constexpr uint32_t fat_sectors = 1;
constexpr uint32_t fat_entries = fat_sectors * sector_bytes / 4;
constexpr uint32_t data_start = reserved_sectors + fat_copies * fat_sectors;
constexpr uint32_t last_cluster = fat_entries - 1;
// The drive holds the largest seed volume (two-sector clusters) whole.
constexpr uint32_t largest_cluster_sectors = 2;
constexpr uint32_t disk_sectors = data_start + (last_cluster - 1) * largest_cluster_sectors;
static_assert(disk_sectors == 256, "the two-sector seed volume fills the drive");
// The partitioned seed: an MBR in LBA 0 and the one-sector-cluster volume from LBA 1; the drive
// has room for it behind the largest volume at LBA 0.
constexpr uint32_t partition_start = 1;
constexpr uint32_t drive_sectors = disk_sectors + partition_start;

// Boot-sector fields the driver does not read, and the values the seed gives them.
constexpr size_t boot_oem_name = 3;
constexpr size_t boot_end_marker = 510;
constexpr uint8_t media_fixed_disk = 0xF8;
constexpr uint8_t first_hard_disk = 0x80;
constexpr uint8_t extended_boot_signature = 0x29;

constexpr uint32_t media_entry = 0x0FFFFFF8;
constexpr uint8_t attr_volume_label = 0x08;
// 2026-01-01 12:00:00 in FAT's packed form.
constexpr uint16_t seed_date = (46 << 9) | (1 << 5) | 1;
constexpr uint16_t seed_time = 12 << 11;

// Clusters of the seed: the root spans two, three directories nest below it, two files.
constexpr uint32_t root_first = 2;
constexpr uint32_t root_second = 3;
constexpr uint32_t sub_cluster = 4;
constexpr uint32_t deep_cluster = 5;
constexpr uint32_t leaf_cluster = 6;
constexpr uint32_t readme_cluster = 20;
constexpr uint32_t long_file_first = 21;
constexpr uint32_t long_file_second = 22;
constexpr uint32_t clusters_in_use = 8;

void put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* p, uint32_t v)
{
    put16(p, static_cast<uint16_t>(v));
    put16(p + 2, static_cast<uint16_t>(v >> 16));
}

uint8_t short_name_checksum(const char* name11)
{
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + static_cast<uint8_t>(name11[i]));
    return sum;
}

class SeedVolume {
public:
    explicit SeedVolume(uint32_t cluster_sectors)
        : spc(cluster_sectors), bytes(disk_sectors * sector_bytes, 0)
    {
        boot_sector();
        fsinfo();
        fat();
        root();
        subdirectories();
        file_data();
    }

    uint32_t volume_sectors() const { return data_start + (last_cluster - 1) * spc; }

    // The bytes up to the end of the last directory cluster: what a seed input holds.
    std::vector<uint8_t> directory_prefix() const
    {
        const uint32_t end = (data_start + (leaf_cluster - 1) * spc) * sector_bytes;
        return {bytes.begin(), bytes.begin() + end};
    }

    const std::vector<uint8_t>& image() const { return bytes; }

private:
    uint8_t* sector(uint32_t lba) { return &bytes[lba * sector_bytes]; }
    uint8_t* cluster(uint32_t c) { return sector(data_start + (c - 2) * spc); }
    uint32_t slots_per_cluster() const { return spc * sector_bytes / slot_bytes; }

    void boot_sector()
    {
        uint8_t* b = sector(0);
        const uint8_t jump[] = {0xEB, 0x58, 0x90};
        std::memcpy(b, jump, sizeof jump);
        std::memcpy(b + boot_oem_name, "TAVIXFZZ", 8);
        put16(b + tavix::bpb_bytes_per_sector, sector_bytes);
        b[tavix::bpb_sectors_per_cluster] = static_cast<uint8_t>(spc);
        put16(b + tavix::bpb_reserved_sectors, reserved_sectors);
        b[tavix::bpb_fat_count] = fat_copies;
        b[tavix::bpb_media_descriptor] = media_fixed_disk;
        put32(b + tavix::bpb_large_sectors, volume_sectors());
        put32(b + tavix::bpb_sectors_per_fat32, fat_sectors);
        put32(b + tavix::bpb_root_cluster, root_first);
        put16(b + tavix::bpb_fsinfo_sector, fsinfo_sector);
        b[tavix::bpb_drive_number] = first_hard_disk;
        b[tavix::bpb_signature] = extended_boot_signature;
        put32(b + tavix::bpb_volume_id, 0x7A71F022);
        std::memcpy(b + tavix::bpb_volume_label, "TAVIX FUZZ FAT32   ", 19);
        put16(b + boot_end_marker, 0xAA55);
    }

    void fsinfo()
    {
        uint8_t* f = sector(fsinfo_sector);
        put32(f + tavix::fsinfo_lead_offset, tavix::fsinfo_lead_signature);
        put32(f + tavix::fsinfo_struct_offset, tavix::fsinfo_struct_signature);
        put32(f + tavix::fsinfo_free_offset, last_cluster - 1 - clusters_in_use);
        put32(f + tavix::fsinfo_next_offset, leaf_cluster + 1);
        put32(f + tavix::fsinfo_trail_offset, tavix::fsinfo_trail_signature);
    }

    void link(uint32_t cluster_number, uint32_t next)
    {
        for (uint32_t copy = 0; copy < fat_copies; ++copy)
            put32(sector(reserved_sectors + copy * fat_sectors) + 4 * cluster_number, next);
    }

    void fat()
    {
        link(0, media_entry);
        link(1, tavix::fat32_end_of_chain);
        link(root_first, root_second);
        link(long_file_first, long_file_second);
        for (uint32_t c : {root_second, sub_cluster, deep_cluster, leaf_cluster, readme_cluster, long_file_second})
            link(c, tavix::fat32_end_of_chain);
    }

    // Directory slots are written in order across the clusters of a chain.
    struct Directory {
        std::vector<uint32_t> chain;
        uint32_t next_slot;
    };

    uint8_t* slot(Directory& d)
    {
        const uint32_t i = d.next_slot++;
        return cluster(d.chain.at(i / slots_per_cluster())) + (i % slots_per_cluster()) * slot_bytes;
    }

    void short_entry(Directory& d, const char* name11, uint8_t attrs, uint32_t first, uint32_t size, uint8_t flags = 0)
    {
        uint8_t* s = slot(d);
        std::memcpy(s, name11, 11);
        s[11] = attrs;
        s[12] = flags;
        put16(s + 14, seed_time);
        put16(s + 16, seed_date);
        put16(s + 18, seed_date);
        put16(s + 20, static_cast<uint16_t>(first >> 16));
        put16(s + 22, seed_time);
        put16(s + 24, seed_date);
        put16(s + 26, static_cast<uint16_t>(first));
        put32(s + 28, size);
    }

    // A long name in UTF-16 (its long-name slots, last part first), then its short entry.
    void long_entry(Directory& d, const std::u16string& name, const char* name11, uint8_t attrs, uint32_t first,
                    uint32_t size)
    {
        static constexpr uint8_t char_offsets[tavix::lfn_chars_per_entry] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        const uint32_t parts = static_cast<uint32_t>((name.size() + tavix::lfn_chars_per_entry - 1) / tavix::lfn_chars_per_entry);
        const uint8_t checksum = short_name_checksum(name11);
        for (uint32_t part = parts; part >= 1; --part) {
            uint8_t* s = slot(d);
            s[0] = static_cast<uint8_t>(part | (part == parts ? tavix::lfn_last_flag : 0));
            s[11] = tavix::attr_long_name;
            s[13] = checksum;
            for (uint32_t k = 0; k < tavix::lfn_chars_per_entry; ++k) {
                const size_t at = (part - 1) * tavix::lfn_chars_per_entry + k;
                const uint16_t c = at < name.size() ? name[at] : at == name.size() ? 0 : 0xFFFF;
                put16(s + char_offsets[k], c);
            }
        }
        short_entry(d, name11, attrs, first, size);
    }

    void dot_entries(Directory& d, uint32_t self, uint32_t parent)
    {
        short_entry(d, ".          ", tavix::attr_directory, self, 0);
        short_entry(d, "..         ", tavix::attr_directory, parent == root_first ? 0 : parent, 0);
    }

    void root()
    {
        Directory d{{root_first, root_second}, 0};
        short_entry(d, "TAVIX FUZZ ", attr_volume_label, 0, 0);
        short_entry(d, "README  TXT", 0, readme_cluster, 26);
        long_entry(d, u"Gr\u00FC\u00DFe.txt", "GRSSE~1 TXT", 0, 0, 0);
        short_entry(d, "\xE5" "ELETED TXT", 0, 0, 0);
        short_entry(d, "LOWER   TXT", 0, 0, 0, tavix::case_lower_base | tavix::case_lower_ext);
        long_entry(d, u"Subdirectory", "SUBDIR~1   ", tavix::attr_directory, sub_cluster, 0);
        // Fill the first cluster so that the next long name runs across into the second.
        char filler[] = "FILL00  TXT";
        while (d.next_slot < slots_per_cluster() - 2) {
            filler[4] = static_cast<char>('0' + d.next_slot / 10);
            filler[5] = static_cast<char>('0' + d.next_slot % 10);
            short_entry(d, filler, 0, 0, 0);
        }
        long_entry(d, u"A long file name that spans two clusters.bin", "ALONGF~1BIN", 0, long_file_first,
                   spc * sector_bytes + 1);
        short_entry(d, "LAST    TXT", 0, 0, 0);
        slot(d)[0] = tavix::slot_deleted;
    }

    void subdirectories()
    {
        Directory sub{{sub_cluster}, 0};
        dot_entries(sub, sub_cluster, root_first);
        long_entry(sub, u"deep", "DEEP       ", tavix::attr_directory, deep_cluster, 0);
        short_entry(sub, "FILE    BIN", 0, 0, 0);
        Directory deep{{deep_cluster}, 0};
        dot_entries(deep, deep_cluster, sub_cluster);
        short_entry(deep, "LEAF       ", tavix::attr_directory, leaf_cluster, 0);
        Directory leaf{{leaf_cluster}, 0};
        dot_entries(leaf, leaf_cluster, deep_cluster);
        long_entry(leaf, u"x", "X          ", 0, 0, 0);
    }

    void file_data()
    {
        std::memcpy(cluster(readme_cluster), "Read me from the fuzz seed", 26);
        std::memset(cluster(long_file_first), 'L', spc * sector_bytes);
        std::memset(cluster(long_file_second), 'M', 1);
    }

    uint32_t spc;
    std::vector<uint8_t> bytes;
};

// ---- The write check ----
// The count and the three LBA registers lie side by side from the count register on.
constexpr uint16_t ata_count_port = 0x1F2;
constexpr uint16_t ata_lba_high_port = 0x1F5;
constexpr uint16_t ata_device_port = 0x1F6;
constexpr uint16_t ata_command_port = 0x1F7;
constexpr uint8_t ata_write28 = 0x30;
constexpr uint8_t ata_write48 = 0x34;

// Sits in front of the simulated drive on its ports and checks the range of every write
// command against the sectors writes may touch. The drive itself refuses requests past its
// end, so this is what notices a write the kernel should never have asked for.
class WriteGuard final : public sim::Device {
public:
    explicit WriteGuard(sim::AtaDisk& drive) : drive_(drive) {}

    // Writes may touch LBAs from `first` up to, not including, `end`.
    void allow(uint64_t first, uint64_t end)
    {
        first_ = first;
        end_ = end;
    }

    bool claims(uint16_t port) const override { return drive_.claims(port); }
    uint32_t read(uint16_t port, int width) override { return drive_.read(port, width); }

    void write(uint16_t port, uint32_t value, int width) override
    {
        const auto byte = static_cast<uint8_t>(value);
        if (port >= ata_count_port && port <= ata_lba_high_port) {
            uint8_t* reg = task_file_[port - ata_count_port];
            reg[1] = reg[0];
            reg[0] = byte;
        } else if (port == ata_device_port) {
            device_ = byte;
        } else if (port == ata_command_port && (byte == ata_write48 || byte == ata_write28)) {
            check(byte);
        }
        drive_.write(port, value, width);
    }

private:
    void check(uint8_t command)
    {
        uint64_t lba = 0;
        uint64_t count = 0;
        if (command == ata_write48) {
            for (int i = 3; i >= 1; --i)
                lba = lba << 8 | task_file_[i][1];
            for (int i = 3; i >= 1; --i)
                lba = lba << 8 | task_file_[i][0];
            count = static_cast<uint64_t>(task_file_[0][1]) << 8 | task_file_[0][0];
            count = count ? count : 65536;
        } else {
            lba = static_cast<uint64_t>(device_ & 0x0F) << 24 | task_file_[3][0] << 16 | task_file_[2][0] << 8
                | task_file_[1][0];
            count = task_file_[0][0] ? task_file_[0][0] : 256;
        }
        if (lba >= first_ && lba + count <= end_)
            return;
        std::fprintf(stderr, "fat32 fuzzer: write of %llu sectors at LBA %llu outside LBAs %llu-%llu\n",
                     static_cast<unsigned long long>(count), static_cast<unsigned long long>(lba),
                     static_cast<unsigned long long>(first_), static_cast<unsigned long long>(end_));
        std::abort();
    }

    sim::AtaDisk& drive_;
    uint64_t first_ = 0;
    uint64_t end_ = 0;
    // Count, LBA low, mid and high: the last write and the one before (the 48-bit high bytes).
    uint8_t task_file_[4][2] = {};
    uint8_t device_ = 0;
};

// ---- Per-input driver ----
// Directory levels walked below the root, and subdirectories entered per directory: enough to
// reach the seed's deepest directory and bound the work a looping tree can cause.
constexpr int max_walk_depth = 3;
constexpr uint32_t max_subdirs_per_directory = 3;

struct Fixture {
    SeedVolume seed{1};
    sim::AtaDisk drive{drive_sectors};
    WriteGuard guard{drive};
    heap_test::heap_walk clean_heap;
    // Sectors that may differ from the seed since the last input: restored before the next.
    std::set<uint64_t> dirty;

    Fixture()
    {
        sim::detach(&drive);
        sim::attach(&guard);
        // Entry time stamps come from the clock; a missing one would cost a long bounded wait.
        sim::cmos_reset();
        for (uint32_t lba = 0; lba < disk_sectors; ++lba)
            drive.write_sector(lba, &seed.image()[lba * sector_bytes]);
        tavix::init_dmem();
        clean_heap = heap_test::walk_heap();
    }

    void load(const uint8_t* data, size_t size)
    {
        for (uint64_t lba : drive.written_lbas())
            dirty.insert(lba);
        for (uint64_t lba : dirty)
            drive.write_sector(lba, &seed.image()[lba * sector_bytes]);
        dirty.clear();
        size = std::min<size_t>(size, seed.image().size());
        std::vector<uint8_t> sector_bytes_now(sector_bytes);
        for (size_t at = 0; at < size; at += sector_bytes) {
            const uint64_t lba = at / sector_bytes;
            const size_t n = std::min<size_t>(sector_bytes, size - at);
            std::memcpy(sector_bytes_now.data(), &seed.image()[at], sector_bytes);
            std::memcpy(sector_bytes_now.data(), data + at, n);
            drive.write_sector(lba, sector_bytes_now.data());
            dirty.insert(lba);
        }
        drive.reset_state();
        guard.allow(0, 0);
    }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

bool is_dot_name(const char* name) { return name && (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0); }

void walk(tavix::f32* fs, const tavix::directory& dir, int depth)
{
    // Each listing starts on a clean screen: scrolling the simulated screen is not what is
    // fuzzed here, and would cost most of the time of an input.
    sim::reset();
    sim::set_port_logging(false);
    tavix::print_directory(fs, const_cast<tavix::directory*>(&dir));
    if (depth == max_walk_depth)
        return;
    uint32_t entered = 0;
    for (uint32_t i = 0; i < dir.num_entries && entered < max_subdirs_per_directory; ++i) {
        const tavix::dir_entry& e = dir.entries[i];
        if ((e.dir_attrs & tavix::attr_directory) == 0 || is_dot_name(e.name))
            continue;
        ++entered;
        tavix::directory sub{};
        tavix::populate_dir(fs, &sub, e.first_cluster);
        walk(fs, sub, depth + 1);
        tavix::free_directory(fs, &sub);
    }
}

// The one-sector-cluster seed volume behind an MBR whose first entry names it.
std::vector<uint8_t> partitioned_seed()
{
    const SeedVolume volume(1);
    std::vector<uint8_t> bytes(partition_start * sector_bytes, 0);
    uint8_t* entry = &bytes[tavix::mbr_entries_offset];
    entry[tavix::mbr_entry_type] = tavix::mbr_type_fat32_lba;
    put32(entry + tavix::mbr_entry_first_sector, partition_start);
    put32(entry + tavix::mbr_entry_sectors, volume.volume_sectors());
    put16(&bytes[tavix::boot_signature_offset], tavix::boot_signature);
    const std::vector<uint8_t> prefix = volume.directory_prefix();
    bytes.insert(bytes.end(), prefix.begin(), prefix.end());
    return bytes;
}

void write_seeds(const char* dir)
{
    const std::pair<std::string, std::vector<uint8_t>> seeds[] = {
        {"seed_1_sector_clusters", SeedVolume(1).directory_prefix()},
        {"seed_2_sector_clusters", SeedVolume(largest_cluster_sectors).directory_prefix()},
        {"seed_mbr_partition", partitioned_seed()},
    };
    for (const auto& [name, bytes] : seeds) {
        const std::string path = std::string(dir) + "/" + name;
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            std::exit(1);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (const char* dir = std::getenv("TAVIX_FAT32_SEED_DIR")) {
        write_seeds(dir);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Fixture& f = fixture();
    sim::reset();
    sim::set_port_logging(false);
    f.load(data, size);

    char kind[] = "fat32";
    if (tavix::f32* fs = tavix::makeFilesystem(kind)) {
        f.guard.allow(fs->partition_begin_sector, fs->partition_begin_sector + uint64_t{fs->volume_sectors});
        tavix::directory root{};
        tavix::populate_root_dir(fs, &root);
        walk(fs, root, 0);
        char name[] = "fuzzdir";
        tavix::mkdir(fs, &root, name);
        tavix::free_directory(fs, &root);
        tavix::destroyFilesystem(fs);
    }

    const heap_test::heap_walk heap = heap_test::walk_heap();
    if (heap.used_blocks != f.clean_heap.used_blocks || heap.free_bytes != f.clean_heap.free_bytes) {
        std::fprintf(stderr, "fat32 fuzzer: heap not back to its start (%u used blocks, %llu free bytes; was %u, %llu)\n",
                     heap.used_blocks, static_cast<unsigned long long>(heap.free_bytes), f.clean_heap.used_blocks,
                     static_cast<unsigned long long>(f.clean_heap.free_bytes));
        std::abort();
    }
    return 0;
}
