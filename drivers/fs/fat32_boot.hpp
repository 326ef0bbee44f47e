// The boot sector: its fields decoded byte by byte, and the test that it names a FAT32 volume.
#pragma once

#include "drivers/fs/fat32_volume.hpp"

#include <stdint.h>

namespace tavix {

// Decodes the boot-sector fields of the 512-byte sector `boot` into *bpb.
void decode_bpb(const uint8_t* boot, struct bios_parameter_block* bpb);
// Reads the volume's first sector into bpb; 0 when the sector could not be read.
uint8_t read_bpb(f32* fs, struct bios_parameter_block* bpb);
const struct bios_parameter_block* getBPB(f32* fs);
// Cuts the boot sector's system id at its first space; true when it is then "FAT32".
bool says_fat32(struct bios_parameter_block* bpb);

} // namespace tavix
