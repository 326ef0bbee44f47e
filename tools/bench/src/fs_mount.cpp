// Benchmark: what mounting a FAT32 volume costs on the simulated ATA disk (commands, sectors
// and time), and what one write-back after an allocation costs. Prints figures only.
#include "cpu/mem.hpp"
#include "drivers/fs/fat32.hpp"
#include "tests/sim/ata.hpp"
#include "tests/sim/sim.hpp"
#include "tests/unit/fat32_image.hpp"

#include <chrono>
#include <cstdio>
#include <string>

namespace {

void bench(const std::string& label, const std::string& path)
{
    sim::AtaDisk disk;
    if (path.empty() || !disk.load(path)) {
        std::printf("%s: could not make or load the image\n", label.c_str());
        return;
    }
    sim::reset();
    sim::set_port_logging(false);
    tavix::init_dmem();
    disk.reset_state();

    char kind[] = "fat32";
    auto start = std::chrono::steady_clock::now();
    tavix::f32* fs = tavix::makeFilesystem(kind);
    auto end = std::chrono::steady_clock::now();
    if (!fs) {
        std::printf("%s: mount refused\n", label.c_str());
        return;
    }
    double ms = std::chrono::duration<double, std::milli>(end - start).count();
    uint32_t spf = fs->bpb.count_sectors_per_FAT32;
    std::printf("%s: %u sectors per FAT, %u FATs, %u clusters of %u bytes\n", label.c_str(), spf,
        fs->bpb.FAT_count, fs->last_cluster - 1, fs->cluster_size);
    std::printf("  mount: %d ATA commands (%d IDENTIFY, %d READ SECTORS EXT), %llu sectors read, %.1f ms\n",
        static_cast<int>(disk.commands().size()), disk.command_count(sim::AtaDisk::cmd_identify),
        disk.command_count(sim::AtaDisk::cmd_read48), static_cast<unsigned long long>(disk.sectors_read()), ms);
    std::printf("  mount reading the FAT one sector per request would take %u READ SECTORS EXT\n", spf + 1);

    tavix::allocateCluster(fs);
    disk.reset_state();
    start = std::chrono::steady_clock::now();
    tavix::flushFAT(fs);
    end = std::chrono::steady_clock::now();
    std::printf("  write-back after one allocation: %llu sectors written (%d WRITE SECTORS EXT), %.1f ms;"
                " a whole-FAT write-back to every copy is %u sectors\n",
        static_cast<unsigned long long>(disk.sectors_written()), disk.command_count(sim::AtaDisk::cmd_write48),
        std::chrono::duration<double, std::milli>(end - start).count(), spf * fs->bpb.FAT_count);
}

} // namespace

int main()
{
    std::printf("(optimised host build without sanitizers; command and sector counts are exact)\n");
    bench("64 MiB, 1 sector per cluster", fat32_test::make_image("bench-64m", 64, 1));
    bench("512 MiB, 8 sectors per cluster", fat32_test::make_image("bench-512m", 512, 8));
    return 0;
}
