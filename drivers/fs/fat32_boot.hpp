// The FAT32 boot sector and FSInfo sector: where their fields lie.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tavix {

// Boot-sector offsets.
constexpr size_t bpb_bytes_per_sector = 11;
constexpr size_t bpb_sectors_per_cluster = 13;
constexpr size_t bpb_reserved_sectors = 14;
constexpr size_t bpb_fat_count = 16;
constexpr size_t bpb_dir_entries = 17;
constexpr size_t bpb_total_sectors = 19;
constexpr size_t bpb_media_descriptor = 21;
constexpr size_t bpb_sectors_per_fat16 = 22;
constexpr size_t bpb_sectors_per_track = 24;
constexpr size_t bpb_heads = 26;
constexpr size_t bpb_hidden_sectors = 28;
constexpr size_t bpb_large_sectors = 32;
constexpr size_t bpb_sectors_per_fat32 = 36;
constexpr size_t bpb_flags = 40;
constexpr size_t bpb_fat_version = 42;
constexpr size_t bpb_root_cluster = 44;
constexpr size_t bpb_fsinfo_sector = 48;
constexpr size_t bpb_backup_boot_sector = 50;
constexpr size_t bpb_drive_number = 64;
constexpr size_t bpb_windows_flags = 65;
constexpr size_t bpb_signature = 66;
constexpr size_t bpb_volume_id = 67;
constexpr size_t bpb_volume_label = 71;
constexpr size_t bpb_volume_label_bytes = 11;
constexpr size_t bpb_system_id = 82;
constexpr size_t bpb_system_id_bytes = 8;

// FSInfo sector layout.
constexpr size_t fsinfo_lead_offset = 0;
constexpr size_t fsinfo_struct_offset = 484;
constexpr size_t fsinfo_free_offset = 488;
constexpr size_t fsinfo_next_offset = 492;
constexpr size_t fsinfo_trail_offset = 508;
constexpr uint32_t fsinfo_lead_signature = 0x41615252;
constexpr uint32_t fsinfo_struct_signature = 0x61417272;
constexpr uint32_t fsinfo_trail_signature = 0xAA550000;

static_assert(bpb_system_id + bpb_system_id_bytes <= fsinfo_struct_offset, "the boot fields lie before the boot code's end");
static_assert(fsinfo_trail_offset + sizeof(uint32_t) == 512, "FSInfo's trail signature ends the sector");

} // namespace tavix
