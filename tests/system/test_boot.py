"""Start-up on QEMU: the boot screen, the prompt and cursor, the timer rate, the boot stack, and
booting from the GRUB rescue ISO, with and without a disk. (A disk without a volume: test_disk.)"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (REPO_ROOT, GdbStub, Qemu, build_dir, gdb_stub_args, image_path,  # noqa: E402
                     make_fat32_image, pm_timer_seconds)

BOOT_TIMEOUT = 90
PROMPT = "masteruser: / &"
INIT_LINES = ["GDT: Initiliazing...", "IDT: Initiliazing...", "PIT: Initiliazing...",
              "DMEM: Initiliazing..."]
BANNER = "Tavix 32-bit kernel 0.02 beta"
MOUNT_ERROR = "mkfat: error: unable to create filesystem"
BOOT_STACK_BYTES = 8192
# The divisor 1193 gives 1193180 / 1193 = 1000.15 interrupts a second. A host that deschedules
# QEMU for longer than a tick makes the guest miss some, so the rate can come out well low;
# nothing makes it high, so a divisor for 1100 Hz or more must fail.
TICK_RATE_LOW = 700
TICK_RATE_HIGH = 1050
TICK_MEASURE_SECONDS = 2.0         # of QEMU's virtual clock
TICK_SAMPLE_INTERVAL = 0.2         # wall seconds, well inside the PM timer's 4.7 s wrap


def find_in_order(rows, expected):
    """Row index of each expected line, matched in order; extra rows in between are allowed.
    Fails naming the first line that is missing or out of order."""
    found = []
    start = 0
    stripped = [row.rstrip() for row in rows]
    for line in expected:
        try:
            index = stripped.index(line, start)
        except ValueError:
            raise AssertionError("%r missing or out of order on the boot screen:\n%s"
                                 % (line, "\n".join(stripped)))
        found.append(index)
        start = index + 1
    return found


def last_row(rows, line):
    stripped = [row.rstrip() for row in rows]
    return len(stripped) - 1 - stripped[::-1].index(line)


class BootScreen(unittest.TestCase):
    def check_start_up(self, vm):
        """The start-up lines in order, then the prompt as the last line written with the
        cursor right behind it; returns the screen rows."""
        vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT)
        rows = vm.screen_rows()
        find_in_order(rows, INIT_LINES + [BANNER, PROMPT])
        prompt_row = last_row(rows, PROMPT)
        self.assertTrue(all(not row.strip() for row in rows[prompt_row + 1:]),
                        "nothing may follow the prompt")
        self.assertEqual(vm.cursor(), (prompt_row, len(PROMPT)))
        return rows

    def test_start_up_without_disk(self):
        with Qemu() as vm:
            rows = self.check_start_up(vm)
            self.assertNotIn(MOUNT_ERROR, "\n".join(rows))
            vm.screendump(os.path.join(build_dir(), "boot-screen-nodisk.png"))
            self.assertTrue(vm.running())

    def test_start_up_with_fat32_disk(self):
        with tempfile.TemporaryDirectory() as tmp:
            disk = make_fat32_image(os.path.join(tmp, "disk.img"),
                                    files={"README.TXT": b"Tavix sample disk\n"})
            with Qemu(disk=disk) as vm:
                rows = self.check_start_up(vm)
                self.assertNotIn(MOUNT_ERROR, "\n".join(rows))
                high_water = vm.stack_high_water()
                shot = os.path.join(build_dir(), "boot-screen.png")
                vm.screendump(shot)
                self.assertTrue(vm.running())
        print("\nboot stack high-water mark after start-up with a mounted disk: %d of %d bytes"
              % (high_water, BOOT_STACK_BYTES), file=sys.stderr)
        self.assertGreater(high_water, 0, "the boot stack was never used: wrong symbols?")
        self.assertLess(high_water, BOOT_STACK_BYTES // 2)
        with open(shot, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        # The README shows this picture; refresh it on request only, so that a test run does
        # not leave the work tree modified.
        if os.environ.get("TAVIX_UPDATE_SCREENSHOT"):
            shutil.copyfile(shot, os.path.join(REPO_ROOT, "docs", "boot-screen.png"))

    def test_key_pressed_during_start_up_leaves_the_shell_listening(self):
        # Interrupts are on from the IDT line, but the shell owns IRQ 1 only after the prompt.
        # A key pressed in between is acknowledged and never read; the unread byte keeps the
        # keyboard's interrupt line high, and the edge-triggered controller then never sees
        # another key unless start-up drains it. That window now lasts only milliseconds, so
        # the guest is stopped in it, on entering the mount, while the key goes in (the
        # monitor's sendkey queues it in the keyboard controller even then).
        with tempfile.TemporaryDirectory() as tmp:
            disk = make_fat32_image(os.path.join(tmp, "disk.img"))
            stub = os.path.join(tmp, "gdb.sock")
            with Qemu(disk=disk, extra_args=gdb_stub_args(stub)) as vm:
                gdb = GdbStub(stub)
                gdb.run_to(vm.symbol("makeFilesystem(char*)"))
                self.assertIn(INIT_LINES[-1], vm.screen_text())
                self.assertNotIn(PROMPT, vm.screen_text(),
                                 "the key must arrive before the shell takes IRQ 1")
                vm.hmp("sendkey x")
                gdb.detach()
                vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT)
                vm.type("help\n")
                vm.wait_for_text("Tavix Operating System Shell commands:", timeout=30)
                self.assertTrue(vm.running())


class PowerOnKeys(Qemu):
    """QEMU whose keyboard is busy from the moment the machine runs: one key is held down and
    another typed over and over until the shell's prompt shows, as a user leaning on the
    keyboard while the machine starts would do. The firmware may then leave the keyboard
    controller in any state."""

    HELD = "b"
    TYPED = "a"
    KEY_INTERVAL = 0.005       # seconds between two typed keys
    KEYS_PER_LOOK = 10         # typed keys between two looks at the screen

    def _event(self, name, down):
        self.qmp("input-send-event", events=[
            {"type": "key", "data": {"down": down, "key": {"type": "qcode", "data": name}}}])

    def start(self):
        super().start()  # returns as soon as the paused machine has been let run
        self.keys_sent = 0
        self._event(self.HELD, True)
        deadline = time.monotonic() + BOOT_TIMEOUT
        while time.monotonic() < deadline:
            for _ in range(self.KEYS_PER_LOOK):
                self._event(self.TYPED, True)
                self._event(self.TYPED, False)
                self.keys_sent += 1
                time.sleep(self.KEY_INTERVAL)
            if PROMPT in self.screen_text():
                break
        self._event(self.HELD, False)
        return self


class KeyboardAtPowerOn(unittest.TestCase):
    def test_keys_from_power_on_leave_later_keys_decoding_as_typed(self):
        # Without its own set-up of the controller the kernel decoded whatever scan code set
        # the firmware left behind: "tick" came out as "zzff" for the whole session.
        with tempfile.TemporaryDirectory() as tmp:
            disk = make_fat32_image(os.path.join(tmp, "disk.img"))
            with PowerOnKeys(disk=disk) as vm:
                vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT)
                self.assertGreater(vm.keys_sent, 0)
                vm.type("\n")
                vm.type("tick\n")
                vm.wait_until(lambda: re.search(r"Current tick: \d+ms", vm.screen_text()),
                              30, "the tick command's output")
                self.assertIn(PROMPT + "tick\n", vm.screen_text() + "\n")
                vm.type("help\n")
                vm.wait_for_text("Tavix Operating System Shell commands:", timeout=30)
                self.assertEqual(vm.undrained_keys, 0)
                self.assertTrue(vm.running())


class SmallMachine(unittest.TestCase):
    def test_too_little_memory_shows_why_and_starts_no_shell(self):
        # The image reaches kernel_image_end; the message states what it needs above 1 MiB.
        with Qemu(extra_args=["-m", "512M"]) as vm:
            vm.wait_for_text("Tavix needs", timeout=BOOT_TIMEOUT)
            end = vm.symbol("kernel_image_end")
            need_mib = -(-(end - 0x100000) // (1024 * 1024))
            match = vm.wait_until(
                lambda: re.search(r"^Tavix needs (\d+) MiB of memory above 1 MiB; this machine has (\d+) MiB$",
                                  vm.screen_text(), re.M),
                10, "the whole memory line")
            self.assertEqual(int(match.group(1)), need_mib)
            self.assertTrue(500 <= int(match.group(2)) < 512, match.group(0))
            message_row = vm.screen_text().split("\n").index(match.group(0))
            # Nothing follows, now or a little later, whatever is typed. The halted machine
            # reads no key, so the events go in without waiting for it to take them.
            for name in ("h", "ret"):
                for down in (True, False):
                    vm.qmp("input-send-event", events=[
                        {"type": "key", "data": {"down": down, "key": {"type": "qcode", "data": name}}}])
            time.sleep(1)
            screen = vm.screen_text()
            self.assertNotIn(PROMPT, screen)
            self.assertNotIn(INIT_LINES[0], screen)
            self.assertEqual(screen.rstrip("\n").split("\n")[-1], match.group(0))
            self.assertEqual(vm.cursor(), (message_row + 1, 0))
            self.assertTrue(vm.running())


class Timer(unittest.TestCase):
    def test_ticks_follow_the_virtual_clock_at_1000_hz(self):
        with Qemu() as vm:
            vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT)
            ticks = vm.symbol("ticks")
            self.assertEqual(vm.symbol_size("ticks"), 8)
            first_ticks, last_pm = vm.virtual_clock_sample(lambda: vm.read_u64(ticks))
            elapsed = 0.0
            # Summing short steps keeps each one inside a wrap of the 24-bit PM timer, however
            # slowly the host runs the guest.
            while elapsed < TICK_MEASURE_SECONDS:
                time.sleep(TICK_SAMPLE_INTERVAL)
                now_ticks, pm = vm.virtual_clock_sample(lambda: vm.read_u64(ticks))
                elapsed += pm_timer_seconds(last_pm, pm)
                last_pm = pm
            rate = (now_ticks - first_ticks) / elapsed
            print("\ntimer: %d ticks in %.3f s of virtual time = %.1f per second"
                  % (now_ticks - first_ticks, elapsed, rate), file=sys.stderr)
            self.assertGreater(first_ticks, 0)
            self.assertGreater(rate, TICK_RATE_LOW)
            self.assertLess(rate, TICK_RATE_HIGH)
            self.assertTrue(vm.running())


def iso_path(tmp):
    """build/tavix.iso when it is at least as new as the kernel; otherwise one made now."""
    kernel = image_path("tavix.elf")
    iso = image_path("tavix.iso")
    if os.path.exists(iso) and os.path.getmtime(iso) >= os.path.getmtime(kernel):
        return iso
    iso = os.path.join(tmp, "tavix.iso")
    subprocess.run([os.path.join(REPO_ROOT, "tools", "make-iso.sh"), kernel, iso], check=True)
    return iso


class RescueIso(unittest.TestCase):
    def test_iso_boots_to_the_prompt_with_and_without_disk(self):
        with tempfile.TemporaryDirectory() as tmp:
            iso = iso_path(tmp)
            disk = make_fat32_image(os.path.join(tmp, "disk.img"))
            for attached in (None, disk):
                with self.subTest(disk=attached is not None):
                    with Qemu(cdrom=iso, disk=attached) as vm:
                        vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT)
                        rows = vm.screen_rows()
                        find_in_order(rows, INIT_LINES + [BANNER, PROMPT])
                        self.assertNotIn(MOUNT_ERROR, "\n".join(rows))
                        self.assertEqual(vm.cursor(), (last_row(rows, PROMPT), len(PROMPT)))
                        self.assertTrue(vm.running())


if __name__ == "__main__":
    unittest.main()
