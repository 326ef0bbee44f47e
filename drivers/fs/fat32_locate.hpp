// Finding the FAT32 volume on the disk: at LBA 0 or in the first FAT32 partition of an MBR, and a reason for every disk refused.
#pragma once

#include "drivers/fs/fat32.hpp"

#include <stdint.h>

namespace tavix {

// Cluster counts below these make a FAT volume FAT12 or FAT16, whatever its boot sector says.
constexpr uint32_t fat12_cluster_limit = 4085;
constexpr uint32_t fat16_cluster_limit = 65525;

// Cuts the boot sector's system id at its first space; true when it is then "FAT32".
bool says_fat32(struct bios_parameter_block* bpb);

// Finds the volume from the disk's first sector, `first`, decoded into bpb. A FAT32 boot sector
// there is the volume, unless the sector is also an MBR whose FAT32 partition starts inside that
// volume. An MBR's first partition of type 0x0B or 0x0C with a FAT32 boot sector becomes the
// volume: partition_begin_sector and partition_sectors name it and bpb holds its boot sector.
// Otherwise (a read error included) one line names what the disk holds instead, and false is
// returned with the volume's position as it was.
bool locate_volume(f32* fs, const uint8_t* first);

} // namespace tavix
