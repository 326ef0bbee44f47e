// The mount: the volume found on the disk, its boot sector checked, its layout derived, and the record released again.
#pragma once

#include "drivers/fs/fat32_volume.hpp"

namespace tavix {

// Mounts the FAT32 volume of the primary ATA disk, at LBA 0 or in its first FAT32 partition;
// null, after one line that says why, when there is none. The argument is not examined.
f32* makeFilesystem(char* fatSystem);
// Writes back what is pending and releases the volume.
void destroyFilesystem(f32* fs);

} // namespace tavix
