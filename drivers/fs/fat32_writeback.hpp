// The end of every change: FSInfo kept true to the FAT, the FAT written back, and the clean-shutdown mark set again.
#pragma once

#include "drivers/fs/fat32_volume.hpp"

#include <stdint.h>

namespace tavix {

// A change writes in the order that survives a power cut: clear_clean_mark (or its first
// putSector) before anything else; its data; write_fat_sectors; its directory slots; then
// finish_change. flushFAT is write_fat_sectors and finish_change in one.

// Takes FSInfo at the mount and trusts each of its counters that is in range: the free count
// saves reading the whole FAT to count it, the next-free hint is where the first allocation
// starts looking.
void read_fsinfo(f32* fs);
// What finish_change could not write, if anything.
enum class change_end { done, fsinfo_failed, mark_failed };
// Rewrites FSInfo's free count and next-free hint when they no longer describe the FAT, then
// sets the clean-shutdown mark again if this mount cleared it and nothing is pending. What
// fails stays pending for the next write-back.
change_end finish_change(f32* fs);
// Ends a change: the FAT sectors it changed go to every FAT copy, then FSInfo (only if they
// all went out), then the clean-shutdown mark (only if FSInfo did). 0 when a write failed;
// what failed stays pending.
uint8_t flushFAT(f32* fs);
// Writes what an earlier failure left pending, in the same order as flushFAT. Does nothing
// (and touches no sector) when nothing is pending. Commands call it first so that a transient
// disk error heals without a reboot. 0 when something is still pending.
uint8_t retry_pending_writes(f32* fs);
// Frees the chain from start_cluster and writes the FAT back; 0 if the write-back failed.
uint8_t zero_FAT_chain(f32* fs, uint32_t start_cluster);

} // namespace tavix
