// The FAT32 volume layer on real mkfs.fat images through the simulated ATA disk: mount,
// geometry refusal, cluster I/O limits, allocation, chain release, FAT and FSInfo write-back.
// Every test that writes saves the image and has fsck.fat check it.
#include "drivers/fs/fat32.hpp"

#include "cpu/mem.hpp"
#include "tests/sim/ata.hpp"
#include "tests/sim/sim.hpp"
#include "tests/unit/fat32_image.hpp"

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
using sim::AtaDisk;

constexpr uint32_t sector_bytes = 512;

std::string row(int r)
{
    std::string s = sim::screen_row(r);
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
}

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

uint32_t disk_u32(AtaDisk& disk, uint64_t lba, size_t offset)
{
    uint8_t sector[sector_bytes];
    disk.read_sector(lba, sector);
    return readi32(sector, offset);
}

// Stores `bytes` bytes of `value`, least significant first, at `offset` of sector `lba`.
void poke(AtaDisk& disk, uint64_t lba, size_t offset, uint32_t value, int bytes)
{
    uint8_t sector[sector_bytes];
    disk.read_sector(lba, sector);
    for (int i = 0; i < bytes; ++i)
        sector[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    disk.write_sector(lba, sector);
}

class Volume : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        init_dmem();
        ASSERT_FALSE(small_image().empty()) << "mkfs.fat or mtools failed";
        disk.copy_image_from(pristine_small());
        ASSERT_EQ(disk.sector_count(), 64u * 2048);
        disk.reset_state();
        sim::reset();
    }

    f32* mount()
    {
        char kind[] = "fat32";
        return makeFilesystem(kind);
    }

    void expect_clean_volume(const std::string& name)
    {
        std::string path = fat32_test::image_dir() + "/" + name + ".img";
        ASSERT_TRUE(disk.save(path));
        fat32_test::expect_clean(path);
    }

    // Gives a chain of allocated clusters to a new file in the root directory, written
    // straight to the disk, so that fsck.fat sees the clusters in use rather than lost.
    void adopt_chain(f32* fs, uint32_t first, uint32_t clusters, const char* name83)
    {
        uint64_t lba = fs->cluster_begin_sector;
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
            uint32_t size = clusters * fs->cluster_size;
            for (int i = 0; i < 4; ++i)
                e[28 + i] = static_cast<uint8_t>(size >> (8 * i));
            disk.write_sector(lba, sector);
            return;
        }
        FAIL() << "no free slot in the root directory's first sector";
    }

    // Both FAT copies on the disk, compared with the array a full write-back would leave.
    void expect_fat_copies_match(f32* fs)
    {
        uint32_t spf = fs->bpb.count_sectors_per_FAT32;
        for (uint32_t copy = 0; copy < fs->bpb.FAT_count; ++copy) {
            for (uint32_t s = 0; s < spf; ++s) {
                uint8_t sector[sector_bytes];
                disk.read_sector(fs->fat_begin_sector + copy * spf + s, sector);
                ASSERT_EQ(0, std::memcmp(sector, fs->FAT + s * 128, sector_bytes))
                    << "copy " << copy << " sector " << s;
            }
        }
    }

    AtaDisk disk;
};

TEST_F(Volume, MountPrintsItsStepsAndDerivesTheLayout)
{
    f32* fs = mount();
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(row(0), "Status indicates presence of a drive. Polling while STAT_BSY... Done.");
    EXPECT_EQ(row(3), "Success. Disk is ready to go.");
    EXPECT_EQ(row(4), "Filesystem identified!");
    EXPECT_EQ(row(5), "trim_spaces");
    EXPECT_EQ(row(6), "Sectors per cluster: 1");
    EXPECT_EQ(row(7), "");

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
    EXPECT_EQ(fs->cluster_alloc_hint, 0u);
    EXPECT_EQ(fs->root_cluster, 2u);
    EXPECT_EQ(fs->volume_sectors, 64u * 2048);
    EXPECT_EQ(fs->last_cluster, fs->volume_sectors - fs->cluster_begin_sector + 1);
    // mkfs.fat gives the FAT room for more entries than the volume has clusters.
    EXPECT_GT(fs->fat_entries, fs->last_cluster + 1);

    // The array is the disk's first FAT, and mkfs.fat's own free count agrees with ours.
    for (uint32_t s = 0; s < bpb->count_sectors_per_FAT32; s += 97) {
        uint8_t sector[sector_bytes];
        disk.read_sector(fs->fat_begin_sector + s, sector);
        EXPECT_EQ(0, std::memcmp(sector, fs->FAT + s * 128, sector_bytes)) << "FAT sector " << s;
    }
    EXPECT_EQ(fs->FAT[0] & 0x0FFFFFFF, 0x0FFFFFF8u);
    EXPECT_TRUE(fs->fsinfo_valid);
    EXPECT_EQ(count_free_clusters(fs), fs->fsinfo_free_count);

    // The FAT came in a few large reads, and mounting wrote nothing.
    uint32_t batches = (bpb->count_sectors_per_FAT32 + 127) / 128;
    EXPECT_EQ(disk.command_count(AtaDisk::cmd_read48), static_cast<int>(1 + batches + 1));
    EXPECT_EQ(disk.sectors_written(), 0u);
}

TEST_F(Volume, MountOfALargeVolumeWithEightSectorClusters)
{
    ASSERT_FALSE(large_image().empty());
    ASSERT_TRUE(disk.load(large_image()));
    disk.reset_state();
    f32* fs = mount();
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(row(6), "Sectors per cluster: 8");
    EXPECT_EQ(fs->cluster_size, 4096u);
    EXPECT_EQ(fs->last_cluster, (fs->volume_sectors - fs->cluster_begin_sector) / 8 + 1);
    EXPECT_EQ(count_free_clusters(fs), fs->fsinfo_free_count);
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

TEST_F(Volume, MountRefusesVolumesItCannotHandleSafely)
{
    struct Case {
        const char* what;
        size_t offset;
        int width;
        uint32_t value;
    };
    const Case cases[] = {
        {"FAT16 system id", 84, 16, '1' | '6' << 8}, // "FAT32" becomes "FAT16"
        {"1024-byte sectors", 11, 16, 1024},
        {"3 sectors per cluster", 13, 8, 3},
        {"0 sectors per cluster", 13, 8, 0},
        {"no FAT", 16, 8, 0},
        {"FAT longer than the volume", 36, 32, 200000},
        {"FAT too big for the heap", 36, 32, 0x10000000},
        {"root cluster 0", 44, 32, 0},
        {"root cluster 1", 44, 32, 1},
        {"root cluster past the end", 44, 32, 0x0FFFFF00},
        {"volume smaller than its FATs", 32, 32, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        disk.copy_image_from(pristine_small());
        disk.reset_state();
        sim::reset();
        init_dmem();
        poke(disk, 0, c.offset, c.value, c.width / 8);
        int blocks_before = fat32_test::used_blocks();
        EXPECT_EQ(mount(), nullptr);
        EXPECT_EQ(disk.sectors_written(), 0u);
        EXPECT_EQ(disk.out_of_range_requests(), 0);
        EXPECT_EQ(fat32_test::used_blocks(), blocks_before) << "a refused mount keeps no memory";
    }
}

TEST_F(Volume, ClusterIoStaysInsideTheDataArea)
{
    f32* fs = mount();
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
    EXPECT_EQ(row(0), "Can't get cluster. Hit End Of Chain.");
    EXPECT_EQ(buff[0], 0x5A);

    // The last cluster is the last sectors of the volume.
    EXPECT_EQ(sector_for_cluster(fs, fs->last_cluster), fs->volume_sectors - 1);
    EXPECT_EQ(putCluster(fs, buff.data(), fs->last_cluster), 1);
    EXPECT_EQ(disk.written_lbas().back(), fs->volume_sectors - 1u);
    EXPECT_EQ(disk.out_of_range_requests(), 0);
}

TEST_F(Volume, NextClusterMasksTheTopBitsAndEndsOutsideTheFat)
{
    f32* fs = mount();
    ASSERT_NE(fs, nullptr);
    fs->FAT[7] = 0xF0000009;
    EXPECT_EQ(get_next_cluster_id(fs, 7), 9u);
    EXPECT_EQ(get_next_cluster_id(fs, fs->fat_entries), 0x0FFFFFFFu);
    EXPECT_EQ(get_next_cluster_id(fs, 0xFFFFFFFF), 0x0FFFFFFFu);
}

TEST_F(Volume, AllocationTakesTheLowestFreeClusterAndZeroFillsIt)
{
    f32* fs = mount();
    ASSERT_NE(fs, nullptr);
    uint32_t lowest = 2;
    while (fs->FAT[lowest] != 0)
        ++lowest;
    // Old contents in the cluster that is about to be handed out.
    uint8_t junk[sector_bytes];
    std::memset(junk, 0xEE, sizeof junk);
    disk.write_sector(sector_for_cluster(fs, lowest), junk);

    int blocks = fat32_test::used_blocks();
    uint32_t first = allocateCluster(fs);
    EXPECT_EQ(first, lowest);
    EXPECT_EQ(fs->FAT[first], 0x0FFFFFFFu);
    EXPECT_EQ(fs->cluster_alloc_hint, first + 1);
    uint8_t stored[sector_bytes];
    disk.read_sector(sector_for_cluster(fs, first), stored);
    EXPECT_TRUE(std::all_of(stored, stored + sector_bytes, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(fat32_test::used_blocks(), blocks) << "the zero buffer is given back";
    // Nothing but the cluster itself was written; the FAT waits for the write-back.
    EXPECT_EQ(disk.written_lbas(), std::vector<uint64_t>{sector_for_cluster(fs, first)});

    uint32_t second = allocateCluster(fs);
    EXPECT_GT(second, first);
    for (uint32_t c = first + 1; c < second; ++c)
        EXPECT_NE(fs->FAT[c], 0u);
    EXPECT_EQ(flushFAT(fs), 1);
    // A cluster whose zero-fill does not reach the disk stays free.
    uint32_t third = second + 1;
    while (fs->FAT[third] != 0)
        ++third;
    disk.fail_write_at(sector_for_cluster(fs, third));
    EXPECT_EQ(allocateCluster(fs), 0u);
    EXPECT_EQ(fs->FAT[third], 0u);
    EXPECT_EQ(fs->cluster_alloc_hint, second + 1);
    disk.fail_write_at(UINT64_MAX);
    adopt_chain(fs, first, 1, "FIRST   BIN");
    adopt_chain(fs, second, 1, "SECOND  BIN");
    expect_clean_volume("alloc-lowest");
}

TEST_F(Volume, AllocationWrapsBelowTheHintAndStopsAtTheLastCluster)
{
    f32* fs = mount();
    ASSERT_NE(fs, nullptr);
    // Everything from the hint to the last cluster is in use; entries past the last
    // cluster are free in the array but do not belong to the volume.
    uint32_t hint = fs->last_cluster - 10;
    for (uint32_t c = hint; c <= fs->last_cluster; ++c)
        fs->FAT[c] = 0x0FFFFFFF;
    ASSERT_EQ(fs->FAT[fs->last_cluster + 1], 0u);
    fs->cluster_alloc_hint = hint;
    uint32_t lowest = 2;
    while (fs->FAT[lowest] != 0)
        ++lowest;
    EXPECT_EQ(allocateCluster(fs), lowest);
    EXPECT_EQ(fs->cluster_alloc_hint, lowest + 1);

    // Now fill every cluster: the next allocation finds nothing and changes nothing.
    for (uint32_t c = 2; c <= fs->last_cluster; ++c) {
        if (fs->FAT[c] == 0)
            fs->FAT[c] = 0x0FFFFFFF;
    }
    fs->cluster_alloc_hint = 77;
    disk.reset_state();
    EXPECT_EQ(allocateCluster(fs), 0u);
    EXPECT_EQ(fs->cluster_alloc_hint, 77u);
    EXPECT_EQ(disk.sectors_written(), 0u);
    EXPECT_EQ(count_free_clusters(fs), 0u);
}

TEST_F(Volume, ChainReleaseFreesTheChainAndSurvivesBadLinks)
{
    f32* fs = mount();
    ASSERT_NE(fs, nullptr);
    uint32_t free_before = count_free_clusters(fs);
    uint32_t a = allocateCluster(fs), b = allocateCluster(fs), c = allocateCluster(fs);
    fs->FAT[a] = b;
    fs->FAT[b] = c;
    ASSERT_EQ(flushFAT(fs), 1);
    EXPECT_EQ(count_free_clusters(fs), free_before - 3);
    EXPECT_EQ(zero_FAT_chain(fs, a), 1);
    EXPECT_EQ(fs->FAT[a], 0u);
    EXPECT_EQ(fs->FAT[b], 0u);
    EXPECT_EQ(fs->FAT[c], 0u);
    EXPECT_EQ(count_free_clusters(fs), free_before);
    expect_fat_copies_match(fs);
    expect_clean_volume("chain-release");

    // The top four bits of an entry are reserved: links that carry them are still links,
    // and the whole chain is released, not just its first cluster.
    a = allocateCluster(fs), b = allocateCluster(fs), c = allocateCluster(fs);
    fs->FAT[a] = 0x30000000 | b;
    fs->FAT[b] = 0xF0000000 | c;
    EXPECT_EQ(zero_FAT_chain(fs, a), 1);
    EXPECT_EQ(fs->FAT[b], 0u);
    EXPECT_EQ(fs->FAT[c], 0u);
    EXPECT_EQ(count_free_clusters(fs), free_before);
    expect_clean_volume("chain-release-reserved-bits");

    // A chain that loops back on itself and one that runs off the volume both end.
    uint32_t x = allocateCluster(fs), y = allocateCluster(fs), z = allocateCluster(fs);
    fs->FAT[x] = y;
    fs->FAT[y] = x;
    fs->FAT[z] = fs->last_cluster + 5;
    EXPECT_EQ(zero_FAT_chain(fs, x), 1);
    EXPECT_EQ(zero_FAT_chain(fs, z), 1);
    EXPECT_EQ(fs->FAT[x], 0u);
    EXPECT_EQ(fs->FAT[y], 0u);
    EXPECT_EQ(fs->FAT[z], 0u);
    EXPECT_EQ(fs->FAT[fs->last_cluster + 5], 0u);
    // The reserved entries are never released through a chain.
    uint32_t fat1 = fs->FAT[1];
    EXPECT_EQ(zero_FAT_chain(fs, 1), 1);
    EXPECT_EQ(zero_FAT_chain(fs, 0), 1);
    EXPECT_EQ(fs->FAT[1], fat1);
    expect_clean_volume("chain-release-bad-links");
}

TEST_F(Volume, WriteBackTouchesOnlyChangedSectorsInEveryCopyAndKeepsFsinfoExact)
{
    f32* fs = mount();
    ASSERT_NE(fs, nullptr);
    uint32_t spf = fs->bpb.count_sectors_per_FAT32;
    uint32_t fsinfo = fs->bpb.sector_number_FSInfo;

    // Nothing changed: nothing is written.
    disk.reset_state();
    EXPECT_EQ(flushFAT(fs), 1);
    EXPECT_EQ(disk.sectors_written(), 0u);

    // One allocation changes one FAT sector: that sector goes to both copies, then FSInfo.
    uint32_t c = allocateCluster(fs);
    ASSERT_NE(c, 0u);
    disk.reset_state();
    EXPECT_EQ(flushFAT(fs), 1);
    uint32_t s = c / 128;
    EXPECT_EQ(disk.written_lbas(),
        (std::vector<uint64_t>{fs->fat_begin_sector + s, fs->fat_begin_sector + spf + s, fsinfo}));
    EXPECT_EQ(disk_u32(disk, fsinfo, 488), count_free_clusters(fs));
    EXPECT_EQ(disk_u32(disk, fsinfo, 492), c + 1);

    // Entries changed directly in the array (as directory growth does) are found too,
    // in sectors far apart, and the disk ends up as a full write-back would leave it.
    uint32_t far = fs->last_cluster - 3;
    fs->FAT[far] = 0x0FFFFFFF;
    fs->FAT[c] = 0;
    disk.reset_state();
    EXPECT_EQ(flushFAT(fs), 1);
    // One freed and one used cluster leave FSInfo as it was: only the two FAT sectors,
    // in both copies, go out.
    EXPECT_EQ(disk.sectors_written(), 4u);
    expect_fat_copies_match(fs);
    EXPECT_EQ(disk_u32(disk, fsinfo, 488), count_free_clusters(fs));
    // The hint still points past c, so the next free cluster is the one after it.
    EXPECT_EQ(disk_u32(disk, fsinfo, 492), c + 1);
    EXPECT_EQ(fs->FAT[1], disk_u32(disk, fs->fat_begin_sector, 4)) << "FAT[1] and its clean bit are untouched";
    adopt_chain(fs, far, 1, "FAR     BIN");
    expect_clean_volume("write-back");
}

TEST_F(Volume, AFailedFatWriteIsReportedAndRetriedNextTime)
{
    f32* fs = mount();
    ASSERT_NE(fs, nullptr);
    uint32_t spf = fs->bpb.count_sectors_per_FAT32;
    uint32_t c = allocateCluster(fs);
    uint32_t second_copy = fs->fat_begin_sector + spf + c / 128;
    disk.fail_write_at(second_copy);
    EXPECT_EQ(flushFAT(fs), 0);
    EXPECT_EQ(zero_FAT_chain(fs, 0), 0);
    disk.fail_write_at(UINT64_MAX);
    disk.reset_state();
    EXPECT_EQ(flushFAT(fs), 1);
    const auto& written = disk.written_lbas();
    EXPECT_NE(std::find(written.begin(), written.end(), second_copy), written.end());
    expect_fat_copies_match(fs);
    adopt_chain(fs, c, 1, "RETRY   BIN");
    expect_clean_volume("retry");
}

TEST_F(Volume, DestroyWritesBackAndReleasesEverything)
{
    int blocks = fat32_test::used_blocks();
    f32* fs = mount();
    ASSERT_NE(fs, nullptr);
    uint32_t c = allocateCluster(fs);
    uint32_t fat_begin = fs->fat_begin_sector;
    f32 layout = *fs;
    f32* fs_layout = &layout;
    sim::reset();
    destroyFilesystem(fs);
    EXPECT_EQ(row(0), "Destroying filesystem.");
    EXPECT_EQ(fat32_test::used_blocks(), blocks);
    EXPECT_EQ(disk_u32(disk, fat_begin + c / 128, (c % 128) * 4), 0x0FFFFFFFu);
    adopt_chain(fs_layout, c, 1, "DESTROY BIN");
    expect_clean_volume("destroy");
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
        f32* fs = mount();
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
            fs->FAT[a] = b;
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
