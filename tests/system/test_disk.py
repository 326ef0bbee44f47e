"""The disk probe and the FAT32 mount at start-up on QEMU: with a FAT32 disk, with no disk, with a
disk that holds no FAT32 volume, and with a FAT16 volume. Mounting must not change the disk."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Qemu, fsck_clean, make_fat32_image  # noqa: E402

BOOT_TIMEOUT = 90
PROMPT = "masteruser: / &"
MOUNT_ERROR = "mkfat: error: unable to create filesystem"
PROBE_LINES = [
    "Status indicates presence of a drive. Polling while STAT_BSY... Done.",
    "Waiting for ERR or DRQ.",
    "Reading IDENTIFY structure.",
    "Success. Disk is ready to go.",
]
NO_DISK_LINES = [
    "identify: error: disk not found, or it is not an ATA disk",
    "identify: tip: fat32 mounting is not possible.",
]


def stripped(rows):
    return [row.rstrip() for row in rows]


def index_of_run(rows, run, start=0):
    """Index of the first row at or after start where the lines of run follow one another."""
    for i in range(start, len(rows) - len(run) + 1):
        if rows[i:i + len(run)] == run:
            return i
    raise AssertionError("lines %r not found in order on the screen:\n%s" % (run, "\n".join(rows)))


class DiskAtStartUp(unittest.TestCase):
    def boot(self, disk):
        with Qemu(disk=disk) as vm:
            vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT)
            rows = stripped(vm.screen_rows())
            master_fs = vm.read_u32(vm.symbol("master_fs"))
            self.assertTrue(vm.running())
        return rows, master_fs

    def test_fat32_disk_is_probed_twice_and_mounted(self):
        with tempfile.TemporaryDirectory() as tmp:
            disk = make_fat32_image(os.path.join(tmp, "disk.img"), size_mib=64, sectors_per_cluster=1,
                                    files={"HELLO.TXT": b"hello\n"}, dirs=("docs",))
            with open(disk, "rb") as f:
                before = f.read()
            rows, master_fs = self.boot(disk)
            # The probe of start-up, then the mount's own probe and its steps.
            first = index_of_run(rows, PROBE_LINES)
            index_of_run(rows, PROBE_LINES + ["Filesystem identified!", "trim_spaces", "Sectors per cluster: 1"],
                         first + len(PROBE_LINES))
            self.assertNotIn(MOUNT_ERROR, "\n".join(rows))
            self.assertIn(PROMPT, rows)
            self.assertNotEqual(master_fs, 0, "master_fs must hold the mounted volume")
            with open(disk, "rb") as f:
                self.assertEqual(f.read(), before, "mounting must not write to the disk")
            clean, report = fsck_clean(disk)
            self.assertTrue(clean, report)

    def test_without_disk_the_probe_reports_and_the_shell_starts(self):
        rows, master_fs = self.boot(None)
        at = index_of_run(rows, NO_DISK_LINES)
        self.assertNotIn("Filesystem identified!", rows)
        self.assertNotIn(MOUNT_ERROR, "\n".join(rows))
        self.assertEqual(rows.count(NO_DISK_LINES[0]), 1)
        self.assertIn(PROMPT, rows[at:])
        self.assertEqual(master_fs, 0)

    def test_disk_without_fat32_volume_is_refused(self):
        with tempfile.TemporaryDirectory() as tmp:
            blank = os.path.join(tmp, "blank.img")
            with open(blank, "wb") as f:
                f.truncate(16 * 1024 * 1024)
            rows, master_fs = self.boot(blank)
            self.assertEqual(rows.count("Filesystem identified!"), 1)
            error = rows.index(MOUNT_ERROR)
            self.assertEqual(rows[error + 1], "", "the mount error is followed by an empty line")
            self.assertIn(PROMPT, rows[error:])
            self.assertEqual(master_fs, 0)

    def test_volume_with_bad_geometry_is_refused(self):
        with tempfile.TemporaryDirectory() as tmp:
            disk = make_fat32_image(os.path.join(tmp, "odd.img"), size_mib=64, sectors_per_cluster=1)
            # Three sectors per cluster is no power of two: no safe cluster mapping exists.
            with open(disk, "r+b") as f:
                f.seek(13)
                f.write(bytes([3]))
            rows, master_fs = self.boot(disk)
            self.assertIn("Sectors per cluster: 3", rows)
            error = rows.index(MOUNT_ERROR)
            self.assertEqual(rows[error + 1], "")
            self.assertIn(PROMPT, rows[error:])
            self.assertEqual(master_fs, 0)


if __name__ == "__main__":
    unittest.main()
