// Where the fields of the FAT32 on-disk records lie: the boot sector, the FSInfo sector, an MBR, directory slots.
#pragma once

#include "drivers/fs/fat32_volume.hpp"

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
// Extended flags: with this bit set, mirroring is off and only the FAT numbered in the low
// four bits is in use.
constexpr uint16_t bpb_flag_single_fat = 0x0080;
constexpr uint16_t bpb_flag_active_fat = 0x000F;

// FSInfo sector layout.
constexpr size_t fsinfo_lead_offset = 0;
constexpr size_t fsinfo_struct_offset = 484;
constexpr size_t fsinfo_free_offset = 488;
constexpr size_t fsinfo_next_offset = 492;
constexpr size_t fsinfo_trail_offset = 508;
constexpr uint32_t fsinfo_lead_signature = 0x41615252;
constexpr uint32_t fsinfo_struct_signature = 0x61417272;
constexpr uint32_t fsinfo_trail_signature = 0xAA550000;

// The partition table in the disk's first sector (an MBR).
constexpr size_t mbr_entries_offset = 446;
constexpr size_t mbr_entry_size = 16;
constexpr uint32_t mbr_entry_count = 4;
constexpr size_t mbr_entry_status = 0;
constexpr size_t mbr_entry_type = 4;
constexpr size_t mbr_entry_first_sector = 8;
constexpr size_t mbr_entry_sectors = 12;
constexpr uint8_t mbr_status_inactive = 0x00;
constexpr uint8_t mbr_status_active = 0x80;
constexpr uint8_t mbr_type_empty = 0x00;
constexpr uint8_t mbr_type_fat32_chs = 0x0B;
constexpr uint8_t mbr_type_fat32_lba = 0x0C;
// The single entry that covers a GPT disk for programs that only know MBRs.
constexpr uint8_t mbr_type_gpt_protective = 0xEE;
// Boot sectors and MBRs alike end with 0x55 0xAA.
constexpr size_t boot_signature_offset = 510;
constexpr uint16_t boot_signature = 0xAA55;
static_assert(mbr_entries_offset + mbr_entry_count * mbr_entry_size == boot_signature_offset,
    "the four partition entries end where the signature begins");
static_assert(mbr_entry_sectors + sizeof(uint32_t) == mbr_entry_size, "the sector count closes an entry");

static_assert(bpb_system_id + bpb_system_id_bytes <= fsinfo_struct_offset, "the boot fields lie before the boot code's end");
static_assert(fsinfo_trail_offset + sizeof(uint32_t) == 512, "FSInfo's trail signature ends the sector");


// Short entry (32-byte slot) layout.
constexpr size_t dirent_name_offset = 0;
constexpr size_t dirent_ext_offset = 8;
constexpr size_t dirent_attr_offset = 11;
constexpr size_t dirent_created_hundredths_offset = 13;
constexpr size_t dirent_created_time_offset = 14;
constexpr size_t dirent_created_date_offset = 16;
constexpr size_t dirent_accessed_date_offset = 18;
constexpr size_t dirent_cluster_high_offset = 20;
constexpr size_t dirent_modified_time_offset = 22;
constexpr size_t dirent_modified_date_offset = 24;
constexpr size_t dirent_cluster_low_offset = 26;
constexpr size_t dirent_size_offset = 28;
constexpr uint32_t short_name_length = 11;
constexpr uint32_t short_base_length = 8;
constexpr uint32_t short_ext_length = 3;

// Long-name entry layout.
constexpr size_t lfn_ordinal_offset = 0;
constexpr size_t lfn_checksum_offset = 13;
constexpr uint8_t lfn_last_flag = 0x40;
// Ordinals run from 1 to 20: five bits, as the format defines them.
constexpr uint8_t lfn_ordinal_mask = 0x1F;
constexpr uint32_t lfn_chars_per_entry = 13;
constexpr uint32_t lfn_max_entries = 20;
constexpr uint32_t fat32_max_name_length = lfn_chars_per_entry * lfn_max_entries - 5; // 255
constexpr size_t lfn_char_offsets[lfn_chars_per_entry] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
constexpr uint16_t lfn_terminator = 0x0000;
constexpr uint16_t lfn_filler = 0xFFFF;

// First byte of a slot and the attribute byte.
constexpr uint8_t slot_never_used = 0x00;
constexpr uint8_t slot_deleted = 0xE5;
constexpr uint8_t attr_long_name = 0x0F;
constexpr uint8_t attr_volume_label = 0x08;
constexpr uint8_t attr_file = 0x00;

static_assert(fat32_dir_entry_size == 32, "directory slots are 32 bytes");
static_assert(dirent_size_offset + 4 == fat32_dir_entry_size, "the size field closes the short entry");
static_assert(lfn_char_offsets[lfn_chars_per_entry - 1] + 2 == fat32_dir_entry_size,
    "the last name character closes the long-name entry");
static_assert(fat32_max_name_length == 255, "long names hold at most 255 characters");

} // namespace tavix
