// Directory decoding on mtools-made images (short names, long names, cluster boundaries,
// deleted slots) and on damaged ones (bad ordinals, endless runs, looping and broken chains).
#include "drivers/fs/fat32_dir.hpp"

#include "drivers/fs/cp437.hpp"

#include "tests/unit/fat32_ops_fixture.hpp"

#include <random>
#include <set>

namespace {

using namespace tavix;
using fat32_ops::screen_lines;

const std::string& decode_image()
{
    static const std::string path = [] {
        std::string host = fat32_test::make_host_file("dec.bin", 3);
        std::vector<std::string> steps = {"mmd -i IMG ::/d", "mmd -i IMG ::/gone"};
        fat32_ops::add_boundary_directory_steps(steps, host);
        steps.push_back("mcopy -i IMG " + host + " ::/README.TXT");
        steps.push_back("mcopy -i IMG " + host + " ::/thirteen_char");
        steps.push_back("mcopy -i IMG " + host + " ::/gone/one");
        steps.push_back("mcopy -i IMG " + host + " ::/gone/two");
        steps.push_back("mcopy -i IMG " + host + " ::/gone/three");
        steps.push_back("mdel -i IMG ::/gone/two");
        return fat32_test::make_image("decode-64m", 64, 1, steps);
    }();
    return path;
}

class Decode : public fat32_ops::FsOn<decode_image> {
protected:
    // A long-name slot whose checksum belongs to the short name `eleven` (null: checksum 0).
    static void long_slot(uint8_t* slot, uint8_t ordinal, const char* part, const char* eleven = nullptr)
    {
        std::memset(slot, 0, 32);
        slot[0] = ordinal;
        slot[11] = attr_long_name;
        slot[13] = eleven ? checksum_fname(const_cast<char*>(eleven)) : 0;
        for (uint32_t c = 0; c < lfn_chars_per_entry && part[c]; ++c)
            slot[lfn_char_offsets[c]] = static_cast<uint8_t>(part[c]);
    }

    static void short_slot(uint8_t* slot, const char* eleven, uint32_t cluster)
    {
        std::memset(slot, 0, 32);
        std::memcpy(slot, eleven, 11);
        writei16(slot, 26, static_cast<uint16_t>(cluster));
    }
};

// What mtools wrote: short-only names, a 13-character long name, the volume label (which names
// nothing), a long name whose slots cross a cluster boundary with entries after it, and a
// deleted slot between live entries.
TEST_F(Decode, DirectoriesMtoolsWrote)
{
    directory top = root();
    EXPECT_EQ(fat32_ops::names_of(top), (std::vector<std::string>{"d", "gone", "README.TXT", "thirteen_char"}));
    // mtools stores "d" and "gone" as upper-case short names with the lower-case flag.
    EXPECT_EQ(top.entries[0].dir_attrs & attr_directory, attr_directory);
    EXPECT_EQ(top.entries[2].file_size, 3u);
    EXPECT_EQ(top.cluster, fs->root_cluster);
    uint32_t dc = fat32_ops::entry_in(top, "d").first_cluster;
    uint32_t gc = fat32_ops::entry_in(top, "gone").first_cluster;
    free_directory(fs, &top);
    // The layout D is about: the last slot of its first cluster starts a long name.
    uint8_t sector[512];
    disk.read_sector(sector_for_cluster(fs, dc), sector);
    ASSERT_EQ(sector[15 * 32 + 11], attr_long_name);
    ASSERT_TRUE(is_data_cluster(fs, get_next_cluster_id(fs, dc)));
    // The buffer views decode it as the walk does: next_dir_entry fetches the second cluster
    // behind the first, read_dir_entry and parse_long_name take what is already in memory.
    std::vector<uint8_t> two(2 * fs->cluster_size);
    ASSERT_TRUE(getCluster(fs, two.data(), dc));
    uint8_t* next = nullptr;
    uint32_t second = 0;
    dir_entry crossing{};
    next_dir_entry(fs, two.data(), two.data() + 15 * 32, &next, &crossing, dc, &second);
    EXPECT_EQ(second, get_next_cluster_id(fs, dc));
    ASSERT_EQ(next - two.data(), fs->cluster_size + 2 * 32) << crossing.name;
    EXPECT_STREQ(crossing.name, "boundary crossing.txt");
    char* parsed = parse_long_name(two.data() + 15 * 32, 2);
    EXPECT_STREQ(parsed, "boundary crossing.txt");
    dir_entry after{};
    EXPECT_EQ(read_dir_entry(fs, next, two.data() + two.size(), &after), next + 32);
    EXPECT_STREQ(after.name, "after.txt");
    EXPECT_EQ(read_dir_entry(fs, two.data() + 15 * 32, two.data() + fs->cluster_size, &after), nullptr)
        << "a run that goes on past the buffer";
    for (char* name : {crossing.name, parsed, after.name})
        mfree(name);

    std::vector<std::string> in_d = {".", ".."};
    for (int i = 1; i <= 13; ++i)
        in_d.push_back((i < 10 ? "f0" : "f") + std::to_string(i));
    in_d.push_back("boundary crossing.txt");
    in_d.push_back("after.txt");
    const std::pair<uint32_t, std::vector<std::string>> cases[] = {
        {dc, in_d}, {gc, {".", "..", "one", "three"}}};
    for (const auto& [cluster, names] : cases) {
        directory d{};
        populate_dir(fs, &d, cluster);
        EXPECT_EQ(fat32_ops::names_of(d), names);
        if (cluster == dc) {
            EXPECT_EQ(d.entries[15].file_size, 3u);
        }
        free_directory(fs, &d);
    }
    EXPECT_TRUE(screen_lines().empty());
}

TEST_F(Decode, ShortNameForms)
{
    uint32_t c = allocateCluster(fs);
    ASSERT_NE(c, 0u);
    uint8_t slot[32];
    short_slot(slot, "README  TXT", 0);
    write_slot(c, 0, slot);
    short_slot(slot, "KERNEL     ", 0);
    write_slot(c, 1, slot);
    short_slot(slot, "MY FILE TXT", 0);
    write_slot(c, 2, slot);
    short_slot(slot, "\x05" "BC     DAT", 0);
    write_slot(c, 3, slot);
    EXPECT_EQ(listing(c), (std::vector<std::string>{"README.TXT", "KERNEL", "MY.TXT", "\x05" "BC.DAT"}));
}

TEST_F(Decode, LongNamesDecodeToCodePage437AndKeepTheirLength)
{
    uint32_t c = allocateCluster(fs);
    uint8_t slot[32];
    // Two entries, highest ordinal first; the name ends with the 0x0000 in the second.
    long_slot(slot, 0x42, "abc", "0123456~1  ");
    write_slot(c, 0, slot);
    long_slot(slot, 0x01, "0123456789xyz", "0123456~1  ");
    write_slot(c, 1, slot);
    short_slot(slot, "0123456~1  ", 7);
    write_slot(c, 2, slot);
    long_slot(slot, 0x41, "caf", "CAF~1      ");
    slot[lfn_char_offsets[3]] = 0xE9; // e acute: byte 0x82 of the font
    slot[lfn_char_offsets[4]] = 's';
    write_slot(c, 3, slot);
    short_slot(slot, "CAF~1      ", 0);
    write_slot(c, 4, slot);
    long_slot(slot, 0x41, "ab", "AB~1       ");
    slot[lfn_char_offsets[2] + 1] = 0x01; // U+0141 is not in the font: a question mark
    slot[lfn_char_offsets[2]] = 0x41;
    slot[lfn_char_offsets[3]] = 'c';
    slot[lfn_char_offsets[4] + 1] = 0xD8; // a surrogate pair is one character
    slot[lfn_char_offsets[5] + 1] = 0xDC;
    slot[lfn_char_offsets[6]] = 'd';
    write_slot(c, 5, slot);
    short_slot(slot, "AB~1       ", 0);
    write_slot(c, 6, slot);
    directory d{};
    populate_dir(fs, &d, c);
    EXPECT_EQ(fat32_ops::names_of(d), (std::vector<std::string>{"0123456789xyzabc", "caf\x82s", "ab?c?d"}));
    EXPECT_EQ(d.entries[0].first_cluster, 7u);
    free_directory(fs, &d);
    EXPECT_EQ(cp437_from_utf16(0x00FC), 0x81); // u umlaut
    EXPECT_EQ(cp437_from_utf16(0x00DF), 0xE1); // sharp s
    EXPECT_EQ(cp437_from_utf16(0x00C7), 0x80); // C cedilla
    EXPECT_EQ(cp437_from_utf16(0x007F), '?');
    EXPECT_EQ(cp437_from_utf16(0x0009), '?');
    EXPECT_TRUE(names_equal_nocase("gr\x81\xE1" "e.TXT", "GR\x9A\xE1" "E.txt"));
    EXPECT_FALSE(names_equal_nocase("gr\x81" "sse", "grusse"));
}

// Damaged runs: each is skipped and its short entry is listed under the short name; the
// walk goes on and decodes the good name at the end.
TEST_F(Decode, DamagedRunsFallBackToTheShortNameAndTheWalkGoesOn)
{
    uint32_t c = allocateCluster(fs);
    uint32_t c2 = allocateCluster(fs);
    set_fat_entry(fs, c, c2);
    uint8_t slot[32];
    uint32_t at = 0;
    auto place = [&] {
        write_slot(at < 16 ? c : c2, at % 16, slot);
        ++at;
    };
    auto put = [&](uint8_t ordinal, const char* part, const char* sum_of) {
        long_slot(slot, ordinal, part, sum_of);
        place();
    };
    auto put_short = [&](const char* eleven) {
        short_slot(slot, eleven, 0);
        place();
    };
    put(0x41, "wrongsum", "OTHER      "); // checksum of another short name
    put_short("CHECKSUM   ");
    put(0x43, "three", "MISSING    "); // ordinal 2 is missing
    put(0x01, "one", "MISSING    ");
    put_short("MISSING    ");
    put(0x42, "two", "REPEATED   "); // ordinal 1 twice
    put(0x01, "one", "REPEATED   ");
    put(0x01, "one", "REPEATED   ");
    put_short("REPEATED   ");
    put(0x40, "zero", "ZERO       "); // ordinal 0 names no place
    put_short("ZERO       ");
    put(0x55, "twentyone", "BEYOND     "); // more slots than any name has
    put_short("BEYOND     ");
    put(0x42, "cut", "CUT        "); // cut off by a deleted slot
    slot[0] = slot_deleted;
    place();
    put(0x01, "cut", "CUT        ");
    put_short("CUT        ");
    put(0x41, "good name", "GOODNA~1   ");
    put_short("GOODNA~1   ");
    EXPECT_EQ(listing(c), (std::vector<std::string>{"CHECKSUM", "MISSING", "REPEATED", "ZERO", "BEYOND", "CUT",
                              "good name"}));
    EXPECT_TRUE(screen_lines().empty()) << sim::screen_text();
}

// A run of long-name slots that the chain's end cuts off names nothing: it is skipped
// without a message and the entries before it stay listed.
TEST_F(Decode, RunCutOffByTheEndOfTheChainIsSkipped)
{
    uint32_t c = allocateCluster(fs);
    uint8_t slot[32];
    short_slot(slot, "FIRST      ", 0);
    write_slot(c, 0, slot);
    for (uint32_t i = 14; i < 16; ++i) {
        long_slot(slot, static_cast<uint8_t>(i == 14 ? 0x42 : 0x01), "dangling", "NEXT       ");
        write_slot(c, i, slot);
    }
    EXPECT_EQ(listing(c), (std::vector<std::string>{"FIRST"}));
    EXPECT_TRUE(screen_lines().empty()) << sim::screen_text();
}

// Long-name slots that start no run (no last-entry flag) are skipped over however many
// clusters they fill.
TEST_F(Decode, OrphanLongNameSlotsAcrossClustersAreSkipped)
{
    uint32_t c = allocateCluster(fs);
    uint32_t c2 = allocateCluster(fs);
    uint32_t c3 = allocateCluster(fs);
    set_fat_entry(fs, c, c2);
    set_fat_entry(fs, c2, c3);
    uint8_t slot[32];
    long_slot(slot, 1, "x");
    for (uint32_t i = 0; i < 16; ++i) {
        write_slot(c, i, slot);
        write_slot(c2, i, slot);
    }
    short_slot(slot, "END        ", 0);
    write_slot(c3, 0, slot);
    EXPECT_EQ(listing(c), (std::vector<std::string>{"END"}));
    EXPECT_TRUE(screen_lines().empty()) << sim::screen_text();
}

TEST_F(Decode, LoopingAndBrokenChainsEndTheWalk)
{
    uint32_t a = allocateCluster(fs);
    uint32_t b = allocateCluster(fs);
    uint8_t slot[32];
    short_slot(slot, "INA        ", 0);
    write_slot(a, 0, slot);
    // A never-used slot would end the directory before b: the rest of a is deleted slots.
    uint8_t deleted[32] = {slot_deleted};
    for (uint32_t i = 1; i < fs->cluster_size / 32; ++i)
        write_slot(a, i, deleted);
    short_slot(slot, "INB        ", 0);
    write_slot(b, 0, slot);
    set_fat_entry(fs, a, b);
    set_fat_entry(fs, b, a); // a loop: each cluster is read once
    disk.reset_state();
    EXPECT_EQ(listing(a), (std::vector<std::string>{"INA", "INB"}));
    EXPECT_EQ(disk.sectors_read(), 2u);

    set_fat_entry(fs, b, fs->last_cluster + 1); // a link out of range
    EXPECT_EQ(listing(a), (std::vector<std::string>{"INA", "INB"}));

    set_fat_entry(fs, a, 0); // a free cluster in the middle of the chain
    EXPECT_EQ(listing(a), (std::vector<std::string>{"INA"}));

    EXPECT_TRUE(listing(1).empty()); // never a directory
    EXPECT_EQ(disk.sectors_written(), 0u);
}

TEST_F(Decode, ChainLengthCountsEachClusterOnceAndTellsHowTheChainEnds)
{
    // Ten free clusters side by side, named by their offset from the first.
    uint32_t base = 0;
    for (uint32_t c = fs->last_cluster - 10; c > fat32_first_data_cluster && base == 0; --c) {
        bool all_free = true;
        for (uint32_t i = 0; i < 10; ++i)
            all_free = all_free && fat_entry(fs, c + i) == 0;
        if (all_free)
            base = c;
    }
    ASSERT_NE(base, 0u);
    auto at = [&](uint32_t i) { return base + i; };
    auto link = [&](uint32_t i, uint32_t value) { set_fat_entry(fs, at(i), value); };
    bool broken = false;
    link(0, at(1));
    link(1, at(2));
    link(2, fat32_end_of_chain);
    EXPECT_EQ(chain_length(fs, at(0), &broken), 3u);
    EXPECT_FALSE(broken);
    link(2, at(3)); // 3 is free: it ends the chain as a damaged member
    EXPECT_EQ(chain_length(fs, at(0), &broken), 4u);
    EXPECT_TRUE(broken);
    link(3, at(4));
    link(4, at(5));
    link(5, at(2)); // 0 1 2 3 4 5 2 ...: a loop of four behind a tail of two
    EXPECT_EQ(chain_length(fs, at(0), &broken), 6u);
    EXPECT_TRUE(broken);
    link(5, at(5));
    EXPECT_EQ(chain_length(fs, at(0), &broken), 6u);
    link(5, fs->last_cluster + 1); // past the last cluster
    EXPECT_EQ(chain_length(fs, at(0), &broken), 6u);
    EXPECT_TRUE(broken);
    EXPECT_EQ(chain_length(fs, 0, &broken), 0u);
    EXPECT_EQ(chain_length(fs, 1, &broken), 0u);
    link(7, 0xF0000000 | at(8)); // the top four bits are not part of the link
    link(8, 0xFFFFFFFF);
    EXPECT_EQ(chain_length(fs, at(7), &broken), 2u);
    EXPECT_FALSE(broken);
    for (uint32_t i = 0; i < 10; ++i)
        link(i, 0);
}

// Names as other systems store them: non-ASCII long names (decoded to the font's code page),
// lower-case short names without a long name (mtools sets the case flags), and 2,000 of them
// in one root, on one- and eight-sector clusters. The duplicate check sees every one.
TEST_F(Decode, ARootOf2000ForeignNames)
{
    for (int spc : {1, 8}) {
        SCOPED_TRACE(spc);
        std::string host_dir = fat32_test::image_dir() + "/many";
        fat32_test::run("rm -rf '" + host_dir + "' && mkdir -p '" + host_dir + "'");
        std::vector<std::string> expected;
        for (int i = 0; i < 2000; ++i) {
            char host[64];
            char decoded[64];
            if (i % 3 == 0) {
                std::snprintf(host, sizeof host, "Gr\xC3\xBC\xC3\x9F" "e-%04d.txt", i);
                std::snprintf(decoded, sizeof decoded, "Gr\x81\xE1" "e-%04d.txt", i);
            } else if (i % 3 == 1) {
                std::snprintf(host, sizeof host, "a rather long file name number %04d.text", i);
                std::snprintf(decoded, sizeof decoded, "%s", host);
            } else {
                std::snprintf(host, sizeof host, "s%04d.txt", i);
                std::snprintf(decoded, sizeof decoded, "%s", host);
            }
            FILE* f = std::fopen((host_dir + "/" + host).c_str(), "wb");
            ASSERT_NE(f, nullptr);
            std::fputc('a' + i % 26, f);
            std::fclose(f);
            expected.push_back(decoded);
        }
        std::sort(expected.begin(), expected.end());
        std::string image = fat32_test::make_image("many-" + std::to_string(spc), spc == 1 ? 64 : 512, spc,
            {"LC_ALL=C.UTF-8 mcopy -i IMG '" + host_dir + "'/* ::/", "mcopy -i IMG '" + host_dir + "/s0002.txt' ::/readme.txt",
                "mmd -i IMG ::/sub"});
        mount_image(image);
        directory top = root();
        std::vector<std::string> names = fat32_ops::names_of(top);
        free_directory(fs, &top);
        ASSERT_EQ(names.size(), 2002u); // the 2,000, readme.txt and sub
        EXPECT_EQ(names[2000], "readme.txt");
        EXPECT_EQ(names[2001], "sub");
        names.resize(2000);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, expected);

        expect_refused(&top, {
            {refusal::file, "S1997.TXT", "writeFile: error: S1997.TXT already exists"},
            {refusal::file, "A RATHER LONG FILE NAME NUMBER 1999.TEXT",
                "writeFile: error: A RATHER LONG FILE NAME NUMBER 1999.TEXT already exists"},
            {refusal::directory, "SUB", "mkdir: error: SUB already exists"},
        });
        char fresh[] = "fresh";
        mkdir(fs, &top, fresh);
        EXPECT_EQ(screen_lines().size(), 3u) << "a new name is made without a word";
        std::string after = save_checked("many-after-" + std::to_string(spc));
        std::vector<std::string> listed = fat32_ops::mdir_names(after, "/");
        EXPECT_EQ(listed.size(), 2003u);
        EXPECT_EQ(std::count(listed.begin(), listed.end(), "fresh"), 1);
        sim::reset();
    }
}

// Random damage to a directory's clusters and its chain: the decode may list anything, but
// it must not crash, hang, leak or write to the disk.
TEST_F(Decode, FuzzedDirectoriesDecodeWithinBounds)
{
    directory top = root();
    uint32_t dc = fat32_ops::entry_in(top, "d").first_cluster;
    free_directory(fs, &top);
    uint32_t dc2 = get_next_cluster_id(fs, dc);
    uint8_t original[2][512];
    disk.read_sector(sector_for_cluster(fs, dc), original[0]);
    disk.read_sector(sector_for_cluster(fs, dc2), original[1]);
    uint32_t fat_dc = fat_entry(fs, dc);
    uint32_t fat_dc2 = fat_entry(fs, dc2);
    uint32_t blocks = heap_test::walk_heap().used_blocks;

    std::mt19937 rng(20250101);
    const uint8_t interesting[] = {0x00, 0xE5, 0x0F, 0x10, 0x40, 0x41, 0x45, 0x4F, 0x55, 0x7F, 0x80, 0xFF};
    for (int round = 0; round < 400; ++round) {
        uint8_t sectors[2][512];
        std::memcpy(sectors, original, sizeof sectors);
        int flips = 1 + static_cast<int>(rng() % 40);
        for (int i = 0; i < flips; ++i) {
            uint8_t* sector = sectors[rng() % 2];
            uint32_t at = rng() % 512;
            switch (rng() % 4) {
            case 0: sector[at] = static_cast<uint8_t>(rng()); break;
            case 1: sector[at] = interesting[rng() % sizeof interesting]; break;
            case 2: sector[(at & ~31u) + 11] = attr_long_name; break; // runs of long-name slots
            default: sector[at & ~31u] = static_cast<uint8_t>(0x40 | (rng() % 32)); break;
            }
        }
        disk.write_sector(sector_for_cluster(fs, dc), sectors[0]);
        disk.write_sector(sector_for_cluster(fs, dc2), sectors[1]);
        const uint32_t links[] = {fat_dc, dc, dc2, 0, 1, fs->last_cluster + 1, 0x0FFFFFF7, 0x0FFFFFFF};
        set_fat_entry(fs, dc, rng() % 3 == 0 ? links[rng() % 8] : fat_dc);
        set_fat_entry(fs, dc2, rng() % 3 == 0 ? links[rng() % 8] : fat_dc2);

        disk.reset_state();
        directory d{};
        populate_dir(fs, &d, dc);
        for (uint32_t i = 0; i < d.num_entries; ++i)
            ASSERT_NE(d.entries[i].name, nullptr);
        free_directory(fs, &d);
        ASSERT_EQ(disk.sectors_written(), 0u);
        ASSERT_LE(disk.sectors_read(), 3u) << "round " << round;
        ASSERT_EQ(disk.out_of_range_requests(), 0);
        ASSERT_EQ(heap_test::walk_heap().used_blocks, blocks) << "round " << round;
        sim::reset();
    }
    set_fat_entry(fs, dc, fat_dc);
    set_fat_entry(fs, dc2, fat_dc2);
}

} // namespace
