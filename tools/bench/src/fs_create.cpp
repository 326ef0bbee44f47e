// Benchmark: what one mkhello costs on the simulated ATA disk (commands and sectors written),
// and creating the same 1000 small files through the kernel's FAT32 code against mcopy, with
// the directory cache and, side by side, with it dropped before every creation (so every
// creation walks the whole directory). Each timing is repeated and alternated, and a
// difference inside the spread of the runs is reported as noise. Prints figures only.
#include "cpu/mem.hpp"
#include "drivers/fs/fat32.hpp"
#include "drivers/fs/fat32_dir_cache.hpp"
#include "tests/sim/ata.hpp"
#include "tests/sim/sim.hpp"
#include "tests/unit/fat32_image.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int file_count = 1000;
constexpr int file_bytes = 100;
constexpr int timing_runs = 3;

tavix::f32* mount(sim::AtaDisk& disk, const std::string& path)
{
    if (path.empty() || !disk.load(path))
        return nullptr;
    sim::reset();
    sim::set_port_logging(false);
    tavix::init_dmem();
    char kind[] = "fat32";
    tavix::f32* fs = tavix::makeFilesystem(kind);
    sim::reset();
    sim::set_port_logging(false); // the log would hold every data word of every transfer
    disk.reset_state();
    return fs;
}

void mkhello_cost(const std::string& label, const std::string& path)
{
    sim::AtaDisk disk;
    tavix::f32* fs = mount(disk, path);
    if (!fs) {
        std::printf("%s: could not make or mount the image\n", label.c_str());
        return;
    }
    tavix::directory start{0, nullptr, 0};
    char name[] = "hello";
    tavix::mkdir(fs, &start, name);
    std::printf("%s: one mkhello: %d ATA commands (%d READ SECTORS EXT, %d WRITE SECTORS EXT, %d FLUSH CACHE),"
                " %llu sectors read, %llu sectors written\n",
        label.c_str(), static_cast<int>(disk.commands().size()), disk.command_count(sim::AtaDisk::cmd_read48),
        disk.command_count(sim::AtaDisk::cmd_write48), disk.flushes(),
        static_cast<unsigned long long>(disk.sectors_read()), static_cast<unsigned long long>(disk.sectors_written()));
}

std::string file_name(int i)
{
    char name[32];
    std::snprintf(name, sizeof name, "file%04d.txt", i);
    return name;
}

// Seconds for the 1000 creations; prints what the disk saw when `report` is set.
double kernel_create(const std::string& path, std::vector<std::string>& contents, bool cached, bool report)
{
    sim::AtaDisk disk;
    tavix::f32* fs = mount(disk, path);
    if (!fs)
        return -1;
    tavix::directory root{0, nullptr, 0};
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < file_count; ++i) {
        std::string name = file_name(i);
        if (!cached)
            tavix::dir_cache_forget(fs);
        tavix::writeFile(fs, &root, reinterpret_cast<uint8_t*>(contents[i].data()), name.data(), file_bytes);
    }
    auto end = std::chrono::steady_clock::now();
    if (report)
        std::printf("  kernel, %s: %llu sectors written, %d WRITE SECTORS EXT, %llu sectors read\n",
            cached ? "directory cache" : "cache dropped before every creation",
            static_cast<unsigned long long>(disk.sectors_written()), disk.command_count(sim::AtaDisk::cmd_write48),
            static_cast<unsigned long long>(disk.sectors_read()));
    disk.save(path);
    return std::chrono::duration<double>(end - start).count();
}

double mcopy_create(const std::string& path, const std::string& sources)
{
    auto start = std::chrono::steady_clock::now();
    auto [status, out] = fat32_test::run("MTOOLS_SKIP_CHECK=1 mcopy -i " + path + " " + sources + " ::/");
    auto end = std::chrono::steady_clock::now();
    if (status != 0) {
        std::printf("mcopy failed: %s\n", out.c_str());
        return -1;
    }
    return std::chrono::duration<double>(end - start).count();
}

double median(std::vector<double> runs)
{
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

double spread(const std::vector<double>& runs) { return *std::max_element(runs.begin(), runs.end()) - *std::min_element(runs.begin(), runs.end()); }

void print_runs(const char* label, const std::vector<double>& runs)
{
    std::printf("  %-46s min %.3f  median %.3f  max %.3f s\n", label, *std::min_element(runs.begin(), runs.end()),
        median(runs), *std::max_element(runs.begin(), runs.end()));
}

// The ratio of the medians against the baseline, and whether the runs spread wider than the
// difference it stands for.
void print_ratio(const char* label, const std::vector<double>& runs, const std::vector<double>& baseline)
{
    double difference = median(runs) - median(baseline);
    double noise = std::max(spread(runs), spread(baseline));
    std::printf("  %-46s %.2f (medians), %s: they differ by %.3f s, the runs spread over %.3f s\n", label,
        median(runs) / median(baseline), std::fabs(difference) <= noise ? "within noise" : "beyond noise",
        difference, noise);
}

// A fresh copy of the volume at `base` for one run.
std::string copy_of(const std::string& base, const std::string& name)
{
    std::string path = fat32_test::image_dir() + "/" + name + ".img";
    fat32_test::run("cp --sparse=always " + base + " " + path);
    return path;
}

} // namespace

int main()
{
    std::printf("host process: the kernel's FAT32 code compiled for this machine (optimised, no sanitizers) on the"
                " simulated drive; command and sector counts are exact\n");
    mkhello_cost("64 MiB, 1 sector per cluster", fat32_test::make_image("create-bench-64m", 64, 1));
    mkhello_cost("512 MiB, 8 sectors per cluster", fat32_test::make_image("create-bench-512m", 512, 8));

    std::vector<std::string> contents;
    std::string sources;
    std::string dir = fat32_test::image_dir() + "/create-bench-files";
    fat32_test::run("rm -rf " + dir + " && mkdir -p " + dir);
    for (int i = 0; i < file_count; ++i) {
        std::string data(file_bytes, static_cast<char>('a' + i % 26));
        contents.push_back(data);
        std::string host = dir + "/" + file_name(i);
        FILE* f = std::fopen(host.c_str(), "wb");
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
        sources += " " + host;
    }
    // Every run starts from a copy of the same fresh volume (volume serial included), so that
    // the two kernel images can be compared byte for byte.
    std::string base = fat32_test::make_image("create-bench-base", 64, 1);
    std::printf("%d files of %d bytes into a fresh 64 MiB image, %d runs of each, alternating:\n", file_count,
        file_bytes, timing_runs);
    std::vector<double> cached, uncached, mcopy;
    for (int run = 0; run < timing_runs; ++run) {
        bool first = run == 0;
        uncached.push_back(kernel_create(copy_of(base, "create-bench-uncached"), contents, false, first));
        cached.push_back(kernel_create(copy_of(base, "create-bench-kernel"), contents, true, first));
        mcopy.push_back(mcopy_create(copy_of(base, "create-bench-mcopy"), sources));
        if (uncached.back() < 0 || cached.back() < 0 || mcopy.back() < 0)
            return 1;
    }
    std::string kernel_image = fat32_test::image_dir() + "/create-bench-kernel.img";
    auto [clean, report] = fat32_test::fsck(kernel_image);
    auto [same, diff] = fat32_test::run("cmp -s " + fat32_test::image_dir() + "/create-bench-uncached.img " + kernel_image);
    std::printf("  (fsck.fat on the kernel's image: %s; the images with and without the cache are %s)\n",
        clean == 0 ? "clean" : "PROBLEMS", same == 0 ? "identical" : "DIFFERENT");
    print_runs("kernel, directory cache", cached);
    print_runs("kernel, cache dropped before every creation", uncached);
    print_runs("baseline: mcopy, the same files", mcopy);
    std::printf("  (the kernel's code runs in this process; mcopy is a separate program, started once per run,"
                " its start-up included)\n");
    print_ratio("ratio kernel with cache / mcopy", cached, mcopy);
    print_ratio("ratio kernel without cache / mcopy", uncached, mcopy);
    return 0;
}
