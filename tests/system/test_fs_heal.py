"""A write that QEMU's drive fails once (blkdebug injects EIO on one sector) during mkhello.
A failed FAT write undoes the creation, so the volume stays as it was; a failed FSInfo write
keeps the new entry and leaves the free-cluster summary stale. Either way the next shell
command that touches the volume writes what is still pending, and fsck.fat then finds the
volume clean. When the machine is switched off instead, or the power is cut after any write of
a mkhello, the volume keeps its clean-shutdown mark cleared, and the next boot does not trust
its free-cluster summary."""

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


FAIL_ONCE = '[inject-error]\nevent = "write_aio"\nsector = "%d"\nonce = "on"\nerrno = "5"\n'
NOT_CLEAN = "fat32: the volume was not cleanly unmounted; free space will be recounted."


def le16(data, offset):
    return int.from_bytes(data[offset:offset + 2], "little")


def le32(data, offset):
    return int.from_bytes(data[offset:offset + 4], "little")


# What fsck.fat may find on a volume cut off in the middle of a mkhello: the clean-shutdown
# mark cleared, FAT copies that differ in what the last write reached, a stale free-cluster
# summary, clusters no entry references. Any other finding is a fault.
TOLERATED_AFTER_A_CUT = ("FATs differ but appear to be intact.", "Using first FAT.", "Dirty bit is set.",
                         "Automatically removing dirty bit.", "Free cluster summary wrong", "Auto-correcting.",
                         "Reclaimed ")
FSCK_FRAME = ("fsck.fat ", "Leaving filesystem unchanged.")


def fsck_findings(path):
    """The lines of fsck.fat -n's report that say something about the volume."""
    _, report = fsck_clean(path)
    lines = [line.strip() for line in report.splitlines() if line.strip()]
    return [line for line in lines[:-1] if not line.startswith(FSCK_FRAME)]


def blkdebug_drive(config_path, disk, rules):
    with open(config_path, "w") as f:
        f.write(rules)
    return ["-drive", "file=blkdebug:%s:%s,format=raw,if=ide,index=0,media=disk,werror=report,rerror=report"
            % (config_path, disk)]


def fail_all_writes_after(n):
    """blkdebug rules that let the first n writes through and fail every later one: the state
    counts writes up to n + 1, and in that state every write fails, as after a power cut."""
    rules = "".join('[set-state]\nstate = "%d"\nevent = "write_aio"\nnew_state = "%d"\n\n' % (k, k + 1)
                    for k in range(1, n + 1))
    return rules + '[inject-error]\nstate = "%d"\nevent = "write_aio"\nerrno = "5"\n' % (n + 1)


def boot_and_type(disk, command, drive=None):
    """Boots on the disk, runs one shell command and switches the machine off; the screen."""
    with Qemu(disk=None if drive else disk, extra_args=drive or ()) as vm:
        vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT)
        vm.type(command + "\n")
        vm.wait_until(lambda: vm.screen_text().count(PROMPT) == 2, 30, command + " to end")
        return vm.screen_text()


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
            drive = blkdebug_drive(os.path.join(tmp, "blkdebug.cfg"), disk, FAIL_ONCE % lba)
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


def fsinfo_sector(path):
    with open(path, "rb") as f:
        return le16(f.read(SECTOR), 48)


class CutOff(unittest.TestCase):
    def test_failed_fsinfo_write_then_switched_off_is_recounted_on_the_next_boot(self):
        with tempfile.TemporaryDirectory() as tmp:
            disk = make_fat32_image(os.path.join(tmp, "disk.img"), size_mib=64, sectors_per_cluster=1,
                                    files={"OLD.TXT": b"old\n"})
            drive = blkdebug_drive(os.path.join(tmp, "blkdebug.cfg"), disk, FAIL_ONCE % fsinfo_sector(disk))
            self.assertIn("mkdir: error: could not write FSInfo for hello", boot_and_type(disk, "mkhello", drive))
            screen = boot_and_type(disk, "mkhello")
            self.assertIn(NOT_CLEAN, screen)
            self.assertIn("mkdir: error: hello already exists", screen)
            self.assertEqual(fsck_findings(disk), ["Dirty bit is set. Fs was not properly unmounted and some data may "
                                                   "be corrupt.", "Automatically removing dirty bit."])
            self.assertEqual(mtools(["mdir", "::/"], disk).decode().count("HELLO"), 1)

    def test_a_power_cut_after_any_write_of_mkhello_leaves_one_hello_after_the_next(self):
        with tempfile.TemporaryDirectory() as tmp:
            pristine = make_fat32_image(os.path.join(tmp, "pristine.img"), size_mib=64, sectors_per_cluster=1,
                                        files={"OLD.TXT": b"old\n"})
            disk = os.path.join(tmp, "disk.img")
            writes = 0
            while True:
                with self.subTest(cut_after=writes):
                    shutil.copy(pristine, disk)
                    config = os.path.join(tmp, "blkdebug.cfg")
                    screen = boot_and_type(disk, "mkhello", blkdebug_drive(config, disk, fail_all_writes_after(writes)))
                    uncut = "error" not in screen
                    for finding in fsck_findings(disk):
                        self.assertTrue(finding.startswith(TOLERATED_AFTER_A_CUT), finding)
                    boot_and_type(disk, "mkhello")
                    for finding in fsck_findings(disk):
                        self.assertTrue(finding.startswith(TOLERATED_AFTER_A_CUT), finding)
                    self.assertEqual(mtools(["mdir", "::/"], disk).decode().count("HELLO"), 1)
                    self.assertEqual(mtools(["mtype", "::/OLD.TXT"], disk), b"old\n")
                if uncut:
                    break
                writes += 1
            # Every write of a mkhello was cut after in turn, the last run being the whole of it.
            self.assertGreaterEqual(writes, 5)


if __name__ == "__main__":
    unittest.main()
