// Entry creation: short names and their tails, long-name slots, first fit and directory
// growth, refusal of duplicate names, and a volume left exactly as it was when space runs out.
#include "drivers/fs/fat32_names.hpp"
#include "drivers/fs/fat32_dir.hpp"

#include "tests/unit/fat32_ops_fixture.hpp"

namespace {

using namespace tavix;
using fat32_ops::mdir_names;
using fat32_ops::mtype;
using fat32_ops::screen_lines;

std::string short_of(const char* name)
{
    uint8_t field[11];
    write_8_3_filename(const_cast<char*>(name), field);
    return std::string(reinterpret_cast<char*>(field), 11);
}

TEST(ShortName, BasisAndTails)
{
    EXPECT_EQ(short_of("hello"), "HELLO      ");
    EXPECT_EQ(short_of("README.TXT"), "README  TXT");
    EXPECT_EQ(short_of("report.html"), "REPORT~1HTM"); // the extension lost a letter
    EXPECT_EQ(short_of("longfilename.txt"), "LONGFI~1TXT");
    EXPECT_EQ(short_of("a.b.c"), "AB~1    C  ");        // inner dots are dropped
    EXPECT_EQ(short_of("my file+x.txt"), "MYFILE~1TXT"); // space dropped, + replaced
    EXPECT_EQ(short_of("x[1];=,.dat"), "X_1___~1DAT");
    EXPECT_EQ(short_of(".bashrc"), "BASHRC~1   ");
    EXPECT_EQ(short_of("."), ".          ");
    EXPECT_EQ(short_of(".."), "..         ");
    uint8_t basis[11];
    EXPECT_TRUE(short_name_basis("longfilename.txt", basis));
    uint8_t field[11];
    short_name_with_tail(basis, 10, field);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(field), 11), "LONGF~10TXT");
    short_name_with_tail(basis, 123456, field);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(field), 11), "L~123456TXT");
    EXPECT_FALSE(short_name_basis("ab.c", basis));
}

TEST(LongName, ValidNamesAndEntryCounts)
{
    const std::pair<std::string, bool> names[] = {{"hello world.txt", true}, {std::string(255, 'x'), true},
        {"", false}, {".", false}, {"..", false}, {"a/b", false}, {"a*b", false}, {"tab\there", false},
        {std::string(256, 'x'), false}};
    for (const auto& [name, valid] : names)
        EXPECT_EQ(is_valid_long_name(name.c_str()), valid) << "'" << name << "'";
    const std::pair<const char*, uint32_t> counts[] = {{"thirteenchars", 1}, {"fourteenchars1", 2},
        {"twenty-seven-characters-xy", 2}, {"twenty-seven-characters-xyz", 3}};
    for (const auto& [name, entries] : counts)
        EXPECT_EQ(long_name_entry_count(name), entries) << name;
}

TEST(LongName, SlotsAreClearedTerminatedAndPadded)
{
    uint8_t slots[3 * 32];
    std::memset(slots, 0xAA, sizeof slots); // stale bytes must not survive
    char name[] = "fourteenchars1";
    write_long_filename_entries(slots, 2, name);
    uint8_t sum = checksum_fname(const_cast<char*>(short_of(name).c_str()));
    EXPECT_EQ(slots[0], 0x42);
    EXPECT_EQ(slots[32], 0x01);
    for (int e = 0; e < 2; ++e) {
        EXPECT_EQ(slots[e * 32 + 11], 0x0F);
        EXPECT_EQ(slots[e * 32 + 12], 0);
        EXPECT_EQ(slots[e * 32 + 13], sum);
        EXPECT_EQ(readi16(slots + e * 32, 26), 0);
    }
    // Entry 1 holds characters 1-13, entry 2 the 14th, the terminator, then filler.
    for (uint32_t c = 0; c < 13; ++c)
        EXPECT_EQ(readi16(slots + 32, lfn_char_offsets[c]), static_cast<uint8_t>(name[c]));
    EXPECT_EQ(readi16(slots, lfn_char_offsets[0]), '1');
    EXPECT_EQ(readi16(slots, lfn_char_offsets[1]), 0x0000);
    for (uint32_t c = 2; c < 13; ++c)
        EXPECT_EQ(readi16(slots, lfn_char_offsets[c]), 0xFFFF) << c;
    EXPECT_EQ(slots[64], 0xAA); // nothing past the two slots
}

const std::string& create_image()
{
    static const std::string path = [] {
        std::string host = fat32_test::make_host_file("create.bin", 700);
        std::vector<std::string> steps = {"mmd -i IMG ::/g", "mmd -i IMG ::/e",
            "mcopy -i IMG " + host + " '::/Long File Name.txt'", "mcopy -i IMG " + host + " ::/keep.bin"};
        for (int i = 1; i <= 13; ++i) {
            char name[8];
            std::snprintf(name, sizeof name, "f%02d", i);
            steps.push_back("mcopy -i IMG " + host + " ::/g/" + name);
        }
        return fat32_test::make_image("create-64m", 64, 1, steps);
    }();
    return path;
}

class Create : public fat32_ops::FsOn<create_image> {
protected:
    void expect_old_files_unchanged(const std::string& image)
    {
        EXPECT_EQ(mtype(image, "/keep.bin"), keep);
        EXPECT_EQ(mtype(image, "/Long File Name.txt"), keep);
    }

    // What the image's two 700-byte files hold.
    const std::string keep = fat32_test::host_content(700);
};

TEST_F(Create, ThirteenAndFourteenCharacterNamesTakeTwoAndThreeSlots)
{
    directory e = sub("e");
    char a[] = "thirteenchars";
    char b[] = "fourteenchars1";
    uint8_t one = 1;
    writeFile(fs, &e, &one, a, 1);
    writeFile(fs, &e, &one, b, 1);
    EXPECT_TRUE(screen_lines().empty()) << sim::screen_text();
    // ".", "..", then one long-name slot and the short entry, then two and the short entry.
    EXPECT_EQ(slot_byte(e.cluster, 2, 0), 0x41);
    EXPECT_EQ(slot_byte(e.cluster, 3, 11), attr_file);
    EXPECT_EQ(slot_byte(e.cluster, 4, 0), 0x42);
    EXPECT_EQ(slot_byte(e.cluster, 5, 0), 0x01);
    EXPECT_EQ(slot_byte(e.cluster, 6, 11), attr_file);
    EXPECT_EQ(slot_byte(e.cluster, 7, 0), 0x00);
    std::string image = save_checked("create-names");
    EXPECT_EQ(mdir_names(image, "/e"), (std::vector<std::string>{"fourteenchars1", "thirteenchars"}));
    EXPECT_EQ(mtype(image, "/e/thirteenchars"), "\x01");
    expect_old_files_unchanged(image);
}

TEST_F(Create, LastClusterWithTooFewFreeSlotsInARowGrowsTheDirectory)
{
    directory g = sub("g");
    ASSERT_EQ(get_next_cluster_id(fs, g.cluster), fat32_end_of_chain & fat32_entry_mask);
    ASSERT_EQ(slot_byte(g.cluster, 15, 0), 0x00); // one slot left; "hello.txt" needs two
    char name[] = "hello.txt";
    const char text[] = "grown";
    writeFile(fs, &g, reinterpret_cast<uint8_t*>(const_cast<char*>(text)), name, 5);
    uint32_t grown = get_next_cluster_id(fs, g.cluster);
    ASSERT_TRUE(is_data_cluster(fs, grown));
    // The skipped never-used slot is sealed, or other systems would stop reading there.
    EXPECT_EQ(slot_byte(g.cluster, 15, 0), slot_deleted);
    EXPECT_EQ(slot_byte(grown, 0, 0), 0x41);
    EXPECT_EQ(slot_byte(grown, 1, 0), 'H');
    std::string image = save_checked("create-grow");
    std::vector<std::string> names = mdir_names(image, "/g");
    EXPECT_EQ(names.size(), 14u);
    EXPECT_EQ(names.back(), "hello.txt");
    EXPECT_EQ(mtype(image, "/g/hello.txt"), "grown");
    expect_old_files_unchanged(image);
}

// The first never-used slot ends a directory: the well-formed entries some tool left behind it
// are free slots, not names. New entries go there, and each time the slot after them (or, in the
// next cluster, the first slot) is made the end again first, by the walk and by the cached
// directory alike, so mtools never sees an old entry come back. (fsck.fat reads on past the end:
// the entries left there are files to it, so none of them shares a new entry's name here.)
TEST_F(Create, EntriesBehindTheEndOfADirectoryAreFreeSlots)
{
    directory e = sub("e");
    directory g = sub("g");
    uint32_t g2 = allocateCluster(fs);
    set_fat_entry(fs, g.cluster, g2);
    ASSERT_EQ(flushFAT(fs), 1);
    uint8_t slot[32] = {};
    for (uint32_t i = 0; i < 16; ++i) {
        std::snprintf(reinterpret_cast<char*>(slot), sizeof slot, "STALE%02u TXT", i);
        if (i > 2)
            write_slot(e.cluster, i, slot);
        write_slot(g2, i, slot);
    }
    ASSERT_EQ(slot_byte(e.cluster, 2, 0), slot_never_used);
    ASSERT_EQ(slot_byte(g.cluster, 15, 0), slot_never_used);
    char a[] = "a", b[] = "b", c[] = "c", hello[] = "hello.txt";
    for (char* name : {a, b, c})
        writeFile(fs, &e, nullptr, name, 0);
    writeFile(fs, &g, nullptr, hello, 0);
    EXPECT_TRUE(screen_lines().empty()) << sim::screen_text();
    EXPECT_EQ(listing(e.cluster), (std::vector<std::string>{".", "..", "a", "b", "c"}));
    EXPECT_EQ(slot_byte(e.cluster, 8, 0), slot_never_used);
    EXPECT_EQ(slot_byte(g.cluster, 15, 0), slot_deleted);
    EXPECT_EQ(slot_byte(g2, 2, 0), slot_never_used);
    std::string image = save_checked("create-behind-the-end");
    EXPECT_EQ(mdir_names(image, "/e"), (std::vector<std::string>{"a", "b", "c"}));
    std::vector<std::string> in_g = mdir_names(image, "/g");
    EXPECT_EQ(in_g.size(), 14u);
    EXPECT_EQ(in_g.back(), "hello.txt");
}

TEST_F(Create, DuplicateAndInvalidNamesChangeNothing)
{
    directory top{};
    char hello[] = "hello";
    mkdir(fs, &top, hello);
    disk.reset_state();
    sim::reset();
    expect_refused(&top, {
        {refusal::file, "HELLO", "writeFile: error: HELLO already exists"},
        {refusal::directory, "hello", "mkdir: error: hello already exists"},
        // The short name of "Long File Name.txt".
        {refusal::file, "longfi~1.txt", "writeFile: error: longfi~1.txt already exists"},
        {refusal::file, "KEEP.BIN", "writeFile: error: KEEP.BIN already exists"},
        {refusal::file, "", "writeFile: error:  is not a valid name"},
        {refusal::file, "a/b", "writeFile: error: a/b is not a valid name"},
        {refusal::directory, "..", "mkdir: error: .. is not a valid name"},
    });
    EXPECT_EQ(disk.sectors_written(), 0u);
    std::string image = save_checked("create-dup");
    EXPECT_EQ(mdir_names(image, "/"), (std::vector<std::string>{"Long File Name.txt", "e", "g", "hello", "keep.bin"}));
}

TEST_F(Create, LossyAndCollidingShortNamesGetTheLowestFreeTail)
{
    directory top{};
    char a[] = "long file name.txt";
    char b[] = "longfilename.txt";
    char c[] = "LONGFI~2.TXT"; // fits 8.3 exactly but will be taken by b
    char d[] = "long.file.name.txt";
    writeFile(fs, &top, nullptr, a, 0); // differs from "Long File Name.txt" only in case
    writeFile(fs, &top, nullptr, b, 0);
    writeFile(fs, &top, nullptr, c, 0);
    writeFile(fs, &top, nullptr, d, 0);
    EXPECT_EQ(screen_lines(), (std::vector<std::string>{"writeFile: error: long file name.txt already exists",
                                  "writeFile: error: LONGFI~2.TXT already exists"}));
    std::string image = save_checked("create-tails");
    auto [status, listing] = fat32_test::run(fat32_ops::mtools("mdir -i " + image + " ::/"));
    EXPECT_NE(listing.find("LONGFI~1 TXT"), std::string::npos) << listing; // the mtools file
    EXPECT_NE(listing.find("LONGFI~2 TXT         0"), std::string::npos) << listing;
    EXPECT_NE(listing.find("LONGFI~3 TXT         0"), std::string::npos) << listing;
    expect_old_files_unchanged(image);
}

// Fills the volume with one file whose chain takes all free clusters but `left`.
void fill_volume(f32* fs, uint32_t left)
{
    uint32_t free_now = count_free_clusters(fs);
    uint32_t first = 0;
    uint32_t previous = 0;
    uint32_t taken = 0;
    for (uint32_t c = fat32_first_data_cluster; c <= fs->last_cluster && free_now > left; ++c) {
        if (fat_entry(fs, c) != 0)
            continue;
        set_fat_entry(fs, c, fat32_end_of_chain);
        if (previous)
            set_fat_entry(fs, previous, c);
        else
            first = c;
        previous = c;
        --free_now;
        ++taken;
    }
    directory top{};
    char name[] = "filler.bin";
    writeFile_impl(fs, &top, nullptr, name, taken * fs->cluster_size, attr_file, first);
}

TEST_F(Create, RunningOutOfSpaceLeavesTheVolumeExactlyAsItWas)
{
    fill_volume(fs, 2);
    ASSERT_TRUE(screen_lines().empty()) << sim::screen_text();
    std::string before_path = fat32_test::image_dir() + "/create-full-before.img";
    ASSERT_TRUE(disk.save(before_path));
    std::vector<uint32_t> fat_before = fat_snapshot(fs);
    uint32_t hint = fs->cluster_alloc_hint;
    uint32_t blocks = heap_test::walk_heap().used_blocks;
    disk.reset_state();
    sim::reset();

    directory top{};
    std::vector<uint8_t> data(3 * 512, 'x');
    char big[] = "three-clusters.bin";
    writeFile(fs, &top, data.data(), big, static_cast<uint32_t>(data.size()));
    // Directory "g" has one free slot: a name needs one cluster for itself and one to grow.
    directory g = sub("g");
    char two[] = "two.bin";
    writeFile(fs, &g, data.data(), two, 1024);
    EXPECT_EQ(screen_lines(), (std::vector<std::string>{"writeFile: error: not enough free space for three-clusters.bin",
                                  "writeFile: error: not enough free space for two.bin"}));
    EXPECT_EQ(disk.sectors_written(), 0u);
    EXPECT_EQ(fat_snapshot(fs), fat_before);
    EXPECT_EQ(fs->cluster_alloc_hint, hint);
    EXPECT_EQ(heap_test::walk_heap().used_blocks, blocks);

    // Two clusters are enough for one cluster of data and the directory's growth.
    char one[] = "one.bin";
    writeFile(fs, &g, data.data(), one, 512);
    EXPECT_EQ(count_free_clusters(fs), 0u);
    std::string image = save_checked("create-full");
    EXPECT_EQ(mtype(image, "/g/one.bin"), std::string(512, 'x'));
}

TEST_F(Create, AFailedDirectoryWriteUndoesTheAllocations)
{
    directory g = sub("g");
    std::vector<uint32_t> fat_before = fat_snapshot(fs);
    uint32_t hint = fs->cluster_alloc_hint;
    // The directory grows into the first free cluster, whose write then fails.
    uint32_t first_free = 0;
    for (uint32_t c = fat32_first_data_cluster; c <= fs->last_cluster && !first_free; ++c)
        if (fat_entry(fs, c) == 0)
            first_free = c;
    uint8_t data[600] = {};
    char name[] = "failing.bin";
    disk.fail_write_at(sector_for_cluster(fs, first_free));
    writeFile(fs, &g, data, name, sizeof data);
    EXPECT_EQ(fat_snapshot(fs), fat_before);
    EXPECT_EQ(fs->cluster_alloc_hint, hint);
    EXPECT_FALSE(screen_lines().empty());
    disk.fail_write_at(UINT64_MAX);
    std::string image = save_checked("create-undo");
    EXPECT_EQ(mdir_names(image, "/g").size(), 13u);
}

// A directory write that fails and cannot be put back either may leave slots that name clusters
// the undo frees: only a checker can tell, so the clean-shutdown mark stays cleared from then on.
TEST_F(Create, ADirectoryWriteThatCannotBeUndoneLeavesTheMarkCleared)
{
    directory top{};
    char probe[] = "probe", other[] = "other", third[] = "third";
    mkdir(fs, &top, probe);
    // Its writes end with the directory sector, FSInfo and the mark in both FAT copies; a name
    // of the same length takes the slots it leaves.
    uint64_t slots = disk.written_lbas().at(disk.written_lbas().size() - 4);
    delFile(fs, &top, probe);
    disk.fail_write_at(slots);
    mkdir(fs, &top, other);
    EXPECT_EQ(screen_lines().back(), "mkdir: error: could not write the directory for other");
    disk.fail_write_at(UINT64_MAX);
    mkdir(fs, &top, third);
    EXPECT_EQ(fat_entry(fs, fat32_mark_entry) & fat32_clean_mark, 0u);
    std::string image = fat32_test::image_dir() + "/create-withheld.img";
    ASSERT_TRUE(disk.save(image));
    fat32_test::expect_clean(image, {"Dirty bit is set"});
}

// A directory that cannot be read to its end may hold the name further on and cannot be
// grown safely: every creation in it is refused before anything is written.
TEST_F(Create, DirectoriesThatCannotBeReadToTheirEndRefuseEveryCreation)
{
    directory g = sub("g");
    uint32_t second = allocateCluster(fs);
    set_fat_entry(fs, g.cluster, second);
    ASSERT_TRUE(flushFAT(fs));
    uint32_t saved = fat_entry(fs, second);
    uint32_t free_cluster = 0;
    for (uint32_t c = fs->last_cluster; c > second && !free_cluster; --c)
        if (fat_entry(fs, c) == 0)
            free_cluster = c;
    const std::pair<const char*, uint32_t> damage[] = {
        {"a link to a free cluster", free_cluster},
        {"a link out of the volume", fs->last_cluster + 1},
        {"a link back into the chain", g.cluster},
        {"an unreadable cluster", saved},
    };
    for (const auto& [what, link] : damage) {
        SCOPED_TRACE(what);
        set_fat_entry(fs, second, link);
        if (link == saved)
            disk.fail_read_at(sector_for_cluster(fs, second));
        disk.reset_state();
        sim::reset();
        char name[] = "new";
        mkdir(fs, &g, name);
        uint8_t byte = 'x';
        writeFile(fs, &g, &byte, name, 1);
        uint32_t found = 0;
        uint8_t buffer[512];
        EXPECT_EQ(locate_entries(fs, buffer, &g, 2, &found), nullptr);
        std::vector<std::string> lines = screen_lines();
        // The disk driver reports each failed read itself.
        lines.erase(std::remove(lines.begin(), lines.end(), "disk: error: reading sector " +
                        std::to_string(sector_for_cluster(fs, second)) + " failed."),
            lines.end());
        EXPECT_EQ(lines, (std::vector<std::string>{"mkdir: error: the directory cannot be read to its end",
                             "writeFile: error: the directory cannot be read to its end"}));
        EXPECT_EQ(disk.sectors_written(), 0u);
        disk.fail_read_at(UINT64_MAX);
    }
    set_fat_entry(fs, second, saved);
    disk.reset_state();
    std::string image = save_checked("create-unreadable");
    EXPECT_EQ(mdir_names(image, "/g").size(), 13u);
}

// A directory of 65,536 slots (2 MiB) is as large as the format allows.
TEST_F(Create, AFullDirectoryOf65536SlotsIsNotGrown)
{
    directory top{};
    char big_name[] = "big";
    mkdir(fs, &top, big_name);
    directory big = sub("big");
    ASSERT_NE(big.cluster, 0u);
    // Fill it with short entries written straight into the image: 4,096 one-sector clusters
    // of 16 slots, "." and ".." first.
    std::vector<uint32_t> chain{big.cluster};
    for (uint32_t c = fat32_first_data_cluster; c <= fs->last_cluster && chain.size() < 4096; ++c)
        if (fat_entry(fs, c) == 0 && c != big.cluster) {
            set_fat_entry(fs, chain.back(), c);
            set_fat_entry(fs, c, fat32_end_of_chain);
            chain.push_back(c);
        }
    ASSERT_TRUE(write_fat_sectors(fs));
    ASSERT_EQ(finish_change(fs), change_end::done);
    uint32_t n = 0;
    uint8_t sector[512];
    for (size_t i = 0; i < chain.size(); ++i) {
        disk.read_sector(sector_for_cluster(fs, chain[i]), sector);
        for (uint32_t s = i == 0 ? 2 : 0; s < 16; ++s) {
            char eleven[12];
            std::snprintf(eleven, sizeof eleven, "X%07X   ", n++);
            std::memset(sector + s * 32, 0, 32);
            std::memcpy(sector + s * 32, eleven, 11);
        }
        disk.write_sector(sector_for_cluster(fs, chain[i]), sector);
    }
    ASSERT_EQ(n, 65534u);
    disk.reset_state();
    sim::reset();
    char hello[] = "hello";
    char last[] = "x000fffd"; // the last entry of all, in another case
    mkdir(fs, &big, hello);
    writeFile(fs, &big, nullptr, last, 0);
    EXPECT_EQ(screen_lines(), (std::vector<std::string>{"mkdir: error: directory full",
                                  "writeFile: error: x000fffd already exists"}));
    EXPECT_EQ(disk.sectors_written(), 0u);

    // Two slots freed in the last cluster take a name of up to 13 characters.
    disk.read_sector(sector_for_cluster(fs, chain.back()), sector);
    sector[14 * 32] = slot_deleted;
    sector[15 * 32] = slot_deleted;
    disk.write_sector(sector_for_cluster(fs, chain.back()), sector);
    // The slots changed behind the driver's back: what it learned of the directory is stale.
    dir_cache_forget(fs);
    sim::reset();
    mkdir(fs, &big, hello);
    EXPECT_TRUE(screen_lines().empty()) << sim::screen_text();
    EXPECT_EQ(get_next_cluster_id(fs, chain.back()), fat32_end_of_chain & fat32_entry_mask);
    std::string image = save_checked("create-65536");
    auto [status, listing] = fat32_test::run(fat32_ops::mtools("mdir -i " + image + " ::/big/hello"));
    EXPECT_EQ(status, 0) << listing;
}

// The disk fails each sector write of a creation in turn, once. Whatever fails, the creation
// says what and the volume stays consistent: a failure up to the directory write undoes it all,
// clean-shutdown mark included; after it (FSInfo, the mark set again in each FAT copy) the
// entry stays and at worst the mark stays cleared (the copies then differ in it) and the free
// count is stale. The next creation heals what was left pending.
class FailingWrites : public fat32_ops::Fs {
protected:
    // One creation of `name` in directory `dir`, failing its n-th write (0: none); returns
    // the writes it tried.
    uint64_t create(const std::string& image, const char* dir, int n, const char* name, uint32_t bytes)
    {
        mount_image(image);
        directory d = dir[0] != '\0' ? sub(dir) : directory{};
        disk.reset_state();
        disk.fail_nth_write(static_cast<uint64_t>(n));
        std::vector<uint8_t> data(bytes, 'd');
        std::string copy = name;
        if (bytes == 0)
            mkdir(fs, &d, copy.data());
        else
            writeFile(fs, &d, data.data(), copy.data(), bytes);
        target = d;
        return disk.write_attempts();
    }

    void run_all(const std::string& image, const char* dir, const char* name, uint32_t bytes)
    {
        uint64_t writes = create(image, dir, 0, name, bytes);
        ASSERT_TRUE(screen_lines().empty()) << sim::screen_text();
        ASSERT_GE(writes, 4u);
        const std::vector<uint64_t> lbas = disk.written_lbas();
        const uint32_t fat_end = fs->fat_begin_sector + fs->bpb.FAT_count * fs->bpb.count_sectors_per_FAT32;
        for (uint64_t n = 1; n <= writes; ++n) {
            SCOPED_TRACE("write " + std::to_string(n) + " of " + std::to_string(writes));
            create(image, dir, static_cast<int>(n), name, bytes);
            std::vector<std::string> lines = screen_lines();
            ASSERT_FALSE(lines.empty());
            // The message names what failed.
            uint64_t lba = lbas[n - 1];
            bool fat_failed = lba >= fs->fat_begin_sector && lba < fat_end;
            bool fsinfo_failed = lba == fs->bpb.sector_number_FSInfo;
            bool entry_kept = fsinfo_failed || n + fs->bpb.FAT_count > writes;
            EXPECT_NE(lines.back().find(std::string(": error: could not ")), std::string::npos) << lines.back();
            EXPECT_EQ(lines.back().find("the FAT") != std::string::npos, fat_failed) << lines.back();
            EXPECT_EQ(lines.back().find("FSInfo for ") != std::string::npos, fsinfo_failed) << lines.back();
            std::string failed_path = fat32_test::image_dir() + "/failed.img";
            ASSERT_TRUE(disk.save(failed_path));
            if (fsinfo_failed)
                fat32_test::expect_clean(failed_path, {"Dirty bit is set", "Free cluster summary wrong"});
            else if (entry_kept)
                fat32_test::expect_clean(failed_path, {"Dirty bit is set", "FATs differ"});
            else
                fat32_test::expect_clean(failed_path);
            // A second creation meets a consistent volume and brings FSInfo up to date.
            sim::reset();
            char next[] = "next";
            mkdir(fs, &target, next);
            EXPECT_TRUE(screen_lines().empty()) << sim::screen_text();
            std::string healed = save_checked("healed");
            std::vector<std::string> names = fat32_ops::mdir_names(healed, std::string("/") + dir);
            EXPECT_EQ(std::count(names.begin(), names.end(), std::string(name)), entry_kept ? 1 : 0);
            EXPECT_EQ(std::count(names.begin(), names.end(), std::string("next")), 1);
        }
    }

    directory target{};
};

TEST_F(FailingWrites, MkdirInTheRoot)
{
    for (int spc : {1, 8})
        run_all(fat32_test::make_image("fail-root-" + std::to_string(spc), spc == 1 ? 64 : 512, spc), "", "hello", 0);
}

TEST_F(FailingWrites, FileThatGrowsItsDirectory)
{
    // "g" has one free slot left: the two-slot name grows it by a cluster.
    run_all(create_image(), "g", "grown.bin", 700);
}

} // namespace

namespace {

using namespace tavix;
using fat32_ops::screen_lines;
using fat32_test::run;

uint64_t fnv(uint64_t h, const uint8_t* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 0x100000001B3ull;
    return h;
}

struct Region {
    const char* name;
    uint64_t digest;
};

// The byte content a sequence of creations and deletions leaves: a digest of the reserved
// sectors, of each FAT copy and of the first data clusters, on a volume whose free clusters
// hold stale bytes beforehand (so a cluster that is not fully rewritten shows). New entries carry
// the fixture's fixed clock time.
class Content : public fat32_ops::Fs {
protected:
    static constexpr uint32_t stained_clusters = 256;

    void prepare(int mib, int spc)
    {
        std::string path = fat32_test::image_dir() + "/golden.img";
        std::remove(path.c_str());
        auto [status, out] = run("mkfs.fat -F 32 --invariant -s " + std::to_string(spc) + " -C " + path + " "
            + std::to_string(mib * 1024));
        ASSERT_EQ(status, 0) << out;
        mount_image(path);
        uint8_t sector[512];
        for (uint32_t c = fs->root_cluster + 1; c < fs->root_cluster + stained_clusters; ++c)
            for (uint32_t s = 0; s < fs->bpb.sectors_per_cluster; ++s) {
                for (uint32_t i = 0; i < 512; ++i)
                    sector[i] = static_cast<uint8_t>(0xA5 ^ (c + s + i));
                disk.write_sector(sector_for_cluster(fs, c) + s, sector);
            }
        disk.reset_state();
    }

    static std::string expected_bytes(size_t from, size_t count)
    {
        std::string bytes;
        for (size_t i = from; i < from + count; ++i)
            bytes += static_cast<char>('a' + i % 23);
        return bytes;
    }

    // The sequence on a fresh volume of `mib` MiB and `spc` sectors per cluster. All it may
    // print is the note deletions give for each free slot they pass.
    void run_sequence(int mib, int spc)
    {
        prepare(mib, spc);
        directory top{};
        std::string text = expected_bytes(0, 9000);
        auto* data = reinterpret_cast<uint8_t*>(text.data());
        char hello[] = "hello", a[] = "a.txt", empty[] = "thirteenchars", three[] = "fourteen-chars";
        mkdir(fs, &top, hello);
        writeFile(fs, &top, data, a, 100);
        writeFile(fs, &top, data, empty, 0);
        writeFile(fs, &top, data, three, 1300);
        directory h = sub("hello");
        char inner[] = "inner.bin", second[] = "second";
        writeFile(fs, &h, data, inner, 5000);
        // Five-slot names: the root grows, leaving never-used slots behind on 512-byte clusters.
        for (int i = 0; i < 30; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "file-with-a-rather-long-name-number-%02d.txt", i);
            writeFile(fs, &top, data + i, name, static_cast<uint32_t>(10 + 37 * i));
        }
        delFile(fs, &top, a);
        delFile(fs, &top, three);
        char gone[] = "file-with-a-rather-long-name-number-07.txt";
        delFile(fs, &top, gone);
        // Four slots: the holes left by a.txt and fourteen-chars hold two and three, apart.
        char four[] = "a-name-that-takes-four-slots.txt", again[] = "again.txt", exact[] = "exact.bin",
             over[] = "over.bin";
        writeFile(fs, &top, data, four, 77);
        writeFile(fs, &top, data, again, 42);
        mkdir(fs, &h, second);
        writeFile(fs, &h, data, exact, fs->cluster_size);
        writeFile(fs, &h, data, over, fs->cluster_size + 1);
        for (const std::string& line : screen_lines())
            EXPECT_EQ(line, "This directory entry has never been written or it has been deleted.");
    }

    uint64_t digest(uint32_t first, uint32_t count)
    {
        uint64_t h = 0xCBF29CE484222325ull;
        uint8_t sector[512];
        for (uint32_t s = first; s < first + count; ++s) {
            disk.read_sector(s, sector);
            h = fnv(h, sector, sizeof sector);
        }
        return h;
    }

    std::vector<std::string> regions()
    {
        uint32_t spf = fs->bpb.count_sectors_per_FAT32;
        std::vector<std::pair<const char*, uint64_t>> got = {{"reserved", digest(0, fs->fat_begin_sector)},
            {"FAT 1", digest(fs->fat_begin_sector, spf)}, {"FAT 2", digest(fs->fat_begin_sector + spf, spf)},
            {"data", digest(fs->cluster_begin_sector, stained_clusters * fs->bpb.sectors_per_cluster)}};
        std::vector<std::string> rows;
        uint32_t end = fs->cluster_begin_sector + stained_clusters * fs->bpb.sectors_per_cluster;
        for (uint64_t lba : disk.written_lbas())
            if (lba >= end)
                rows.push_back("written past the digested clusters: " + std::to_string(lba));
        for (auto& [name, h] : got) {
            char row[64];
            std::snprintf(row, sizeof row, "%s %016llx", name, static_cast<unsigned long long>(h));
            rows.push_back(row);
        }
        return rows;
    }
};

// One new directory in an empty root: the clean-shutdown mark cleared in each FAT copy, the
// directory's cluster (written once, whole), the FAT sector in each copy, then the root's one
// changed sector that names it, then FSInfo, then the mark set again, and nothing else. Only
// the root is read: FSInfo is held since the mount.
TEST_F(Content, MkdirWritesOnlyTheSectorsThatChange)
{
    for (int spc : {1, 8}) {
        SCOPED_TRACE(spc);
        prepare(spc == 1 ? 64 : 512, spc);
        directory top{};
        char hello[] = "hello";
        mkdir(fs, &top, hello);
        uint32_t made = fs->root_cluster + 1;
        ASSERT_EQ(fat_entry(fs, made), fat32_end_of_chain);
        uint32_t spf = fs->bpb.count_sectors_per_FAT32;
        std::vector<uint64_t> expected{fs->fat_begin_sector, fs->fat_begin_sector + spf};
        for (int s = 0; s < spc; ++s)
            expected.push_back(sector_for_cluster(fs, made) + s);
        for (uint64_t lba : {fs->fat_begin_sector, fs->fat_begin_sector + spf, fs->cluster_begin_sector, 1u,
                 fs->fat_begin_sector, fs->fat_begin_sector + spf})
            expected.push_back(lba);
        EXPECT_EQ(disk.written_lbas(), expected);
        EXPECT_EQ(disk.sectors_read(), static_cast<uint64_t>(spc)) << "the root once";
    }
}

TEST_F(Content, OneSectorClusters)
{
    run_sequence(64, 1);
    EXPECT_EQ(regions(), (std::vector<std::string>{"reserved 34672fddbb021207", "FAT 1 c597381e424d69c8",
                             "FAT 2 c597381e424d69c8", "data 2d486e0c2b5ac688"}));
    save_checked("golden-end");
}

TEST_F(Content, FourKiBClusters)
{
    run_sequence(512, 8);
    EXPECT_EQ(regions(), (std::vector<std::string>{"reserved f08c3cd8f7f54af7", "FAT 1 0944b2132bcfa4c2",
                             "FAT 2 0944b2132bcfa4c2", "data 029c326f8e126018"}));
    dir_entry inner{const_cast<char*>("inner.bin"), 0, find(sub("hello").cluster, "inner.bin").first_cluster, 5000, 0, 0};
    uint8_t* back = readFile(fs, &inner);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(back), 5000), expected_bytes(0, 5000));
    mfree(back);
    std::string image = save_checked("golden-end");
    EXPECT_EQ(fat32_ops::mdir_names(image, "/hello"),
        (std::vector<std::string>{"exact.bin", "inner.bin", "over.bin", "second"}));
    EXPECT_EQ(fat32_ops::mtype(image, "/hello/over.bin"), expected_bytes(0, 4097));
    EXPECT_EQ(fat32_ops::mtype(image, "/file-with-a-rather-long-name-number-29.txt"), expected_bytes(29, 10 + 37 * 29));
}

} // namespace
