// The directory slot: its one encoder and its one decoder, the 32 bytes of a short entry or of one part of a long name.
#pragma once

#include "drivers/fs/dirent.hpp"
#include "drivers/fs/fat32_layout.hpp"
#include "drivers/fs/fat32_time.hpp"
#include "drivers/fs/fat32_volume.hpp"

#include <stddef.h>
#include <stdint.h>

namespace tavix {

inline bool slot_is_free(const uint8_t* slot)
{
    return slot[0] == slot_never_used || slot[0] == slot_deleted;
}
inline bool slot_is_long_name(const uint8_t* slot) { return slot[dirent_attr_offset] == attr_long_name; }
// The volume's label: a short entry in the root that names no file or directory.
inline bool slot_is_label(const uint8_t* slot)
{
    return !slot_is_long_name(slot) && (slot[dirent_attr_offset] & attr_volume_label) != 0;
}

// The first cluster a short entry points at.
uint32_t slot_first_cluster(uint8_t* slot);

// Short entry byte 12: the base and the extension are shown in lower case (names such as
// "readme.txt" are stored that way without a long name).
constexpr size_t dirent_case_offset = 12;
constexpr uint8_t case_lower_base = 0x08;
constexpr uint8_t case_lower_ext = 0x10;

// A long-name run as a walk meets it slot by slot: the first slot carries the last-entry
// flag and the highest ordinal, each next one the ordinal below, all the same checksum.
enum class lfn_state : uint8_t {
    none,       // no run, or one that broke: the slots taken so far name nothing
    collecting, // the run's first slot was taken; `expect` is the ordinal the next must carry
    complete,   // ordinal 1 was taken: the run waits for its short entry
};
struct lfn_run {
    uint16_t* chars;  // lfn_max_entries x 13 UTF-16 units, owned by whoever set up the run
    lfn_state state;
    uint8_t expect;
    uint8_t length;   // slots in the run
    uint8_t checksum;
};
constexpr uint32_t lfn_run_units = lfn_max_entries * lfn_chars_per_entry;

// Takes one long-name slot into the run: it starts a new run, continues the current one, or
// breaks it (the slots taken so far then name nothing).
void lfn_take(lfn_run* run, const uint8_t* slot);

// The one decoder of directory slots: the walk and the views over buffers (read_dir_entry,
// next_dir_entry, parse_long_name) feed it the slots in order. A live long-name slot joins
// `run`; a free slot ends the run; so does the volume label, which is no name; a short entry
// ends it too and is decoded into *dirent (whose name the caller releases), under the run's
// long name when the run names it. *named tells whether the run belongs to the entry
// (complete, its checksum matching), so that the entry's slots begin at the run's first.
enum class slot_kind { long_name, free_slot, label, entry, no_memory };
slot_kind decode_slot(lfn_run* run, const uint8_t* slot, dir_entry* dirent, bool* named);

// A short name as text: eight characters, a dot, three, and the NUL.
constexpr uint32_t short_name_text_size = short_base_length + 1 + short_ext_length + 1;
// The short name in an 11-byte field as BASE.EXT (or BASE) in the case stored, into `out`
// of short_name_text_size bytes.
void short_name_text(const uint8_t* field, char* out);

// ---- Views over the decoder for slots already in memory ----
// Decodes the entry at `start` in a buffer ending at `end`; the address after its short entry,
// or null (free slot, a long name that runs past `end`, or no short entry behind it).
uint8_t* read_dir_entry(f32* fs, uint8_t* start, uint8_t* end, struct dir_entry* dirent);
// Decodes the entry at `entry` in `root_cluster`, a buffer of two clusters holding cluster
// `cluster` in its first half; fetches the next cluster of the chain into the second half
// (*secondcluster) when the entry runs past the first. *nextentry: the slot after it, or null.
void next_dir_entry(f32* fs, uint8_t* root_cluster, uint8_t* entry, uint8_t** nextentry,
    struct dir_entry* target_dirent, uint32_t cluster, uint32_t* secondcluster);
// The name `entry_count` long-name slots hold when they form one run, as a directory holds
// them (highest ordinal first); null otherwise or when there is no heap.
char* parse_long_name(uint8_t* entries, uint8_t entry_count);

// ---- The encoders ----
// Fills `num_entries` slots from `start` with the long-name entries of `fname`, each slot
// cleared first, the name ended by 0x0000 and padded with 0xFFFF.
void write_long_name_slots(uint8_t* start, uint32_t num_entries, const char* fname, uint8_t checksum);
// Fills one slot with a short entry created, modified and last accessed at `stamp`.
void write_short_slot(uint8_t* slot, const uint8_t* short_name, uint8_t attrs, uint32_t first_cluster,
    uint32_t size, const fat_timestamp& stamp);
// Points a short entry at its first cluster.
void write_slot_cluster(uint8_t* slot, uint32_t first_cluster);
// Dates a short entry's last change (and last access) at `stamp`.
void stamp_modified(uint8_t* slot, const fat_timestamp& stamp);

// Fills `num_entries` slots from `start` with the long-name entries of `fname`, under the
// checksum of the short name a new entry of that name would get in an empty directory.
void write_long_filename_entries(uint8_t* start, uint32_t num_entries, char* fname);
// A directory's own entries, in its first two slots.
constexpr uint32_t dot_slot = 0;
constexpr uint32_t dotdot_slot = 1;
// Fills the first two slots of a new directory's cluster: "." for itself, ".." for its parent
// (stored as 0 when the parent is the root).
void write_dot_entries(f32* fs, uint8_t* cluster_buffer, uint32_t self, uint32_t parent, const fat_timestamp& stamp);

} // namespace tavix
