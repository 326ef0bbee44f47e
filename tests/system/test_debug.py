"""The image make debug boots: gdb shows a key's road to the command as a stack of calls, steps
through it line by line and reads its variables, and it runs the shell on its 8 KiB stack like
the shipped image."""

import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Qemu, free_port, fsck_clean, image_path, make_fat32_image  # noqa: E402

PROMPT = "masteruser: / &"
GDB_TIMEOUT = 60
# A declaration walks init_variable's checks and fills its slot: this many lines, all inside it.
STEPS = 8
STACK_LIMIT = 4096
# The calls from the interrupt stub to the command, innermost first, as bt at execute_vorn
# lists them; the keyboard's own frames between vorn and the shell's line may vary.
ROAD_END = "tavix::execute_vorn"
ROAD_FROM_STUB = ["tavix::vorn", "irq_handler", "irq_common_stub"]
FRAME = re.compile(r"^#\d+\s+(?:0x[0-9a-f]+ in )?(\S+) \(", re.M)


def stepped_lines(gdb_output):
    """The line numbers gdb printed from the second breakpoint on, in order."""
    lines = []
    for line in gdb_output.split("\nBreakpoint 2, ", 1)[-1].splitlines():
        number = line.split("\t", 1)[0]
        if "\t" in line and number.isdigit():
            lines.append(int(number))
    return lines


class DebugImage(unittest.TestCase):
    def test_bt_shows_the_road_of_a_key_and_next_goes_line_by_line(self):
        elf = image_path(os.path.join("debug", "tavix.elf"))
        port = free_port()
        with tempfile.TemporaryDirectory() as work:
            disk = os.path.join(work, "disk.img")
            make_fat32_image(disk)
            with Qemu(kernel=elf, disk=disk, extra_args=["-gdb", "tcp:127.0.0.1:%d" % port]) as vm:
                vm.wait_for_text(PROMPT)
                # gdb touches the mark once the breakpoint is in place, and then lets the guest
                # run. QEMU takes no key events while gdb holds the guest, so Enter is let go
                # only after gdb has detached.
                mark = os.path.join(work, "breakpoint-set")
                steps = ["-ex", "next"] * STEPS
                gdb = subprocess.Popen(
                    ["gdb", "-q", "-batch", "-nx", elf, "-ex", "target remote 127.0.0.1:%d" % port,
                     "-ex", "break tavix::execute_vorn", "-ex", "shell touch " + mark, "-ex", "continue",
                     "-ex", "bt", "-ex", "delete", "-ex", "break tavix::init_variable", "-ex", "continue"] + steps +
                    ["-ex", "info locals", "-ex", "delete", "-ex", "detach"],
                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                vm.wait_until(lambda: os.path.exists(mark) and vm.qmp("query-status")["running"], GDB_TIMEOUT,
                              "gdb to set its breakpoint")
                vm.type("int x 5")
                vm.key_down("ret")
                output = gdb.communicate(timeout=GDB_TIMEOUT)[0]
                vm.key_up("ret")
                frames = FRAME.findall(output)
                self.assertEqual(frames[0], ROAD_END, output)
                self.assertEqual([f for f in frames if f in ROAD_FROM_STUB], ROAD_FROM_STUB, output)
                self.assertEqual(frames[-1], ROAD_FROM_STUB[-1], output)
                lines = stepped_lines(output)
                self.assertEqual(len(lines), STEPS + 1, output)
                self.assertEqual(lines, sorted(set(lines)), output)
                self.assertIn("slot = {", output)
                self.assertNotIn("optimized out", output)

                vm.type("mkhello\nls\n")
                vm.wait_for_text("[0] /   0 clusters: [1]\n" + PROMPT)
                self.assertLess(vm.stack_high_water(), STACK_LIMIT)
            clean, report = fsck_clean(disk)
            self.assertTrue(clean, report)


if __name__ == "__main__":
    unittest.main()
