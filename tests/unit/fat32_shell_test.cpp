// The shell's commands on a mounted image (ls and mkhello, and one session of the file
// commands checked line by line and then by fsck.fat and mtools), and without a volume.
#include "drivers/fs/fat32_dir.hpp"
#include "general/cbreak.hpp"
#include "general/config.hpp"
#include "general/vorn.hpp"

#include "tests/unit/fat32_ops_fixture.hpp"

#include <fstream>

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

TEST(ShellNoFs, EveryDiskCommandSaysThereIsNoVolume)
{
    sim::AtaDisk disk(2048);
    init_dmem();
    start_global_config();
    sim::reset();
    master_fs = nullptr;
    std::vector<std::string> expected;
    for (const char* command : {"ls", "mkhello", "dir", "cd", "cat x", "write x y", "append x y", "rm x", "mkdir x",
             "rmdir x", "mv x y", "run x", "df"}) {
        execute_vorn(command);
        expected.push_back(std::string(command).substr(0, std::string(command).find(' ')) +
            ": error: no filesystem mounted");
    }
    EXPECT_EQ(screen_lines(), expected);
    EXPECT_TRUE(disk.commands().empty());
}

// Every file time on this image is 2025-01-01 12:00 UTC; the kernel's own are the simulated
// clock's.
const char* const mtools_time = "MTOOLS_SKIP_CHECK=1 TZ=UTC SOURCE_DATE_EPOCH=1735732800 ";
const char script[] = "int -> x = 5\nfunc -> start() [\n    print(\"sum: \")\n    print_int(x + 2)\n]\n";

std::string host_file(const std::string& name, const std::string& bytes)
{
    std::string path = fat32_test::image_dir() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

const std::string& session_image()
{
    static const std::string image = fat32_test::make_image("shell-session", 64, 1,
        {std::string(mtools_time) + "mcopy -i IMG " + host_file("readme", "Tavix\n") + " ::/README.TXT",
            std::string(mtools_time) + "mmd -i IMG ::/docs",
            std::string(mtools_time) + "mcopy -i IMG " + host_file("long", "one\n\ttwo\r\n") +
                " '::/docs/A long name.txt'",
            std::string(mtools_time) + "mcopy -i IMG " + host_file("empty", "") + " ::/empty.txt",
            std::string(mtools_time) + "mcopy -i IMG " + host_file("script", script) + " ::/script.txt"});
    return image;
}

using Session = fat32_ops::FsOn<session_image>;

// A dir line: the name padded to the longest, the size (or <DIR>) in ten columns, the time.
std::string dir_line(const std::string& name, const std::string& size, size_t width, const char* when)
{
    return name + std::string(width - name.size() + 2, ' ') + std::string(10 - size.size(), ' ') + size + "  " +
        when + "\n";
}

TEST_F(Session, FileCommandsDoWhatTheyPrintAndMtoolsAgrees)
{
    start_global_config();
    master_fs = fs;
    const char* old = "2025-01-01 12:00";
    const char* now = "2026-12-09 10:30";
    const std::string prompt = "masteruser: / &";
    const char compiled[] = "Variable declared: x = 5\nFunction declared: start (parameters: 0)\nsum:\n7\n";
    // {line, what it prints and the prompt after it}; "FREE" stands for the free bytes.
    const std::pair<const char*, std::string> session[] = {
        {"dir", dir_line("README.TXT", "6", 10, old) + dir_line("docs", "<DIR>", 10, old) +
                dir_line("empty.txt", "0", 10, old) + dir_line("script.txt", "73", 10, old) +
                "3 file(s), 79 bytes; FREE bytes free\n" + prompt},
        {"cat readme.txt", "Tavix\n" + prompt},
        {"cd DOCS", "masteruser: /docs &"},
        {"cat \"a LONG name.txt\"", "one\n        two\nmasteruser: /docs &"},
        {"pwd", "/docs\nmasteruser: /docs &"},
        {"ls", "[0] .               D 0 clusters: [1]\n[1] ..              D 0 clusters: [1]\n"
               "[2] A long name.txt   10 clusters: [1]\nmasteruser: /docs &"},
        {"mkhello", "masteruser: /docs &"},
        {"write ../new.txt one   \"two  three\"", "masteruser: /docs &"},
        {"append /new.txt four", "masteruser: /docs &"},
        {"append made.txt first", "masteruser: /docs &"},
        {"mkdir sub", "masteruser: /docs &"},
        {"mv made.txt SUB", "masteruser: /docs &"},
        {"mv sub /moved", "masteruser: /docs &"},
        {"cd ../moved/.", "masteruser: /moved &"},
        {"cat made.txt", "first\nmasteruser: /moved &"},
        {"cd", prompt},
        {"rm empty.txt", prompt},
        {"rmdir docs/hello", prompt},
        {"mv README.TXT \"Read me.txt\"", prompt},
        {"dir", dir_line("docs", "<DIR>", 11, old) + dir_line("script.txt", "73", 11, old) +
                dir_line("new.txt", "20", 11, now) + dir_line("moved", "<DIR>", 11, now) +
                dir_line("Read me.txt", "6", 11, old) + "3 file(s), 99 bytes; FREE bytes free\n" + prompt},
        {"dir moved", dir_line(".", "<DIR>", 8, now) + dir_line("..", "<DIR>", 8, now) +
                dir_line("made.txt", "6", 8, now) + "1 file(s), 6 bytes; FREE bytes free\n" + prompt},
        {"cat new.txt", "one two  three\nfour\n" + prompt},
        {"run script.txt", std::string(compiled) + prompt},
    };
    for (const auto& [line, printed] : session) {
        SCOPED_TRACE(line);
        std::string expected = printed;
        if (size_t at = expected.find("FREE"); at != std::string::npos)
            expected.replace(at, 4, std::to_string(free_bytes(fs)));
        sim::reset();
        run_shell_line(line);
        std::string screen = sim::screen_text();
        EXPECT_EQ(screen.erase(screen.find_last_not_of('\n') + 1), expected);
    }
    std::string image = save_checked("shell-session-after");
    EXPECT_EQ(fat32_ops::mdir_names(image, "/"),
        (std::vector<std::string>{"Read me.txt", "docs", "moved", "new.txt", "script.txt"}));
    EXPECT_EQ(fat32_ops::mdir_names(image, "/docs"), (std::vector<std::string>{"A long name.txt"}));
    EXPECT_EQ(fat32_ops::mdir_names(image, "/moved"), (std::vector<std::string>{"made.txt"}));
    EXPECT_EQ(fat32_ops::mtype(image, "/new.txt"), "one two  three\nfour\n");
    EXPECT_EQ(fat32_ops::mtype(image, "/Read me.txt"), "Tavix\n");
    // The moved directory's ".." names its new parent, the root.
    EXPECT_EQ(find(find(0, "moved").first_cluster, "..").first_cluster, 0u);

    // run printed what the script compiler prints for the file's text.
    sim::reset();
    init_compiler(script);
    compile();
    free_compiler();
    EXPECT_EQ(sim::screen_text().substr(0, sizeof compiled - 1), compiled);
    master_fs = nullptr;
}

// What the volume or the heap cannot hold is refused with one line, and nothing is written.
TEST_F(Session, AFullVolumeOrHeapRefusesWithOneLineAndWritesNothing)
{
    start_global_config();
    master_fs = fs;
    std::vector<uint8_t> cluster(fs->cluster_size, 'x');
    ASSERT_TRUE(create_named(fs, 0, "cluster.bin", cluster.data(), fs->cluster_size, false, "test"));
    // The rest of the volume in one file of zeros.
    auto fill = static_cast<uint32_t>(free_bytes(fs));
    std::vector<uint8_t> zeros(fill);
    ASSERT_TRUE(create_named(fs, 0, "big.bin", zeros.data(), fill, false, "test"));
    ASSERT_EQ(free_bytes(fs), 0u);
    void* hog = tavix::malloc(dynamic_mem_total_size - fill / 2);
    ASSERT_NE(hog, nullptr);
    const std::string big = std::to_string(fill);
    const std::pair<const char*, std::string> refusals[] = {
        {"write new.txt text", "write: error: not enough free space for new.txt"},
        {"mkdir new", "mkdir: error: not enough free space for new"},
        {"append cluster.bin more", "append: error: not enough free space for cluster.bin"},
        {"cat big.bin", "cat: error: big.bin is " + big + " bytes, more than the free memory"},
        {"run /big.bin", "run: error: /big.bin is " + big + " bytes, more than the free memory"},
    };
    for (const auto& [line, printed] : refusals) {
        SCOPED_TRACE(line);
        sim::reset();
        disk.reset_state();
        execute_vorn(line);
        EXPECT_EQ(screen_lines(), std::vector<std::string>{printed});
        EXPECT_EQ(disk.sectors_written(), 0u);
    }
    tavix::mfree(hog);
    master_fs = nullptr;
}

} // namespace
