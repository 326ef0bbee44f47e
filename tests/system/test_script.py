"""The script compiler on the real path: the in-kernel `script` group compiles and runs a
script on QEMU and checks what it writes into VGA memory and leaves on the heap."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Qemu, image_path  # noqa: E402


class ScriptTests(unittest.TestCase):
    def test_in_kernel_script_group_passes(self):
        with Qemu(kernel=image_path("tavix-test.elf"), append="script") as vm:
            status = vm.wait_exit(60)
            lines = [line for line in vm.debugcon_text().splitlines() if line.startswith("KTEST ")]
        self.assertEqual(lines, ["KTEST script.runs_start_in_colour_and_hands_back_the_heap PASS", "KTEST DONE 1 0"])
        # isa-debug-exit: (0 << 1) | 1 when nothing failed.
        self.assertEqual(status, 1)


if __name__ == "__main__":
    unittest.main()
