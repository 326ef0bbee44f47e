// Real FAT32 images for the file-system tests: made by mkfs.fat, filled by mtools, checked
// by fsck.fat, and served to the kernel through the simulated ATA disk.
#pragma once

#include "cpu/mem.hpp"
#include "tests/sim/ata.hpp"
#include "tests/sim/sim.hpp"
#include "tests/support/heap_walk.hpp"

#include <cstdio>
#ifdef TAVIX_UNIT_TEST
#include <gtest/gtest.h>
#endif
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace fat32_test {

// ctest runs tests in parallel processes, so each test gets a directory of its own
// (named after it, so a rerun reuses it); the benchmarks share one.
inline std::string image_dir()
{
    std::string dir = std::string(TAVIX_BINARY_DIR) + "/fat32-images";
    ::mkdir(dir.c_str(), 0755);
#ifdef TAVIX_UNIT_TEST
    if (const auto* test = ::testing::UnitTest::GetInstance()->current_test_info()) {
        dir += std::string("/") + test->test_suite_name() + "." + test->name();
        ::mkdir(dir.c_str(), 0755);
    }
#endif
    return dir;
}

// Runs a shell command and returns its exit status and everything it printed.
inline std::pair<int, std::string> run(const std::string& command)
{
    std::string output;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return {-1, output};
    char chunk[512];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0)
        output.append(chunk, got);
    int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// A zero-filled disk image of `mib` MiB that `steps` (shell commands, IMG standing for the
// path) then partition, format and fill, e.g. "echo 'start=2048, type=c' | sfdisk IMG",
// "mkfs.fat -F 32 --offset 2048 IMG", "mcopy -i IMG@@1M file ::/". Empty when a step failed.
inline std::string make_disk(const std::string& name, int mib, const std::vector<std::string>& steps)
{
    std::string path = image_dir() + "/" + name + ".img";
    std::remove(path.c_str());
    if (run("truncate -s " + std::to_string(mib) + "M " + path).first != 0)
        return "";
    for (std::string step : steps) {
        for (size_t at; (at = step.find("IMG")) != std::string::npos;)
            step.replace(at, 3, path);
        if (run("MTOOLS_SKIP_CHECK=1 " + step).first != 0)
            return "";
    }
    return path;
}

// A fresh FAT32 image of `mib` MiB with `sectors_per_cluster`, the volume at sector 0.
// `setup` is a list of mtools commands run against it, with IMG standing for the path
// (e.g. "mmd -i IMG ::/docs").
inline std::string make_image(const std::string& name, int mib, int sectors_per_cluster,
    const std::vector<std::string>& setup = {})
{
    std::vector<std::string> steps{"mkfs.fat -F 32 -s " + std::to_string(sectors_per_cluster) + " -n TAVIXTEST IMG"};
    steps.insert(steps.end(), setup.begin(), setup.end());
    return make_disk(name, mib, steps);
}

// fsck.fat -n on an image: exit status and report.
// The image's path is cut out of the report, so that a test name inside it can never look
// like one of fsck.fat's complaints.
inline std::pair<int, std::string> fsck(const std::string& path)
{
    auto [status, report] = run("fsck.fat -n " + path);
    for (size_t at; (at = report.find(path)) != std::string::npos;)
        report.replace(at, path.size(), "IMG");
    return {status, report};
}

#ifdef TAVIX_UNIT_TEST
// fsck.fat -n on an image must report nothing: a zero status and none of its complaints, but
// for the findings `tolerated` names (such as "Dirty bit is set").
inline void expect_clean(const std::string& path, const std::vector<std::string>& tolerated = {})
{
    auto [status, report] = fsck(path);
    bool excused = false;
    for (const std::string& finding : tolerated) {
        for (size_t at; (at = report.find(finding)) != std::string::npos; excused = true)
            report.erase(at, finding.size());
    }
    if (!excused) {
        EXPECT_EQ(status, 0) << report;
    }
    for (const char* complaint : {"differ", "wrong", "Free cluster", "Bad", "bad", "invalid", "Orphan",
             "Duplicate", "Deleting", "lost", "Unused", "Dropping", "Fix", "Start cluster"})
        EXPECT_EQ(report.find(complaint), std::string::npos) << "fsck.fat: " << report;
}
#endif

// The disk behind the driver's back: the little-endian value of `bytes` bytes (1 to 4) at
// `offset` of sector `lba`, and bytes stored there.
inline uint32_t peek(const sim::AtaDisk& disk, uint64_t lba, size_t offset, int bytes = 4)
{
    uint8_t sector[512];
    disk.read_sector(lba, sector);
    uint32_t value = 0;
    for (int i = bytes; i-- > 0;)
        value = value << 8 | sector[offset + i];
    return value;
}

inline void poke_bytes(sim::AtaDisk& disk, uint64_t lba, size_t offset, const uint8_t* data, size_t count)
{
    uint8_t sector[512];
    disk.read_sector(lba, sector);
    std::memcpy(sector + offset, data, count);
    disk.write_sector(lba, sector);
}

inline void poke(sim::AtaDisk& disk, uint64_t lba, size_t offset, uint32_t value, int bytes)
{
    uint8_t little_endian[4];
    for (int i = 0; i < bytes; ++i)
        little_endian[i] = static_cast<uint8_t>(value >> (8 * i));
    poke_bytes(disk, lba, offset, little_endian, static_cast<size_t>(bytes));
}

// The content of a host file of `bytes` bytes: it tells each byte's position.
inline std::string host_content(size_t bytes)
{
    std::string data;
    for (size_t i = 0; i < bytes; ++i)
        data += static_cast<char>('A' + i % 26);
    return data;
}

// A file holding host_content(bytes), for mcopy.
inline std::string make_host_file(const std::string& name, size_t bytes)
{
    std::string path = image_dir() + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    std::string data = host_content(bytes);
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
    return path;
}

} // namespace fat32_test
