// The boot sector: its fields decoded byte by byte, and the test that it names a FAT32 volume.
#include "drivers/fs/fat32_boot.hpp"

#include "cpu/buffer.hpp"
#include "cpu/string.hpp"
#include "drivers/fs/fat32_bytes.hpp"
#include "drivers/fs/fat32_layout.hpp"
#include "drivers/fs/fat32_sector.hpp"

namespace tavix {

void decode_bpb(const uint8_t* boot, struct bios_parameter_block* bpb)
{
    // The byte readers take a writable buffer; they only read it.
    auto* sector = const_cast<uint8_t*>(boot);
    bpb->bytes_per_sector = readi16(sector, bpb_bytes_per_sector);
    bpb->sectors_per_cluster = sector[bpb_sectors_per_cluster];
    bpb->reserved_sectors = readi16(sector, bpb_reserved_sectors);
    bpb->FAT_count = sector[bpb_fat_count];
    bpb->dir_entries = readi16(sector, bpb_dir_entries);
    bpb->total_sectors = readi16(sector, bpb_total_sectors);
    bpb->media_descriptor_type = sector[bpb_media_descriptor];
    bpb->count_sectors_per_FAT12_16 = readi16(sector, bpb_sectors_per_fat16);
    bpb->count_sectors_per_track = readi16(sector, bpb_sectors_per_track);
    bpb->count_heads_or_sizes_on_media = readi16(sector, bpb_heads);
    bpb->count_hidden_sectors = readi32(sector, bpb_hidden_sectors);
    bpb->large_sectors_on_media = readi32(sector, bpb_large_sectors);
    bpb->count_sectors_per_FAT32 = readi32(sector, bpb_sectors_per_fat32);
    bpb->flags = readi16(sector, bpb_flags);
    bpb->FAT_version = readi16(sector, bpb_fat_version);
    bpb->cluster_number_root_dir = readi32(sector, bpb_root_cluster);
    bpb->sector_number_FSInfo = readi16(sector, bpb_fsinfo_sector);
    bpb->sector_number_backup_boot_sector = readi16(sector, bpb_backup_boot_sector);
    bpb->drive_number = sector[bpb_drive_number];
    bpb->windows_flags = sector[bpb_windows_flags];
    bpb->signature = sector[bpb_signature];
    bpb->volume_id = readi32(sector, bpb_volume_id);
    for (size_t i = 0; i < bpb_volume_label_bytes; ++i)
        bpb->volume_label[i] = static_cast<char>(sector[bpb_volume_label + i]);
    bpb->volume_label[bpb_volume_label_bytes] = '\0';
    for (size_t i = 0; i < bpb_system_id_bytes; ++i)
        bpb->system_id[i] = static_cast<char>(sector[bpb_system_id + i]);
    bpb->system_id[bpb_system_id_bytes] = '\0';
}

uint8_t read_bpb(f32* fs, struct bios_parameter_block* bpb)
{
    heap_block block(fat32_sector_size);
    if (!block || !getSector(fs, block.data(), 0, 1))
        return 0;
    decode_bpb(block.data(), bpb);
    return 1;
}

const struct bios_parameter_block* getBPB(f32* fs) { return &fs->bpb; }

bool says_fat32(bios_parameter_block* bpb)
{
    // Documented behaviour, see the README's "Kept on purpose": the test cuts the padding in the
    // record itself, so the decoded system id reads "FAT32" from then on.
    trim_spaces(bpb->system_id, static_cast<int>(bpb_system_id_bytes));
    return strcmp(bpb->system_id, "FAT32") == 0;
}

} // namespace tavix
