"""Tavix on Bochs, the second PC model (a Pentium, and a drive that runs a command written while
identify data waits): the shipped ISO reaches the prompt with its disk mounted, and the
in-kernel groups pass, fs included, then the division-by-zero panic; a boot of its own ends in
the general-protection panic. fsck.fat finds each disk clean. Where Bochs is missing the file
exits with 77, which ctest reports as skipped."""

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
DATA = b"Tavix on a second PC\n"
# Every group that means something on a real PC but the keyboard's, which needs typed keys;
# nothing runs after a panic, so each panic group ends a boot.
GROUPS = ["corelib", "timer", "swint", "pci", "progress", "rtc", "script", "fs", "divzero"]
KTEST_SYMBOL = "ktest_entry_"


def tests_in_image(elf, groups):
    """group.name of the image's tests in these groups, from their ktest_entry_<group>_<name>
    symbols (no group name has an underscore)."""
    words = subprocess.run(["nm", "-C", elf], check=True, capture_output=True, text=True).stdout.split()
    entries = [w[len(KTEST_SYMBOL):].split("_", 1) for w in words if w.startswith(KTEST_SYMBOL)]
    return ["%s.%s" % (group, name) for group, name in entries if group in groups]


class OnBochs(unittest.TestCase):
    def boot(self, iso, elf, sectors_per_cluster=None):
        with tempfile.TemporaryDirectory() as tmp:
            disk = make_fat32_image(os.path.join(tmp, "disk.img"), sectors_per_cluster=sectors_per_cluster,
                                    files={"OLD.TXT": DATA})
            result = bochs.run(iso, elf, disk)
            clean, report = fsck_clean(disk)
            # Its version and the summary line, nothing else.
            self.assertEqual((clean, len(report.splitlines())), (True, 2), report)
            self.assertEqual(mtools(["mtype", "::/OLD.TXT"], disk), DATA)
            return result, mtools(["mdir", "-b", "::/"], disk).decode()

    def test_shipped_iso_reaches_the_prompt_with_the_volume_mounted(self):
        result, _ = self.boot(image_path("tavix.iso"), image_path("tavix.elf"))
        print("\nBochs: start-up to the prompt in %.1f s" % result.seconds, file=sys.stderr)
        rows = [row for row in result.screen if row]
        self.assertFalse(result.halted, "\n".join(rows))
        self.assertEqual(rows.count("Success. Disk is ready to go."), 2, "\n".join(rows))
        self.assertIn("Filesystem identified!", rows)
        self.assertEqual(rows[-1], "masteruser: / &")

    def boot_test_image(self, groups):
        """(KTEST lines, the boot's Result, the root directory's listing)."""
        elf = image_path("tavix-test.elf")
        with tempfile.TemporaryDirectory() as tmp:
            iso = os.path.join(tmp, "test.iso")
            subprocess.run([os.path.join(REPO_ROOT, "tools", "make-iso.sh"), elf, iso] + groups, check=True)
            result, listing = self.boot(iso, elf, sectors_per_cluster=1)
        lines = [line for line in result.console.splitlines() if line.startswith("KTEST ")]
        self.assertTrue(result.halted)
        return lines, result, listing

    def test_in_kernel_groups_pass(self):
        lines, result, listing = self.boot_test_image(GROUPS)
        expected = tests_in_image(image_path("tavix-test.elf"), GROUPS[:-1])
        self.assertGreater(len(expected), len(GROUPS))
        self.assertCountEqual(lines, ["KTEST %s PASS" % name for name in expected])
        self.assertIn("--< Kernel panic >--|--< Division by zero >--", result.screen)
        self.assertIn("kfs keep file.bin", listing)

    def test_general_protection_fault_panics(self):
        lines, result, _ = self.boot_test_image(["gpfault"])
        self.assertEqual(lines, [])
        self.assertIn("--< Kernel panic >--|--< General protection fault >--", result.screen)


def main_unless_missing(reason):
    """Runs the file's tests, or says why not and exits with SKIPPED, which ctest reports as skipped."""
    if reason:
        print("skipped: " + reason)
        sys.exit(SKIPPED)
    unittest.main()


if __name__ == "__main__":
    main_unless_missing(bochs.missing())
