"""A FAT32 volume in the first partition of an MBR disk (made with sfdisk and mkfs.fat
--offset), on QEMU: it mounts, and ls and mkhello work on it without touching a byte outside
the partition; fsck.fat and mtools then find the partition as they should."""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Qemu, fsck_clean, mtools  # noqa: E402

PROMPT = "masteruser: / &"
MIB = 1024 * 1024
# 128 MiB from sector 2048 (type 0x0C), then a Linux partition of 64 MiB.
BEGIN, END = 1 * MIB, 129 * MIB
OLD = b"already on the partition\n"


class PartitionedDisk(unittest.TestCase):
    def test_mbr_disk_mounts_its_first_fat32_partition_and_nothing_outside_it_changes(self):
        with tempfile.TemporaryDirectory() as tmp:
            disk, old = os.path.join(tmp, "d.img"), os.path.join(tmp, "old.txt")
            with open(disk, "wb") as f:
                f.truncate(256 * MIB)
            with open(old, "wb") as f:
                f.write(OLD)
            subprocess.run(["sfdisk", "-q", disk], input=b"start=2048, size=128MiB, type=c\nsize=64MiB, type=83\n",
                           check=True, capture_output=True)
            subprocess.run(["mkfs.fat", "-F", "32", "-s", "1", "--offset", "2048", disk, "131072"], check=True,
                           capture_output=True)
            mtools(["mcopy", old, "::/OLD.TXT"], disk + "@@1M")
            with open(disk, "r+b") as f:
                f.seek(END)
                f.write(b"the second partition\n" * (64 * MIB // 21))
                f.seek(0)
                before = f.read()
            with Qemu(disk=disk) as vm:
                vm.wait_for_text(PROMPT, timeout=90)
                vm.type("ls\nmkhello\n")
                vm.wait_until(lambda: vm.screen_text().count(PROMPT) == 3, 30, "ls and mkhello to end")
                rows = [row.rstrip() for row in vm.screen_rows()]
            self.assertIn("Sectors per cluster: 1", rows)
            self.assertIn("[0] /   0 clusters: [1]", rows)
            self.assertFalse([row for row in rows if "error" in row], "\n".join(rows))
            with open(disk, "rb") as f:
                after = f.read()
            self.assertEqual(after[:BEGIN], before[:BEGIN], "the MBR and the gap before the partition")
            self.assertEqual(after[END:], before[END:], "the second partition")
            with open(os.path.join(tmp, "partition.img"), "wb") as f:
                f.write(after[BEGIN:END])
            clean, report = fsck_clean(os.path.join(tmp, "partition.img"))
            self.assertTrue(clean, report)
            listing = mtools(["mdir", "::/"], disk + "@@1M").decode()
            self.assertEqual(listing.count("HELLO"), 1, listing)
            self.assertEqual(mtools(["mtype", "::/OLD.TXT"], disk + "@@1M"), OLD)


if __name__ == "__main__":
    unittest.main()
