// A mounted FAT32 image in the simulated drive for the directory, creation and file tests,
// with the checks every writing test ends with: fsck.fat, mdir and mtype on the saved image.
#pragma once

#include "cpu/mem.hpp"
#include "drivers/fs/fat32.hpp"
#include "drivers/fs/fat32_dir_cache.hpp"
#include "drivers/fs/fat32_volume.hpp"
#include "tests/sim/ata.hpp"
#include "tests/sim/cmos.hpp"
#include "tests/sim/sim.hpp"
#include "tests/unit/fat32_image.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>


// A FAT entry as the volume reads it; tests reach the FAT only through the volume's routines.
inline uint32_t fat_entry(tavix::f32* fs, uint32_t cluster)
{
    uint32_t value = 0;
    EXPECT_TRUE(tavix::fat_read_entry(fs, cluster, &value)) << "cluster " << cluster;
    return value;
}

inline void set_fat_entry(tavix::f32* fs, uint32_t cluster, uint32_t value)
{
    EXPECT_TRUE(tavix::fat_write_entry(fs, cluster, value)) << "cluster " << cluster;
}

namespace fat32_ops {

using fat32_test::run;

inline std::string mtools(const std::string& command) { return "MTOOLS_SKIP_CHECK=1 " + command; }

// The non-empty rows of the simulated screen, trailing blanks removed.
inline std::vector<std::string> screen_lines()
{
    std::vector<std::string> lines;
    for (int r = 0; r < 25; ++r) {
        std::string s = sim::screen_row_trimmed(r);
        if (!s.empty())
            lines.push_back(s);
    }
    return lines;
}

// The directory's names as mdir lists them (long names, or the short name), sorted.
// mtools steps that fill ::/d with 13 short files and then a long name whose entries run
// across the end of the directory's first cluster (1 sector per cluster), then one more file.
inline void add_boundary_directory_steps(std::vector<std::string>& steps, const std::string& host)
{
    for (int i = 1; i <= 13; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "f%02d", i);
        steps.push_back("mcopy -i IMG " + host + " ::/d/" + name);
    }
    steps.push_back("mcopy -i IMG " + host + " '::/d/boundary crossing.txt'");
    steps.push_back("mcopy -i IMG " + host + " ::/d/after.txt");
}

inline std::vector<std::string> mdir_names(const std::string& image, const std::string& dir)
{
    auto [status, out] = run(mtools("mdir -b -i " + image + " ::" + dir));
    std::vector<std::string> names;
    if (status != 0)
        return {"<mdir failed: " + out + ">"};
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos)
            end = out.size();
        std::string line = out.substr(at, end - at);
        at = end + 1;
        if (line.empty())
            continue;
        // mdir -b prints full paths: keep the last component.
        size_t slash = line.find_last_of('/', line.size() >= 2 ? line.size() - 2 : 0);
        if (line.back() == '/')
            line.pop_back();
        names.push_back(slash == std::string::npos ? line : line.substr(slash + 1));
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline std::string mtype(const std::string& image, const std::string& path)
{
    auto [status, out] = run(mtools("mtype -i " + image + " '::" + path + "'"));
    return status == 0 ? out : "<mtype failed: " + out + ">";
}

// The names of a listed directory, in the order it lists them.
inline std::vector<std::string> names_of(const tavix::directory& d)
{
    std::vector<std::string> names;
    for (uint32_t i = 0; i < d.num_entries; ++i)
        names.push_back(d.entries[i].name);
    return names;
}

// Entry `name` of a listed directory, all zero where it has none. Its name is cleared: the
// name belongs to the listing and goes when the listing is freed.
inline tavix::dir_entry entry_in(const tavix::directory& d, const char* name)
{
    for (uint32_t i = 0; i < d.num_entries; ++i) {
        if (std::strcmp(d.entries[i].name, name) == 0) {
            tavix::dir_entry found = d.entries[i];
            found.name = nullptr;
            return found;
        }
    }
    return {};
}

class Fs : public ::testing::Test {
protected:
    // The simulated clock's time in every test: new entries carry it.
    static constexpr sim::CmosTime clock_time = {2026, 12, 9, 10, 30, 0};

    // A fresh simulated PC and heap, as at start-up: nothing mounted, nothing on the screen.
    static void fresh_machine()
    {
        sim::reset();
        tavix::init_dmem();
    }

    tavix::f32* mount()
    {
        char kind[] = "fat32";
        return tavix::makeFilesystem(kind);
    }

    // Loads the image and mounts it; then the simulated PC and the drive start afresh, so that
    // the screen, the port log and the drive's counters show only what the test does.
    void mount_image(const std::string& image)
    {
        sim::cmos_reset();
        sim::cmos_set_time(clock_time);
        tavix::init_dmem();
        ASSERT_FALSE(image.empty()) << "mkfs.fat or mtools failed";
        ASSERT_TRUE(disk.load(image));
        // Whole-cluster transfers would fill the port log with every data word.
        sim::set_port_logging(false);
        fs = mount();
        ASSERT_NE(fs, nullptr);
        sim::reset();
        sim::set_port_logging(false);
        disk.reset_state();
    }

    // Saves the image under `name`, has fsck.fat check it and returns the path.
    std::string save_checked(const std::string& name)
    {
        std::string path = fat32_test::image_dir() + "/" + name + ".img";
        EXPECT_TRUE(disk.save(path));
        fat32_test::expect_clean(path);
        return path;
    }

    // Heap blocks in use apart from the directory cache, which a creation keeps on purpose:
    // it is dropped first, so whatever else an operation left behind still shows.
    uint32_t held_blocks()
    {
        tavix::dir_cache_forget(fs);
        return heap_test::walk_heap().used_blocks;
    }

    tavix::directory root()
    {
        tavix::directory d{};
        tavix::populate_root_dir(fs, &d);
        return d;
    }

    // Entry `name` of the directory at `dir_cluster` (0: the root), found on the disk by the
    // file system's lookup; as entry_in gives it.
    tavix::dir_entry find(uint32_t dir_cluster, const char* name)
    {
        tavix::dir_entry found{};
        tavix::find_entry(fs, dir_cluster, name, &found);
        tavix::mfree(found.name);
        found.name = nullptr;
        return found;
    }

    // The names the directory at `dir_cluster` (0: the root) lists, in its order, listed
    // afresh from the disk.
    std::vector<std::string> listing(uint32_t dir_cluster)
    {
        tavix::directory d{};
        tavix::populate_dir(fs, &d, dir_cluster);
        std::vector<std::string> names = names_of(d);
        tavix::free_directory(fs, &d);
        return names;
    }

    // The root's subdirectory `name`, to create in, delete from or list.
    tavix::directory sub(const char* name) { return {find(0, name).first_cluster, nullptr, 0}; }

    // Byte `offset` of slot `slot` of a directory cluster, read from the disk past the driver.
    uint8_t slot_byte(uint32_t cluster, uint32_t slot, uint32_t offset)
    {
        return static_cast<uint8_t>(
            fat32_test::peek(disk, tavix::sector_for_cluster(fs, cluster) + slot * 32 / 512, slot * 32 % 512 + offset, 1));
    }

    // Puts the 32 bytes of `slot` into slot `index` of a directory cluster, straight on the disk.
    void write_slot(uint32_t cluster, uint32_t index, const uint8_t* slot)
    {
        fat32_test::poke_bytes(disk, tavix::sector_for_cluster(fs, cluster) + index * 32 / 512, index * 32 % 512, slot, 32);
    }

    // A creation the driver must refuse: an empty file or a directory named `name`, and the
    // one line it prints instead.
    struct refusal {
        enum { file, directory } kind;
        const char* name;
        const char* line;
    };

    // Tries each creation in `dir` in turn: each prints its line, and nothing else appears.
    void expect_refused(tavix::directory* dir, std::initializer_list<refusal> refusals)
    {
        std::vector<std::string> lines;
        for (const refusal& r : refusals) {
            std::string name = r.name;
            if (r.kind == refusal::directory)
                tavix::mkdir(fs, dir, name.data());
            else
                tavix::writeFile(fs, dir, nullptr, name.data(), 0);
            lines.push_back(r.line);
        }
        EXPECT_EQ(screen_lines(), lines);
    }

    sim::AtaDisk disk;
    tavix::f32* fs = nullptr;
};

// A suite whose every test starts on a fresh copy of one image, mounted; `image` makes the
// image on first use and gives its path.
template <const std::string& (*image)()>
class FsOn : public Fs {
protected:
    void SetUp() override { mount_image(image()); }
};

} // namespace fat32_ops

// Every entry of the FAT as the volume reads it, for tests that compare the whole FAT before
// and after an operation. It reads every FAT sector the volume does not hold yet.
inline std::vector<uint32_t> fat_snapshot(tavix::f32* fs)
{
    std::vector<uint32_t> entries(tavix::fat_entry_count(fs));
    for (uint32_t c = 0; c < entries.size(); ++c)
        entries[c] = fat_entry(fs, c);
    return entries;
}
