// The directory cache: creations that use it write exactly what creations that walk the
// directory write, it follows the driver's own creations and deletions, a failure drops it, and
// creating in a directory costs a bounded number of reads however many entries it holds.
#include "drivers/fs/fat32_dir.hpp"
#include "drivers/fs/fat32_dir_cache.hpp"

#include "tests/unit/fat32_ops_fixture.hpp"

#include <functional>

namespace {

using namespace tavix;
using fat32_ops::mdir_names;
using fat32_ops::screen_lines;

class DirCache : public fat32_ops::Fs {
protected:
    // A volume of 512-byte clusters (16 slots each) as mtools left it: a few files, one of
    // them deleted, so that the root has a free slot among its entries.
    std::string foreign_image()
    {
        std::string host = fat32_test::image_dir() + "/two-bytes.txt";
        fat32_test::run("printf hi > " + host);
        return fat32_test::make_image("dir-cache", 64, 1,
            {"mcopy -i IMG " + host + " ::/one.txt", "mcopy -i IMG " + host + " '::/a longer name.txt'",
                "mcopy -i IMG " + host + " ::/three.txt", "mdel -i IMG ::/one.txt", "mmd -i IMG ::/docs"});
    }

    void create(uint32_t dir_cluster, const std::string& name, const std::string& data = "x")
    {
        directory d{dir_cluster, nullptr, 0};
        std::string n = name;
        writeFile(fs, &d, reinterpret_cast<uint8_t*>(const_cast<char*>(data.data())), n.data(),
            static_cast<uint32_t>(data.size()));
    }

    void remove(uint32_t dir_cluster, const std::string& name)
    {
        directory d{dir_cluster, nullptr, 0};
        std::string n = name;
        delFile(fs, &d, n.data());
    }

    void make_dir(uint32_t dir_cluster, const std::string& name)
    {
        directory d{dir_cluster, nullptr, 0};
        std::string n = name;
        mkdir(fs, &d, n.data());
    }

    // Runs each step on a fresh mount of `image`, dropping the cache before every step when
    // `walk_every_time`; returns the saved image and what the screen showed.
    std::pair<std::string, std::string> run_steps(const std::string& image, const std::string& saved,
        const std::vector<std::function<void()>>& steps, bool walk_every_time)
    {
        mount_image(image);
        std::string screen;
        for (const auto& step : steps) {
            if (walk_every_time)
                dir_cache_forget(fs);
            sim::reset();
            sim::set_port_logging(false);
            step();
            // delFile reports every free slot it passes; those lines say nothing here.
            for (const std::string& line : screen_lines())
                if (line != "This directory entry has never been written or it has been deleted.")
                    screen += line + "\n";
        }
        return {save_checked(saved), screen};
    }
};

std::string numbered(const char* stem, int i)
{
    char name[64];
    std::snprintf(name, sizeof name, "%s%03d.txt", stem, i);
    return name;
}

// Names of one to four slots in turn.
std::string mixed(int i)
{
    constexpr const char* stems[] = {"f", "medium-name-", "a-name-of-thirty-chars-", "x"};
    return numbered(stems[i % 4], i);
}

TEST_F(DirCache, CreationsAndDeletionsWriteWhatAWalkWouldWrite)
{
    std::string image = foreign_image();
    ASSERT_FALSE(image.empty());
    mount_image(image);
    const uint32_t docs = sub("docs").cluster;
    ASSERT_NE(docs, 0u);
    std::vector<std::function<void()>> steps;
    // Names of one to four slots fill the root across cluster ends, so that runs are found
    // in the middle, at the end and in grown clusters, and never-used slots get sealed.
    for (int i = 0; i < 40; ++i)
        steps.push_back([this, i] { create(0, mixed(i)); });
    // Lossy names take tails ~1, ~2, ...; deleting one frees its tail for the next.
    for (int i = 0; i < 4; ++i)
        steps.push_back([this, i] { create(0, "longfilename" + std::to_string(i) + ".text"); });
    for (int i : {3, 4, 5, 17, 26})
        steps.push_back([this, i] { remove(0, mixed(i)); });
    steps.push_back([this] { remove(0, "longfilename1.text"); });
    steps.push_back([this] { create(0, "longfilename9.text"); });
    steps.push_back([this] { create(0, "reuses freed slots.txt"); });
    steps.push_back([this] { create(0, "Medium-Name-001.TXT"); }); // exists in another case
    steps.push_back([this] { create(0, "one.txt"); });             // deleted by mtools
    // Moving between directories replaces the cached one.
    steps.push_back([this, docs] { create(docs, "inside.txt"); });
    steps.push_back([this, docs] { make_dir(docs, "deeper"); });
    steps.push_back([this] { create(0, "back in the root.txt"); });
    steps.push_back([this, docs] { remove(docs, "inside.txt"); });
    steps.push_back([this, docs] { create(docs, "inside again.txt"); });
    // A directory filled, emptied and deleted while cached; its cluster comes back as the
    // next directory's.
    steps.push_back([this] { make_dir(0, "gone"); });
    steps.push_back([this] {
        uint32_t gone = sub("gone").cluster;
        for (int i = 0; i < 20; ++i)
            create(gone, numbered("g", i));
        for (int i = 0; i < 20; ++i)
            remove(gone, numbered("g", i));
        remove(0, "gone");
        // A creation through a handle the deletion left stale finds a free cluster, not a
        // directory.
        create(gone, "orphan.txt");
        make_dir(0, "new");
        create(sub("new").cluster, "first.txt");
    });

    auto [cached, cached_screen] = run_steps(image, "cached", steps, false);
    auto [walked, walked_screen] = run_steps(image, "walked", steps, true);
    EXPECT_EQ(cached_screen, walked_screen);
    EXPECT_EQ(cached_screen, "writeFile: error: Medium-Name-001.TXT already exists\n"
                             "writeFile: error: the directory cannot be read to its end\n");
    auto [status, out] = fat32_test::run("cmp " + cached + " " + walked);
    EXPECT_EQ(status, 0) << out;
    auto names = mdir_names(cached, "/");
    EXPECT_TRUE(std::find(names.begin(), names.end(), "longfilename9.text") != names.end());
    EXPECT_TRUE(std::find(names.begin(), names.end(), "medium-name-005.txt") == names.end());
    EXPECT_EQ(mdir_names(cached, "/new"), (std::vector<std::string>{"first.txt"}));
}

TEST_F(DirCache, EachCreationReadsABoundedNumberOfSectorsHoweverFullTheDirectory)
{
    mount_image(fat32_test::make_image("dir-cache-linear", 64, 1));
    std::vector<uint64_t> reads;
    for (int i = 0; i < 400; ++i) {
        uint64_t before = disk.sectors_read();
        create(0, numbered("file", i));
        reads.push_back(disk.sectors_read() - before);
    }
    EXPECT_TRUE(screen_lines().empty()) << sim::screen_text();
    // The directory cluster holding the run, FSInfo, and now and then a chunk of the FAT.
    uint64_t late = 0;
    for (int i = 300; i < 400; ++i)
        late += reads[i];
    EXPECT_LE(late, 2u * 100 + fat_chunk_sectors);
    // Without the cache the same creation reads the whole directory: 50 clusters by now.
    dir_cache_forget(fs);
    uint64_t before = disk.sectors_read();
    create(0, "walks.txt");
    EXPECT_GE(disk.sectors_read() - before, 50u);
    save_checked("linear");
}

TEST_F(DirCache, AnyFailureDropsItAndTheNextCreationWalksAgain)
{
    mount_image(fat32_test::make_image("dir-cache-failure", 64, 1));
    for (int i = 0; i < 20; ++i)
        create(0, numbered("file", i));
    ASSERT_NE(dir_cache_for(fs, 0), nullptr);

    // A failed write of the new entry's cluster (after the clean-shutdown mark is cleared in
    // both FAT copies): nothing is created and the cache is gone.
    disk.fail_nth_write(3);
    create(0, "fails.txt");
    EXPECT_EQ(screen_lines().back(), "writeFile: error: could not write the new clusters for fails.txt");
    EXPECT_EQ(fs->cached_dir, nullptr);
    sim::reset();
    sim::set_port_logging(false);
    create(0, "after.txt");
    EXPECT_TRUE(screen_lines().empty()) << sim::screen_text();
    ASSERT_NE(dir_cache_for(fs, 0), nullptr);

    // The cluster the cached run lies in cannot be read: the walk that follows cannot either,
    // so the creation is refused with nothing written, and nothing is cached.
    directory top = root();
    uint32_t last = top.cluster;
    for (uint32_t next; (next = get_next_cluster_id(fs, last)) <= fat32_last_link;)
        last = next;
    free_directory(fs, &top);
    disk.fail_read_at(sector_for_cluster(fs, last));
    disk.reset_state();
    create(0, "unreadable.txt");
    EXPECT_EQ(screen_lines().back(), "writeFile: error: the directory cannot be read to its end");
    EXPECT_EQ(disk.sectors_written(), 0u);
    EXPECT_EQ(fs->cached_dir, nullptr);
    disk.fail_read_at(UINT64_MAX);

    std::string image = save_checked("failure");
    auto names = mdir_names(image, "/");
    EXPECT_EQ(names.size(), 21u);
    EXPECT_TRUE(std::find(names.begin(), names.end(), "after.txt") != names.end());
}

} // namespace
