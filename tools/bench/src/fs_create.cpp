// Benchmark: what one mkhello costs on the simulated ATA disk (commands and sectors written),
// and creating the same 1000 small files through the kernel's FAT32 code versus mcopy, with the
// directory cache and, side by side, with it dropped before every creation (every creation
// walks the whole directory, as before the cache). Prints figures only.
#include "cpu/mem.hpp"
#include "drivers/fs/fat32.hpp"
#include "drivers/fs/fat32_dir_cache.hpp"
#include "tests/sim/ata.hpp"
#include "tests/sim/sim.hpp"
#include "tests/unit/fat32_image.hpp"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int file_count = 1000;
constexpr int file_bytes = 100;

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

double kernel_create(const std::string& path, std::vector<std::string>& contents, bool cached)
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
            tavix::dir_cache_drop(fs);
        tavix::writeFile(fs, &root, reinterpret_cast<uint8_t*>(contents[i].data()), name.data(), file_bytes);
    }
    auto end = std::chrono::steady_clock::now();
    std::printf("kernel, %s: %d files, %llu sectors written, %d WRITE SECTORS EXT, %llu sectors read\n",
        cached ? "directory cache" : "no directory cache (before)", file_count,
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

} // namespace

int main()
{
    std::printf("(optimised host build without sanitizers; command and sector counts are exact)\n");
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
    std::string uncached_image = fat32_test::make_image("create-bench-uncached", 64, 1);
    // The same fresh volume (volume serial included) for both kernel runs, so that their
    // images can be compared byte for byte.
    std::string kernel_image = fat32_test::image_dir() + "/create-bench-kernel.img";
    fat32_test::run("cp --sparse=always " + uncached_image + " " + kernel_image);
    std::string mcopy_image = fat32_test::make_image("create-bench-mcopy", 64, 1);
    double uncached_s = kernel_create(uncached_image, contents, false);
    double kernel_s = kernel_create(kernel_image, contents, true);
    double mcopy_s = mcopy_create(mcopy_image, sources);
    if (uncached_s < 0 || kernel_s < 0 || mcopy_s < 0)
        return 1;
    auto [clean, report] = fat32_test::fsck(kernel_image);
    auto [same, diff] = fat32_test::run("cmp -s " + uncached_image + " " + kernel_image);
    std::printf("%d files of %d bytes into a fresh 64 MiB image, kernel FAT32 code on the simulated disk:\n"
                "  no directory cache (before) %.3f s, ratio kernel/mcopy %.2f\n"
                "  directory cache             %.3f s, ratio kernel/mcopy %.2f\n"
                "  mcopy                       %.3f s\n"
                "  (fsck.fat on the kernel's image: %s; the two kernel images are %s)\n",
        file_count, file_bytes, uncached_s, uncached_s / mcopy_s, kernel_s, kernel_s / mcopy_s, mcopy_s,
        clean == 0 ? "clean" : "PROBLEMS", same == 0 ? "identical" : "DIFFERENT");
    return 0;
}
