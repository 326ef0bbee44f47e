// In-kernel tests of the FAT32 file API on QEMU's IDE disk: write, read back, delete and
// mkdir on the volume mounted at start-up. The system test then checks the disk image with
// fsck.fat and mtools, so the files named "kfs keep..." are left on the volume on purpose.
#include "cpu/mem.hpp"
#include "cpu/string.hpp"
#include "drivers/fs/fat32.hpp"
#include "drivers/fs/fat32_volume.hpp"
#include "tests/kernel/ktest.hpp"

#include <stdint.h>

using namespace tavix;

namespace {

constexpr uint32_t pattern_bytes = 3000; // several clusters at 512 bytes, one at 4 KiB

uint8_t pattern(uint32_t i) { return static_cast<uint8_t>(i * 31 + 7); }

// The entry of that name in the directory at `cluster`, copied without its name, or a
// record whose name is null when there is none. Also counts the entries of that name.
dir_entry find(uint32_t cluster, const char* name, uint32_t* matches = nullptr)
{
    directory d{};
    populate_dir(master_fs, &d, cluster);
    dir_entry found{};
    uint32_t count = 0;
    for (uint32_t i = 0; i < d.num_entries; ++i)
        if (strcmp(d.entries[i].name, name) == 0) {
            found = d.entries[i];
            found.name = const_cast<char*>(name);
            ++count;
        }
    free_directory(master_fs, &d);
    if (matches)
        *matches = count;
    return found;
}

uint8_t* make_pattern()
{
    auto* data = static_cast<uint8_t*>(malloc(pattern_bytes));
    if (data)
        for (uint32_t i = 0; i < pattern_bytes; ++i)
            data[i] = pattern(i);
    return data;
}

bool same_as_pattern(const uint8_t* data)
{
    for (uint32_t i = 0; i < pattern_bytes; ++i)
        if (data[i] != pattern(i))
            return false;
    return true;
}

} // namespace

KTEST(fs, volume_is_mounted)
{
    KEXPECT(master_fs != nullptr);
}

KTEST(fs, write_read_back_and_delete)
{
    KEXPECT(master_fs != nullptr);
    if (!master_fs)
        return;
    uint8_t* data = make_pattern();
    KEXPECT(data != nullptr);
    if (!data)
        return;
    directory root{master_fs->root_cluster, nullptr, 0};
    char doomed[] = "kfs doomed file.bin";
    char keep[] = "kfs keep file.bin";
    writeFile(master_fs, &root, data, doomed, pattern_bytes);
    writeFile(master_fs, &root, data, keep, pattern_bytes);

    dir_entry entry = find(root.cluster, doomed);
    KEXPECT(entry.name != nullptr);
    KEXPECT(entry.file_size == pattern_bytes);
    if (entry.name) {
        uint8_t* back = readFile(master_fs, &entry);
        KEXPECT(back != nullptr);
        if (back)
            KEXPECT(same_as_pattern(back));
        mfree(back);
    }

    uint32_t first = entry.first_cluster;
    delFile(master_fs, &root, doomed);
    KEXPECT(find(root.cluster, doomed).name == nullptr);
    uint32_t link = 1;
    KEXPECT(first != 0 && fat_read_entry(master_fs, first, &link) && (link & fat32_entry_mask) == 0);
    KEXPECT(find(root.cluster, keep).name != nullptr);
    mfree(data);
}

KTEST(fs, mkdir_makes_dot_entries_once)
{
    KEXPECT(master_fs != nullptr);
    if (!master_fs)
        return;
    directory start{0, nullptr, 0}; // cluster 0, as the shell's start-up record has it
    char name[] = "kfs keep dir";
    mkdir(master_fs, &start, name);
    mkdir(master_fs, &start, name); // refused: the name exists
    uint32_t matches = 0;
    dir_entry made = find(master_fs->root_cluster, name, &matches);
    KEXPECT(matches == 1);
    KEXPECT((made.dir_attrs & attr_directory) != 0);

    directory inside{};
    populate_dir(master_fs, &inside, made.first_cluster);
    KEXPECT(inside.num_entries == 2);
    if (inside.num_entries == 2) {
        KEXPECT(strcmp(inside.entries[0].name, ".") == 0);
        KEXPECT(inside.entries[0].first_cluster == made.first_cluster);
        KEXPECT(strcmp(inside.entries[1].name, "..") == 0);
        KEXPECT(inside.entries[1].first_cluster == 0);
    }
    free_directory(master_fs, &inside);
}

// Many entries in one directory, across cluster ends, with deletions between: the creations
// after the first take what they need from the directory cache. The system test lists the
// directory with mtools; which names survive is fixed here.
constexpr uint32_t many_entries = 60;
constexpr uint32_t many_deleted_every = 3;

void many_name(char* out, const char* stem, uint32_t i)
{
    char digits[12];
    intToString(static_cast<int>(i), digits);
    strcpy(out, stem);
    strcat(out, digits);
    strcat(out, ".txt");
}

KTEST(fs, many_entries_in_one_directory)
{
    KEXPECT(master_fs != nullptr);
    if (!master_fs)
        return;
    directory root{master_fs->root_cluster, nullptr, 0};
    char dir_name[] = "kfs many";
    mkdir(master_fs, &root, dir_name);
    dir_entry made = find(master_fs->root_cluster, dir_name);
    KEXPECT(made.name != nullptr);
    if (!made.name)
        return;
    directory many{made.first_cluster, nullptr, 0};
    char name[40];
    uint8_t byte = 'k';
    for (uint32_t i = 0; i < many_entries; ++i) {
        many_name(name, "a long entry name number ", i);
        writeFile(master_fs, &many, &byte, name, 1);
    }
    for (uint32_t i = 0; i < many_entries; i += many_deleted_every) {
        many_name(name, "a long entry name number ", i);
        delFile(master_fs, &many, name);
    }
    for (uint32_t i = 0; i < many_entries / many_deleted_every; ++i) {
        many_name(name, "again ", i);
        writeFile(master_fs, &many, &byte, name, 1);
    }
    many_name(name, "A LONG ENTRY NAME NUMBER ", 1); // exists, in another case: refused
    writeFile(master_fs, &many, &byte, name, 1);

    directory listed{};
    populate_dir(master_fs, &listed, many.cluster);
    // ".", "..", the long names left and the new ones, which took the freed slots' place.
    constexpr uint32_t deleted = (many_entries + many_deleted_every - 1) / many_deleted_every;
    constexpr uint32_t dot_entries = 2;
    KEXPECT(listed.num_entries == dot_entries + (many_entries - deleted) + many_entries / many_deleted_every);
    free_directory(master_fs, &listed);
}
