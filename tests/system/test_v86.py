"""Tavix on v86, the third PC model (the emulator of the browser page, here under Node): the
shipped image reaches the prompt with its disk mounted and takes mkhello; the in-kernel groups
pass, the keyboard's with keys typed into v86, then the division-by-zero panic; a boot of its
own ends in the general-protection panic. fsck.fat finds each disk clean. Where Node, the v86
package or SeaBIOS is missing the file exits with 77, which ctest reports as skipped."""

import os
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import fsck_clean, image_path, make_fat32_image, mtools  # noqa: E402
from test_bochs import main_unless_missing, tests_in_image  # noqa: E402
from test_pci import parse_listing  # noqa: E402
from test_shell import KEYBOARD_RESULTS, type_keyboard_group  # noqa: E402
import v86  # noqa: E402

BOOT_TIMEOUT = 30
RUN_TIMEOUT = 60
PROMPT = "masteruser: / &"
DATA = b"Tavix on a third PC\n"
# The keyboard group waits for typed keys, and nothing runs after a panic, so those two end
# the list.
GROUPS = ["corelib", "timer", "swint", "pci", "progress", "rtc", "script", "fs", "keyboard", "divzero"]
# The functions in the window the PCI scan looks at (buses 0-19, slots 0-3): v86 puts its
# other devices in higher slots (network card 5, VGA 18, IDE 30).
V86_PCI_WINDOW = [(0x8086, 0x1237, 0x06, 0x00, 0), (0x8086, 0x7000, 0x06, 0x01, 0)]


class OnV86(unittest.TestCase):
    def boot(self, kernel, groups, drive):
        """Boots kernel in v86 on a fresh disk; drive(vm) runs while the machine is up. Returns
        what drive returned, with the disk checked clean and its old file intact."""
        with tempfile.TemporaryDirectory() as tmp:
            disk = make_fat32_image(os.path.join(tmp, "disk.img"), sectors_per_cluster=1,
                                    files={"OLD.TXT": DATA})
            with v86.V86(kernel=kernel, disk=disk, append=" ".join(groups)) as vm:
                result = drive(vm)
            clean, report = fsck_clean(disk)
            # Its version and the summary line, nothing else.
            self.assertEqual((clean, len(report.splitlines())), (True, 2), report)
            self.assertEqual(mtools(["mtype", "::/OLD.TXT"], disk), DATA)
            return result, mtools(["mdir", "-b", "::/"], disk).decode()

    def test_shipped_image_reaches_the_prompt_and_takes_mkhello(self):
        def session(vm):
            started = time.monotonic()
            rows = vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT).split("\n")
            seconds = time.monotonic() - started
            vm.type("mkhello\nmkhello\n")
            vm.wait_for_text("mkdir: error: hello already exists")
            return rows, seconds

        (rows, seconds), listing = self.boot(image_path("tavix.elf"), [], session)
        print("\nv86: start-up to the prompt in %.2f s" % seconds, file=sys.stderr)
        self.assertEqual(rows.count("Success. Disk is ready to go."), 2, "\n".join(rows))
        self.assertIn("Filesystem identified!", rows)
        self.assertEqual(sorted(listing.split()), ["::/OLD.TXT", "::/hello/"])

    def test_in_kernel_groups_pass(self):
        def run(vm):
            started = time.monotonic()
            type_keyboard_group(self, vm)
            screen = vm.wait_for_text("--< Kernel panic >--|--< Division by zero >--", timeout=RUN_TIMEOUT)
            return vm.debugcon_text(), screen, time.monotonic() - started

        (console, screen, seconds), listing = self.boot(image_path("tavix-test.elf"), GROUPS, run)
        print("\nv86: the in-kernel groups in one boot, %.1f s" % seconds, file=sys.stderr)
        lines = [line for line in console.splitlines() if line.startswith("KTEST ")]
        expected = tests_in_image(image_path("tavix-test.elf"), GROUPS[:-1])
        self.assertGreater(len(expected), len(GROUPS))
        self.assertCountEqual(lines, ["KTEST %s PASS" % name for name in expected])
        self.assertEqual(lines[-3:], KEYBOARD_RESULTS[:-1])
        self.assertNotIn("KTEST DONE", console)
        self.assertEqual(parse_listing(console), V86_PCI_WINDOW)
        self.assertIn("kfs keep file.bin", listing)

    def test_general_protection_fault_panics_and_a_finished_run_ends_v86(self):
        def run(vm):
            vm.wait_for_text("--< Kernel panic >--|--< General protection fault >--", timeout=BOOT_TIMEOUT)
            return vm.debugcon_text()

        console, _ = self.boot(image_path("tavix-test.elf"), ["gpfault"], run)
        self.assertEqual(console, "")

        # A run that reaches its end reports it on port 0xF4, which ends v86 as it ends QEMU.
        with v86.V86(kernel=image_path("tavix-test.elf"), append="nosuchgroup") as vm:
            self.assertEqual(vm.wait_exit(RUN_TIMEOUT), 1)
            self.assertEqual(vm.debugcon_text(), "KTEST DONE 0 0\n")


if __name__ == "__main__":
    main_unless_missing(v86.missing())
