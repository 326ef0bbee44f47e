"""The script compiler on the real path: the in-kernel `script` group compiles and runs
scripts on QEMU and checks what they write into VGA memory and what they leave on the heap."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Qemu, image_path  # noqa: E402

TEST_IMAGE = image_path("tavix-test.elf")
RUN_TIMEOUT = 60
EXPECTED_TESTS = {
    "declares_runs_start_and_prints_in_colour",
    "error_stops_the_run_and_is_reported",
    "runs_hand_back_every_heap_block",
}


def ktest_lines(text):
    return [line for line in text.splitlines() if line.startswith("KTEST ")]


class ScriptTests(unittest.TestCase):
    def test_in_kernel_script_group_passes(self):
        with Qemu(kernel=TEST_IMAGE, append="script") as vm:
            status = vm.wait_exit(RUN_TIMEOUT)
            lines = ktest_lines(vm.debugcon_text())
        self.assertTrue(lines, "the test image reported nothing")
        results = [line for line in lines if not line.startswith("KTEST DONE")]
        failures = [line for line in results if not line.endswith(" PASS")]
        self.assertEqual(failures, [])
        names = set()
        for line in results:
            match = re.match(r"KTEST script\.(\w+) PASS$", line)
            self.assertIsNotNone(match, line)
            names.add(match.group(1))
        self.assertEqual(names, EXPECTED_TESTS)
        self.assertEqual(lines[-1], "KTEST DONE %d 0" % len(EXPECTED_TESTS))
        # isa-debug-exit: (0 << 1) | 1 when nothing failed.
        self.assertEqual(status, 1)


if __name__ == "__main__":
    unittest.main()
