// The FAT32 volume layer on real mkfs.fat images through the simulated ATA disk: mount,
// geometry refusal, cluster I/O limits, the FAT held on demand, allocation, chain release,
// the free count, FAT and FSInfo write-back and the retry of what failed.
// Every test that writes saves the image and has fsck.fat check it.
#include "drivers/fs/fat32.hpp"

#include "cpu/mem.hpp"
#include "general/config.hpp"
#include "general/vorn.hpp"
#include "tests/sim/ata.hpp"
#include "tests/sim/sim.hpp"
#include "tests/unit/fat32_image.hpp"
#include "tests/unit/fat32_ops_fixture.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace tavix;
using fat32_test::fsck;
using fat32_test::make_image;
using fat32_test::peek;
using fat32_test::poke;
using sim::AtaDisk;

constexpr uint32_t sector_bytes = 512;

// The images are made once per run; every test gets a fresh copy in its drive.
const std::string& small_image()
{
    static const std::string path = make_image("volume-64m", 64, 1,
        {"mmd -i IMG ::/docs", "mcopy -i IMG " + fat32_test::make_host_file("three.bin", 3 * 512 - 10) + " ::/three.bin"});
    return path;
}

const AtaDisk& pristine_small()
{
    static AtaDisk* drive = [] {
        auto* d = new AtaDisk;
        sim::detach(d);
        d->load(small_image());
        return d;
    }();
    return *drive;
}

const std::string& large_image()
{
    static const std::string path = make_image("volume-512m", 512, 8,
        {"mcopy -i IMG " + fat32_test::make_host_file("big.bin", 40000) + " ::/big.bin"});
    return path;
}

// The sector of FAT copy `copy` (0: the first) that holds the entry of `cluster`.
uint64_t fat_sector_of(const f32* fs, uint32_t copy, uint32_t cluster)
{
    return fs->fat_begin_sector + copy * fs->bpb.count_sectors_per_FAT32 + cluster / 128;
}

// Entry `cluster` of the disk's first FAT copy, read past the kernel.
uint32_t disk_fat(const AtaDisk& disk, f32* fs, uint32_t cluster)
{
    return peek(disk, fat_sector_of(fs, 0, cluster), (cluster % 128) * 4);
}

// The free clusters of the disk's first FAT copy among 2..last_cluster, counted past the kernel.
uint32_t disk_free_count(const AtaDisk& disk, f32* fs)
{
    uint32_t count = 0;
    uint8_t sector[sector_bytes];
    for (uint32_t s = 0; s * 128 <= fs->last_cluster; ++s) {
        disk.read_sector(fs->fat_begin_sector + s, sector);
        for (uint32_t i = 0; i < 128; ++i) {
            uint32_t c = s * 128 + i;
            if (c >= 2 && c <= fs->last_cluster && (readi32(sector, i * 4) & 0x0FFFFFFF) == 0)
                ++count;
        }
    }
    return count;
}

// Heap bytes taken, headers included.
uint32_t heap_bytes_used() { return static_cast<uint32_t>(dynamic_mem_total_size - heap_test::walk_heap().free_bytes); }

// The volume's own tests mount for themselves, each in its own way: the drive holds a fresh
// copy of the small image, and the machine is fresh, but nothing is mounted yet.
class Volume : public fat32_ops::Fs {
protected:
    void SetUp() override
    {
        fresh_machine();
        ASSERT_FALSE(small_image().empty()) << "mkfs.fat or mtools failed";
        disk.copy_image_from(pristine_small());
        ASSERT_EQ(disk.sector_count(), 64u * 2048);
        disk.reset_state();
        sim::reset();
    }

    // Gives a chain of allocated clusters to a new file in the root directory, written
    // straight to the disk, so that fsck.fat sees the clusters in use rather than lost.
    void adopt_chain(f32* volume, uint32_t first, uint32_t clusters, const char* name83)
    {
        uint64_t lba = volume->cluster_begin_sector;
        uint8_t sector[sector_bytes];
        disk.read_sector(lba, sector);
        for (uint32_t slot = 0; slot < sector_bytes / 32; ++slot) {
            uint8_t* e = sector + slot * 32;
            if (e[0] != 0 && e[0] != 0xE5)
                continue;
            std::memset(e, 0, 32);
            std::memcpy(e, name83, 11);
            e[11] = 0x20;
            e[20] = static_cast<uint8_t>(first >> 16);
            e[21] = static_cast<uint8_t>(first >> 24);
            e[26] = static_cast<uint8_t>(first);
            e[27] = static_cast<uint8_t>(first >> 8);
            uint32_t size = clusters * volume->cluster_size;
            for (int i = 0; i < 4; ++i)
                e[28 + i] = static_cast<uint8_t>(size >> (8 * i));
            disk.write_sector(lba, sector);
            return;
        }
        FAIL() << "no free slot in the root directory's first sector";
    }

    // Both FAT copies on the disk, compared with the FAT as the volume holds it.
    void expect_fat_copies_match(f32* volume)
    {
        uint32_t spf = volume->bpb.count_sectors_per_FAT32;
        for (uint32_t s = 0; s < spf; ++s) {
            uint8_t first[sector_bytes];
            disk.read_sector(volume->fat_begin_sector + s, first);
            for (uint32_t copy = 1; copy < volume->bpb.FAT_count; ++copy) {
                uint8_t other[sector_bytes];
                disk.read_sector(volume->fat_begin_sector + copy * spf + s, other);
                ASSERT_EQ(0, std::memcmp(first, other, sector_bytes)) << "copy " << copy << " sector " << s;
            }
            for (uint32_t i = 0; i < 128; ++i)
                ASSERT_EQ(readi32(first, i * 4), fat_entry(volume, s * 128 + i)) << "sector " << s << " entry " << i;
        }
    }

    // The cluster the next allocation takes: the first free one from the hint on, wrapping.
    uint32_t next_allocation(f32* volume)
    {
        uint32_t start = volume->cluster_alloc_hint < 2 || volume->cluster_alloc_hint > volume->last_cluster ? 2 : volume->cluster_alloc_hint;
        for (uint32_t i = 0; i <= volume->last_cluster - 2; ++i) {
            uint32_t c = 2 + (start - 2 + i) % (volume->last_cluster - 1);
            if ((fat_entry(volume, c) & 0x0FFFFFFF) == 0)
                return c;
        }
        return 0;
    }

    // The first free cluster at or after `from`, from the disk's FAT.
    uint32_t first_free_on_disk(f32* volume, uint32_t from)
    {
        for (uint32_t c = from; c <= volume->last_cluster; ++c) {
            if ((disk_fat(disk, volume, c) & 0x0FFFFFFF) == 0)
                return c;
        }
        return 0;
    }
};

TEST_F(Volume, MountPrintsItsStepsAndDerivesTheLayout)
{
    fs = mount();
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(sim::screen_row_trimmed(0), "Status indicates presence of a drive. Polling while STAT_BSY... Done.");
    EXPECT_EQ(sim::screen_row_trimmed(3), "Success. Disk is ready to go.");
    EXPECT_EQ(sim::screen_row_trimmed(4), "Filesystem identified!");
    EXPECT_EQ(sim::screen_row_trimmed(5), "trim_spaces");
    EXPECT_EQ(sim::screen_row_trimmed(6), "Sectors per cluster: 1");
    EXPECT_EQ(sim::screen_row_trimmed(7), "");

    uint8_t boot[sector_bytes];
    disk.read_sector(0, boot);
    const bios_parameter_block* bpb = getBPB(fs);
    EXPECT_EQ(bpb->bytes_per_sector, 512);
    EXPECT_STREQ(bpb->system_id, "FAT32");
    EXPECT_STREQ(bpb->volume_label, "TAVIXTEST  ");
    EXPECT_EQ(bpb->count_sectors_per_FAT32, readi32(boot, 36));
    EXPECT_EQ(fs->partition_begin_sector, 0u);
    EXPECT_EQ(fs->fat_begin_sector, bpb->reserved_sectors);
    EXPECT_EQ(fs->cluster_begin_sector, bpb->reserved_sectors + bpb->FAT_count * bpb->count_sectors_per_FAT32);
    EXPECT_EQ(fs->cluster_size, 512u);
    EXPECT_EQ(fs->root_cluster, 2u);
    EXPECT_EQ(fs->volume_sectors, 64u * 2048);
    EXPECT_EQ(fs->last_cluster, fs->volume_sectors - fs->cluster_begin_sector + 1);
    // mkfs.fat gives the FAT room for more entries than the volume has clusters.
    EXPECT_GT(fat_entry_count(fs), fs->last_cluster + 1);

    // FSInfo is trusted: its free count is the volume's, its hint where allocation starts.
    uint32_t fsinfo = bpb->sector_number_FSInfo;
    EXPECT_TRUE(fs->fsinfo_valid);
    EXPECT_EQ(fs->cluster_alloc_hint, peek(disk, fsinfo, 492));
    EXPECT_EQ(count_free_clusters(fs), peek(disk, fsinfo, 488));
    EXPECT_EQ(count_free_clusters(fs), disk_free_count(disk, fs));

    // The mount read the boot sector, FSInfo and the one FAT chunk that holds the root's
    // chain, in one request each, and wrote nothing.
    EXPECT_EQ(disk.command_count(AtaDisk::cmd_read48), 3);
    EXPECT_EQ(disk.sectors_read(), 2u + fat_chunk_sectors);
    EXPECT_EQ(fs->fat_chunks_loaded, 1u);
    EXPECT_EQ(disk.sectors_written(), 0u);
    EXPECT_EQ(fat_entry(fs, 0) & 0x0FFFFFFF, 0x0FFFFFF8u);
    for (uint32_t c : {0u, 2u, 3u, 127u, 128u, fat_chunk_entries - 1})
        EXPECT_EQ(fat_entry(fs, c), disk_fat(disk, fs, c)) << "cluster " << c;
    EXPECT_EQ(disk.command_count(AtaDisk::cmd_read48), 3) << "the chunk is held, not read again";
    // read_bpb reads the boot sector again, as the mount decoded it (the system id uncut).
    bios_parameter_block again{};
    ASSERT_EQ(read_bpb(fs, &again), 1);
    EXPECT_EQ(again.count_sectors_per_FAT32, bpb->count_sectors_per_FAT32);
    EXPECT_STREQ(again.system_id, "FAT32   ");
}

TEST_F(Volume, MountOfALargeVolumeWithEightSectorClusters)
{
    ASSERT_FALSE(large_image().empty());
    ASSERT_TRUE(disk.load(large_image()));
    disk.reset_state();
    fs = mount();
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(sim::screen_row_trimmed(6), "Sectors per cluster: 8");
    EXPECT_EQ(fs->cluster_size, 4096u);
    EXPECT_EQ(fs->last_cluster, (fs->volume_sectors - fs->cluster_begin_sector) / 8 + 1);
    EXPECT_EQ(count_free_clusters(fs), disk_free_count(disk, fs));
    // A cluster is one multi-sector read at its place in the data area.
    std::vector<uint8_t> buff(fs->cluster_size);
    disk.reset_state();
    EXPECT_EQ(getCluster(fs, buff.data(), 3), 1);
    EXPECT_EQ(disk.command_count(AtaDisk::cmd_read48), 1);
    EXPECT_EQ(disk.sectors_read(), 8u);
    uint8_t expected[sector_bytes];
    disk.read_sector(fs->cluster_begin_sector + 8, expected);
    EXPECT_EQ(0, std::memcmp(buff.data(), expected, sector_bytes));
    EXPECT_EQ(buff[0], 'A');
}

// Every disk the mount refuses names its reason in one line and is left byte for byte as it
// was; the disks are made by mkfs.fat and sfdisk, or are the small image with one field changed.
TEST_F(Volume, MountRefusesVolumesItCannotHandleSafely)
{
    constexpr uint64_t fat = 32; // the images' first FAT sector
    struct Case {
        const char* what;
        uint64_t lba;
        size_t offset;
        int width;
        uint32_t value;
        // The reason the mount gives after its own lines, as "fat32: error: <reason>; volume
        // refused."; a * stands for the clusters fsck.fat counts.
        const char* reason;
        bool fat32 = true; // a FAT32 boot sector: "Sectors per cluster" comes first
        int mib = 0;       // 0: the small image; else a disk of this size that `steps` make
        std::vector<std::string> steps = {};
        uint64_t unreadable = UINT64_MAX; // a sector every read of fails
    };
    const std::string signature = "printf '\\125\\252' | dd of=IMG bs=1 seek=510 conv=notrunc status=none";
    const std::string fat32_at_2048 = "mkfs.fat -F 32 --offset 2048 IMG";
    const Case cases[] = {
        {"FAT16", 0, 0, 0, 0, "a FAT16 volume (* clusters), not FAT32", false, 32, {"mkfs.fat -F 16 IMG"}},
        {"FAT12", 0, 0, 0, 0, "a FAT12 volume (* clusters), not FAT32", false, 4, {"mkfs.fat -F 12 IMG"}},
        {"all zero", 0, 0, 0, 0, "no file system or partition table on the disk", false, 16},
        {"exFAT", 0, 0, 0, 0, "an exFAT volume, not FAT32", false, 16,
            {"printf '\\353\\166\\220EXFAT   ' | dd of=IMG conv=notrunc status=none", signature}},
        {"NTFS", 0, 0, 0, 0, "an NTFS volume, not FAT32", false, 16,
            {"printf '\\353\\122\\220NTFS    ' | dd of=IMG conv=notrunc status=none", signature}},
        {"FAT32 in a Linux partition", 0, 0, 0, 0, "no partition in the MBR holds a FAT32 volume", false, 64,
            {"echo 'start=2048, type=83' | sfdisk -q IMG", fat32_at_2048}},
        {"FAT16 in a FAT32 partition", 0, 0, 0, 0, "no partition in the MBR holds a FAT32 volume", false, 64,
            {"echo 'start=2048, type=c' | sfdisk -q IMG", "mkfs.fat -F 16 --offset 2048 IMG"}},
        {"GPT", 0, 0, 0, 0, "GPT partition tables are not supported", false, 64,
            {"printf 'label: gpt\\nstart=2048, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n' | sfdisk -q IMG", fat32_at_2048}},
        // The protective MBR keeps the fields of the volume the disk held before.
        {"GPT over an old FAT32 boot sector", 0, 0, 0, 0, "GPT partition tables are not supported", false, 64,
            {"mkfs.fat -F 32 -I IMG", "printf 'label: gpt\\nstart=2048, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n' | sfdisk -q IMG",
                fat32_at_2048}},
        // Partition 2 holds a FAT32 volume too, but the user's is the first.
        {"partition 1 unreadable", 0, 0, 0, 0, "partition 1's boot sector cannot be read", false, 64,
            {"printf 'start=2048, size=8MiB, type=c\\nstart=18432, type=c\\n' | sfdisk -q IMG",
                "mkfs.fat -F 32 --offset 2048 IMG 4096", "mkfs.fat -F 32 --offset 18432 IMG"},
            2048},
        {"larger than its partition", 0, 0, 0, 0, "volume of 129024 sectors in a partition of 65536", true, 64,
            {"echo 'start=2048, size=32MiB, type=c' | sfdisk -q IMG", fat32_at_2048}},
        {"80 GiB on a 64 MiB disk", 0, 32, 32, 80u << 21, "volume of 167772160 sectors on a disk of 131072"},
        {"FAT16 system id", 0, 84, 16, '1' | '6' << 8, "the boot sector does not say FAT32", false},
        {"1024-byte sectors", 0, 11, 16, 1024, "unsupported sector or cluster size"},
        {"3 sectors per cluster", 0, 13, 8, 3, "unsupported sector or cluster size"},
        {"0 sectors per cluster", 0, 13, 8, 0, "unsupported sector or cluster size"},
        {"no FAT", 0, 16, 8, 0, "the boot sector describes no usable FAT"},
        {"mirroring off, FAT 2 of 2 active", 0, 40, 16, 0x0082, "FAT 2 is named active but the volume has 2 FATs"},
        {"FAT longer than the volume", 0, 36, 32, 200000, "the volume is smaller than its FATs"},
        {"FAT longer than FAT32 allows", 0, 36, 32, 0x10000000, "the boot sector describes no usable FAT"},
        {"root cluster 0", 0, 44, 32, 0, "root cluster 0 is not on the volume"},
        {"root cluster 1", 0, 44, 32, 1, "root cluster 1 is not on the volume"},
        {"root cluster past the end", 0, 44, 32, 0x0FFFFF00, "root cluster 268435200 is not on the volume"},
        {"volume smaller than its FATs", 0, 32, 32, 100, "the volume is smaller than its FATs"},
        // The root's own FAT entry: a free root would be handed out and written over.
        {"root marked free", fat, 2 * 4, 32, 0, "root cluster 2 is marked free in the FAT"},
        {"root linked past the volume", fat, 2 * 4, 32, 0x0FFFFF00, "root chain leaves the volume after cluster 2"},
        {"root linked to cluster 1", fat, 2 * 4, 32, 0xF0000001, "root chain leaves the volume after cluster 2"},
        {"root marked bad", fat, 2 * 4, 32, 0x0FFFFFF7, "root chain leaves the volume after cluster 2"},
        // A second root cluster that the FAT calls free.
        {"root chain into a free cluster", fat, 2 * 4, 32, 0x00001234, "root cluster 4660 is marked free in the FAT"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string reason = c.reason;
        if (c.mib == 0) {
            disk.copy_image_from(pristine_small());
            poke(disk, c.lba, c.offset, c.value, c.width / 8);
        } else {
            std::string image = fat32_test::make_disk("refused", c.mib, c.steps);
            ASSERT_TRUE(disk.load(image));
            // fsck.fat's report ends ", <used>/<clusters> clusters".
            std::string clusters = fsck(image).second;
            clusters = clusters.substr(clusters.rfind('/') + 1);
            if (size_t star = reason.find('*'); star != std::string::npos)
                reason.replace(star, 1, clusters.substr(0, clusters.find(' ')));
        }
        disk.reset_state();
        disk.fail_read_at(c.unreadable);
        fresh_machine();
        uint32_t blocks_before = heap_test::walk_heap().used_blocks;
        EXPECT_EQ(mount(), nullptr);
        // After the mount's own lines, "Sectors per cluster" for a FAT32 boot sector, then one
        // line naming the reason (after the disk's own line for a sector that cannot be read).
        std::vector<std::string> lines = fat32_ops::screen_lines();
        auto trim = std::find(lines.begin(), lines.end(), "trim_spaces");
        ASSERT_NE(trim, lines.end());
        std::vector<std::string> after(trim + 1, lines.end());
        if (c.unreadable != UINT64_MAX) {
            EXPECT_EQ(after.front(), "disk: error: reading sector " + std::to_string(c.unreadable) + " failed.");
            after.erase(after.begin());
        }
        ASSERT_EQ(after.size(), c.fat32 ? 2u : 1u) << sim::screen_text();
        if (c.fat32) {
            EXPECT_EQ(after[0].rfind("Sectors per cluster: ", 0), 0u);
        }
        EXPECT_EQ(after.back(), "fat32: error: " + reason + "; volume refused.");
        EXPECT_EQ(disk.sectors_written(), 0u);
        EXPECT_EQ(disk.out_of_range_requests(), 0);
        EXPECT_EQ(heap_test::walk_heap().used_blocks, blocks_before) << "a refused mount keeps no memory";
    }
    // The same image with its root intact mounts, and a root of two clusters is followed
    // to its end.
    disk.copy_image_from(pristine_small());
    poke(disk, fat, 2 * 4, 0x1234, 4);
    poke(disk, fat + 0x1234 / 128, (0x1234 % 128) * 4, 0x0FFFFFFF, 4);
    fresh_machine();
    EXPECT_NE(mount(), nullptr);
}

TEST_F(Volume, ClusterIoStaysInsideTheDataArea)
{
    fs = mount();
    ASSERT_NE(fs, nullptr);
    std::vector<uint8_t> buff(fs->cluster_size, 0x5A);
    sim::reset();
    disk.reset_state();
    for (uint32_t bad : {0u, 1u, fs->last_cluster + 1, 0x0FFFFFF7u}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(getCluster(fs, buff.data(), bad), 0);
        EXPECT_EQ(putCluster(fs, buff.data(), bad), 0);
        EXPECT_EQ(clear_cluster(fs, bad), 0);
    }
    EXPECT_EQ(disk.commands().size(), 0u);
    EXPECT_EQ(buff[0], 0x5A);

    sim::reset();
    EXPECT_EQ(getCluster(fs, buff.data(), 0x0FFFFFF8), 0);
    EXPECT_EQ(sim::screen_row_trimmed(0), "Can't get cluster. Hit End Of Chain.");
    EXPECT_EQ(buff[0], 0x5A);

    // The last cluster is the last sectors of the volume.
    EXPECT_EQ(sector_for_cluster(fs, fs->last_cluster), fs->volume_sectors - 1);
    EXPECT_EQ(putCluster(fs, buff.data(), fs->last_cluster), 1);
    EXPECT_EQ(disk.written_lbas().back(), fs->volume_sectors - 1u);
    EXPECT_EQ(disk.out_of_range_requests(), 0);
}

TEST_F(Volume, NextClusterMasksTheTopBitsAndEndsOutsideTheFat)
{
    fs = mount();
    ASSERT_NE(fs, nullptr);
    set_fat_entry(fs, 7, 0xF0000009);
    EXPECT_EQ(get_next_cluster_id(fs, 7), 9u);
    EXPECT_EQ(get_next_cluster_id(fs, fat_entry_count(fs)), 0x0FFFFFFFu);
    EXPECT_EQ(get_next_cluster_id(fs, 0xFFFFFFFF), 0x0FFFFFFFu);
    uint32_t value = 0x5A5A5A5A;
    EXPECT_EQ(fat_read_entry(fs, fat_entry_count(fs), &value), 0);
    EXPECT_EQ(value, 0x5A5A5A5Au);
    EXPECT_EQ(fat_write_entry(fs, fat_entry_count(fs), 0), 0);
}

TEST_F(Volume, AllocationStartsAtTheFsinfoHintAndZeroFillsTheCluster)
{
    fs = mount();
    ASSERT_NE(fs, nullptr);
    uint32_t hint = peek(disk, fs->bpb.sector_number_FSInfo, 492);
    uint32_t expected = first_free_on_disk(fs, hint);
    ASSERT_NE(expected, 0u);
    // Old contents in the cluster that is about to be handed out.
    uint8_t junk[sector_bytes];
    std::memset(junk, 0xEE, sizeof junk);
    disk.write_sector(sector_for_cluster(fs, expected), junk);

    uint32_t blocks = heap_test::walk_heap().used_blocks;
    uint32_t free_before = count_free_clusters(fs);
    uint32_t first = allocateCluster(fs);
    EXPECT_EQ(first, expected);
    EXPECT_EQ(fat_entry(fs, first), 0x0FFFFFFFu);
    EXPECT_EQ(fs->cluster_alloc_hint, first + 1);
    EXPECT_EQ(count_free_clusters(fs), free_before - 1);
    uint8_t stored[sector_bytes];
    disk.read_sector(sector_for_cluster(fs, first), stored);
    EXPECT_TRUE(std::all_of(stored, stored + sector_bytes, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(heap_test::walk_heap().used_blocks, blocks) << "the zero buffer is given back";
    // Nothing but the clean-shutdown mark (cleared in both FAT copies before the first write)
    // and the cluster itself was written; the FAT waits for the write-back.
    EXPECT_EQ(disk.written_lbas(), (std::vector<uint64_t>{fat_sector_of(fs, 0, 0), fat_sector_of(fs, 1, 0),
                                       sector_for_cluster(fs, first)}));

    uint32_t second = allocateCluster(fs);
    EXPECT_GT(second, first);
    for (uint32_t c = first + 1; c < second; ++c)
        EXPECT_NE(fat_entry(fs, c), 0u);
    EXPECT_EQ(flushFAT(fs), 1);
    // A cluster whose zero-fill does not reach the disk stays free.
    uint32_t third = second + 1;
    while (fat_entry(fs, third) != 0)
        ++third;
    disk.fail_write_at(sector_for_cluster(fs, third));
    EXPECT_EQ(allocateCluster(fs), 0u);
    EXPECT_EQ(fat_entry(fs, third), 0u);
    EXPECT_EQ(fs->cluster_alloc_hint, second + 1);
    EXPECT_EQ(count_free_clusters(fs), free_before - 2);
    disk.fail_write_at(UINT64_MAX);
    EXPECT_EQ(flushFAT(fs), 1) << "the write-back sets the mark again";
    adopt_chain(fs, first, 1, "FIRST   BIN");
    adopt_chain(fs, second, 1, "SECOND  BIN");
    save_checked("alloc-hint");
}

// The search goes on into FAT sectors that are not held yet, a chunk at a time, wraps below
// the hint at the last cluster, never hands out an entry past the last cluster, and leaves
// everything as it was when nothing is free.
TEST_F(Volume, AllocationCrossesIntoUnreadSectorsAndWrapsBelowTheHint)
{
    fs = mount();
    ASSERT_NE(fs, nullptr);
    ASSERT_EQ(fs->fat_chunks_loaded, 1u);
    // Everything from the hint to the end of the first chunk is taken: the first free
    // cluster is the first entry of the second chunk, read with one request.
    uint32_t hint = fat_chunk_entries - 300;
    for (uint32_t c = hint; c < fat_chunk_entries; ++c)
        set_fat_entry(fs, c, 0x0FFFFFFF);
    fs->cluster_alloc_hint = hint;
    disk.reset_state();
    EXPECT_EQ(allocate_cluster(fs, cluster_fill::by_caller), fat_chunk_entries);
    EXPECT_EQ(disk.command_count(AtaDisk::cmd_read48), 1);
    EXPECT_EQ(disk.sectors_read(), fat_chunk_sectors);
    EXPECT_EQ(disk.sectors_written(), 0u) << "claiming writes nothing";
    EXPECT_EQ(fs->fat_chunks_loaded, 2u);
    EXPECT_EQ(fs->cluster_alloc_hint, fat_chunk_entries + 1);

    // Everything from a hint near the end to the last cluster is in use; entries past the
    // last cluster are free in the FAT but do not belong to the volume.
    hint = fs->last_cluster - 10;
    for (uint32_t c = hint; c <= fs->last_cluster; ++c)
        set_fat_entry(fs, c, 0x0FFFFFFF);
    ASSERT_EQ(fat_entry(fs, fs->last_cluster + 1), 0u);
    fs->cluster_alloc_hint = hint;
    uint32_t lowest = 2;
    while (fat_entry(fs, lowest) != 0)
        ++lowest;
    EXPECT_EQ(allocateCluster(fs), lowest);
    EXPECT_EQ(fs->cluster_alloc_hint, lowest + 1);

    // Now fill every cluster: the next allocation finds nothing and changes nothing, and
    // the count it learnt answers the one after without a search.
    for (uint32_t c = 2; c <= fs->last_cluster; ++c) {
        if (fat_entry(fs, c) == 0)
            set_fat_entry(fs, c, 0x0FFFFFFF);
    }
    EXPECT_EQ(count_free_clusters(fs), 0u);
    fs->cluster_alloc_hint = 77;
    disk.reset_state();
    EXPECT_EQ(allocateCluster(fs), 0u);
    EXPECT_EQ(allocate_cluster(fs, cluster_fill::by_caller), 0u);
    EXPECT_EQ(fs->cluster_alloc_hint, 77u);
    EXPECT_EQ(disk.sectors_written(), 0u);
    EXPECT_EQ(disk.sectors_read(), 0u);
    // One cluster freed is found again, below the hint.
    set_fat_entry(fs, 40, 0);
    EXPECT_EQ(count_free_clusters(fs), 1u);
    EXPECT_EQ(allocate_cluster(fs, cluster_fill::by_caller), 40u);
    EXPECT_EQ(count_free_clusters(fs), 0u);
}

TEST_F(Volume, ChainReleaseFreesTheChainAndSurvivesBadLinks)
{
    fs = mount();
    ASSERT_NE(fs, nullptr);
    uint32_t free_before = count_free_clusters(fs);
    uint32_t a = allocateCluster(fs), b = allocateCluster(fs), c = allocateCluster(fs);
    set_fat_entry(fs, a, b);
    set_fat_entry(fs, b, c);
    ASSERT_EQ(flushFAT(fs), 1);
    EXPECT_EQ(count_free_clusters(fs), free_before - 3);
    EXPECT_EQ(zero_FAT_chain(fs, a), 1);
    EXPECT_EQ(fat_entry(fs, a), 0u);
    EXPECT_EQ(fat_entry(fs, b), 0u);
    EXPECT_EQ(fat_entry(fs, c), 0u);
    EXPECT_EQ(count_free_clusters(fs), free_before);
    expect_fat_copies_match(fs);
    save_checked("chain-release");

    // The top four bits of an entry are reserved: links that carry them are still links,
    // and the whole chain is released, not just its first cluster.
    a = allocateCluster(fs), b = allocateCluster(fs), c = allocateCluster(fs);
    set_fat_entry(fs, a, 0x30000000 | b);
    set_fat_entry(fs, b, 0xF0000000 | c);
    EXPECT_EQ(zero_FAT_chain(fs, a), 1);
    EXPECT_EQ(fat_entry(fs, b), 0u);
    EXPECT_EQ(fat_entry(fs, c), 0u);
    EXPECT_EQ(count_free_clusters(fs), free_before);
    save_checked("chain-release-reserved-bits");

    // A chain that loops back on itself and one that runs off the volume both end.
    uint32_t x = allocateCluster(fs), y = allocateCluster(fs), z = allocateCluster(fs);
    set_fat_entry(fs, x, y);
    set_fat_entry(fs, y, x);
    set_fat_entry(fs, z, fs->last_cluster + 5);
    EXPECT_EQ(zero_FAT_chain(fs, x), 1);
    EXPECT_EQ(zero_FAT_chain(fs, z), 1);
    EXPECT_EQ(fat_entry(fs, x), 0u);
    EXPECT_EQ(fat_entry(fs, y), 0u);
    EXPECT_EQ(fat_entry(fs, z), 0u);
    EXPECT_EQ(fat_entry(fs, fs->last_cluster + 5), 0u);
    // The reserved entries are never released through a chain.
    uint32_t fat1 = fat_entry(fs, 1);
    EXPECT_EQ(zero_FAT_chain(fs, 1), 1);
    EXPECT_EQ(zero_FAT_chain(fs, 0), 1);
    EXPECT_EQ(fat_entry(fs, 1), fat1);
    EXPECT_EQ(count_free_clusters(fs), free_before);
    EXPECT_EQ(count_free_clusters(fs), disk_free_count(disk, fs));
    save_checked("chain-release-bad-links");
}

TEST_F(Volume, WriteBackTouchesOnlyChangedSectorsInEveryCopyAndKeepsFsinfoExact)
{
    fs = mount();
    ASSERT_NE(fs, nullptr);
    uint32_t fsinfo = fs->bpb.sector_number_FSInfo;

    // Nothing changed: nothing is written, and an entry set to the value it has is no change.
    set_fat_entry(fs, 2, fat_entry(fs, 2));
    disk.reset_state();
    EXPECT_EQ(flushFAT(fs), 1);
    EXPECT_EQ(disk.sectors_written(), 0u);

    // One allocation changes one FAT sector: that sector goes to both copies, then FSInfo, then
    // the clean-shutdown mark, cleared before the allocation's zero-fill, is set again. FSInfo
    // is written from memory, not read first.
    uint32_t c = allocateCluster(fs);
    ASSERT_NE(c, 0u);
    disk.reset_state();
    EXPECT_EQ(flushFAT(fs), 1);
    const uint64_t mark[] = {fat_sector_of(fs, 0, 0), fat_sector_of(fs, 1, 0)};
    EXPECT_EQ(disk.written_lbas(),
        (std::vector<uint64_t>{fat_sector_of(fs, 0, c), fat_sector_of(fs, 1, c), fsinfo, mark[0], mark[1]}));
    EXPECT_EQ(disk.sectors_read(), 0u);
    EXPECT_EQ(peek(disk, fsinfo, 488), disk_free_count(disk, fs));
    EXPECT_EQ(peek(disk, fsinfo, 492), c + 1);

    // Entries changed in sectors far apart, one of them not held before, go out in
    // ascending order, and the disk ends up as a full write-back would leave it.
    uint32_t far = fs->last_cluster - 3;
    set_fat_entry(fs, far, 0x0FFFFFFF);
    set_fat_entry(fs, c, 0);
    disk.reset_state();
    EXPECT_EQ(flushFAT(fs), 1);
    // One freed and one used cluster leave FSInfo as it was: only the two FAT sectors, in both
    // copies, go out, between the mark cleared and set again.
    EXPECT_EQ(disk.written_lbas(), (std::vector<uint64_t>{mark[0], mark[1], fat_sector_of(fs, 0, c),
                                       fat_sector_of(fs, 1, c), fat_sector_of(fs, 0, far), fat_sector_of(fs, 1, far),
                                       mark[0], mark[1]}));
    expect_fat_copies_match(fs);
    EXPECT_EQ(peek(disk, fsinfo, 488), disk_free_count(disk, fs));
    // The hint still points past c, so the next free cluster is the one after it.
    EXPECT_EQ(peek(disk, fsinfo, 492), c + 1);
    EXPECT_EQ(fat_entry(fs, 1), peek(disk, fs->fat_begin_sector, 4)) << "FAT[1] and its clean bit are untouched";
    adopt_chain(fs, far, 1, "FAR     BIN");
    save_checked("write-back");
}

TEST_F(Volume, AFailedFatWriteIsReportedAndRetriedNextTime)
{
    fs = mount();
    ASSERT_NE(fs, nullptr);
    uint32_t fsinfo = fs->bpb.sector_number_FSInfo;
    uint32_t c = allocateCluster(fs);
    uint64_t second_copy = fat_sector_of(fs, 1, c);
    uint32_t info_before = peek(disk, fsinfo, 488);
    disk.fail_write_at(second_copy);
    EXPECT_EQ(flushFAT(fs), 0);
    EXPECT_EQ(zero_FAT_chain(fs, 0), 0);
    // FSInfo never describes a FAT the disk does not hold.
    EXPECT_EQ(peek(disk, fsinfo, 488), info_before);
    EXPECT_EQ(retry_pending_writes(fs), 0);
    EXPECT_EQ(peek(disk, fsinfo, 488), info_before);
    disk.fail_write_at(UINT64_MAX);
    disk.reset_state();
    EXPECT_EQ(retry_pending_writes(fs), 1);
    const uint64_t mark[] = {fat_sector_of(fs, 0, 0), fat_sector_of(fs, 1, 0)};
    EXPECT_EQ(disk.written_lbas(),
        (std::vector<uint64_t>{fat_sector_of(fs, 0, c), second_copy, fsinfo, mark[0], mark[1]}));
    expect_fat_copies_match(fs);
    EXPECT_EQ(peek(disk, fsinfo, 488), disk_free_count(disk, fs));
    // Nothing is pending any more: a retry touches no sector.
    disk.reset_state();
    EXPECT_EQ(retry_pending_writes(fs), 1);
    EXPECT_EQ(disk.commands().size(), 0u);
    adopt_chain(fs, c, 1, "RETRY   BIN");
    save_checked("retry");

    // A failed FSInfo write alone stays pending too and is retried without the FAT.
    uint32_t d = allocateCluster(fs);
    disk.fail_write_at(fsinfo);
    EXPECT_EQ(flushFAT(fs), 0);
    EXPECT_EQ(disk_fat(disk, fs, d), 0x0FFFFFFFu) << "the FAT itself went out";
    disk.fail_write_at(UINT64_MAX);
    disk.reset_state();
    EXPECT_EQ(retry_pending_writes(fs), 1);
    EXPECT_EQ(disk.written_lbas(), (std::vector<uint64_t>{fsinfo, mark[0], mark[1]}));
    EXPECT_EQ(peek(disk, fsinfo, 488), disk_free_count(disk, fs));
    adopt_chain(fs, d, 1, "FSINFO  BIN");
    save_checked("retry-fsinfo");
}

TEST_F(Volume, DestroyWritesBackAndReleasesEverything)
{
    uint32_t blocks = heap_test::walk_heap().used_blocks;
    fs = mount();
    ASSERT_NE(fs, nullptr);
    uint32_t c = allocateCluster(fs);
    f32 layout = *fs;
    f32* fs_layout = &layout;
    sim::reset();
    destroyFilesystem(fs);
    EXPECT_EQ(sim::screen_row_trimmed(0), "Destroying filesystem.");
    EXPECT_EQ(heap_test::walk_heap().used_blocks, blocks);
    EXPECT_EQ(disk_fat(disk, fs_layout, c), 0x0FFFFFFFu);
    adopt_chain(fs_layout, c, 1, "DESTROY BIN");
    save_checked("destroy");
}

// The FAT is read a chunk at a time, the first time an entry in it is used, and kept: a
// lookup that crosses into a chunk not read yet costs one request of fat_chunk_sectors, and
// the memory the volume holds grows by that chunk (and the table above it) only.
TEST_F(Volume, FatSectorsAreReadOnFirstUseOnlyOnceAndMemoryFollowsThem)
{
    fs = mount();
    ASSERT_NE(fs, nullptr);
    // A chain from the chunk the mount read into one it did not, written to the disk, then
    // mounted afresh.
    uint32_t a = allocateCluster(fs);
    uint32_t far = 5 * fat_chunk_entries + 17;
    ASSERT_EQ(fat_entry(fs, far), 0u);
    set_fat_entry(fs, a, far);
    set_fat_entry(fs, far, 0x0FFFFFFF);
    ASSERT_EQ(flushFAT(fs), 1);
    adopt_chain(fs, a, 2, "CROSS   BIN");
    destroyFilesystem(fs);
    fresh_machine();
    uint32_t heap_empty = heap_bytes_used();
    disk.reset_state();
    fs = mount();
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(fs->fat_chunks_loaded, 1u);
    uint32_t heap = heap_bytes_used();
    // The mount holds the record, the top table, one second-level table and one chunk.
    constexpr uint32_t header = sizeof(dynamic_mem_node);
    EXPECT_EQ(heap - heap_empty, sizeof(f32) + header + fat_leaf_count(fs) * sizeof(fat_leaf*) + header
            + sizeof(fat_leaf) + header + sizeof(fat_chunk) + header);

    disk.reset_state();
    EXPECT_EQ(get_next_cluster_id(fs, a), far);
    EXPECT_EQ(disk.commands().size(), 0u) << "the link is in the chunk the mount read";
    EXPECT_EQ(get_next_cluster_id(fs, far), 0x0FFFFFFFu);
    EXPECT_EQ(disk.command_count(AtaDisk::cmd_read48), 1);
    EXPECT_EQ(disk.sectors_read(), fat_chunk_sectors);
    EXPECT_EQ(fs->fat_chunks_loaded, 2u);
    EXPECT_EQ(heap_bytes_used() - heap, sizeof(fat_chunk) + header);
    // Every other entry of that chunk, read or written, costs nothing more.
    EXPECT_EQ(fat_entry(fs, 5 * fat_chunk_entries), disk_fat(disk, fs, 5 * fat_chunk_entries));
    EXPECT_EQ(fat_entry(fs, 6 * fat_chunk_entries - 1), disk_fat(disk, fs, 6 * fat_chunk_entries - 1));
    set_fat_entry(fs, far + 1, 0x0FFFFFFF);
    set_fat_entry(fs, far + 1, 0);
    EXPECT_EQ(get_next_cluster_id(fs, far), 0x0FFFFFFFu);
    EXPECT_EQ(disk.command_count(AtaDisk::cmd_read48), 1);
    EXPECT_EQ(disk.sectors_written(), 0u);

    // Releasing the volume gives all of it back.
    destroyFilesystem(fs);
    EXPECT_EQ(heap_bytes_used(), heap_empty);
    save_checked("first-use");
}

// A volume eight times larger costs the mount the same sectors and, but for one pointer per
// 2 MiB of FAT, the same memory; a chunk beyond the first second-level table brings its own.
TEST_F(Volume, MountCostDoesNotGrowWithTheVolume)
{
    static const std::string larger = make_image("volume-512m-s1", 512, 1);
    ASSERT_FALSE(larger.empty());
    uint32_t heap_small = 0;
    uint32_t leaves_small = 0;
    for (const std::string* image : {&small_image(), &larger}) {
        SCOPED_TRACE(*image);
        ASSERT_TRUE(disk.load(*image));
        fresh_machine();
        uint32_t heap_empty = heap_bytes_used();
        disk.reset_state();
        fs = mount();
        ASSERT_NE(fs, nullptr);
        EXPECT_EQ(disk.sectors_read(), 2u + fat_chunk_sectors);
        EXPECT_EQ(disk.command_count(AtaDisk::cmd_read48), 3);
        uint32_t heap = heap_bytes_used() - heap_empty;
        if (image == &small_image()) {
            heap_small = heap;
            leaves_small = fat_leaf_count(fs);
            continue;
        }
        ASSERT_GT(fat_leaf_count(fs), leaves_small);
        EXPECT_EQ(heap - heap_small, (fat_leaf_count(fs) - leaves_small) * sizeof(fat_leaf*));
        EXPECT_EQ(count_free_clusters(fs), disk_free_count(disk, fs)) << "FSInfo's count is trusted";
        EXPECT_EQ(disk.sectors_read(), 2u + fat_chunk_sectors);

        uint32_t beyond = fat_leaf_chunks * fat_chunk_entries + 5;
        ASSERT_LE(beyond, fs->last_cluster);
        heap = heap_bytes_used();
        disk.reset_state();
        EXPECT_EQ(fat_entry(fs, beyond), 0u);
        EXPECT_EQ(disk.sectors_read(), fat_chunk_sectors);
        EXPECT_EQ(heap_bytes_used() - heap, sizeof(fat_leaf) + sizeof(fat_chunk) + 2 * sizeof(dynamic_mem_node));
    }
}

// FSInfo's free count and hint are taken as they are when its signatures hold and the values
// are in range; otherwise the hint starts at the beginning and the count is made the first
// time it is needed, once, reading every FAT sector without keeping them.
TEST_F(Volume, FsinfoIsTrustedWhenValidAndCountedOtherwise)
{
    uint32_t fsinfo = 0;
    {
        fs = mount();
        ASSERT_NE(fs, nullptr);
        fsinfo = fs->bpb.sector_number_FSInfo;
    }
    const AtaDisk& pristine = pristine_small();
    uint32_t true_free = peek(pristine, fsinfo, 488);

    // In range, even if wrong: believed, and nothing of the FAT is read to check it.
    disk.copy_image_from(pristine);
    poke(disk, fsinfo, 488, 1000, 4);
    poke(disk, fsinfo, 492, 500, 4);
    fresh_machine();
    disk.reset_state();
    fs = mount();
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(fs->cluster_alloc_hint, 500u);
    EXPECT_EQ(count_free_clusters(fs), 1000u);
    EXPECT_EQ(disk.sectors_read(), 2u + fat_chunk_sectors);
    EXPECT_EQ(allocateCluster(fs), 500u);
    EXPECT_EQ(count_free_clusters(fs), 999u);

    struct Case {
        const char* what;
        size_t offset;
        uint32_t value;
        bool valid; // the sector is still an FSInfo sector
        bool hint;  // the hint survives
    };
    const Case cases[] = {
        {"lead signature", 0, 0x41615253, false, false},
        {"structure signature", 484, 0, false, false},
        {"trail signature", 508, 0xAA550001, false, false},
        {"free count unknown", 488, 0xFFFFFFFF, true, true},
        {"free count above the cluster count", 488, 0, true, true}, // set below
        {"hint unknown", 492, 0xFFFFFFFF, true, false},
        {"hint on a reserved entry", 492, 1, true, false},
        {"hint past the last cluster", 492, 0, true, false}, // set below
    };
    for (Case c : cases) {
        SCOPED_TRACE(c.what);
        disk.copy_image_from(pristine);
        fresh_machine();
        fs = mount();
        ASSERT_NE(fs, nullptr);
        uint32_t clusters = fs->last_cluster - 1;
        uint32_t spf = fs->bpb.count_sectors_per_FAT32;
        if (c.value == 0)
            c.value = c.offset == 488 ? clusters + 1 : fs->last_cluster + 1;
        destroyFilesystem(fs);
        disk.copy_image_from(pristine);
        uint32_t hint_on_disk = peek(disk, fsinfo, 492);
        poke(disk, fsinfo, c.offset, c.value, 4);
        fresh_machine();
        disk.reset_state();
        fs = mount();
        ASSERT_NE(fs, nullptr);
        EXPECT_EQ(disk.sectors_read(), 2u + fat_chunk_sectors) << "the mount counts nothing";
        EXPECT_EQ(fs->fsinfo_valid, c.valid ? 1 : 0);
        EXPECT_EQ(fs->cluster_alloc_hint, c.hint ? hint_on_disk : 0u);
        uint32_t count_from_fsinfo = c.offset == 488 || !c.valid ? 0 : true_free;
        if (count_from_fsinfo) {
            EXPECT_EQ(count_free_clusters(fs), true_free);
            continue;
        }
        // Counted on first use: every FAT sector up to the last cluster but the held chunk,
        // none of them kept, and never again.
        uint32_t heap = heap_bytes_used();
        disk.reset_state();
        EXPECT_EQ(count_free_clusters(fs), true_free);
        uint32_t counted_sectors = (fs->last_cluster / fat_chunk_entries + 1) * fat_chunk_sectors;
        if (counted_sectors > spf)
            counted_sectors = spf;
        EXPECT_EQ(disk.sectors_read(), counted_sectors - fat_chunk_sectors);
        EXPECT_EQ(disk.command_count(AtaDisk::cmd_read48), 1) << "the sectors not held, in one request";
        EXPECT_EQ(fs->fat_chunks_loaded, 1u);
        EXPECT_EQ(heap_bytes_used(), heap);
        disk.reset_state();
        EXPECT_EQ(count_free_clusters(fs), true_free);
        EXPECT_EQ(disk.sectors_read(), 0u);

        // A write-back makes a valid FSInfo exact again, and leaves an invalid one alone.
        uint32_t cl = allocateCluster(fs);
        ASSERT_NE(cl, 0u);
        disk.reset_state();
        EXPECT_EQ(flushFAT(fs), 1);
        const auto& written = disk.written_lbas();
        EXPECT_EQ(std::find(written.begin(), written.end(), fsinfo) != written.end(), c.valid);
        if (c.valid) {
            EXPECT_EQ(peek(disk, fsinfo, 488), disk_free_count(disk, fs));
            adopt_chain(fs, cl, 1, "COUNTED BIN");
            save_checked(std::string("fsinfo-") + (c.offset == 488 ? "count" : "hint"));
        }
    }
}

// Files and directories created and deleted through the file layer, one creation failing:
// the count the volume keeps is the disk's at every step, and so is FSInfo's.
TEST_F(Volume, FreeCountStaysExactThroughCreationsAndDeletions)
{
    fs = mount();
    ASSERT_NE(fs, nullptr);
    uint32_t fsinfo = fs->bpb.sector_number_FSInfo;
    auto expect_exact = [&](const char* step) {
        SCOPED_TRACE(step);
        uint32_t on_disk = disk_free_count(disk, fs);
        EXPECT_EQ(count_free_clusters(fs), on_disk);
        EXPECT_EQ(peek(disk, fsinfo, 488), on_disk);
    };
    directory root{};
    std::vector<uint8_t> data(3 * 512 + 7, 'q');
    char a[] = "three and a bit.bin";
    char b[] = "small.txt";
    char sub[] = "subdir";
    uint32_t before = count_free_clusters(fs);
    writeFile(fs, &root, data.data(), a, static_cast<uint32_t>(data.size()));
    expect_exact("a file of four clusters");
    EXPECT_EQ(count_free_clusters(fs), before - 4);
    mkdir(fs, &root, sub);
    expect_exact("a directory");
    writeFile(fs, &root, data.data(), b, 10);
    expect_exact("a one-cluster file");
    delFile(fs, &root, a);
    expect_exact("the four-cluster file deleted");
    EXPECT_EQ(count_free_clusters(fs), before - 2);

    // A creation whose data cannot be written leaves the count as it was.
    uint32_t at = count_free_clusters(fs);
    uint32_t next = next_allocation(fs);
    disk.fail_write_at(sector_for_cluster(fs, next));
    char c[] = "failing.bin";
    writeFile(fs, &root, data.data(), c, 600);
    disk.fail_write_at(UINT64_MAX);
    EXPECT_EQ(count_free_clusters(fs), at);
    retry_pending_writes(fs);
    expect_exact("a failed creation");
    delFile(fs, &root, b);
    expect_exact("the small file deleted");
    save_checked("free-count");
}

// A FAT sector that cannot be read fails the lookup, the change, the allocation or the
// release that needs it, and leaves the FAT, the count, the hint, the memory and the disk
// as they were; once the drive answers again the same calls work.
TEST_F(Volume, AFailedFatReadFailsTheOperationAndChangesNothing)
{
    fs = mount();
    ASSERT_NE(fs, nullptr);
    uint32_t far = 7 * fat_chunk_entries + 3;
    uint32_t held = 100;
    ASSERT_EQ(fat_entry(fs, held), 0u);
    uint32_t free_before = count_free_clusters(fs);
    uint32_t hint = fs->cluster_alloc_hint;
    uint32_t chunks = fs->fat_chunks_loaded;
    uint32_t blocks = heap_test::walk_heap().used_blocks;
    uint32_t heap = heap_bytes_used();

    disk.set_mode(AtaDisk::Mode::error);
    disk.reset_state();
    sim::reset();
    uint32_t value = 0xABCD;
    EXPECT_EQ(fat_read_entry(fs, far, &value), 0);
    EXPECT_EQ(value, 0xABCDu);
    EXPECT_EQ(fat_write_entry(fs, far, 5), 0);
    EXPECT_EQ(get_next_cluster_id(fs, far), 0x0FFFFFFFu);
    // The search starts in the unread chunk.
    fs->cluster_alloc_hint = far;
    EXPECT_EQ(allocateCluster(fs), 0u);
    EXPECT_EQ(allocate_cluster(fs, cluster_fill::by_caller), 0u);
    EXPECT_EQ(fs->cluster_alloc_hint, far);
    fs->cluster_alloc_hint = hint;
    // A release whose chain runs into the unread chunk frees nothing, not even its start.
    ASSERT_EQ(fat_write_entry(fs, held, far), 1);
    EXPECT_EQ(count_free_clusters(fs), free_before - 1);
    EXPECT_EQ(zero_FAT_chain(fs, held), 0);
    uint32_t link = 0;
    EXPECT_EQ(fat_read_entry(fs, held, &link), 1);
    EXPECT_EQ(link, far);
    EXPECT_EQ(count_free_clusters(fs), free_before - 1);
    EXPECT_EQ(fs->fat_chunks_loaded, chunks);
    EXPECT_EQ(heap_test::walk_heap().used_blocks, blocks);
    EXPECT_EQ(heap_bytes_used(), heap);
    EXPECT_EQ(disk.sectors_written(), 0u);
    EXPECT_FALSE(fat32_ops::screen_lines().empty()) << "the disk layer reports the failed reads";

    disk.set_mode(AtaDisk::Mode::present);
    disk.reset_state();
    EXPECT_EQ(get_next_cluster_id(fs, far), disk_fat(disk, fs, far) & 0x0FFFFFFF);
    set_fat_entry(fs, held, 0);
    EXPECT_EQ(count_free_clusters(fs), free_before);
    EXPECT_EQ(fs->fat_chunks_loaded, chunks + 1);
}

// A shell command that finds FAT or FSInfo sectors pending from a failed write writes them
// first, then sets the clean-shutdown mark again. A failed FAT write undoes the creation, so the
// volume stays as it was but for the mark, and only the first copy's sector waits to be written
// again; a failed FSInfo write keeps the new entry and leaves the free-cluster summary stale
// until the next command. A mkhello that is refused ("already exists") heals as well as ls.
TEST_F(Volume, TheNextShellCommandHealsAFailedWrite)
{
    struct Case {
        const char* failing; // the write that fails: the FAT sector or FSInfo
        const char* healer;
        const char* says;
        const char* error; // the creation's own line
        std::vector<std::string> before; // what fsck finds before the heal
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"fat", "ls", "[0] /   0 clusters: [1]", "mkdir: error: could not write the FAT for hello", {"Dirty bit is set"},
         {"docs", "three.bin"}},
        {"fsinfo", "mkhello", "mkdir: error: hello already exists", "mkdir: error: could not write FSInfo for hello",
         {"Dirty bit is set", "Free cluster summary wrong"}, {"docs", "hello", "three.bin"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing);
        disk.copy_image_from(pristine_small());
        fresh_machine();
        fs = mount();
        ASSERT_NE(fs, nullptr);
        start_global_config();
        master_fs = fs;
        // The new directory's entry lies beyond the FAT's first sector, which the writes of the
        // clean-shutdown mark reach before any other.
        fs->cluster_alloc_hint = fat32_entries_per_sector;
        uint32_t cluster = next_allocation(fs);
        bool fat = std::string(c.failing) == "fat";
        disk.fail_write_at(fat ? fat_sector_of(fs, 0, cluster) : fs->bpb.sector_number_FSInfo);
        sim::reset();
        execute_vorn("mkhello");
        // The disk reports each failed transfer itself; the creation adds one line of its own.
        std::vector<std::string> lines = fat32_ops::screen_lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), c.error) << sim::screen_text();
        for (size_t i = 0; i + 1 < lines.size(); ++i)
            EXPECT_EQ(lines[i], "DISK SET ERROR STATUS!");
        std::string broken = fat32_test::image_dir() + "/heal-" + c.failing + "-broken.img";
        ASSERT_TRUE(disk.save(broken));
        fat32_test::expect_clean(broken, c.before);

        disk.fail_write_at(UINT64_MAX);
        disk.reset_state();
        sim::reset();
        std::string command = c.healer;
        execute_vorn(command.data());
        EXPECT_EQ(fat32_ops::screen_lines(), std::vector<std::string>{c.says});
        EXPECT_FALSE(disk.written_lbas().empty());
        std::string healed = fat32_test::image_dir() + "/heal-" + c.failing + ".img";
        ASSERT_TRUE(disk.save(healed));
        fat32_test::expect_clean(healed);
        EXPECT_EQ(fat32_ops::mdir_names(healed, "/"), c.names);
        // Nothing pending: the next command writes nothing before its own work.
        disk.reset_state();
        execute_vorn("ls");
        EXPECT_EQ(disk.sectors_written(), 0u);
        master_fs = nullptr;
    }
}

TEST(VolumeBytes, LittleEndianReadersAndSpaceTrimming)
{
    uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0xFF};
    EXPECT_EQ(readi16(bytes, 1), 0x0302);
    EXPECT_EQ(readi32(bytes, 1), 0xFF040302u);

    char id[] = "FAT32   ";
    trim_spaces(id, 8);
    EXPECT_STREQ(id, "FAT32");
    // The scan does not stop at a NUL and includes index max.
    char late[] = {'A', '\0', 'B', ' ', 'C', '\0'};
    trim_spaces(late, 3);
    EXPECT_EQ(late[3], '\0');
    char none[] = {'A', 'B', 'C', '\0', ' ', '\0'};
    trim_spaces(none, 3);
    EXPECT_EQ(none[4], ' ');
}

// Mount and use volumes whose boot sector and FAT are mutated at random: whatever they
// claim, nothing crashes, hangs, or is written outside the volume's data area, its FATs
// and its FSInfo sector.
TEST_F(Volume, FuzzedBootSectorsAndChainsNeverEscapeTheVolume)
{
    const AtaDisk& pristine = pristine_small();
    std::mt19937 rng(20240601);
    constexpr size_t boot_fields_end = 90;
    constexpr int rounds = 150;
    int mounted = 0;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(round);
        sim::reset();
        sim::set_port_logging(false);
        init_dmem();
        // Put back the boot sector, the first FAT sector and every sector the previous
        // round wrote, then mutate.
        std::vector<uint64_t> restore = disk.written_lbas();
        restore.push_back(0);
        restore.push_back(32);
        uint8_t sector[sector_bytes];
        for (uint64_t lba : restore) {
            pristine.read_sector(lba, sector);
            disk.write_sector(lba, sector);
        }
        disk.reset_state();
        int mutations = 1 + static_cast<int>(rng() % 4);
        for (int m = 0; m < mutations; ++m) {
            if (rng() % 3 == 0) {
                // A FAT entry of the first copy, often a link to somewhere odd.
                uint32_t entry = rng() % 64;
                uint32_t values[] = {0, 1, entry, entry + 1, 0x0FFFFFF7, 0x0FFFFFF8, static_cast<uint32_t>(rng())};
                poke(disk, 32, entry * 4, values[rng() % 7], 4);
            } else {
                size_t offset = 11 + rng() % (boot_fields_end - 11);
                poke(disk, 0, offset, rng(), 1);
            }
        }
        fs = mount();
        if (!fs)
            continue;
        ++mounted;
        // Walk chains, allocate, release and write back the way the file operations do.
        for (uint32_t start = 2; start < 12; ++start) {
            uint32_t cl = start;
            for (uint32_t steps = 0; is_data_cluster(fs, cl) && steps <= fs->last_cluster; ++steps)
                cl = get_next_cluster_id(fs, cl);
        }
        uint32_t a = allocateCluster(fs);
        uint32_t b = allocateCluster(fs);
        if (a && b)
            fat_write_entry(fs, a, b);
        zero_FAT_chain(fs, 3);
        zero_FAT_chain(fs, a);
        count_free_clusters(fs);
        std::vector<uint8_t> buff(fs->cluster_size);
        getCluster(fs, buff.data(), fs->root_cluster);
        putCluster(fs, buff.data(), fs->root_cluster);
        flushFAT(fs);

        EXPECT_EQ(disk.out_of_range_requests(), 0);
        for (uint64_t lba : disk.written_lbas()) {
            bool fat = lba >= fs->fat_begin_sector && lba < fs->cluster_begin_sector;
            bool data = lba >= fs->cluster_begin_sector && lba < fs->volume_sectors;
            bool info = fs->fsinfo_valid && lba == fs->bpb.sector_number_FSInfo;
            EXPECT_TRUE(fat || data || info) << "wrote LBA " << lba;
            EXPECT_LT(lba, disk.sector_count());
        }
        destroyFilesystem(fs);
    }
    // The mutations must leave enough volumes mountable for the use above to run.
    EXPECT_GT(mounted, rounds / 4);
}

} // namespace
