// The shell's ls and mkhello on a mounted image, and without a volume.
#include "general/config.hpp"
#include "general/vorn.hpp"

#include "tests/unit/fat32_ops_fixture.hpp"

namespace {

using namespace tavix;
using fat32_ops::screen_lines;

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
    char line[] = "ls";
    execute_vorn(line);
    char extra[] = "ls extra words";
    execute_vorn(extra);
    EXPECT_EQ(screen_lines(), (std::vector<std::string>{"[0] /   0 clusters: [1]", "[0] /   0 clusters: [1]"}));
    EXPECT_EQ(disk.sectors_written(), 0u);
}

TEST_F(ShellFs, MkhelloCreatesHelloInTheRootOnceAndThenReportsIt)
{
    int blocks = fat32_test::used_blocks();
    char line[] = "mkhello";
    execute_vorn(line);
    EXPECT_TRUE(screen_lines().empty()) << sim::screen_text();
    // Only the data region, the FATs and the FSInfo sector were written.
    for (uint64_t lba : disk.written_lbas())
        EXPECT_TRUE(lba >= fs->fat_begin_sector || lba == fs->bpb.sector_number_FSInfo) << lba;

    disk.reset_state();
    char again[] = "mkhello";
    execute_vorn(again);
    EXPECT_EQ(screen_lines(), (std::vector<std::string>{"mkdir: error: hello already exists"}));
    EXPECT_EQ(disk.sectors_written(), 0u);
    EXPECT_EQ(fat32_test::used_blocks(), blocks);

    std::string image = save_checked("shell-mkhello");
    EXPECT_EQ(fat32_ops::mdir_names(image, "/"), (std::vector<std::string>{"docs", "hello"}));
    auto [status, listing] = fat32_test::run(fat32_ops::mtools("mdir -i " + image + " ::/HELLO"));
    EXPECT_EQ(status, 0) << listing;
    EXPECT_NE(listing.find("\n.            <DIR>"), std::string::npos) << listing;
    EXPECT_NE(listing.find("\n..           <DIR>"), std::string::npos) << listing;
}

TEST(ShellNoFs, LsAndMkhelloSayThereIsNoVolume)
{
    sim::AtaDisk disk(2048);
    init_dmem();
    start_global_config();
    sim::reset();
    master_fs = nullptr;
    char ls[] = "ls";
    execute_vorn(ls);
    char mk[] = "mkhello";
    execute_vorn(mk);
    EXPECT_EQ(screen_lines(), (std::vector<std::string>{"ls: error: no filesystem mounted",
                                  "mkhello: error: no filesystem mounted"}));
    EXPECT_TRUE(disk.commands().empty());
}

} // namespace
