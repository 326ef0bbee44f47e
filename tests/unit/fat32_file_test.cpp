// Whole-file read, write and delete, mkdir with its "." and ".." entries, and the listing,
// on mkfs.fat images checked afterwards by fsck.fat and mtools.
#include "drivers/fs/fat32_dir.hpp"

#include "tests/unit/fat32_ops_fixture.hpp"
#include "tests/sim/cmos.hpp"

namespace {

using namespace tavix;
using fat32_ops::mdir_names;
using fat32_ops::mtype;
using fat32_ops::screen_lines;

const std::string& file_image()
{
    static const std::string path = [] {
        std::string host = fat32_test::make_host_file("file.bin", 3);
        std::string three = fat32_test::make_host_file("three.bin", 3 * 512 - 10);
        std::vector<std::string> steps = {"mmd -i IMG ::/d", "mmd -i IMG ::/full",
            "mcopy -i IMG " + three + " ::/three.bin", "mcopy -i IMG " + host + " ::/full/inside"};
        fat32_ops::add_boundary_directory_steps(steps, host);
        steps.push_back("mdel -i IMG ::/d/f05");
        return fat32_test::make_image("file-64m", 64, 1, steps);
    }();
    return path;
}

using File = fat32_ops::FsOn<file_image>;

TEST_F(File, WritesTakeTheClustersTheirSizeNeeds)
{
    directory top{};
    std::vector<uint8_t> data(513);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>('a' + i % 26);
    char empty[] = "empty.txt";
    char exact[] = "exact.bin";
    char over[] = "one byte over.bin";
    uint32_t blocks = held_blocks();
    writeFile(fs, &top, data.data(), empty, 0);
    writeFile(fs, &top, data.data(), exact, 512);
    writeFile(fs, &top, data.data(), over, 513);
    EXPECT_EQ(held_blocks(), blocks);
    EXPECT_TRUE(screen_lines().empty()) << sim::screen_text();

    dir_entry e = find(0, "empty.txt");
    EXPECT_EQ(e.first_cluster, 0u); // an empty file owns no cluster
    EXPECT_EQ(e.file_size, 0u);
    dir_entry x = find(0, "exact.bin");
    bool broken = false;
    EXPECT_EQ(chain_length(fs, x.first_cluster, &broken), 1u);
    dir_entry o = find(0, "one byte over.bin");
    EXPECT_EQ(chain_length(fs, o.first_cluster, &broken), 2u);
    uint8_t second[512];
    disk.read_sector(sector_for_cluster(fs, get_next_cluster_id(fs, o.first_cluster)), second);
    EXPECT_EQ(second[0], data[512]);
    EXPECT_EQ(std::count(second + 1, second + 512, 0), 511);

    uint8_t* back = readFile(fs, &o);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(0, std::memcmp(back, data.data(), 513));
    mfree(back);

    std::string image = save_checked("file-sizes");
    EXPECT_EQ(mtype(image, "/empty.txt"), "");
    EXPECT_EQ(mtype(image, "/exact.bin"), std::string(data.begin(), data.begin() + 512));
    EXPECT_EQ(mtype(image, "/one byte over.bin"), std::string(data.begin(), data.end()));
    EXPECT_EQ(mtype(image, "/three.bin"), fat32_test::host_content(3 * 512 - 10));
}

TEST_F(File, ReadFileReturnsExactlyTheSizeWhateverTheChainSays)
{
    dir_entry three = find(0, "three.bin");
    ASSERT_EQ(three.file_size, 3u * 512 - 10);
    std::string expected = fat32_test::host_content(3 * 512 - 10);
    three.name = const_cast<char*>("three.bin");

    // A chain longer than the size: the buffer is exactly 700 bytes (the address checker
    // would see a byte more), holding the file's first 700.
    dir_entry shorter = three;
    shorter.file_size = 700;
    uint8_t* data = readFile(fs, &shorter);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 700), expected.substr(0, 700));
    mfree(data);

    // A chain that loops is read once round; a size beyond the chain reads as zeros.
    uint32_t c1 = get_next_cluster_id(fs, three.first_cluster);
    uint32_t c2 = get_next_cluster_id(fs, c1);
    uint32_t saved = fat_entry(fs, c2);
    set_fat_entry(fs, c2, three.first_cluster);
    dir_entry longer = three;
    longer.file_size = 5000;
    disk.reset_state();
    data = readFile(fs, &longer);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(disk.sectors_read(), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 1526), expected.substr(0, 1526));
    EXPECT_EQ(std::count(data + 1536, data + 5000, 0), 5000 - 1536);
    mfree(data);
    set_fat_entry(fs, c2, saved);
}

TEST_F(File, DeleteAcrossAClusterBoundaryMarksEverySlotAndFreesTheChain)
{
    directory d{find(0, "d").first_cluster, nullptr, 0};
    uint32_t c1 = d.cluster;
    uint32_t c2 = get_next_cluster_id(fs, c1);
    dir_entry victim = find(c1, "boundary crossing.txt");
    ASSERT_TRUE(is_data_cluster(fs, victim.first_cluster));
    ASSERT_EQ(slot_byte(c1, 15, 11), attr_long_name);
    uint32_t blocks = held_blocks();

    char name[] = "boundary crossing.txt";
    delFile(fs, &d, name);
    // f05, deleted by mtools, is the one free slot before the match.
    EXPECT_EQ(screen_lines(), (std::vector<std::string>{
                                  "This directory entry has never been written or it has been deleted."}));
    EXPECT_EQ(slot_byte(c1, 15, 0), slot_deleted);
    EXPECT_EQ(slot_byte(c2, 0, 0), slot_deleted);
    EXPECT_EQ(slot_byte(c2, 1, 0), slot_deleted);
    EXPECT_EQ(slot_byte(c2, 2, 0), 'A'); // after.txt is untouched
    EXPECT_EQ(fat_entry(fs, victim.first_cluster), 0u);
    EXPECT_EQ(held_blocks(), blocks);

    // A name that is not there: one line per free slot passed, and no write.
    disk.reset_state();
    sim::reset();
    char missing[] = "missing";
    delFile(fs, &d, missing);
    EXPECT_EQ(screen_lines().size(), 17u); // f05, the three slots freed above, 13 never used
    char dot[] = ".";
    sim::reset();
    delFile(fs, &d, dot);
    EXPECT_EQ(disk.sectors_written(), 0u);

    std::string image = save_checked("file-delete");
    std::vector<std::string> names = mdir_names(image, "/d");
    EXPECT_EQ(names.size(), 13u);
    EXPECT_EQ(std::count(names.begin(), names.end(), "boundary crossing.txt"), 0);
    EXPECT_EQ(mtype(image, "/d/after.txt"), fat32_test::host_content(3));
}

TEST_F(File, DeletingADirectoryNeedsItEmpty)
{
    directory top{};
    char full[] = "full";
    delFile(fs, &top, full);
    EXPECT_EQ(screen_lines(), (std::vector<std::string>{"delFile: error: full is a directory that is not empty"}));
    EXPECT_EQ(disk.sectors_written(), 0u);
    directory inside{find(0, "full").first_cluster, nullptr, 0};
    char file[] = "inside";
    delFile(fs, &inside, file);
    sim::reset();
    delFile(fs, &top, full);
    EXPECT_TRUE(screen_lines().empty()) << sim::screen_text();
    std::string image = save_checked("file-rmdir");
    EXPECT_EQ(mdir_names(image, "/"), (std::vector<std::string>{"d", "three.bin"}));
}

TEST_F(File, ListingLinesAndBrokenChains)
{
    char hello[] = "hello";
    directory top{};
    mkdir(fs, &top, hello);
    directory h{find(0, "hello").first_cluster, nullptr, 0};
    std::string text(123, 't');
    char name[] = "hello.txt";
    writeFile(fs, &h, reinterpret_cast<uint8_t*>(text.data()), name, 123);
    sim::reset();
    directory listed{};
    populate_dir(fs, &listed, h.cluster);
    uint32_t blocks = held_blocks();
    print_directory(fs, &listed);
    EXPECT_EQ(held_blocks(), blocks);
    EXPECT_EQ(screen_lines(), (std::vector<std::string>{"[0] .         D 0 clusters: [1]",
                                  "[1] ..        D 0 clusters: [1]", "[2] hello.txt   123 clusters: [1]"}));

    // A chain that runs into a free cluster is reported inside the line.
    sim::reset();
    uint32_t c = listed.entries[2].first_cluster;
    set_fat_entry(fs, c, c + 1000);
    ASSERT_EQ(fat_entry(fs, c + 1000), 0u);
    print_directory(fs, &listed);
    EXPECT_EQ(screen_lines()[2], "[2] hello.txt   123 BAD CLUSTER CHAIN! FS IS CORRUPT!");
    EXPECT_EQ(screen_lines()[3], "clusters: [3]");
    set_fat_entry(fs, c, fat32_end_of_chain);
    free_directory(fs, &listed);

    sim::reset();
    directory none{};
    print_directory(fs, &none);
    EXPECT_TRUE(screen_lines().empty());
}

TEST_F(File, MkdirMakesStandardDotEntries)
{
    directory top{}; // cluster 0: the root, as the shell's start-up record has it
    char parent_name[] = "parent";
    uint32_t blocks = held_blocks();
    mkdir(fs, &top, parent_name);
    directory parent{find(0, "parent").first_cluster, nullptr, 0};
    char child_name[] = "child";
    mkdir(fs, &parent, child_name);
    EXPECT_EQ(held_blocks(), blocks);
    EXPECT_TRUE(screen_lines().empty()) << sim::screen_text();

    uint32_t child = find(parent.cluster, "child").first_cluster;
    for (uint32_t dir : {parent.cluster, child}) {
        uint8_t cluster[512];
        disk.read_sector(sector_for_cluster(fs, dir), cluster);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(cluster), 11), ".          ");
        EXPECT_EQ(std::string(reinterpret_cast<char*>(cluster + 32), 11), "..         ");
        EXPECT_EQ(cluster[11], attr_directory);
        EXPECT_EQ(cluster[32 + 11], attr_directory);
        EXPECT_EQ(slot_first_cluster(cluster), dir);
        EXPECT_EQ(slot_first_cluster(cluster + 32), dir == child ? parent.cluster : 0u);
        // No long-name entries for the dots; the parent holds the child's entry next.
        EXPECT_EQ(cluster[64], dir == child ? 0 : 0x41);
    }
    // The parent's entry: one long-name slot, then the short entry HELLO-style.
    dir_entry p = find(0, "parent");
    EXPECT_EQ(p.dir_attrs, attr_directory);
    EXPECT_EQ(p.file_size, 0u);

    std::string image = save_checked("file-mkdir");
    auto [status, listing] = fat32_test::run(fat32_ops::mtools("mdir -i " + image + " ::/parent/child"));
    EXPECT_EQ(status, 0) << listing;
    EXPECT_NE(listing.find("\n.            <DIR>"), std::string::npos) << listing;
    EXPECT_NE(listing.find("\n..           <DIR>"), std::string::npos) << listing;
    EXPECT_EQ(mdir_names(image, "/parent"), (std::vector<std::string>{"child"}));
}

// Every short entry the kernel writes carries the clock's date and time as its creation,
// modification and last-access stamp; a clock that cannot be read gives 1980-01-01 00:00.
TEST_F(File, NewEntriesCarryTheClocksDateAndTime)
{
    auto short_entry = [&](uint32_t dir, const char* name) {
        std::vector<uint8_t> bytes;
        dir_walk walk{};
        EXPECT_TRUE(dir_walk_begin(&walk, fs, dir));
        dir_entry entry{};
        walk_slots where{};
        for (walk_step step; (step = dir_walk_next(&walk, &entry, &where)) != walk_step::end;) {
            if (step != walk_step::entry)
                continue;
            if (std::strcmp(entry.name, name) == 0)
                bytes.assign(where.last, where.last + 32);
            mfree(entry.name);
        }
        dir_walk_end(&walk);
        return bytes;
    };
    sim::cmos_set_time({2031, 7, 15, 13, 45, 59});
    directory top{};
    char dir_name[] = "stamped";
    mkdir(fs, &top, dir_name);
    uint8_t byte = 'x';
    char file_name[] = "stamped.txt";
    writeFile(fs, &top, &byte, file_name, 1);
    EXPECT_TRUE(screen_lines().empty()) << sim::screen_text();
    const uint16_t date = (2031 - 1980) << 9 | 7 << 5 | 15;
    const uint16_t time = 13 << 11 | 45 << 5 | 59 / 2;
    uint32_t made = find(0, "stamped").first_cluster;
    for (auto [dir, name] : {std::pair<uint32_t, const char*>{0, "stamped"}, {0, "stamped.txt"}, {made, "."}, {made, ".."}}) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> slot = short_entry(dir, name);
        ASSERT_EQ(slot.size(), 32u);
        EXPECT_EQ(slot[13], 100); // the odd second
        EXPECT_EQ(readi16(slot.data(), 14), time);
        EXPECT_EQ(readi16(slot.data(), 16), date);
        EXPECT_EQ(readi16(slot.data(), 18), date);
        EXPECT_EQ(readi16(slot.data(), 22), time);
        EXPECT_EQ(readi16(slot.data(), 24), date);
    }

    sim::cmos_set_update_in_progress(sim::cmos_update_for_ever);
    char dead[] = "dead clock";
    mkdir(fs, &top, dead);
    std::vector<uint8_t> slot = short_entry(0, "dead clock");
    ASSERT_EQ(slot.size(), 32u);
    EXPECT_EQ(readi16(slot.data(), 16), 1 << 5 | 1);
    EXPECT_EQ(readi16(slot.data(), 14), 0);

    std::string image = save_checked("file-stamps");
    auto [status, listing] = fat32_test::run(fat32_ops::mtools("mdir -i " + image + " ::/"));
    EXPECT_NE(listing.find("<DIR>     2031-07-15  13:45  stamped"), std::string::npos) << listing;
    EXPECT_NE(listing.find("1 2031-07-15  13:45  stamped.txt"), std::string::npos) << listing;
    EXPECT_NE(listing.find("<DIR>     1980-01-01   0:00  dead clock"), std::string::npos) << listing;
}

TEST_F(File, MkdirSubdirsFillsOnlyAnEmptyDirectory)
{
    uint32_t c = allocateCluster(fs);
    directory fresh{c, nullptr, 0};
    mkdir_subdirs(fs, &fresh, 0);
    directory d{};
    populate_dir(fs, &d, c);
    ASSERT_EQ(d.num_entries, 2u);
    EXPECT_STREQ(d.entries[0].name, ".");
    EXPECT_EQ(d.entries[0].first_cluster, c);
    EXPECT_STREQ(d.entries[1].name, "..");
    EXPECT_EQ(d.entries[1].first_cluster, 0u);
    free_directory(fs, &d);
    disk.reset_state();
    mkdir_subdirs(fs, &fresh, 0);
    EXPECT_EQ(screen_lines(), (std::vector<std::string>{"mkdir: error: the directory's first slots are taken"}));
    EXPECT_EQ(disk.sectors_written(), 0u);
    set_fat_entry(fs, c, 0);
}

} // namespace
