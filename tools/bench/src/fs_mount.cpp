// Benchmark: what mounting a FAT32 volume costs on the simulated ATA disk for volumes from
// 64 MiB to 64 GiB (commands, sectors, heap held, time), against reading the whole FAT, as the
// free count made from the FAT does in the same run; then the first free count, one write-back
// after an allocation, and the allocation rate. Prints figures only.
//
// Usage: fs_mount_bench IMAGE_DIR. The images are sparse files made once with truncate and
// mkfs.fat and kept in IMAGE_DIR (the QEMU mount benchmark shares them); they are only read.
#include "cpu/mem.hpp"
#include "drivers/fs/fat32.hpp"
#include "drivers/fs/fat32_volume.hpp"
#include "tests/sim/ata.hpp"
#include "tests/sim/sim.hpp"
#include "tests/unit/fat32_image.hpp"

#include <chrono>
#include <cstdio>
#include <string>
#include <sys/stat.h>

namespace {

struct volume {
    const char* label;
    const char* size; // for truncate
    int sectors_per_cluster;
};

constexpr volume volumes[] = {
    {"64 MiB, 512-byte clusters", "64M", 1},
    {"512 MiB, 4 KiB clusters", "512M", 8},
    {"2 GiB, 4 KiB clusters", "2G", 8},
    {"32 GiB, 4 KiB clusters", "32G", 8},
    {"64 GiB, 512-byte clusters", "64G", 1},
};

constexpr uint32_t allocations = 20000;

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point start)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

// The cached image of a volume, made on first use.
std::string image(const std::string& dir, const volume& v)
{
    std::string path = dir + "/fat32-" + v.size + "-s" + std::to_string(v.sectors_per_cluster) + ".img";
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        return path;
    std::printf("(making %s once: mkfs.fat writes its FATs in full)\n", path.c_str());
    std::fflush(stdout);
    std::string partial = path + ".partial";
    auto made = fat32_test::run("rm -f " + partial + " && truncate -s " + v.size + " " + partial
        + " && mkfs.fat -F 32 -I -n TAVIX -s " + std::to_string(v.sectors_per_cluster) + " " + partial + " && mv "
        + partial + " " + path);
    return made.first == 0 ? path : "";
}

uint32_t heap_used() { return static_cast<uint32_t>(tavix::dynamic_mem_total_size - heap_test::walk_heap().free_bytes); }

void bench(const volume& v, const std::string& path)
{
    sim::AtaDisk disk;
    if (path.empty() || !disk.load(path)) {
        std::printf("%s: could not make or load the image\n", v.label);
        return;
    }
    sim::reset();
    sim::set_port_logging(false);
    tavix::init_dmem();
    uint32_t heap_before = heap_used();
    disk.reset_state();

    char kind[] = "fat32";
    auto start = clock_type::now();
    tavix::f32* fs = tavix::makeFilesystem(kind);
    double mount_ms = ms_since(start);
    if (!fs) {
        std::printf("%s: mount refused\n", v.label);
        return;
    }
    uint32_t spf = fs->bpb.count_sectors_per_FAT32;
    std::printf("%s: %u FATs of %u sectors each, %u clusters\n", v.label, fs->bpb.FAT_count, spf,
        fs->last_cluster - 1);
    int mount_commands = static_cast<int>(disk.commands().size());
    int mount_reads = disk.command_count(sim::AtaDisk::cmd_read48);
    uint64_t mount_sectors = disk.sectors_read();
    uint32_t mount_heap = heap_used() - heap_before;

    disk.reset_state();
    start = clock_type::now();
    uint32_t free_clusters = tavix::count_free_clusters(fs);
    double first_count_ms = ms_since(start);
    uint64_t first_count_sectors = disk.sectors_read();

    // As when FSInfo cannot be trusted: the count is made from the FAT, once. It reads the
    // whole FAT, as a mount that loaded it would have: the mount's baseline.
    fs->free_count_state = tavix::free_count_unknown;
    disk.reset_state();
    start = clock_type::now();
    uint32_t counted = tavix::count_free_clusters(fs);
    double whole_fat_ms = ms_since(start);
    std::printf("  mount (FAT read on demand, in chunks): %d ATA commands (%d READ SECTORS EXT),"
                " %llu sectors read, %u FAT chunks held, %u heap bytes held, %.1f us\n",
        mount_commands, mount_reads, static_cast<unsigned long long>(mount_sectors), fs->fat_chunks_loaded,
        mount_heap, mount_ms * 1000.0);
    std::printf("    baseline, the whole FAT read by the free count below: %.1f x the mount's time, %.0f x its sectors\n",
        whole_fat_ms / mount_ms, static_cast<double>(disk.sectors_read()) / static_cast<double>(mount_sectors));
    std::printf("  first free count: %u free, %llu sectors read, %.1f us\n", free_clusters,
        static_cast<unsigned long long>(first_count_sectors), first_count_ms * 1000.0);
    std::printf("  free count made from the FAT (FSInfo not trusted): %u free, %llu sectors read in %d requests,"
                " %.2f ms\n",
        counted, static_cast<unsigned long long>(disk.sectors_read()),
        disk.command_count(sim::AtaDisk::cmd_read48), whole_fat_ms);

    tavix::allocateCluster(fs);
    disk.reset_state();
    start = clock_type::now();
    tavix::flushFAT(fs);
    std::printf("  write-back after one allocation: %llu sectors written (%d WRITE SECTORS EXT), %.1f us\n",
        static_cast<unsigned long long>(disk.sectors_written()), disk.command_count(sim::AtaDisk::cmd_write48),
        ms_since(start) * 1000.0);

    disk.reset_state();
    start = clock_type::now();
    uint32_t got = 0;
    while (got < allocations && tavix::allocate_cluster(fs, tavix::cluster_fill::by_caller) != 0)
        ++got;
    double alloc_ms = ms_since(start);
    std::printf("  %u allocations: %.3f us each, %llu FAT sectors read, %u FAT chunks held after\n", got,
        got ? alloc_ms * 1000.0 / got : 0.0, static_cast<unsigned long long>(disk.sectors_read()),
        fs->fat_chunks_loaded);
    // The image stays as it was: nothing of the allocations is written back.
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s IMAGE_DIR\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    ::mkdir(dir.c_str(), 0755);
    std::printf("host process: the kernel's FAT32 code compiled for this machine (optimised, no sanitizers, host"
                " word size) on the simulated drive; command and sector counts are exact, times are of one run\n");
    for (const volume& v : volumes)
        bench(v, image(dir, v));
    return 0;
}
