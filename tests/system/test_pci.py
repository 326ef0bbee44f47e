"""The PCI scan and the progress bar on the real path: the in-kernel groups pci and progress,
and the listing the kernel printed compared with QEMU's own view of its PCI bus."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Qemu, image_path  # noqa: E402

TEST_IMAGE = image_path("tavix-test.elf")
KERNEL_IMAGE = image_path("tavix.elf")
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

# QEMU's monitor names a function by its class; these are the names of the classes on the pc
# machine, with their class and subclass codes. A class it has no name for prints as "Class"
# and the 16-bit class-and-subclass value in four decimal digits (the test device: "Class 0255").
CLASS_NAMES = {
    "Host bridge": 0x0600,
    "ISA bridge": 0x0601,
    "Bridge": 0x0680,
    "IDE controller": 0x0101,
    "VGA controller": 0x0300,
    "Ethernet controller": 0x0200,
}

# What the pc machine must have, as (vendor, device, class, subclass).
PC_MACHINE = [
    (0x8086, 0x1237, 0x06, 0x00),  # host bridge
    (0x8086, 0x7000, 0x06, 0x01),  # ISA bridge
    (0x8086, 0x7010, 0x01, 0x01),  # IDE controller
    (0x1234, 0x1111, 0x03, 0x00),  # VGA
]

FUNCTION_HEADER = re.compile(r"^\s*Bus\s+(\d+), device\s+(\d+), function (\d+):$")
IDENTITY = re.compile(r"^\s*(.+): PCI device ([0-9a-f]{4}):([0-9a-f]{4})$")
BAR0 = re.compile(r"^\s*BAR0: (.+) at 0x([0-9a-f]+) \[")


def ktest_lines(text):
    return [line for line in text.splitlines() if line.startswith("KTEST ")]


def class_code(name):
    if name in CLASS_NAMES:
        return CLASS_NAMES[name]
    match = re.match(r"Class (\d{4,5})$", name)
    if match is None:
        raise AssertionError("unknown class name in info pci: %r" % name)
    return int(match.group(1), 10)


def bar0_register(kind, address):
    """The raw BAR 0 register behind the monitor's description of it."""
    if kind == "I/O":
        return address | 0x1
    value = address
    if kind.startswith("64 bit"):
        value |= 0x4
    if "prefetchable" in kind:
        value |= 0x8
    return value


def parse_info_pci(text):
    """{(bus, slot, function): (vendor, device, class, subclass, bar0)} from `info pci`."""
    functions = {}
    key = None
    for line in text.splitlines():
        header = FUNCTION_HEADER.match(line)
        if header:
            key = tuple(int(g) for g in header.groups())
            continue
        identity = IDENTITY.match(line)
        if identity and key is not None and key not in functions:
            code = class_code(identity.group(1))
            functions[key] = [int(identity.group(2), 16), int(identity.group(3), 16),
                              code >> 8, code & 0xFF, 0]
            continue
        bar = BAR0.match(line)
        if bar and key in functions:
            functions[key][4] = bar0_register(bar.group(1), int(bar.group(2), 16))
    return {k: tuple(v) for k, v in functions.items()}


def parse_listing(console):
    """The kernel's printed rows as (vendor, device, class, subclass, bar0), checking each row
    has exactly the printed format."""
    rows = []
    for line in console.splitlines():
        if not line.startswith(LISTING_PREFIX):
            continue
        row = line[len(LISTING_PREFIX):]
        fields = row.split()
        if len(fields) != 6 or fields[5] != '""':
            raise AssertionError("malformed row %r" % row)
        values = tuple(int(f, 16) for f in fields[:5])
        if row != ROW_FORMAT % values:
            raise AssertionError("row %r differs from the format %r" % (row, ROW_FORMAT % values))
        rows.append(values)
    return rows


class PciTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with Qemu(kernel=TEST_IMAGE, append="pci progress", extra_args=EXTRA_DEVICES) as vm:
            cls.status = vm.wait_exit(RUN_TIMEOUT)
            cls.console = vm.debugcon_text()
        # QEMU's own view, taken once the firmware has placed the BARs: the shell kernel on
        # the same machine stays up at its prompt, where the test image would already be gone.
        with Qemu(kernel=KERNEL_IMAGE, extra_args=EXTRA_DEVICES) as vm:
            vm.wait_for_text(PROMPT, timeout=RUN_TIMEOUT)
            cls.info_pci = vm.hmp("info pci")

    def test_groups_pass(self):
        lines = ktest_lines(self.console)
        results = [l for l in lines if not l.startswith("KTEST DONE")]
        self.assertEqual([l for l in results if not l.endswith(" PASS")], [])
        groups = {re.match(r"KTEST (\w+)\.", l).group(1) for l in results}
        self.assertEqual(groups, {"pci", "progress"})
        for name in ("pci.scan_lists_the_pc_machine_functions", "pci.configuration_reads_reach_the_host_bridge",
                     "progress.bar_fills_on_the_real_screen", "progress.zero_steps_draw_nothing"):
            self.assertIn("KTEST %s PASS" % name, lines)
        self.assertEqual(lines[-1], "KTEST DONE %d 0" % len(results))
        self.assertEqual(self.status, 1)

    def test_listing_matches_qemu(self):
        qemu = parse_info_pci(self.info_pci)
        in_window = [qemu[k] for k in sorted(qemu) if k[0] < SCAN_BUSES and k[1] < SCAN_SLOTS]
        listing = parse_listing(self.console)
        self.assertEqual(listing, in_window, "info pci:\n%s" % self.info_pci)
        identities = [row[:4] for row in listing]
        for function in PC_MACHINE:
            self.assertIn(function, identities)
        # The VGA card's frame buffer is a prefetchable memory BAR the firmware has placed.
        self.assertEqual(qemu[(0, 3, 0)][:2], TEST_DEVICE)
        self.assertEqual(qemu[(0, 4, 0)][:2], TEST_DEVICE)
        self.assertEqual([row[:2] for row in listing].count(TEST_DEVICE), 1)
        vga = next(row for row in listing if row[:2] == (0x1234, 0x1111))
        self.assertEqual(vga[4] & 0xF, 0x8)
        self.assertNotEqual(vga[4] & ~0xF, 0)


if __name__ == "__main__":
    unittest.main()
