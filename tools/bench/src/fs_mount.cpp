// Benchmark: what mounting a FAT32 volume costs on the simulated ATA disk for volumes from
// 64 MiB to 64 GiB (commands, sectors, heap held, time), next to the size of the FAT it leaves
// on the disk; then the first free count, one write-back after an allocation, and the
// allocation rate. Prints figures only.
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
    std::printf("  mount (FAT read on demand, in chunks): %d ATA commands (%d READ SECTORS EXT),"
                " %llu sectors read, %u FAT chunks held, %u heap bytes held, %.2f ms\n",
        static_cast<int>(disk.commands().size()), disk.command_count(sim::AtaDisk::cmd_read48),
        static_cast<unsigned long long>(disk.sectors_read()), fs->fat_chunks_loaded, heap_used() - heap_before,
        mount_ms);

    disk.reset_state();
    start = clock_type::now();
    uint32_t free_clusters = tavix::count_free_clusters(fs);
    std::printf("  first free count: %u free, %llu sectors read, %.2f ms\n", free_clusters,
        static_cast<unsigned long long>(disk.sectors_read()), ms_since(start));

    // As when FSInfo cannot be trusted: the count is made from the FAT, once.
    fs->free_count_state = tavix::free_count_unknown;
    disk.reset_state();
    start = clock_type::now();
    free_clusters = tavix::count_free_clusters(fs);
    std::printf("  free count made from the FAT (FSInfo not trusted): %u free, %llu sectors read in %d requests,"
                " %.2f ms\n",
        free_clusters, static_cast<unsigned long long>(disk.sectors_read()),
        disk.command_count(sim::AtaDisk::cmd_read48), ms_since(start));

    tavix::allocateCluster(fs);
    disk.reset_state();
    start = clock_type::now();
    tavix::flushFAT(fs);
    std::printf("  write-back after one allocation: %llu sectors written (%d WRITE SECTORS EXT), %.2f ms\n",
        static_cast<unsigned long long>(disk.sectors_written()), disk.command_count(sim::AtaDisk::cmd_write48),
        ms_since(start));

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
    std::printf("(optimised host build without sanitizers, host word size; command and sector counts are exact,"
                " times are of one run)\n");
    for (const volume& v : volumes)
        bench(v, image(dir, v));
    return 0;
}
