"""Disks as users bring them, on QEMU: a FAT32 volume in the first partition of an MBR disk
(made with sfdisk and mkfs.fat --offset) mounts, and ls and mkhello work on it without touching
a byte outside the partition; a GPT disk is refused with its reason and left as it was."""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Qemu, fsck_clean, mtools  # noqa: E402

BOOT_TIMEOUT = 90
PROMPT = "masteruser: / &"
MOUNT_ERROR = "mkfat: error: unable to create filesystem"
SECTOR = 512
MIB = 1024 * 1024
# The first partition: 128 MiB from sector 2048, type 0x0C; a Linux partition of 64 MiB follows.
START = 2048
SECTORS = 128 * MIB // SECTOR
OLD = b"already on the partition\n"


def make_disk(path, table, mkfs_kib=None):
    """A 256 MiB image with the partition table `table` (sfdisk's input) and a FAT32 volume
    made at sector 2048."""
    with open(path, "wb") as f:
        f.truncate(256 * MIB)
    subprocess.run(["sfdisk", "-q", path], input=table.encode(), check=True, capture_output=True)
    mkfs = ["mkfs.fat", "-F", "32", "-s", "1", "--offset", str(START), path]
    subprocess.run(mkfs + ([str(mkfs_kib)] if mkfs_kib else []), check=True, capture_output=True)
    return path


def boot(disk, commands):
    with Qemu(disk=disk) as vm:
        vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT)
        for i, command in enumerate(commands):
            vm.type(command + "\n")
            vm.wait_until(lambda: vm.screen_text().count(PROMPT) == i + 2, 30, command + " to end")
        rows = [row.rstrip() for row in vm.screen_rows()]
        running = vm.running()
    return rows, running


class PartitionedDisks(unittest.TestCase):
    def test_mbr_disk_mounts_its_first_fat32_partition_and_nothing_outside_it_changes(self):
        with tempfile.TemporaryDirectory() as tmp:
            disk = make_disk(os.path.join(tmp, "d.img"), "start=2048, size=128MiB, type=c\nsize=64MiB, type=83\n",
                             mkfs_kib=128 * 1024)
            volume = disk + "@@1M"
            with tempfile.NamedTemporaryFile() as src:
                src.write(OLD)
                src.flush()
                mtools(["mcopy", src.name, "::/OLD.TXT"], volume)
            with open(disk, "r+b") as f:
                f.seek((START + SECTORS) * SECTOR)
                f.write(b"the second partition\n" * (64 * MIB // 21))
                f.seek(0)
                before = f.read()
            rows, running = boot(disk, ["ls", "mkhello"])
            self.assertTrue(running)
            self.assertIn("Sectors per cluster: 1", rows)
            self.assertNotIn(MOUNT_ERROR, rows)
            self.assertIn("[0] /   0 clusters: [1]", rows)
            self.assertFalse([row for row in rows if "error" in row], "\n".join(rows))
            with open(disk, "rb") as f:
                after = f.read()
            begin, end = START * SECTOR, (START + SECTORS) * SECTOR
            self.assertEqual(after[:begin], before[:begin], "the MBR and the gap before the partition")
            self.assertEqual(after[end:], before[end:], "the second partition")
            self.assertNotEqual(after[begin:end], before[begin:end])
            partition = os.path.join(tmp, "partition.img")
            with open(partition, "wb") as f:
                f.write(after[begin:end])
            clean, report = fsck_clean(partition)
            self.assertTrue(clean, report)
            listing = mtools(["mdir", "::/"], volume).decode()
            self.assertEqual(listing.count("HELLO"), 1, listing)
            self.assertEqual(mtools(["mtype", "::/OLD.TXT"], volume), OLD)

    def test_gpt_disk_is_refused_with_its_reason_and_left_as_it_was(self):
        with tempfile.TemporaryDirectory() as tmp:
            disk = make_disk(os.path.join(tmp, "gpt.img"),
                             "label: gpt\nstart=2048, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n")
            with open(disk, "rb") as f:
                before = f.read()
            rows, running = boot(disk, ["mkhello"])
            self.assertTrue(running)
            error = rows.index(MOUNT_ERROR)
            self.assertEqual(rows[error - 1], "fat32: error: GPT partition tables are not supported; volume refused.")
            self.assertIn("mkhello: error: no filesystem mounted", rows)
            with open(disk, "rb") as f:
                self.assertEqual(f.read(), before)


if __name__ == "__main__":
    unittest.main()
