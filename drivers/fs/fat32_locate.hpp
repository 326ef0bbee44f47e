// Finding the FAT32 volume on the disk: at LBA 0 or in the first FAT32 partition of an MBR, and a reason for every disk refused.
#pragma once

#include "drivers/fs/fat32_volume.hpp"

#include <stdint.h>

namespace tavix {

// Where the volume lies on the disk: the whole disk from LBA 0 (both 0), or a partition.
struct volume_partition {
    uint32_t begin_sector;
    uint32_t sectors;
};

// Finds the volume from the disk's first sector, `first`, decoded into *bpb. A FAT32 boot sector
// there is the volume, unless the sector is also an MBR whose FAT32 partition starts inside that
// volume. An MBR's first partition of type 0x0B or 0x0C with a FAT32 boot sector becomes the
// volume: *where names it and *bpb then holds its boot sector. Otherwise (a read error included)
// one line names what the disk holds instead, and false is returned with *where as it was.
// Partition boot sectors are read by their disk address: there is no volume yet.
bool locate_volume(const uint8_t* first, bios_parameter_block* bpb, volume_partition* where);

} // namespace tavix
