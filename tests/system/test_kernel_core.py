"""The kernel core on the real path: timer and software interrupts through the in-kernel
tests, and a division by zero that must end in the panic line with a dead timer."""

import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Qemu, image_path  # noqa: E402

TEST_IMAGE = image_path("tavix-test.elf")
PANIC_ATTRIBUTE = 0x0C
PANIC_LINE = "--< Kernel panic >--|--< Division by zero >--"
RUN_TIMEOUT = 60
# Long enough for a live 1000 Hz counter to move by hundreds of ticks.
TICK_WATCH_SECONDS = 0.5
DIVZERO_LEAD_TICKS = 20
PROMPT = "masteruser: / &"
# The divisor 1193 gives 1193180 / 1193 interrupts per virtual second.
TIMER_HZ = 1193180 / 1193
RATE_LOW_BOUND = 0.5
RATE_HIGH_BOUND = 1.02
PIIX4_PM_BASE_ADDRESS = 0x80000000 | (1 << 11) | (3 << 8) | 0x40
PM_BASE_MASK = 0xFFC0
PM_TIMER_OFFSET = 8
PM_TIMER_HZ = 3579545
PM_TIMER_MASK = 0xFFFFFF
RATE_WATCH_SECONDS = 1.0


def ktest_lines(text):
    return [line for line in text.splitlines() if line.startswith("KTEST ")]


class CoreTests(unittest.TestCase):
    def test_timer_and_software_interrupt_groups_pass(self):
        with Qemu(kernel=TEST_IMAGE, append="timer swint") as vm:
            status = vm.wait_exit(RUN_TIMEOUT)
            lines = ktest_lines(vm.debugcon_text())
        results = [l for l in lines if not l.startswith("KTEST DONE")]
        self.assertTrue(results, "no test ran: %r" % lines)
        failures = [l for l in results if not l.endswith(" PASS")]
        self.assertEqual(failures, [])
        groups = {re.match(r"KTEST (\w+)\.", l).group(1) for l in results}
        self.assertEqual(groups, {"timer", "swint"})
        for name in ("timer.wait_250_takes_250_ticks", "timer.wait_zero_and_negative_return_at_once",
                     "swint.int80_keeps_registers", "swint.intb1_keeps_registers"):
            self.assertIn("KTEST %s PASS" % name, lines)
        self.assertEqual(lines[-1], "KTEST DONE %d 0" % len(results))
        # isa-debug-exit: (0 << 1) | 1 when nothing failed.
        self.assertEqual(status, 1)

    def test_results_also_reach_the_screen(self):
        # The runner ends QEMU once it is done, so the screen is read on a run that stops in
        # the fatal group after the swint results have been printed.
        with Qemu(kernel=TEST_IMAGE, append="swint divzero") as vm:
            vm.wait_for_text(PANIC_LINE, timeout=RUN_TIMEOUT)
            screen = vm.screen_text()
            console = ktest_lines(vm.debugcon_text())
        on_screen = [line for line in ktest_lines(screen)]
        self.assertIn("KTEST swint.int80_keeps_registers PASS", on_screen)
        self.assertEqual(on_screen, console)
        self.assertTrue(all(line.startswith("KTEST swint.") for line in console), console)

    def test_unnamed_groups_do_not_run(self):
        with Qemu(kernel=TEST_IMAGE, append="nosuchgroup") as vm:
            status = vm.wait_exit(RUN_TIMEOUT)
            lines = ktest_lines(vm.debugcon_text())
        self.assertEqual(lines, ["KTEST DONE 0 0"])
        self.assertEqual(status, 1)

    def test_division_by_zero_panics_and_stops_the_timer(self):
        with Qemu(kernel=TEST_IMAGE, append="divzero") as vm:
            text = vm.wait_for_text(PANIC_LINE, timeout=RUN_TIMEOUT)
            rows = vm.screen_rows()
            row = next(r for r, line in enumerate(rows) if PANIC_LINE in line)
            col = rows[row].index(PANIC_LINE)
            for offset, expected in enumerate(PANIC_LINE):
                char, attr = vm.char_attr(row, col + offset)
                self.assertEqual(char, expected)
                self.assertEqual(attr, PANIC_ATTRIBUTE, "column %d" % (col + offset))
            self.assertNotIn("KTEST divzero", text)

            ticks = vm.symbol("ticks")
            first = vm.read_u64(ticks)
            # The test lets 20 ticks pass before it divides.
            self.assertGreaterEqual(first, DIVZERO_LEAD_TICKS, "the timer never ran before the panic")
            time.sleep(TICK_WATCH_SECONDS)
            self.assertEqual(vm.read_u64(ticks), first)
            self.assertTrue(vm.running(), "QEMU ended instead of staying in the panic loop")
            self.assertEqual(vm.debugcon_text(), "")
            self.assertEqual(vm.exit_status(), None)


    def test_general_protection_fault_panics(self):
        line = "--< Kernel panic >--|--< General protection fault >--"
        with Qemu(kernel=TEST_IMAGE, append="gpfault") as vm:
            vm.wait_for_text(line, timeout=RUN_TIMEOUT)
            rows = vm.screen_rows()
            row = next(r for r, text in enumerate(rows) if line in text)
            self.assertEqual(vm.char_attr(row, rows[row].index(line))[1], PANIC_ATTRIBUTE)
            self.assertNotIn("KTEST", vm.screen_text())
            self.assertTrue(vm.running())

    def test_counter_runs_at_1000_per_virtual_second(self):
        # Measured against the chipset's power-management timer, which runs on the same
        # virtual clock, so a slow host that runs the guest slowly does not change the figure.
        with Qemu() as vm:
            vm.wait_for_text(PROMPT, timeout=RUN_TIMEOUT)
            ticks = vm.symbol("ticks")
            pm_port = pm_timer_port(vm)
            first, pm_first = sample_ticks(vm, ticks, pm_port)
            time.sleep(RATE_WATCH_SECONDS)
            second, pm_second = sample_ticks(vm, ticks, pm_port)
        seconds = ((pm_second - pm_first) & PM_TIMER_MASK) / PM_TIMER_HZ
        self.assertGreater(seconds, 0.2, "the guest hardly ran")
        rate = (second - first) / seconds
        # A host that deschedules QEMU for longer than a tick makes the guest miss timer
        # interrupts (a fifth of them on a busy two-core machine), so the rate can only come
        # out low; the firmware's 18.2 Hz, a 100 Hz divisor or swapped divisor bytes are all
        # far below the lower bound, and anything faster than 1000 Hz is caught above.
        self.assertGreater(rate, TIMER_HZ * RATE_LOW_BOUND)
        self.assertLess(rate, TIMER_HZ * RATE_HIGH_BOUND)


def hmp_port_in32(vm, port):
    out = vm.hmp("i /w 0x%x" % port)
    return int(out.strip().split()[-1], 16)


def pm_timer_port(vm):
    """The power-management timer's port, from the base the firmware gave the PIIX4
    power-management function (PCI 0:1.3, register 0x40)."""
    vm.hmp("o /w 0xcf8 0x%x" % PIIX4_PM_BASE_ADDRESS)
    base = hmp_port_in32(vm, 0xCFC) & PM_BASE_MASK
    return base + PM_TIMER_OFFSET


def sample_ticks(vm, ticks_address, pm_port):
    """The tick counter and the PM timer, read together while the guest is paused."""
    was_running = vm.stop()
    try:
        value = vm.read_u64(ticks_address)
        pm = hmp_port_in32(vm, pm_port) & PM_TIMER_MASK
    finally:
        vm.resume(was_running)
    return value, pm

if __name__ == "__main__":
    unittest.main()
