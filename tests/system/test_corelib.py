"""The core library on the real path: the in-kernel heap, cursor, printf and scrolling tests,
and the start-up text the heap and printf leave on the VGA screen."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Qemu, image_path  # noqa: E402

TEST_IMAGE = image_path("tavix-test.elf")
RUN_TIMEOUT = 60
BOOT_TIMEOUT = 30
PROMPT = "masteruser: / &"
DMEM_LINE = "DMEM: Initiliazing..."
DEFAULT_ATTRIBUTE = 0x07
EXPECTED_TESTS = {
    "heap_list_tiles_the_image_area",
    "large_block_is_real_memory_and_comes_back",
    "krealloc_and_split_string_leave_no_blocks",
    "kernel_memcpy_takes_the_source_first",
    "cursor_registers_round_trip",
    "printf_colour_lands_in_vga_memory",
    "newline_on_the_last_row_scrolls_vga_memory",
}


def ktest_lines(text):
    return [line for line in text.splitlines() if line.startswith("KTEST ")]


class CorelibTests(unittest.TestCase):
    def test_in_kernel_corelib_group_passes(self):
        with Qemu(kernel=TEST_IMAGE, append="corelib") as vm:
            status = vm.wait_exit(RUN_TIMEOUT)
            lines = ktest_lines(vm.debugcon_text())
        results = [line for line in lines if not line.startswith("KTEST DONE")]
        failures = [line for line in results if not line.endswith(" PASS")]
        self.assertEqual(failures, [])
        names = {re.match(r"KTEST corelib\.(\w+) PASS", line).group(1) for line in results}
        self.assertEqual(names, EXPECTED_TESTS)
        self.assertEqual(lines[-1], "KTEST DONE %d 0" % len(EXPECTED_TESTS))
        # isa-debug-exit: (0 << 1) | 1 when nothing failed.
        self.assertEqual(status, 1)

    def test_start_up_text_and_cursor_after_the_prompt(self):
        with Qemu() as vm:
            vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT)
            rows = vm.screen_rows()
            dmem_row = next(r for r, line in enumerate(rows) if line.rstrip() == DMEM_LINE)
            for col in range(len(DMEM_LINE)):
                self.assertEqual(vm.char_attr(dmem_row, col)[1], DEFAULT_ATTRIBUTE, "column %d" % col)
            prompt_row = next(r for r, line in enumerate(rows) if line.rstrip() == PROMPT)
            self.assertGreater(prompt_row, dmem_row)
            self.assertEqual(vm.cursor(), (prompt_row, len(PROMPT)))


if __name__ == "__main__":
    unittest.main()
