// The primary ATA disk (channel 0, device 0), driven by programmed I/O.
#pragma once

#include <stdint.h>

namespace tavix {

constexpr uint32_t ata_sector_size = 512;

// 1 when an ATA disk answered and its identify data was read, 0 otherwise.
uint8_t identify();
// The disk's capacity in sectors, from the identify data the last successful identify read:
// the 48-bit count when the disk supports 48-bit addresses, else the 28-bit one; 0 when unknown.
uint64_t identify_sector_count();

// Sector transfers; sector k of a request is bytes 512k..512k+511 of `target`. Each
// returns 1 when every sector moved and 0 when the device reported an error or did not
// answer within its bound (one message is printed then, and the rest is not moved).
uint8_t ata_pio_read28(uint32_t LBA, uint8_t sectorcount, uint8_t* target);
uint8_t ata_pio_read48(uint64_t LBA, uint16_t sectorcount, uint8_t* target);
uint8_t ata_pio_write48(uint64_t LBA, uint16_t sectorcount, uint8_t* target);

} // namespace tavix
