"""The kernel core and its library on the real path: the in-kernel heap, scrolling, timer and
software-interrupt tests, and the exceptions that must end in the panic line with a dead timer."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Qemu, image_path  # noqa: E402

TEST_IMAGE = image_path("tavix-test.elf")
RUN_TIMEOUT = 60
PANIC_ATTRIBUTE = 0x0C
# Long enough for a live 1000 Hz counter to move by hundreds of ticks.
TICK_WATCH_SECONDS = 0.5
DIVZERO_LEAD_TICKS = 20
EXPECTED_TESTS = [
    "corelib.large_block_is_real_memory_and_comes_back",
    "corelib.newline_on_the_last_row_scrolls_vga_memory",
    "timer.wait_250_takes_250_ticks",
    "timer.wait_zero_and_negative_return_at_once",
    "swint.int80_and_intb1_keep_registers_and_segments",
    "swint.irq_stubs_build_the_frame",
]


def ktest_lines(text):
    return [line for line in text.splitlines() if line.startswith("KTEST ")]


def panic_line(message):
    return "--< Kernel panic >--|--< %s >--" % message


class CoreTests(unittest.TestCase):
    def test_in_kernel_groups_pass(self):
        with Qemu(kernel=TEST_IMAGE, append="corelib timer swint") as vm:
            status = vm.wait_exit(RUN_TIMEOUT)
            lines = ktest_lines(vm.debugcon_text())
        # Every test ran once and passed, in the order of the image, whatever that is.
        self.assertCountEqual(lines[:-1], ["KTEST %s PASS" % name for name in EXPECTED_TESTS])
        self.assertEqual(lines[-1], "KTEST DONE %d 0" % len(EXPECTED_TESTS))
        # isa-debug-exit: (0 << 1) | 1 when nothing failed.
        self.assertEqual(status, 1)

    def test_unnamed_groups_do_not_run(self):
        with Qemu(kernel=TEST_IMAGE, append="nosuchgroup") as vm:
            status = vm.wait_exit(RUN_TIMEOUT)
            lines = ktest_lines(vm.debugcon_text())
        self.assertEqual(lines, ["KTEST DONE 0 0"])
        self.assertEqual(status, 1)

    def check_panic(self, vm, message):
        """The panic line in light red, nothing after it, and QEMU still running; returns the
        debug console text at the panic."""
        line = panic_line(message)
        vm.wait_for_text(line, timeout=RUN_TIMEOUT)
        console = vm.debugcon_text()
        rows = vm.screen_rows()
        row = next(r for r, text in enumerate(rows) if line in text)
        col = rows[row].index(line)
        for offset in range(len(line)):
            self.assertEqual(vm.char_attr(row, col + offset)[1], PANIC_ATTRIBUTE, "column %d" % (col + offset))
        self.assertNotIn("KTEST DONE", console)
        self.assertTrue(vm.running(), "QEMU ended instead of staying in the panic loop")
        return console

    def test_division_by_zero_panics_and_stops_the_timer(self):
        # The runner ends QEMU once it is done, so its screen output is checked here, on a run
        # that stops in the fatal group after the swint results have been printed.
        with Qemu(kernel=TEST_IMAGE, append="swint divzero") as vm:
            console = self.check_panic(vm, "Division by zero")
            self.assertEqual(ktest_lines(vm.screen_text()), ktest_lines(console))
            self.assertCountEqual(ktest_lines(console), ["KTEST %s PASS" % name for name in EXPECTED_TESTS
                                                         if name.startswith("swint.")])
            ticks = vm.symbol("ticks")
            first = vm.read_u64(ticks)
            # The test lets 20 ticks pass before it divides.
            self.assertGreaterEqual(first, DIVZERO_LEAD_TICKS, "the timer never ran before the panic")
            time.sleep(TICK_WATCH_SECONDS)
            self.assertEqual(vm.read_u64(ticks), first)
            self.assertEqual(vm.debugcon_text(), console)
            self.assertEqual(vm.exit_status(), None)

    def test_general_protection_fault_panics(self):
        # The processor pushes an error code for this vector: the message only comes out right
        # if the entry stub left it in place.
        with Qemu(kernel=TEST_IMAGE, append="gpfault") as vm:
            console = self.check_panic(vm, "General protection fault")
            self.assertEqual(ktest_lines(console), [])


if __name__ == "__main__":
    unittest.main()
