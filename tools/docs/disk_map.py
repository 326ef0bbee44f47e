"""The layout of the sample disk that tools/make-disk.sh makes, read from a real image: the
figures the guide quotes and a picture of the volume, its FAT and its root directory."""

import re

from fat_image import END_OF_CHAIN, LINK_MASK, Volume
from svg import Drawing

WIDTH = 960
MARGIN = 20
BAND = 58
LINE = 15
FREE_CLUSTERS_SHOWN = 1


def fact_key(path):
    return re.sub(r"[^a-z0-9]+", "_", path.lower()).strip("_")


def facts(volume):
    found = {
        "disk.sectors": "{:,}".format(volume.sectors),
        "disk.cluster_sectors": str(volume.cluster_sectors),
        "disk.reserved": str(volume.reserved),
        "disk.fats": str(volume.fats),
        "disk.fat_sectors": "{:,}".format(volume.fat_sectors),
        "disk.data": "{:,}".format(volume.data_start),
        "disk.clusters": "{:,}".format(volume.clusters),
        "disk.root_cluster": str(volume.root_cluster),
        "disk.fsinfo": str(volume.fsinfo),
        "disk.backup": str(volume.backup),
    }
    for i, start in enumerate(volume.fat_start):
        found["disk.fat%d" % (i + 1)] = "{:,}".format(start)
    for entry in volume.entries(volume.root_cluster):
        key = fact_key(entry.path)
        found["disk.cluster.%s" % key] = str(entry.first_cluster)
        found["disk.sector.%s" % key] = "{:,}".format(volume.sector_of(entry.first_cluster))
    return found


def reserved_areas(volume):
    """(first sector, last sector, lines of its label) across the reserved area."""
    named = {0: ["boot sector"], volume.fsinfo: ["FSInfo"], volume.backup: ["backup", "boot sector"]}
    areas = []
    at = 0
    for sector in sorted(named):
        if sector > at:
            areas.append((at, sector - 1, ["reserved"]))
        areas.append((sector, sector, named[sector]))
        at = sector + 1
    if at < volume.reserved:
        areas.append((at, volume.reserved - 1, ["reserved"]))
    return areas


def sectors_text(first, last):
    return "sector %d" % first if first == last else "sectors %d-%d" % (first, last)


def draw_strip(d, y, cells):
    """cells: (lines of text, kind); equal widths, since the real sizes differ by 10,000 times."""
    width = (WIDTH - 2 * MARGIN) // len(cells)
    for i, (lines, kind) in enumerate(cells):
        x = MARGIN + i * width
        d.box(x, y, width, BAND, kind)
        for n, line in enumerate(lines):
            d.text(x + width // 2, y + 17 + n * LINE, line, 11 if n == 0 else 10, anchor="middle")


def figure(volume):
    entries = volume.entries(volume.root_cluster)
    owner = {volume.root_cluster: "root directory"}
    for e in entries:
        for cluster in e.chain:
            owner[cluster] = e.path + ("/" if e.is_directory else "")
    last_used = max(owner)
    root_slots = volume.slots(volume.root_cluster)
    fat_rows = last_used + 1 + FREE_CLUSTERS_SHOWN
    height = 2 * (BAND + 40) + 18 * (len(root_slots) + fat_rows) + 150
    d = Drawing(WIDTH, height, "The sample disk's FAT32 volume")
    d.text(MARGIN, 24, "The sample disk: one FAT32 volume from sector 0, %s sectors of %d bytes (boxes not to scale)"
           % ("{:,}".format(volume.sectors), volume.sector_bytes), 14, bold=True)

    y = 50
    d.text(MARGIN, y, "The whole volume", 12, bold=True)
    cells = [(label + [sectors_text(a, b)], "tables") for a, b, label in reserved_areas(volume)]
    for i, start in enumerate(volume.fat_start):
        cells.append((["FAT copy %d" % (i + 1), sectors_text(start, start + volume.fat_sectors - 1)], "fat"))
    cells.append((["data region", sectors_text(volume.data_start, volume.sectors - 1),
                   "clusters 2-%d" % (volume.clusters + 1)], "file"))
    draw_strip(d, y + 8, cells)

    y += BAND + 40
    d.text(MARGIN, y, "The start of the data region: cluster n is sector %d + (n - 2) x %d"
           % (volume.data_start, volume.cluster_sectors), 12, bold=True)
    cells = []
    for cluster in range(2, last_used + 1):
        holder = owner.get(cluster, "free")
        kind = "directory" if holder.endswith("/") or holder == "root directory" else "file"
        first = volume.sector_of(cluster)
        cells.append((["cluster %d" % cluster, holder, sectors_text(first, first + volume.cluster_sectors - 1)],
                      kind if holder != "free" else "free"))
    cells.append((["free", "clusters %d-%d" % (last_used + 1, volume.clusters + 1)], "free"))
    draw_strip(d, y + 8, cells)

    y += BAND + 40
    d.text(MARGIN, y, "The first FAT entries (4 bytes each, from sector %d; the second copy is the same)"
           % volume.fat_start[0], 12, bold=True)
    for cluster in range(fat_rows):
        y += 18
        d.text(MARGIN + 10, y, "FAT[%d] = 0x%08X  %s" % (cluster, volume.fat_entry(cluster),
                                                         entry_meaning(cluster, volume.fat_entry(cluster))), 11)

    y += 40
    d.text(MARGIN, y, "The root directory, cluster %d, slot by slot (32 bytes each)" % volume.root_cluster,
           12, bold=True)
    for slot in root_slots:
        y += 18
        d.text(MARGIN + 10, y, "slot %d: %s" % (slot.index, slot.text), 11)
    d.text(MARGIN, height - 14, "Read from a fresh image of tools/make-disk.sh; make docs draws this again.", 11)
    return d.svg()


def entry_meaning(cluster, value):
    if cluster == 0:
        return "reserved: the media byte in the low bits"
    if cluster == 1:
        return "reserved"
    link = value & LINK_MASK
    if link == 0:
        return "free"
    if link >= END_OF_CHAIN:
        return "in use, the last cluster of its chain"
    return "in use, continues at cluster %d" % link


def build(image_path):
    volume = Volume(image_path)
    return facts(volume), {"sample-disk.svg": figure(volume)}
