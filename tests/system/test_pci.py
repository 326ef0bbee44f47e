"""The PCI scan and the progress bar on the real path: the in-kernel groups pci and progress,
and the listing the kernel printed compared with QEMU's own view of its PCI bus."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Qemu, image_path  # noqa: E402

RUN_TIMEOUT = 60
PROMPT = "masteruser: / &"
# The window the kernel scans.
SCAN_BUSES = 20
SCAN_SLOTS = 4
# Two test devices besides the pc machine's own: the last slot of the window, and the first
# slot past it, which QEMU reports but the scan must not reach.
TEST_DEVICE = (0x1B36, 0x0005)
EXTRA_DEVICES = ("-device", "pci-testdev,addr=03.0", "-device", "pci-testdev,addr=04.0")
# The rows the pci test echoes from the screen to the debug console.
LISTING_PREFIX = "PCI| "
ROW_FORMAT = ' 0x%X      0x%X      0x%X         0x%X           0x%X           ""'
# What the pc machine must have, as (vendor, device, class, subclass).
PC_MACHINE = [
    (0x8086, 0x1237, 0x06, 0x00),  # host bridge
    (0x8086, 0x7000, 0x06, 0x01),  # ISA bridge
    (0x8086, 0x7010, 0x01, 0x01),  # IDE controller
    (0x1234, 0x1111, 0x03, 0x00),  # VGA
]
EXPECTED_TESTS = ["pci.scan_prints_the_functions_it_stores", "progress.bar_fills_on_the_real_screen"]


def bar0_register(region):
    """The raw BAR 0 register behind QEMU's description of it."""
    if region["type"] == "io":
        return region["address"] | 0x1
    return (region["address"] & 0xFFFFFFFF) | (0x4 if region["mem_type_64"] else 0) | (0x8 if region["prefetch"] else 0)


def qemu_functions(buses):
    """{(bus, slot, function): (vendor, device, class, subclass, bar0)} from query-pci, the
    machine-readable form of the monitor's info pci."""
    functions = {}
    for bus in buses:
        for dev in bus["devices"]:
            code = dev["class_info"]["class"]
            bar0 = next((bar0_register(r) for r in dev["regions"] if r["bar"] == 0), 0)
            functions[(dev["bus"], dev["slot"], dev["function"])] = (
                dev["id"]["vendor"], dev["id"]["device"], code >> 8, code & 0xFF, bar0)
    return functions


def parse_listing(console):
    """The kernel's printed rows as (vendor, device, class, subclass, bar0), each checked
    against the exact printed format."""
    rows = []
    for line in console.splitlines():
        if line.startswith(LISTING_PREFIX):
            row = line[len(LISTING_PREFIX):]
            values = tuple(int(f, 16) for f in row.split()[:5])
            if row != ROW_FORMAT % values:
                raise AssertionError("row %r differs from the format %r" % (row, ROW_FORMAT % values))
            rows.append(values)
    return rows


class PciTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with Qemu(kernel=image_path("tavix-test.elf"), append="pci progress", extra_args=EXTRA_DEVICES) as vm:
            cls.status = vm.wait_exit(RUN_TIMEOUT)
            cls.console = vm.debugcon_text()
        # QEMU's own view, taken once the firmware has placed the BARs: the shell kernel on
        # the same machine stays up at its prompt, where the test image would already be gone.
        with Qemu(kernel=image_path("tavix.elf"), extra_args=EXTRA_DEVICES) as vm:
            vm.wait_for_text(PROMPT, timeout=RUN_TIMEOUT)
            cls.qemu = qemu_functions(vm.qmp("query-pci"))

    def test_groups_pass(self):
        lines = [line for line in self.console.splitlines() if line.startswith("KTEST ")]
        self.assertEqual(lines, ["KTEST %s PASS" % name for name in EXPECTED_TESTS] + ["KTEST DONE 2 0"])
        self.assertEqual(self.status, 1)

    def test_listing_matches_qemu(self):
        in_window = [self.qemu[k] for k in sorted(self.qemu) if k[0] < SCAN_BUSES and k[1] < SCAN_SLOTS]
        listing = parse_listing(self.console)
        self.assertEqual(listing, in_window, "query-pci: %r" % self.qemu)
        for function in PC_MACHINE:
            self.assertIn(function, [row[:4] for row in listing])
        self.assertEqual(self.qemu[(0, 3, 0)][:2], TEST_DEVICE)
        self.assertEqual(self.qemu[(0, 4, 0)][:2], TEST_DEVICE)
        self.assertEqual([row[:2] for row in listing].count(TEST_DEVICE), 1)
        # The VGA card's frame buffer is a prefetchable memory BAR the firmware has placed.
        vga = next(row for row in listing if row[:2] == (0x1234, 0x1111))
        self.assertEqual(vga[4] & 0xF, 0x8)
        self.assertNotEqual(vga[4] & ~0xF, 0)


if __name__ == "__main__":
    unittest.main()
