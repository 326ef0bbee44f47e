"""Tavix on Bochs, the second PC model (a Pentium whose drive runs a command written while
identify data waits): the shipped ISO reaches the prompt with its FAT32 disk mounted, and the
in-kernel groups pass there, fs included, ending in the division-by-zero panic, on a disk that
fsck.fat finds clean afterwards. Where Bochs is missing the file exits with status 77, which
ctest reports as skipped."""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import REPO_ROOT, fsck_clean, image_path, make_fat32_image, mtools  # noqa: E402

sys.path.insert(0, os.path.join(REPO_ROOT, "tools"))
import bochs  # noqa: E402

SKIPPED = 77
PROMPT = "masteruser: / &"
DISK_READY = "Success. Disk is ready to go."
MOUNT_ERROR = "mkfat: error: unable to create filesystem"
README = b"Tavix on a second PC\n"
# Every group that means something on real hardware; the keyboard group needs typed keys and
# the general-protection panic a boot of its own. The panic comes last: nothing runs after it.
GROUPS = ["corelib", "timer", "swint", "pci", "progress", "rtc", "script", "fs", "divzero"]
PANIC_LINE = "--< Kernel panic >--|--< Division by zero >--"
KTEST_SYMBOL = "ktest_entry_"


def tests_in_image(elf, groups):
    """group.name of each in-kernel test of these groups, from the image's registration
    symbols (ktest_entry_<group>_<name>; group names have no underscore)."""
    out = subprocess.run(["nm", "-C", elf], check=True, capture_output=True, text=True).stdout
    names = []
    for line in out.split():
        if line.startswith(KTEST_SYMBOL):
            group, name = line[len(KTEST_SYMBOL):].split("_", 1)
            if group in groups:
                names.append("%s.%s" % (group, name))
    return names


class OnBochs(unittest.TestCase):
    def test_shipped_iso_reaches_the_prompt_with_the_volume_mounted(self):
        with tempfile.TemporaryDirectory() as tmp:
            disk = make_fat32_image(os.path.join(tmp, "disk.img"), files={"README.TXT": README})
            result = bochs.run(image_path("tavix.iso"), image_path("tavix.elf"), disk)
            rows = result.screen
            print("\nBochs: start-up to the prompt in %.1f s" % result.seconds, file=sys.stderr)
            self.assertFalse(result.halted, "\n".join(rows))
            self.assertEqual(rows.count(DISK_READY), 2, "\n".join(rows))
            self.assertIn("Filesystem identified!", rows)
            self.assertNotIn(MOUNT_ERROR, rows)
            self.assertEqual([row for row in rows if row][-1], PROMPT)
            clean, report = fsck_clean(disk)
            self.assertTrue(clean, report)
            self.assertEqual(mtools(["mtype", "::/README.TXT"], disk), README)

    def test_in_kernel_groups_pass_and_leave_a_clean_volume(self):
        with tempfile.TemporaryDirectory() as tmp:
            elf = image_path("tavix-test.elf")
            iso = os.path.join(tmp, "test.iso")
            subprocess.run([os.path.join(REPO_ROOT, "tools", "make-iso.sh"), elf, iso] + GROUPS, check=True)
            disk = make_fat32_image(os.path.join(tmp, "disk.img"), sectors_per_cluster=1, files={"OLD.TXT": README})
            result = bochs.run(iso, elf, disk)
            lines = [line for line in result.console.splitlines() if line.startswith("KTEST ")]
            expected = tests_in_image(elf, GROUPS[:-1])
            self.assertGreater(len(expected), len(GROUPS))
            self.assertCountEqual(lines, ["KTEST %s PASS" % name for name in expected])
            self.assertTrue(result.halted)
            self.assertIn(PANIC_LINE, result.screen)
            clean, report = fsck_clean(disk)
            self.assertTrue(clean, report)
            self.assertIn("kfs keep file.bin", mtools(["mdir", "::/"], disk).decode())
            self.assertEqual(mtools(["mtype", "::/OLD.TXT"], disk), README)


if __name__ == "__main__":
    reason = bochs.missing()
    if reason:
        print("skipped: " + reason)
        sys.exit(SKIPPED)
    unittest.main()
