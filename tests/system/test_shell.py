"""The interactive shell on the real path: real key events into a booted kernel, the screen
and the hardware cursor read back, the machine-control commands, a very long line, and the
line readers driven from the in-kernel keyboard tests."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Qemu, image_path  # noqa: E402

PROMPT = "masteruser: / &"
PROMPT_COLUMN = len(PROMPT)
BOOT_TIMEOUT = 30
COMMAND_TIMEOUT = 20
EXIT_TIMEOUT = 20
STATUS_ATTRIBUTE = 0x70
STACK_BYTES = 8192
# Well below the 8 KiB boot stack: a shell command must leave room for the interrupt frames.
STACK_LIMIT = STACK_BYTES // 2
LONG_LINE_KEYS = 3000
LINE_CAPACITY = 1024

HELP_TEXT = [
    "Tavix Operating System Shell commands:",
    "  &help:     Displays this help message",
    "  &clear:    Clear the screen",
    "  &tick:     Get current tick count",
    "  &identify: Identify disks (searching for one disk)",
    "            to initiliaze FAT32 on them",
    "  &initfs:   Initiliaze FAT32 on the first disk",
    "  &rainbow:  Show all 16 colors (for screen testing)",
]


def boot_shell(vm):
    vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT)
    vm.wait_until(lambda: vm.cursor()[1] == PROMPT_COLUMN, COMMAND_TIMEOUT, "the first prompt")


def clear(vm):
    """Clears the screen with the shell's own command; the prompt is then alone on row 0."""
    vm.type("clear\n")
    vm.wait_until(lambda: vm.screen_text().rstrip("\n") == PROMPT and vm.cursor() == (0, PROMPT_COLUMN),
                  COMMAND_TIMEOUT, "a cleared screen")


def run(vm, line):
    """Types one line on a cleared screen and returns the rows the command printed between
    the echoed line and the next prompt (trailing blanks dropped)."""
    clear(vm)
    vm.type(line + "\n")

    def next_prompt():
        row, col = vm.cursor()
        rows = vm.screen_rows()
        return row > 0 and col == PROMPT_COLUMN and rows[row].rstrip() == PROMPT and (row, rows)
    row, rows = vm.wait_until(next_prompt, COMMAND_TIMEOUT, "the prompt after %r" % line)
    return [r.rstrip() for r in rows[1:row]]


class RebootingQemu(Qemu):
    """QEMU that resets the machine on a reboot instead of exiting."""

    def command_line(self):
        return [arg for arg in super().command_line() if arg != "-no-reboot"]


class ShellSession(unittest.TestCase):
    def test_commands_and_variables(self):
        with Qemu() as vm:
            boot_shell(vm)
            screen = vm.screen_text()
            self.assertIn("Tavix 32-bit kernel 0.02 beta\n2024-2025", screen)
            # The banner's line ends with a blank written after the version.
            banner_row = next(i for i, r in enumerate(vm.screen_rows()) if r.startswith("Tavix 32-bit"))
            self.assertEqual(vm.char_attr(banner_row, 29), (" ", 0x07))

            self.assertEqual(run(vm, "help"), HELP_TEXT)
            self.assertEqual(vm.screen_rows()[0].rstrip(), PROMPT + "help")
            self.assertEqual(run(vm, "int x 5"), [""])
            self.assertEqual(run(vm, "export"), ["int x = 5"])
            self.assertEqual(run(vm, "x = 7"), [""])
            self.assertEqual(run(vm, "echo x"), ["7"])
            self.assertEqual(run(vm, "str s hello"), [""])
            self.assertEqual(run(vm, "s = world"), [""])
            self.assertEqual(run(vm, "export"), ["int x = 7", "str s = world"])
            self.assertEqual(run(vm, 'echo "hi" s x'), ["hi world 7"])
            self.assertEqual(run(vm, "HELLO"), ["vorn: HELLO: incorrect command"])

            first = run(vm, "tick")
            match = re.fullmatch(r"Current tick: (\d+)ms", first[0] if len(first) == 1 else "")
            self.assertIsNotNone(match, first)
            later = re.fullmatch(r"Current tick: (\d+)ms", run(vm, "tick")[0])
            self.assertGreater(int(later.group(1)), int(match.group(1)))

            self.assertEqual(run(vm, "rainbow"), ["#" * 80, ""])
            for col in range(80):
                self.assertEqual(vm.char_attr(1, col), ("#", col // 5), "column %d" % col)

            # An empty line runs nothing: the next prompt follows on the next row.
            self.assertEqual(run(vm, ""), [])
            self.assertEqual(vm.cursor(), (1, PROMPT_COLUMN))

            # Backspace edits the end of the line; Left and Right stay inside it.
            clear(vm)
            vm.type("echo abx")
            vm.key("backspace")
            for _ in range(10):
                vm.key("left")
            self.assertEqual(vm.cursor(), (0, PROMPT_COLUMN))
            for _ in range(10):
                vm.key("right")
            self.assertEqual(vm.cursor(), (0, PROMPT_COLUMN + len("echo ab")))
            vm.type("\n")
            vm.wait_until(lambda: vm.screen_rows()[1].rstrip() == "ab", COMMAND_TIMEOUT, "the echo of ab")

            # Shift held, then Caps Lock as a latched Shift on letters, digits and punctuation.
            clear(vm)
            vm.key_down("shift")
            for name in ("a", "b", "apostrophe"):
                vm.key(name)
            vm.key_up("shift")
            vm.key("caps_lock")
            for name in ("c", "1", "semicolon", "apostrophe"):
                vm.key(name)
            vm.key("caps_lock")
            vm.key("d")
            # The shell draws no status marks.
            self.assertEqual(vm.screen_rows()[0].rstrip(), PROMPT + 'AB"C!:"d')
            self.assertEqual(vm.cursor(), (0, PROMPT_COLUMN + 8))
            vm.key("ret")
            vm.wait_for_text('vorn: AB"C!:"d: incorrect command', timeout=COMMAND_TIMEOUT)

            high_water = vm.stack_high_water()
            sys.stderr.write("\nboot stack high-water mark after the shell session: %d bytes\n" % high_water)
            self.assertGreater(high_water, 0)
            self.assertLess(high_water, STACK_LIMIT)
            self.assertEqual(vm.undrained_keys, 0)

    def test_long_line_is_cut_at_capacity_and_the_kernel_stays_responsive(self):
        with Qemu() as vm:
            boot_shell(vm)
            clear(vm)
            for _ in range(LONG_LINE_KEYS):
                vm.key("a")
            # Only the line's capacity was echoed, right after the prompt.
            end = PROMPT_COLUMN + LINE_CAPACITY
            self.assertEqual(vm.cursor(), divmod(end, 80))
            text = "".join(vm.screen_rows())
            self.assertEqual(text[PROMPT_COLUMN:end], "a" * LINE_CAPACITY)
            self.assertEqual(text[end:].strip(), "")
            vm.key("ret")
            vm.wait_until(lambda: "".join(vm.screen_rows()).rstrip().endswith("a: incorrect command" + " " * 71 + PROMPT),
                          COMMAND_TIMEOUT, "the incorrect-command message of the long line")
            self.assertEqual(run(vm, "echo still here"), ["still here"])
            sys.stderr.write("\nboot stack high-water mark after the long line: %d bytes\n"
                             % vm.stack_high_water())
            self.assertEqual(vm.undrained_keys, 0)


class WrappedLine(unittest.TestCase):
    """Editing a line longer than a screen row, read back from video memory and the cursor."""

    def test_enter_and_backspace_across_rows_and_at_the_last_cell(self):
        with Qemu() as vm:
            boot_shell(vm)

            # Enter with the cursor moved back onto the first row: the output follows the
            # whole line instead of overwriting its tail.
            clear(vm)
            vm.type("echo " + "x" * 70)  # 15 + 75 cells: ends at row 1, column 10
            self.assertEqual(vm.cursor(), (1, 10))
            for _ in range(20):
                vm.key("left")
            self.assertEqual(vm.cursor(), (0, 70))
            vm.key("ret")
            vm.wait_until(lambda: vm.cursor() == (3, PROMPT_COLUMN), COMMAND_TIMEOUT, "the prompt after the echo")
            rows = [r.rstrip() for r in vm.screen_rows()]
            self.assertEqual(rows[:4], [PROMPT + "echo " + "x" * 60, "x" * 10, "x" * 70, PROMPT])

            # Backspace erases across the row boundary, and stops at the prompt.
            clear(vm)
            vm.type("echo " + "y" * 70)
            for _ in range(11):
                vm.key("backspace")
            self.assertEqual(vm.cursor(), (0, 79))
            rows = vm.screen_rows()
            self.assertEqual(rows[0], PROMPT + "echo " + "y" * 59 + " ")
            self.assertEqual(rows[1].strip(), "")
            for _ in range(70):
                vm.key("backspace")
            self.assertEqual(vm.cursor(), (0, PROMPT_COLUMN))
            self.assertEqual(vm.screen_rows()[0].rstrip(), PROMPT)

            # A line that ends in the last cell of the screen scrolls at once: the cursor stays
            # on the screen and Backspace still erases all of the line.
            clear(vm)
            for _ in range(24):
                vm.key("ret")
            vm.wait_until(lambda: vm.cursor() == (24, PROMPT_COLUMN), COMMAND_TIMEOUT, "the prompt on the last row")
            vm.type("q" * 65)
            self.assertEqual(vm.cursor(), (24, 0))
            self.assertEqual(vm.screen_rows()[23], PROMPT + "q" * 65)
            vm.key("backspace")
            self.assertEqual(vm.cursor(), (23, 79))
            self.assertEqual(vm.char_attr(23, 79), (" ", 0x07))
            for _ in range(70):
                vm.key("backspace")
            self.assertEqual(vm.cursor(), (23, PROMPT_COLUMN))
            self.assertEqual(vm.screen_rows()[23].rstrip(), PROMPT)
            vm.type("echo ok\n")
            vm.wait_until(lambda: [r.rstrip() for r in vm.screen_rows()[22:25]] == [PROMPT + "echo ok", "ok", PROMPT],
                          COMMAND_TIMEOUT, "the echo after the erased line")
            self.assertEqual(vm.undrained_keys, 0)


class MachineControl(unittest.TestCase):
    def assert_command_ends_qemu(self, command):
        with Qemu() as vm:
            boot_shell(vm)
            vm.type(command)
            vm.press_final_key("ret")
            self.assertEqual(vm.wait_exit(EXIT_TIMEOUT), 0)

    def test_shutdown_ends_qemu(self):
        self.assert_command_ends_qemu("shutdown")

    def test_reboot_under_no_reboot_ends_qemu(self):
        # QEMU turns the reset into an exit when it is told not to reboot.
        self.assert_command_ends_qemu("reboot")

    def test_reboot_restarts_the_machine(self):
        with RebootingQemu() as vm:
            boot_shell(vm)
            vm.type("int marker 1\n")
            vm.wait_until(lambda: vm.screen_text().count(PROMPT) == 2, COMMAND_TIMEOUT, "the declaration")
            vm.type("reboot\n")

            def booted_again():
                screen = vm.screen_text()
                return ("marker" not in screen and "Tavix 32-bit kernel 0.02 beta" in screen
                        and screen.rstrip().endswith(PROMPT))
            vm.wait_until(booted_again, BOOT_TIMEOUT, "the boot screen after the reboot")
            self.assertTrue(vm.running())
            # A fresh kernel: the variable declared before the reboot is gone.
            self.assertEqual(run(vm, "echo marker"), ["marker"])


KEYBOARD_RESULTS = [
    "KTEST keyboard.get_string_reads_one_typed_line PASS",
    "KTEST keyboard.get_string_marks_and_modifiers PASS",
    "KTEST keyboard.agent_get_string_returns_at_once_and_masks PASS",
    "KTEST DONE 3 0",
]


def type_keyboard_group(test, vm):
    """Types what each step of the in-kernel keyboard group asks for, on any PC model booted
    with the test image and the group keyboard, and checks the status marks on the way."""
    vm.wait_for_text("KB READY 1", timeout=BOOT_TIMEOUT)
    vm.type("Hello World!\n")

    vm.wait_for_text("KB READY 2", timeout=COMMAND_TIMEOUT)
    vm.key_down("shift")
    vm.wait_until(lambda: vm.screen_rows()[0].startswith(" SHIFT"), COMMAND_TIMEOUT, "the SHIFT mark")
    test.assertEqual([vm.char_attr(0, c)[1] for c in range(6)], [STATUS_ATTRIBUTE] * 6)
    vm.key("a")
    vm.key_up("shift")
    vm.key("caps_lock")
    vm.wait_until(lambda: vm.screen_rows()[0].startswith(" CAPS LOCK"), COMMAND_TIMEOUT,
                  "the CAPS LOCK mark")
    # Shift over the Caps Lock mark covers its first six cells.
    vm.key_down("shift")
    test.assertTrue(vm.screen_rows()[0].startswith(" SHIFTLOCK"), vm.screen_rows()[0])
    vm.key_up("shift")
    test.assertTrue(vm.screen_rows()[0].startswith("      LOCK"), vm.screen_rows()[0])
    vm.key("1")
    vm.key("semicolon")
    vm.key("caps_lock")
    test.assertEqual(vm.screen_rows()[0][:10], " " * 10)
    test.assertEqual(vm.char_attr(0, 9)[1], STATUS_ATTRIBUTE)
    vm.key("grave_accent")
    vm.key_down("shift")
    vm.key("apostrophe")
    vm.key_up("shift")
    vm.key("x")
    vm.key("backspace")
    vm.key("ret")

    vm.wait_for_text("KB READY 3", timeout=COMMAND_TIMEOUT)
    vm.type("s3cret")
    vm.press_final_key("ret")


class LineReaders(unittest.TestCase):
    def test_keyboard_group(self):
        with Qemu(kernel=image_path("tavix-test.elf"), append="keyboard") as vm:
            type_keyboard_group(self, vm)
            status = vm.wait_exit(60)
            lines = [l for l in vm.debugcon_text().splitlines() if l.startswith("KTEST ")]
        self.assertEqual(lines, KEYBOARD_RESULTS)
        self.assertEqual(status, 1)


if __name__ == "__main__":
    unittest.main()
