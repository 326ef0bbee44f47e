"""The order in which one mkhello writes the sample disk, taken from the real kernel: QEMU's
block-layer trace records every write the emulated IDE disk receives, and the volume itself
says what each written sector holds."""

import os
import re
import sys

from fat_image import SECTOR_BYTES, Volume
from svg import Drawing

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "system"))
from harness import Qemu  # noqa: E402

PROMPT = "masteruser: / &"
COMMAND = "mkhello"
NEW_NAME = "hello"
COMMAND_TIMEOUT = 30.0
WRITE_TRACE = re.compile(r"blk_co_pwritev .*offset (\d+) bytes (\d+)")
FAT_ENTRIES_PER_SECTOR = SECTOR_BYTES // 4


def traced_writes(elf, image, log):
    """(first sector, sector count) of every write of one mkhello, in order."""
    with Qemu(kernel=elf, disk=image, extra_args=["-trace", "blk_co_pwritev", "-D", log]) as vm:
        vm.wait_for_text(PROMPT)
        vm.type(COMMAND + "\n")
        vm.wait_until(lambda: vm.screen_text().rstrip().endswith(PROMPT + COMMAND + "\n" + PROMPT),
                      COMMAND_TIMEOUT, "the prompt after " + COMMAND)
    with open(log) as f:
        return [(int(m.group(1)) // SECTOR_BYTES, int(m.group(2)) // SECTOR_BYTES)
                for m in map(WRITE_TRACE.search, f) if m]


def what_is_there(volume, sector, new_cluster, mark):
    """(description, kind) of one written sector; `mark` names what a write of FAT entry 1's
    sector does when it comes before the change's data or after FSInfo."""
    if mark and sector in volume.fat_start:
        return "FAT copy %d: the clean-shutdown mark in entry 1 %s" % (volume.fat_start.index(sector) + 1, mark), "fat"
    if sector == volume.fsinfo:
        return "FSInfo: the free-cluster count and the next-free hint", "tables"
    for copy, start in enumerate(volume.fat_start):
        if start <= sector < start + volume.fat_sectors:
            first = (sector - start) * FAT_ENTRIES_PER_SECTOR
            return ("FAT copy %d: the sector with the entries of clusters %d-%d"
                    % (copy + 1, first, first + FAT_ENTRIES_PER_SECTOR - 1)), "fat"
    if sector < volume.data_start:
        return "a reserved sector", "tables"
    cluster = volume.cluster_of(sector)
    if cluster == new_cluster:
        return "cluster %d: the new directory, with its . and .. entries" % cluster, "file"
    if cluster in volume.chain(volume.root_cluster):
        return "cluster %d: the root directory, the slot that names %s" % (cluster, NEW_NAME), "directory"
    return "cluster %d" % cluster, "file"


def figure(steps):
    row = 38
    height = 80 + row * len(steps)
    d = Drawing(760, height, "The writes of one mkhello")
    d.text(20, 24, "One mkhello on the sample disk: every write the disk receives, in order", 14, bold=True)
    for i, (sector, count, text, kind) in enumerate(steps):
        y = 40 + i * row
        d.box(20, y, 720, row - 8, kind)
        where = "sector {:,}".format(sector) if count == 1 else "sectors {:,}-{:,}".format(sector, sector + count - 1)
        d.text(30, y + 19, "%d. %s: %s" % (i + 1, where, text), 12)
    d.text(20, height - 14, "From QEMU's trace of the kernel's disk writes; make docs draws this again.", 11)
    return d.svg()


def build(elf, image, workdir):
    writes = traced_writes(elf, image, os.path.join(workdir, "writes.log"))
    volume = Volume(image)
    made = [e for e in volume.entries(volume.root_cluster) if e.name.lower() == NEW_NAME]
    if len(made) != 1:
        raise SystemExit("%s made %d entries named %s, not one" % (COMMAND, len(made), NEW_NAME))
    new_cluster = made[0].first_cluster
    steps = []
    data_written = fsinfo_written = False
    for sector, count in writes:
        mark = "set again" if fsinfo_written else None if data_written else "cleared"
        steps.append((sector, count) + what_is_there(volume, sector, new_cluster, mark))
        fsinfo_written = fsinfo_written or sector == volume.fsinfo
        data_written = data_written or sector >= volume.data_start
    found = {
        "write.count": str(len(writes)),
        "write.new_cluster": str(new_cluster),
    }
    # The page's list of the writes names each one's first sector, in order.
    found.update(("write.sector.%d" % (i + 1), "{:,}".format(sector)) for i, (sector, _) in enumerate(writes))
    return found, {"mkhello-writes.svg": figure(steps)}
