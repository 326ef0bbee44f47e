// Benchmark: the ATA commands that writing and reading a 4 MiB file through the kernel's FAT32
// code send to the simulated drive, against the floor (the same sectors moved back to back with
// the largest commands the drive takes) and against one command per sector, as putSector wrote
// and a file was read cluster by cluster before. Exact counts; tools/bench/fs_file_qemu times
// the same transfers on QEMU's drive.
#include "cpu/mem.hpp"
#include "drivers/fs/fat32.hpp"
#include "tests/sim/ata.hpp"
#include "tests/sim/sim.hpp"
#include "tests/unit/fat32_image.hpp"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr uint32_t file_bytes = 4u << 20;
constexpr uint32_t sectors = file_bytes / 512;
constexpr uint32_t largest_command = 0xFFFF;

void line(const char* what, int commands, uint64_t moved)
{
    std::printf("  %-46s %5d commands, %llu sectors\n", what, commands, static_cast<unsigned long long>(moved));
}

} // namespace

int main()
{
    sim::AtaDisk disk;
    std::string image = fat32_test::make_image("file-bench-64m", 64, 1);
    if (image.empty() || !disk.load(image)) {
        std::printf("could not make the volume\n");
        return 1;
    }
    sim::reset();
    sim::set_port_logging(false);
    tavix::init_dmem();
    char kind[] = "fat32";
    tavix::f32* fs = tavix::makeFilesystem(kind);
    std::vector<uint8_t> data(file_bytes);
    for (uint32_t i = 0; i < file_bytes; ++i)
        data[i] = static_cast<uint8_t>(i * 7 + i / 512);
    disk.reset_state();
    if (!fs || !tavix::create_named(fs, 0, "four mebibytes.bin", data.data(), file_bytes, false, "bench")) {
        std::printf("could not write the file\n");
        return 1;
    }
    int write_commands = disk.command_count(sim::AtaDisk::cmd_write48);
    uint64_t written = disk.sectors_written();
    tavix::dir_entry entry{};
    tavix::find_entry(fs, 0, "four mebibytes.bin", &entry);
    std::vector<uint8_t> back(file_bytes);
    disk.reset_state();
    bool same = tavix::read_file_into(fs, &entry, back.data()) && back == data;
    std::printf("host process, the kernel's FAT32 code on the simulated drive: 4 MiB (%u sectors) on a fresh"
                " 64 MiB volume, 1 sector per cluster; exact counts\n", sectors);
    line("floor: largest commands, back to back", (sectors + largest_command - 1) / largest_command, sectors);
    line("one command per sector (before)", static_cast<int>(sectors), sectors);
    line("write: data, FAT copies, entry, FSInfo, mark", write_commands, written);
    line(same ? "read: the file, as written" : "read: DIFFERENT FROM WHAT WAS WRITTEN",
        disk.command_count(sim::AtaDisk::cmd_read48), disk.sectors_read());
    return same ? 0 : 1;
}
