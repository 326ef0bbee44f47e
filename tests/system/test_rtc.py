"""The clock reader on QEMU's CMOS clock: the in-kernel group rtc prints the date and time it
read, which must be the host's UTC time by default, and the given time when QEMU starts the
clock at a fixed date (one whose two year digits stand for the 1900s, one past 2079)."""

import datetime
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Qemu, image_path  # noqa: E402

RUN_TIMEOUT = 60
CLOCK_PREFIX = "RTC| "
# The clock counts whole seconds; QEMU may round its start either way.
SLACK = datetime.timedelta(seconds=2)


def run_clock_test(extra_args=()):
    """(first UTC time before the run, kernel's reading, UTC time after the run, KTEST lines)."""
    before = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
    with Qemu(kernel=image_path("tavix-test.elf"), append="rtc", extra_args=extra_args) as vm:
        status = vm.wait_exit(RUN_TIMEOUT)
        console = vm.debugcon_text()
    after = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
    readings = [line[len(CLOCK_PREFIX):] for line in console.splitlines() if line.startswith(CLOCK_PREFIX)]
    ktests = [line for line in console.splitlines() if line.startswith("KTEST ")]
    if len(readings) != 1:
        raise AssertionError("expected one clock reading, got %r" % console)
    return before, datetime.datetime.strptime(readings[0], "%Y-%m-%d %H:%M:%S"), after, ktests, status


class ClockTests(unittest.TestCase):
    def check_passed(self, ktests, status):
        self.assertEqual(ktests, ["KTEST rtc.reads_the_clock PASS", "KTEST DONE 1 0"])
        self.assertEqual(status, 1)

    def test_clock_is_the_hosts_utc_time(self):
        before, reading, after, ktests, status = run_clock_test()
        self.check_passed(ktests, status)
        self.assertGreaterEqual(reading, before - SLACK)
        self.assertLessEqual(reading, after + SLACK)

    def test_clock_started_at_fixed_dates(self):
        # Two year digits that stand for the 1900s, and a year past 2079 that only the
        # century register tells from 1980-1999.
        for start in (datetime.datetime(1999, 12, 31, 23, 59, 50), datetime.datetime(2085, 6, 15, 12, 0, 0)):
            with self.subTest(start=start):
                before, reading, after, ktests, status = run_clock_test(
                    ("-rtc", "base=%s" % start.strftime("%Y-%m-%dT%H:%M:%S")))
                self.check_passed(ktests, status)
                self.assertGreaterEqual(reading, start - SLACK)
                self.assertLessEqual(reading, start + (after - before) + SLACK)

if __name__ == "__main__":
    unittest.main()
