// The FAT32 file system's public face, and the order of its layers.
//
// drivers/fs is cut in layers, bottom first, so that each can be read knowing only those below
// it. A file includes headers of its own layer and of those below it, never above
// (tests/layers/check_layers.py enforces it):
//
//   record   fat32_volume (the mounted volume), fat32_layout (where on-disk fields lie),
//            fat32_bytes (little-endian fields), dirent, fat32_time, cp437
//   sectors  fat32_sector: sectors and clusters, the one place they become disk addresses, and
//            the clean-shutdown mark the first write clears; fat32_boot: the boot sector
//   FAT      fat32_fat: the FAT held in memory, allocation, the free count; fat32_writeback:
//            FSInfo and the end of every change
//   slots    fat32_slot: the one encoder and decoder of a directory slot; fat32_names: the
//            naming rules (valid names, short names, the checksum)
//   walk     fat32_dir: the bounded walk of a directory; fat32_dir_cache: the record a walk
//            leaves, kept for the next creation
//   entries  fat32_entry: lookup and the place for a new entry, removal; fat32_create: an
//            entry inserted as one transaction
//   files    fat32_file, fat32_append, fat32_move: the operations the shell calls
//   mount    fat32_mount, fat32_locate: beside the others, using each of them once
//   face     this header: what the rest of the kernel may include
#pragma once

#include "drivers/fs/dirent.hpp"
#include "drivers/fs/fat32_boot.hpp"
#include "drivers/fs/fat32_bytes.hpp"
#include "drivers/fs/fat32_create.hpp"
#include "drivers/fs/fat32_dir.hpp"
#include "drivers/fs/fat32_entry.hpp"
#include "drivers/fs/fat32_fat.hpp"
#include "drivers/fs/fat32_file.hpp"
#include "drivers/fs/fat32_mount.hpp"
#include "drivers/fs/fat32_names.hpp"
#include "drivers/fs/fat32_sector.hpp"
#include "drivers/fs/fat32_slot.hpp"
#include "drivers/fs/fat32_time.hpp"
#include "drivers/fs/fat32_volume.hpp"
#include "drivers/fs/fat32_writeback.hpp"
