"""The FAT32 file system on QEMU's IDE disk: the in-kernel group fs (write, read back, delete,
mkdir through the file API), the shell's ls and mkhello, and afterwards the disk image checked
with fsck.fat -n and mtools. Also reports the boot stack's high-water mark on 4 KiB clusters."""

import os
import struct
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Qemu, fsck_clean, image_path, make_fat32_image, mtools  # noqa: E402

TEST_IMAGE = image_path("tavix-test.elf")
BOOT_TIMEOUT = 90
RUN_TIMEOUT = 120
PROMPT = "masteruser: / &"
STACK_BYTES = 8192
EXISTING = b"already on the disk\n" * 50


def pattern(n):
    return bytes((i * 31 + 7) & 0xFF for i in range(n))


def ktest_lines(text):
    return [line for line in text.splitlines() if line.startswith("KTEST ")]


def utc_date():
    return time.strftime("%Y-%m-%d", time.gmtime())


def stripped(rows):
    return [row.rstrip() for row in rows]


class FileApiOnQemu(unittest.TestCase):
    def test_fs_group_passes_and_leaves_a_clean_volume(self):
        with tempfile.TemporaryDirectory() as tmp:
            disk = make_fat32_image(os.path.join(tmp, "disk.img"), size_mib=64, sectors_per_cluster=1,
                                    files={"OLD.TXT": EXISTING}, dirs=("docs",))
            with Qemu(kernel=TEST_IMAGE, disk=disk, append="fs") as vm:
                vm.wait_exit(RUN_TIMEOUT)
                lines = ktest_lines(vm.debugcon_text())
            self.assertIn("KTEST DONE 4 0", lines, "\n".join(lines))
            for line in lines:
                self.assertNotIn(" FAIL", line)
            clean, report = fsck_clean(disk)
            self.assertTrue(clean, report)
            self.assertNotIn("lost", report.lower())
            listing = mtools(["mdir", "::/"], disk).decode()
            self.assertIn("kfs keep file.bin", listing)
            self.assertIn("kfs keep dir", listing)
            self.assertNotIn("kfs doomed file.bin", listing)
            self.assertEqual(mtools(["mtype", "::/kfs keep file.bin"], disk), pattern(3000))
            self.assertEqual(mtools(["mtype", "::/OLD.TXT"], disk), EXISTING)
            inside = mtools(["mdir", "::/kfs keep dir"], disk).decode()
            self.assertIn("\n.            <DIR>", inside)
            self.assertIn("\n..           <DIR>", inside)
            # 60 long names with every third deleted, then 20 more: mtools sees exactly those.
            many = mtools(["mdir", "-b", "::/kfs many"], disk).decode().splitlines()
            names = sorted(path.rsplit("/", 1)[-1] for path in many if path)
            expected = sorted(["a long entry name number %d.txt" % i for i in range(60) if i % 3]
                              + ["again %d.txt" % i for i in range(20)])
            self.assertEqual(names, expected)


class ShellCommandsOnQemu(unittest.TestCase):
    def run_shell(self, sectors_per_cluster, size_mib):
        self.started = utc_date()
        tmp = tempfile.mkdtemp()
        disk = make_fat32_image(os.path.join(tmp, "disk.img"), size_mib=size_mib,
                                sectors_per_cluster=sectors_per_cluster, files={"OLD.TXT": EXISTING})
        with Qemu(disk=disk) as vm:
            vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT)
            vm.type("clear\n")
            vm.wait_for_text(PROMPT)
            vm.type("ls\n")
            vm.wait_for_text("clusters: [1]")
            rows = stripped(vm.screen_rows())
            vm.type("mkhello\n")
            vm.type("mkhello\n")
            vm.wait_for_text("mkdir: error: hello already exists")
            after = stripped(vm.screen_rows())
            high_water = vm.stack_high_water()
            self.assertTrue(vm.running())
        return disk, rows, after, high_water

    def check_disk(self, disk):
        clean, report = fsck_clean(disk)
        self.assertTrue(clean, report)
        self.assertNotIn("lost", report.lower())
        listing = mtools(["mdir", "::/"], disk).decode()
        self.assertEqual(listing.count("HELLO"), 1, listing)
        # QEMU's clock runs on the host's UTC time: the new entry is dated today.
        hello = [line for line in listing.splitlines() if line.startswith("HELLO")][0]
        self.assertIn(hello.split()[2], (self.started, utc_date()), listing)
        inside = mtools(["mdir", "::/HELLO"], disk).decode()
        self.assertIn("\n.            <DIR>", inside)
        self.assertIn("\n..           <DIR>", inside)
        self.assertEqual(mtools(["mtype", "::/OLD.TXT"], disk), EXISTING)

    def test_ls_and_mkhello_on_512_byte_clusters(self):
        disk, rows, after, _ = self.run_shell(1, 64)
        self.assertIn("[0] /   0 clusters: [1]", rows)
        self.assertEqual(sum(1 for r in after if r == "mkdir: error: hello already exists"), 1)
        self.check_disk(disk)

    def test_mkhello_on_4k_clusters_and_stack_high_water(self):
        disk, rows, after, high_water = self.run_shell(8, 512)
        self.assertIn("[0] /   0 clusters: [1]", rows)
        self.check_disk(disk)
        print("\nboot stack high-water mark after ls and two mkhello on 4 KiB clusters: %d of %d bytes"
              % (high_water, STACK_BYTES), file=sys.stderr)
        self.assertLess(high_water, STACK_BYTES // 2)


# QEMU's blkdebug layer between the IDE disk and its image fails one write with EIO, once.
BLKDEBUG_RULE = """[inject-error]
event = "write_aio"
errno = "5"
sector = "%d"
once = "on"
"""


class FailingWriteOnQemu(unittest.TestCase):
    def test_mkhello_reports_a_failed_fat_write_and_the_next_one_heals(self):
        with tempfile.TemporaryDirectory() as tmp:
            disk = make_fat32_image(os.path.join(tmp, "disk.img"), size_mib=64, sectors_per_cluster=1,
                                    files={"OLD.TXT": EXISTING})
            with open(disk, "rb") as f:
                reserved = struct.unpack_from("<H", f.read(512), 14)[0]
            # The first FAT sector holds the new directory's entry and the clean-shutdown mark,
            # which is written first: that write of its first copy fails.
            rule = os.path.join(tmp, "blkdebug.conf")
            with open(rule, "w") as f:
                f.write(BLKDEBUG_RULE % reserved)
            drive = ("file=blkdebug:%s:%s,format=raw,if=ide,index=0,media=disk,werror=report,rerror=report"
                     % (rule, disk))
            with Qemu(extra_args=["-drive", drive]) as vm:
                vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT)
                vm.type("mkhello\n")
                vm.wait_for_text("mkdir: error: could not write the FAT's clean-shutdown mark for hello")
                vm.type("mkhello\n")
                vm.type("mkhello\n")
                vm.wait_for_text("mkdir: error: hello already exists")
                rows = stripped(vm.screen_rows())
                self.assertTrue(vm.running())
            self.assertEqual(sum(1 for r in rows if r.startswith("mkdir: error:")), 2, "\n".join(rows))
            clean, report = fsck_clean(disk)
            self.assertTrue(clean, report)
            listing = mtools(["mdir", "::/"], disk).decode()
            self.assertEqual(listing.count("HELLO"), 1, listing)
            self.assertEqual(mtools(["mtype", "::/OLD.TXT"], disk), EXISTING)


if __name__ == "__main__":
    unittest.main()
