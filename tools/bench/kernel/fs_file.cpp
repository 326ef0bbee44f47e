// Whole-file transfer times on QEMU's IDE drive, for tools/bench/fs_file_qemu: a 4 MiB file
// written and read through the file system, against the same sectors moved with the largest
// commands the drive takes and one command per sector. Each figure goes to the debug console
// as "FSBENCH <what> <milliseconds>"; the file must read back as written. Only runs when the
// group fsbench is named, on a fresh 64 MiB volume.
#include "cpu/mem.hpp"
#include "cpu/pit.hpp"
#include "drivers/disk.hpp"
#include "drivers/fs/fat32.hpp"
#include "tests/kernel/ktest.hpp"

#include <stdint.h>

using namespace tavix;

namespace {

constexpr uint32_t file_bytes = 4u << 20;
constexpr uint16_t file_sectors = file_bytes / ata_sector_size;
// Free clusters of the bench volume, well behind the files it writes.
constexpr uint64_t scratch_lba = 100000;

void report(const char* what, uint64_t since)
{
    ktest::debug_print("FSBENCH ");
    ktest::debug_print(what);
    ktest::debug_print(" ");
    ktest::debug_number(static_cast<uint32_t>(get_ticks() - since));
    ktest::debug_print("\n");
}

// The sectors in requests of `per_request` sectors each.
void raw(bool write, uint16_t per_request, uint8_t* data)
{
    for (uint32_t done = 0; done < file_sectors; done += per_request) {
        uint8_t* at = data + done * ata_sector_size;
        if (write)
            ata_pio_write48(scratch_lba + done, per_request, at);
        else
            ata_pio_read48(scratch_lba + done, per_request, at);
    }
}

} // namespace

KTEST(fsbench, four_mebibytes_written_and_read_back)
{
    auto* data = static_cast<uint8_t*>(malloc(file_bytes));
    auto* back = static_cast<uint8_t*>(malloc(file_bytes));
    KEXPECT(data && back && master_fs);
    if (!data || !back || !master_fs)
        return;
    for (uint32_t i = 0; i < file_bytes; ++i)
        data[i] = static_cast<uint8_t>(i * 7 + i / ata_sector_size);
    uint64_t start = get_ticks();
    raw(true, file_sectors, data);
    report("write_floor", start);
    start = get_ticks();
    raw(true, 1, data);
    report("write_per_sector", start);
    start = get_ticks();
    KEXPECT(create_named(master_fs, 0, "four mebibytes.bin", data, file_bytes, false, "bench"));
    report("write_file", start);
    start = get_ticks();
    raw(false, file_sectors, back);
    report("read_floor", start);
    start = get_ticks();
    raw(false, 1, back);
    report("read_per_sector", start);
    dir_entry entry{};
    KEXPECT(find_entry(master_fs, 0, "four mebibytes.bin", &entry) == lookup_result::found);
    start = get_ticks();
    KEXPECT(read_file_into(master_fs, &entry, back));
    report("read_file", start);
    mfree(entry.name);
    bool same = true;
    for (uint32_t i = 0; i < file_bytes && same; ++i)
        same = back[i] == data[i];
    KEXPECT(same);
    mfree(back);
    mfree(data);
}
