"""The road of one keyboard interrupt through the kernel, drawn from the linked image (the
addresses of the code on it and the frame the stubs build), and the number of interrupts a
typed line costs, counted by QEMU as the processor takes them."""

import os
import re
import subprocess
import sys

from svg import Drawing

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "system"))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from bochs import symbol_addresses  # noqa: E402
from harness import Qemu  # noqa: E402

PROMPT = "masteruser: / &"
TYPED = "echo hi"
COMMAND_TIMEOUT = 30.0
KEYBOARD_VECTOR = 33
# QEMU's trace of the interrupts the processor acknowledges.
TAKEN = re.compile(r"pic_interrupt irq \d+ intno (\d+)")

# nm -C names of the code on the road.
CODE = {
    "irq1": "irq1",
    "common_stub": "irq_common_stub",
    "irq_handler": "irq_handler",
    "vorn": "tavix::vorn(tavix::InterruptRegisters*)",
}
# Who pushed each field of the frame: the processor, the vector's stub or the common stub.
PUSHED_BY_PROCESSOR = ("eip", "csm", "eflags")
PUSHED_BY_STUB = ("int_no", "err_code")
# Pushed by the processor only when an interrupt comes from a less privileged level.
FROM_USER_LEVEL = ("useresp", "ss")
FRAME_FIELD = re.compile(r"/\*\s+(\d+)\s+\|\s+(\d+) \*/\s+\w+ (\w+);")


def addresses(elf):
    return dict(zip(CODE, symbol_addresses(elf, CODE.values())))


def frame(elf):
    """[(offset, field name)] of InterruptRegisters, from the image's debug information."""
    out = subprocess.run(["gdb", "-q", "-batch", "-nx", "-ex", "ptype/o tavix::InterruptRegisters", elf],
                         check=True, capture_output=True, text=True).stdout
    return [(int(offset), name) for offset, _, name in FRAME_FIELD.findall(out)]


def interrupts_for_a_line(elf, image, log):
    """(keyboard interrupts the processor takes while TYPED and Enter are typed, the rows of
    the boot screen before)."""
    with Qemu(kernel=elf, disk=image, extra_args=["-trace", "pic_interrupt", "-D", log]) as vm:
        vm.wait_for_text(PROMPT)
        boot_rows = [row.rstrip() for row in vm.screen_rows()]
        with open(log) as f:
            before = sum(1 for m in map(TAKEN.search, f) if m and int(m.group(1)) == KEYBOARD_VECTOR)
        vm.type(TYPED + "\n")
        vm.wait_until(lambda: vm.screen_text().rstrip().endswith(PROMPT + TYPED + "\nhi\n" + PROMPT),
                      COMMAND_TIMEOUT, "the prompt after " + TYPED)
    with open(log) as f:
        return sum(1 for m in map(TAKEN.search, f) if m and int(m.group(1)) == KEYBOARD_VECTOR) - before, boot_rows


def hex32(value):
    return "0x%08X" % value


def rows(at):
    """(key, what happens, kind): the list beside the picture names each key in this order."""
    return [
        ("keyboard controller", "a key goes down; its byte waits at port 0x60 and IRQ 1 is raised", "hardware"),
        ("PIC", "line 1 leaves as vector %d; the processor clears IF, pushes EFLAGS, CS, EIP" % KEYBOARD_VECTOR,
         "hardware"),
        ("irq1 at %s" % hex32(at["irq1"]), "gate %d's stub pushes 0 (no error code) and %d"
         % (KEYBOARD_VECTOR, KEYBOARD_VECTOR), "code"),
        ("irq_common_stub at %s" % hex32(at["common_stub"]), "pusha, DS, CR2: the frame; calls irq_handler(ESP)",
         "code"),
        ("irq_handler at %s" % hex32(at["irq_handler"]), "line %d - 32 = 1: calls irq_routines[1]"
         % KEYBOARD_VECTOR, "code"),
        ("vorn at %s" % hex32(at["vorn"]), "reads port 0x60, edits the line; Enter runs it", "code"),
        ("irq_handler", "end of interrupt: 0x20 to port 0x20", "tables"),
        ("irq_common_stub", "pops the frame, sti, iret: back to the hlt", "tables"),
    ]


ROW = 40
LEFT = 20
ROW_WIDTH = 560
FRAME_LEFT = 620
FRAME_WIDTH = 230
CELL = 17
LEGEND = ("Steps: grey the hardware, blue on the way in, purple on the way back.",
          "Frame: grey pushed by the processor, orange by irq1, green by irq_common_stub.",
          "Addresses and the frame from build/tavix.elf; make docs draws this again.")


def figure(steps, fields):
    top = 44
    height = max(top + ROW * len(steps), top + 24 + CELL * len(fields)) + 16 * len(LEGEND) + 20
    d = Drawing(FRAME_LEFT + FRAME_WIDTH + 20, height, "The road of a keyboard interrupt")
    d.text(LEFT, 24, "One keyboard interrupt, from the device to the handler and back", 14, bold=True)
    for i, (key, what, kind) in enumerate(steps):
        y = top + i * ROW
        d.box(LEFT, y, ROW_WIDTH, ROW - 8, kind)
        d.text(LEFT + 10, y + 14, "%d. %s:" % (i + 1, key), 12, bold=True)
        d.text(LEFT + 26, y + 28, what, 11)
    d.text(FRAME_LEFT, top + 12, "the frame irq_handler gets (regs)", 12, bold=True)
    for i, (offset, name) in enumerate(reversed(fields)):
        y = top + 20 + i * CELL
        kind = "hardware" if name in PUSHED_BY_PROCESSOR else "stack" if name in PUSHED_BY_STUB else "data"
        d.box(FRAME_LEFT, y, FRAME_WIDTH, CELL, "free" if name in FROM_USER_LEVEL else kind,
              dashed=name in FROM_USER_LEVEL)
        note = " (ring 3 only)" if name in FROM_USER_LEVEL else ""
        d.text(FRAME_LEFT + 6, y + 12, "regs+%-2d %s%s" % (offset, name, note), 11)
    for i, line in enumerate(LEGEND):
        d.text(LEFT, height - 12 - 16 * (len(LEGEND) - 1 - i), line, 11)
    return d.svg()


def build(elf, image, workdir):
    """(figures, pictures, the rows of the boot screen)."""
    at = addresses(elf)
    steps = rows(at)
    interrupts, boot_rows = interrupts_for_a_line(elf, image, os.path.join(workdir, "interrupts.log"))
    found = {
        "key.interrupts": str(interrupts),
        "key.keys": str(len(TYPED) + 1),
        "path.irq1": hex32(at["irq1"]),
        "path.common_stub": hex32(at["common_stub"]),
        "path.irq_handler": hex32(at["irq_handler"]),
        "path.vorn": hex32(at["vorn"]),
    }
    return found, {"interrupt-path.svg": figure(steps, frame(elf))}, boot_rows
