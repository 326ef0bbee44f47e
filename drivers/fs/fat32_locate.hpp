// Finding the FAT32 volume on the disk: at LBA 0 or in the first FAT32 partition of an MBR, and a reason for every disk refused.
#pragma once

#include "drivers/fs/fat32.hpp"

#include <stddef.h>
#include <stdint.h>

namespace tavix {

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

// Cluster counts below these make a FAT volume FAT12 or FAT16, whatever its boot sector says.
constexpr uint32_t fat12_cluster_limit = 4085;
constexpr uint32_t fat16_cluster_limit = 65525;

// Cuts the boot sector's system id at its first space; true when it is then "FAT32".
bool says_fat32(struct bios_parameter_block* bpb);

// Called when the disk's first sector, `first`, is not a FAT32 boot sector. When it is an MBR
// whose first partition of type 0x0B or 0x0C with a FAT32 boot sector exists, that partition
// becomes the volume: partition_begin_sector and partition_sectors name it and bpb holds its
// boot sector. Otherwise one line names what the disk holds instead, and false is returned
// with the volume's position as it was.
bool locate_volume(f32* fs, const uint8_t* first);

} // namespace tavix
