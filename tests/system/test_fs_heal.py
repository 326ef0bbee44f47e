"""A write that QEMU's drive fails once (blkdebug injects EIO on one sector) during mkhello.
A failed FAT write undoes the creation, so the volume stays as it was; a failed FSInfo write
keeps the new entry and leaves the free-cluster summary stale. Either way the next shell
command that touches the volume writes what is still pending, and fsck.fat then finds the
volume clean. A power cut after any write of a mkhello, a failed FSInfo write among them,
leaves the clean-shutdown mark cleared, and the next boot counts the free clusters again."""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Qemu, fsck_clean, make_fat32_image, mtools  # noqa: E402

BOOT_TIMEOUT = 90
PROMPT = "masteruser: / &"
SECTOR = 512
FAT_ENTRY_MASK = 0x0FFFFFFF


def le16(data, offset):
    return int.from_bytes(data[offset:offset + 2], "little")


def le32(data, offset):
    return int.from_bytes(data[offset:offset + 4], "little")


def sector_of_next_allocation(path):
    """The LBA of the first FAT copy's sector that the next allocation changes: the first free
    cluster from FSInfo's next-free hint on."""
    with open(path, "rb") as f:
        boot = f.read(SECTOR)
        f.seek(le16(boot, 48) * SECTOR)
        hint = max(2, le32(f.read(SECTOR), 492))
        fat = le16(boot, 14)
        f.seek(fat * SECTOR)
        entries = f.read(le32(boot, 36) * SECTOR)
    cluster = hint
    while le32(entries, 4 * cluster) & FAT_ENTRY_MASK:
        cluster += 1
    return fat + cluster * 4 // SECTOR


class FailedWriteHeals(unittest.TestCase):
    def run_case(self, failing_lba, healer, says, left_inconsistent, hellos):
        with tempfile.TemporaryDirectory() as tmp:
            disk = make_fat32_image(os.path.join(tmp, "disk.img"), size_mib=64, sectors_per_cluster=1,
                                    files={"OLD.TXT": b"old\n"})
            lba = failing_lba(disk)
            config = os.path.join(tmp, "blkdebug.cfg")
            with open(config, "w") as f:
                f.write('[inject-error]\nevent = "write_aio"\nsector = "%d"\nonce = "on"\nerrno = "5"\n' % lba)
            drive = ["-drive", "file=blkdebug:%s:%s,format=raw,if=ide,index=0,media=disk,werror=report,"
                     "rerror=report" % (config, disk)]
            with Qemu(extra_args=drive) as vm:
                vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT)
                vm.type("clear\n")
                vm.wait_for_text(PROMPT)
                vm.type("mkhello\n")
                vm.wait_until(lambda: vm.screen_text().count(PROMPT) == 2, 30, "mkhello to end")
                self.assertIn("mkdir: error:", vm.screen_text())
                clean, report = fsck_clean(disk)
                self.assertEqual(clean, not left_inconsistent, report)
                vm.type(healer + "\n")
                vm.wait_for_text(says)
                vm.wait_until(lambda: vm.screen_text().count(PROMPT) == 3, 30, healer + " to end")
                self.assertTrue(vm.running())
            clean, report = fsck_clean(disk)
            self.assertTrue(clean, report)
            listing = mtools(["mdir", "::/"], disk).decode()
            self.assertEqual(listing.count("HELLO"), hellos, listing)
            self.assertEqual(mtools(["mtype", "::/OLD.TXT"], disk), b"old\n")

    def test_failed_fat_write_is_healed_by_ls(self):
        self.run_case(sector_of_next_allocation, "ls", "[0] /   0 clusters: [1]", left_inconsistent=False, hellos=0)

    def test_failed_fsinfo_write_is_healed_by_a_refused_mkhello(self):
        def fsinfo(path):
            with open(path, "rb") as f:
                return le16(f.read(SECTOR), 48)
        self.run_case(fsinfo, "mkhello", "mkdir: error: hello already exists", left_inconsistent=True, hellos=1)


NOT_CLEAN = "fat32: the volume was not cleanly unmounted; free space will be recounted."
# What fsck.fat may find on a volume cut off in the middle of a mkhello: the mark cleared, FAT
# copies that differ in what the last write reached, clusters no entry references, and, until
# the next boot has counted again, a stale free-cluster summary.
AFTER_A_CUT = ("Dirty bit is set.", "Automatically removing dirty bit.", "FATs differ but appear to be intact.",
               "Using first FAT.", "Reclaimed ", "Leaving filesystem unchanged.")
STALE_SUMMARY = ("Free cluster summary wrong", "Auto-correcting.")


def findings_besides(path, tolerated):
    """The findings of fsck.fat -n, between its first line and its summary, but the tolerated."""
    lines = [line.strip() for line in fsck_clean(path)[1].splitlines() if line.strip()]
    return [line for line in lines[1:-1] if not line.startswith(tolerated)]


def boot_and_type(disk, command, drive=None):
    """Boots on the disk, runs one shell command and switches the machine off; the screen."""
    with Qemu(disk=None if drive else disk, extra_args=drive or ()) as vm:
        vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT)
        vm.type(command + "\n")
        vm.wait_until(lambda: vm.screen_text().count(PROMPT) == 2, 30, command + " to end")
        return vm.screen_text()


def cut_after(disk, config, writes):
    """QEMU's drive arguments for the disk behind blkdebug, which lets the first `writes` writes
    through and fails every later one, as a power cut would."""
    with open(config, "w") as f:
        f.write("".join('[set-state]\nstate = "%d"\nevent = "write_aio"\nnew_state = "%d"\n' % (k, k + 1)
                        for k in range(1, writes + 1)))
        f.write('[inject-error]\nstate = "%d"\nevent = "write_aio"\nerrno = "5"\n' % (writes + 1))
    return ["-drive", "file=blkdebug:%s:%s,format=raw,if=ide,index=0,media=disk,werror=report" % (config, disk)]


class PowerCut(unittest.TestCase):
    def test_a_cut_after_any_write_of_mkhello_leaves_one_hello_after_the_next_boot(self):
        """blkdebug lets the first n writes of a mkhello through and fails every later one, as a
        power cut would, for n = 0, 1, ... until the mkhello goes through whole."""
        with tempfile.TemporaryDirectory() as tmp:
            pristine = make_fat32_image(os.path.join(tmp, "pristine.img"), size_mib=64, sectors_per_cluster=1,
                                        files={"OLD.TXT": b"old\n"})
            disk, config = os.path.join(tmp, "disk.img"), os.path.join(tmp, "blkdebug.cfg")
            for writes in range(20):
                shutil.copy(pristine, disk)
                cut = "error" in boot_and_type(disk, "mkhello", cut_after(disk, config, writes))
                with self.subTest(cut_after=writes):
                    self.assertEqual(findings_besides(disk, AFTER_A_CUT + STALE_SUMMARY), [])
                    left_dirty = "Dirty bit is set" in fsck_clean(disk)[1]
                    screen = boot_and_type(disk, "mkhello")
                    self.assertEqual(NOT_CLEAN in screen, left_dirty, screen)
                    report = fsck_clean(disk)[1]
                    # Only a checker may set the mark again. The free clusters were counted again:
                    # the summary is right, but for clusters no entry references (free to fsck.fat).
                    self.assertEqual("Dirty bit is set" in report, left_dirty)
                    lost = "Reclaimed " in report
                    self.assertEqual(findings_besides(disk, AFTER_A_CUT + (STALE_SUMMARY if lost else ())), [])
                    self.assertEqual(mtools(["mdir", "::/"], disk).decode().count("HELLO"), 1)
                    self.assertEqual(mtools(["mtype", "::/OLD.TXT"], disk), b"old\n")
                if not cut:
                    break
            self.assertFalse(cut, "a mkhello of fewer than 20 writes")
            self.assertGreater(writes, 5)


if __name__ == "__main__":
    unittest.main()
