// The shell's ls and mkhello on a mounted image, and without a volume.
#include "drivers/fs/fat32_dir.hpp"
#include "general/config.hpp"
#include "general/vorn.hpp"

#include "tests/unit/fat32_ops_fixture.hpp"

namespace {

using namespace tavix;
using fat32_ops::screen_lines;

// The i-th name of 215 characters: 17 long-name slots and the short entry.
std::string three_cluster_name(int i)
{
    std::string name = "name-" + std::to_string(i) + "-";
    name += std::string(215 - name.size() - 4, static_cast<char>('a' + i));
    return name + ".txt";
}

class ShellFs : public fat32_ops::Fs {
protected:
    void SetUp() override
    {
        static const std::string image = fat32_test::make_image("shell-64m", 64, 1, {"mmd -i IMG ::/docs"});
        mount_image(image);
        start_global_config();
        master_fs = fs;
    }
    void TearDown() override { master_fs = nullptr; }
};

TEST_F(ShellFs, LsListsTheStartUpRecord)
{
    execute_vorn("ls");
    execute_vorn("ls extra words");
    EXPECT_EQ(screen_lines(), (std::vector<std::string>{"[0] /   0 clusters: [1]", "[0] /   0 clusters: [1]"}));
    EXPECT_EQ(disk.sectors_written(), 0u);
}

TEST_F(ShellFs, MkhelloCreatesHelloInTheRootOnceAndThenReportsIt)
{
    uint32_t blocks = held_blocks();
    execute_vorn("mkhello");
    EXPECT_TRUE(screen_lines().empty()) << sim::screen_text();
    // Only the data region, the FATs and the FSInfo sector were written.
    for (uint64_t lba : disk.written_lbas())
        EXPECT_TRUE(lba >= fs->fat_begin_sector || lba == fs->bpb.sector_number_FSInfo) << lba;

    disk.reset_state();
    execute_vorn("mkhello");
    EXPECT_EQ(screen_lines(), (std::vector<std::string>{"mkdir: error: hello already exists"}));
    EXPECT_EQ(disk.sectors_written(), 0u);
    EXPECT_EQ(held_blocks(), blocks);

    std::string image = save_checked("shell-mkhello");
    EXPECT_EQ(fat32_ops::mdir_names(image, "/"), (std::vector<std::string>{"docs", "hello"}));
    auto [status, listing] = fat32_test::run(fat32_ops::mtools("mdir -i " + image + " ::/HELLO"));
    EXPECT_EQ(status, 0) << listing;
    EXPECT_NE(listing.find("\n.            <DIR>"), std::string::npos) << listing;
    EXPECT_NE(listing.find("\n..           <DIR>"), std::string::npos) << listing;
}

// On one-sector clusters a name of 215 characters takes 18 slots: placed behind the label
// and 14 short names, it starts in the root's first cluster and ends in its third. Every entry
// after it must still be seen, or mkhello makes a second "hello".
std::string three_cluster_image(bool with_hello)
{
    std::string host = fat32_test::make_host_file("small.txt", 5);
    std::vector<std::string> steps;
    for (int i = 1; i <= 14; ++i)
        steps.push_back("mcopy -i IMG " + host + " ::/f" + std::to_string(i));
    // mcopy gives up on the first attempt when a name needs the directory to grow by more
    // than the cluster it just added; a second attempt finds the room.
    for (int i = 1; i <= 3; ++i) {
        std::string copy = "mcopy -i IMG " + host + " ::/" + three_cluster_name(i);
        steps.push_back(copy + " || " + copy);
    }
    if (with_hello)
        steps.push_back("mmd -i IMG ::/hello");
    return fat32_test::make_image(with_hello ? "three-cluster-hello" : "three-cluster", 64, 1, steps);
}

class ThreeClusterName : public ShellFs {
protected:
    void SetUp() override {}
    void boot(bool with_hello)
    {
        mount_image(three_cluster_image(with_hello));
        start_global_config();
        master_fs = fs;
    }
    static std::vector<std::string> expected_root(bool with_hello)
    {
        std::vector<std::string> names;
        for (int i = 1; i <= 14; ++i)
            names.push_back("f" + std::to_string(i));
        for (int i = 1; i <= 3; ++i)
            names.push_back(three_cluster_name(i));
        if (with_hello)
            names.push_back("hello");
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(ThreeClusterName, AnExistingHelloBehindItIsFound)
{
    boot(true);
    std::vector<std::string> names = listing(0);
    EXPECT_EQ(names.size(), 18u); // 14 files, 3 long names, hello
    EXPECT_EQ(names[14], three_cluster_name(1));
    EXPECT_EQ(names.back(), "hello");
    execute_vorn("mkhello");
    execute_vorn("mkhello");
    EXPECT_EQ(screen_lines(), (std::vector<std::string>{"mkdir: error: hello already exists",
                                  "mkdir: error: hello already exists"}));
    EXPECT_EQ(disk.sectors_written(), 0u);
    std::string image = save_checked("three-cluster-hello-after");
    EXPECT_EQ(fat32_ops::mdir_names(image, "/"), expected_root(true));
}

TEST_F(ThreeClusterName, MkhelloTwiceMakesOneHello)
{
    boot(false);
    execute_vorn("mkhello");
    EXPECT_TRUE(screen_lines().empty()) << sim::screen_text();
    execute_vorn("mkhello");
    EXPECT_EQ(screen_lines(), (std::vector<std::string>{"mkdir: error: hello already exists"}));
    std::string image = save_checked("three-cluster-after");
    EXPECT_EQ(fat32_ops::mdir_names(image, "/"), expected_root(true));
}

// Deleting the name marks its slots in all three clusters, the short entry's first.
TEST_F(ThreeClusterName, DeletingItMarksEverySlotInAllThreeClusters)
{
    boot(false);
    uint32_t first = fs->root_cluster;
    uint32_t second = get_next_cluster_id(fs, first);
    uint32_t third = get_next_cluster_id(fs, second);
    auto first_byte = [&](uint32_t cluster, uint32_t slot) {
        uint8_t sector[512];
        disk.read_sector(sector_for_cluster(fs, cluster), sector);
        return sector[slot * 32];
    };
    ASSERT_EQ(first_byte(first, 15), 0x40 | 17); // the run starts in the first cluster's last slot
    directory top{};
    std::string name = three_cluster_name(1);
    delFile(fs, &top, name.data());
    EXPECT_TRUE(screen_lines().empty()) << sim::screen_text();
    EXPECT_EQ(first_byte(first, 15), slot_deleted);
    for (uint32_t s = 0; s < 16; ++s)
        EXPECT_EQ(first_byte(second, s), slot_deleted) << s;
    EXPECT_EQ(first_byte(third, 0), slot_deleted); // the short entry
    // The first write after the clean-shutdown mark (cleared in both FAT copies).
    ASSERT_GT(disk.written_lbas().size(), 2u);
    EXPECT_EQ(disk.written_lbas()[2], sector_for_cluster(fs, third));
    std::string image = save_checked("three-cluster-deleted");
    std::vector<std::string> names = fat32_ops::mdir_names(image, "/");
    EXPECT_EQ(std::count(names.begin(), names.end(), name), 0);
    EXPECT_EQ(names.size(), 16u);
}

TEST(ShellNoFs, LsAndMkhelloSayThereIsNoVolume)
{
    sim::AtaDisk disk(2048);
    init_dmem();
    start_global_config();
    sim::reset();
    master_fs = nullptr;
    execute_vorn("ls");
    execute_vorn("mkhello");
    EXPECT_EQ(screen_lines(), (std::vector<std::string>{"ls: error: no filesystem mounted",
                                  "mkhello: error: no filesystem mounted"}));
    EXPECT_TRUE(disk.commands().empty());
}

} // namespace
