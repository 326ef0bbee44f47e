// Finding the FAT32 volume on the disk: at LBA 0 or in the first FAT32 partition of an MBR, and a reason for every disk refused.
#include "drivers/fs/fat32_locate.hpp"

#include "cpu/buffer.hpp"
#include "drivers/disk.hpp"
#include "drivers/fs/fat32_boot.hpp"
#include "drivers/fs/fat32_bytes.hpp"
#include "drivers/fs/fat32_layout.hpp"
#include "drivers/fs/fat32_sector.hpp"
#include "general/stdio.hpp"

namespace tavix {

namespace {

// Cluster counts below these make a FAT volume FAT12 or FAT16, whatever its boot sector says.
constexpr uint32_t fat12_cluster_limit = 4085;
constexpr uint32_t fat16_cluster_limit = 65525;

// Other file systems name themselves in the boot sector's OEM field.
constexpr size_t boot_oem_name = 3;
constexpr size_t boot_oem_name_bytes = 8;
struct foreign_system {
    const char* oem_name;
    const char* reason; // the refusal's
};
constexpr foreign_system foreign_systems[] = {
    {"EXFAT   ", "an exFAT volume, not FAT32"},
    {"NTFS    ", "an NTFS volume, not FAT32"},
};

// A FAT boot sector starts with a jump over its fields: a short one and a NOP, or a near one.
constexpr uint8_t jump_short = 0xEB;
constexpr uint8_t jump_nop = 0x90;
constexpr uint8_t jump_near = 0xE9;
constexpr uint16_t smallest_fat_sector = 512;
constexpr uint16_t largest_fat_sector = 4096;

// The one line a refused disk gets, in the form every refusal of the mount takes.
void refuse(const char* reason) { printf("fat32: error: %s; volume refused.\n", reason); }

uint8_t* bytes(const uint8_t* sector) { return const_cast<uint8_t*>(sector); }

const foreign_system* foreign_system_of(const uint8_t* first)
{
    for (const foreign_system& system : foreign_systems) {
        bool same = true;
        for (size_t i = 0; i < boot_oem_name_bytes && same; ++i)
            same = first[boot_oem_name + i] == static_cast<uint8_t>(system.oem_name[i]);
        if (same)
            return &system;
    }
    return nullptr;
}

bool power_of_two(uint32_t n) { return n != 0 && (n & (n - 1)) == 0; }

// The cluster count of a FAT volume, computed as the FAT format defines the volume's type;
// false when the sector is no FAT boot sector at all.
bool fat_cluster_count(const uint8_t* first, const bios_parameter_block& bpb, uint32_t* clusters)
{
    bool jump = (first[0] == jump_short && first[2] == jump_nop) || first[0] == jump_near;
    uint32_t bytes_per_sector = bpb.bytes_per_sector;
    if (!jump || bytes_per_sector < smallest_fat_sector || bytes_per_sector > largest_fat_sector
        || !power_of_two(bytes_per_sector) || !power_of_two(bpb.sectors_per_cluster) || bpb.reserved_sectors == 0
        || bpb.FAT_count == 0)
        return false;
    // The sums may pass 32 bits; the quotients never do (and the kernel has no 64-bit division).
    uint32_t root_sectors = (bpb.dir_entries * fat32_dir_entry_size + bytes_per_sector - 1) / bytes_per_sector;
    uint64_t fat_size = bpb.count_sectors_per_FAT12_16 ? bpb.count_sectors_per_FAT12_16 : bpb.count_sectors_per_FAT32;
    uint32_t total = bpb.total_sectors ? bpb.total_sectors : bpb.large_sectors_on_media;
    uint64_t before_data = bpb.reserved_sectors + bpb.FAT_count * fat_size + root_sectors;
    if (fat_size == 0 || total <= before_data)
        return false;
    *clusters = (total - static_cast<uint32_t>(before_data)) / bpb.sectors_per_cluster;
    return true;
}

// A partition table: the signature, every entry's status byte one of the two defined values,
// and at least one entry in use.
bool is_mbr(const uint8_t* first)
{
    if (readi16(bytes(first), boot_signature_offset) != boot_signature)
        return false;
    bool used = false;
    for (uint32_t i = 0; i < mbr_entry_count; ++i) {
        const uint8_t* entry = first + mbr_entries_offset + i * mbr_entry_size;
        if (entry[mbr_entry_status] != mbr_status_inactive && entry[mbr_entry_status] != mbr_status_active)
            return false;
        used = used || entry[mbr_entry_type] != mbr_type_empty;
    }
    return used;
}

bool is_gpt(const uint8_t* first)
{
    for (uint32_t i = 0; i < mbr_entry_count; ++i)
        if (first[mbr_entries_offset + i * mbr_entry_size + mbr_entry_type] == mbr_type_gpt_protective)
            return true;
    return false;
}

enum class partition_probe { fat32, none, unreadable };

// Tries the partition of one entry: fat32 when it holds a FAT32 boot sector, which is then the
// volume's (*where and *bpb name it). A partition that starts beyond the disk, or at or past
// `below`, is not read. One whose boot sector cannot be read refuses the disk: taking the next
// partition instead would silently put the user's work on another volume.
partition_probe try_partition(const uint8_t* entry, uint32_t number, uint64_t below, bios_parameter_block* bpb,
    volume_partition* where)
{
    uint8_t type = entry[mbr_entry_type];
    uint32_t start = readi32(bytes(entry), mbr_entry_first_sector);
    uint32_t sectors = readi32(bytes(entry), mbr_entry_sectors);
    uint64_t disk = identify_sector_count();
    if ((type != mbr_type_fat32_chs && type != mbr_type_fat32_lba) || start == 0 || sectors == 0
        || (disk != 0 && start >= disk) || start >= below)
        return partition_probe::none;
    heap_block boot(fat32_sector_size);
    if (!boot || !getSector(nullptr, boot.data(), start, 1)) {
        printf("fat32: error: partition %u's boot sector cannot be read; volume refused.\n", number);
        return partition_probe::unreadable;
    }
    bios_parameter_block found{};
    decode_bpb(boot.data(), &found);
    if (!says_fat32(&found))
        return partition_probe::none;
    *bpb = found;
    *where = volume_partition{start, sectors};
    return partition_probe::fat32;
}

// The first partition of type 0x0B or 0x0C in the MBR `first` that starts before `below` and
// holds a FAT32 boot sector; *number is its place in the table, from 1.
partition_probe find_partition(const uint8_t* first, uint64_t below, bios_parameter_block* bpb, volume_partition* where,
    uint32_t* number)
{
    for (uint32_t i = 0; i < mbr_entry_count; ++i) {
        *number = i + 1;
        partition_probe probe =
            try_partition(first + mbr_entries_offset + i * mbr_entry_size, *number, below, bpb, where);
        if (probe != partition_probe::none)
            return probe;
    }
    return partition_probe::none;
}

// Sector 0 holds a FAT32 boot sector. When it is also a partition table whose FAT32 partition
// lies inside that volume, the two cannot both be true: a partitioning tool keeps the boot
// sector's fields under the table it writes, so the table is the newer of the two and its
// partition is the volume. Writing through the older volume would land in the partition's FATs.
bool whole_disk_or_partition(const uint8_t* first, bios_parameter_block* bpb, volume_partition* where)
{
    if (!is_mbr(first))
        return true;
    if (is_gpt(first)) {
        refuse("GPT partition tables are not supported");
        return false;
    }
    uint64_t whole = bpb->large_sectors_on_media ? bpb->large_sectors_on_media : bpb->total_sectors;
    uint32_t number = 0;
    partition_probe probe = find_partition(first, whole, bpb, where, &number);
    if (probe == partition_probe::fat32)
        printf("fat32: a partition table lies over an old boot sector; partition %u is used.\n", number);
    return probe != partition_probe::unreadable;
}

} // namespace

bool locate_volume(const uint8_t* first, bios_parameter_block* bpb, volume_partition* where)
{
    if (says_fat32(bpb))
        return whole_disk_or_partition(first, bpb, where);
    if (const foreign_system* system = foreign_system_of(first)) {
        refuse(system->reason);
        return false;
    }
    uint32_t clusters = 0;
    if (fat_cluster_count(first, *bpb, &clusters)) {
        if (clusters >= fat16_cluster_limit)
            refuse("the boot sector does not say FAT32");
        else
            printf("fat32: error: a %s volume (%u clusters), not FAT32; volume refused.\n",
                clusters < fat12_cluster_limit ? "FAT12" : "FAT16", clusters);
        return false;
    }
    if (!is_mbr(first)) {
        refuse("no file system or partition table on the disk");
        return false;
    }
    if (is_gpt(first)) {
        refuse("GPT partition tables are not supported");
        return false;
    }
    uint32_t number = 0;
    partition_probe probe = find_partition(first, UINT64_MAX, bpb, where, &number);
    if (probe == partition_probe::none)
        refuse("no partition in the MBR holds a FAT32 volume");
    return probe == partition_probe::fat32;
}

} // namespace tavix
