"""Reads a FAT32 volume that starts at sector 0 of a raw image, as the guide draws it: the
boot sector's layout fields, FAT entries, and directories slot by slot with long names."""

import collections
import struct

SECTOR_BYTES = 512
SLOT_BYTES = 32
FAT_ENTRY_BYTES = 4
LINK_MASK = 0x0FFFFFFF
END_OF_CHAIN = 0x0FFFFFF8
ATTR_LONG_NAME = 0x0F
ATTR_VOLUME_LABEL = 0x08
ATTR_DIRECTORY = 0x10
SLOT_END = 0x00
SLOT_DELETED = 0xE5
LFN_LAST = 0x40
LFN_ORDINAL = 0x1F
LFN_CHAR_SPANS = ((1, 11), (14, 26), (28, 32))
LOWER_BASE = 0x08
LOWER_EXT = 0x10

Slot = collections.namedtuple("Slot", "index kind text")
Entry = collections.namedtuple("Entry", "path name short_name is_directory first_cluster size chain")


class Volume:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        b = self.data
        (self.sector_bytes,) = struct.unpack_from("<H", b, 11)
        self.cluster_sectors = b[13]
        (self.reserved,) = struct.unpack_from("<H", b, 14)
        self.fats = b[16]
        (self.sectors, self.fat_sectors, _, _, self.root_cluster, self.fsinfo,
         self.backup) = struct.unpack_from("<IIHHIHH", b, 32)
        if self.sector_bytes != SECTOR_BYTES or b[82:87] != b"FAT32":
            raise SystemExit("%s: not a FAT32 volume at sector 0" % path)
        self.fat_start = [self.reserved + i * self.fat_sectors for i in range(self.fats)]
        self.data_start = self.reserved + self.fats * self.fat_sectors
        self.clusters = (self.sectors - self.data_start) // self.cluster_sectors

    def fat_entry(self, cluster):
        (value,) = struct.unpack_from("<I", self.data, self.reserved * SECTOR_BYTES + cluster * FAT_ENTRY_BYTES)
        return value

    def chain(self, first):
        clusters = []
        cluster = first
        while 2 <= cluster < END_OF_CHAIN and cluster not in clusters:
            clusters.append(cluster)
            cluster = self.fat_entry(cluster) & LINK_MASK
        return clusters

    def sector_of(self, cluster):
        return self.data_start + (cluster - 2) * self.cluster_sectors

    def cluster_of(self, sector):
        return (sector - self.data_start) // self.cluster_sectors + 2

    def directory_bytes(self, first):
        size = self.cluster_sectors * SECTOR_BYTES
        starts = [self.sector_of(c) * SECTOR_BYTES for c in self.chain(first)]
        return b"".join(self.data[at:at + size] for at in starts)

    def slots(self, first):
        """Every slot up to the end mark, each described in a few words."""
        raw = self.directory_bytes(first)
        found = []
        for index in range(len(raw) // SLOT_BYTES):
            slot = raw[index * SLOT_BYTES:(index + 1) * SLOT_BYTES]
            if slot[0] == SLOT_END:
                found.append(Slot(index, "end", "0x00: no slot after this one is used"))
                break
            if slot[0] == SLOT_DELETED:
                found.append(Slot(index, "deleted", "0xE5: a deleted entry"))
            elif slot[11] == ATTR_LONG_NAME:
                last = " (the last part)" if slot[0] & LFN_LAST else ""
                found.append(Slot(index, "long", 'long-name part %d%s: "%s"'
                                  % (slot[0] & LFN_ORDINAL, last, long_name_chars(slot))))
            elif slot[11] & ATTR_VOLUME_LABEL:
                found.append(Slot(index, "label", "volume label %s" % slot[0:11].decode("ascii").rstrip()))
            else:
                kind = "directory" if slot[11] & ATTR_DIRECTORY else "file"
                found.append(Slot(index, kind, "%s entry %s, first cluster %d, %d bytes"
                                  % (kind, short_name(slot), first_cluster(slot), size_of(slot))))
        return found

    def entries(self, first, prefix=""):
        """Files and directories below the directory at `first`, depth first, without . and .."""
        raw = self.directory_bytes(first)
        parts = {}
        found = []
        for at in range(0, len(raw), SLOT_BYTES):
            slot = raw[at:at + SLOT_BYTES]
            if slot[0] == SLOT_END:
                break
            if slot[0] == SLOT_DELETED:
                parts = {}
                continue
            if slot[11] == ATTR_LONG_NAME:
                parts[slot[0] & LFN_ORDINAL] = long_name_chars(slot)
                continue
            if slot[11] & ATTR_VOLUME_LABEL or slot[0:1] == b".":
                parts = {}
                continue
            name = "".join(parts[k] for k in sorted(parts)) if parts else short_name(slot)
            parts = {}
            path = prefix + name
            is_directory = bool(slot[11] & ATTR_DIRECTORY)
            found.append(Entry(path, name, short_name(slot), is_directory, first_cluster(slot), size_of(slot),
                               self.chain(first_cluster(slot))))
            if is_directory:
                found += self.entries(first_cluster(slot), path + "/")
        return found


def long_name_chars(slot):
    raw = b"".join(slot[a:b] for a, b in LFN_CHAR_SPANS).decode("utf-16-le")
    return raw.split("\0")[0]


def short_name(slot):
    base = slot[0:8].decode("ascii").rstrip()
    ext = slot[8:11].decode("ascii").rstrip()
    if slot[12] & LOWER_BASE:
        base = base.lower()
    if slot[12] & LOWER_EXT:
        ext = ext.lower()
    return base + ("." + ext if ext else "")


def first_cluster(slot):
    high, = struct.unpack_from("<H", slot, 20)
    low, = struct.unpack_from("<H", slot, 26)
    return high << 16 | low


def size_of(slot):
    return struct.unpack_from("<I", slot, 28)[0]
