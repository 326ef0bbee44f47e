"""Drives v86, the PC emulator compiled to WebAssembly, under Node for the system tests: the third
PC model beside QEMU and Bochs, and the one the browser page runs.

tests/system/v86_machine.mjs boots the image and answers requests on a pipe; this class gives the
tests the same view of it as of QEMU (harness.Machine): the text screen, waits for what appears
there, key presses, and for the test image what it wrote to port 0xE9 and the exit value it
wrote to port 0xF4, reported as QEMU's isa-debug-exit would. Standard library only.
"""

import json
import os
import shutil
import subprocess
import tempfile
import time

from harness import REPO_ROOT, Machine, image_path

NODE = "node"
DRIVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "v86_machine.mjs")
V86_PACKAGE = os.path.join(REPO_ROOT, "node_modules", "v86", "build", "libv86.mjs")
SEABIOS = ("/usr/share/seabios/bios.bin", "/usr/share/seabios/vgabios-stdvga.bin")
QUIT_TIMEOUT = 10.0

# Set-1 make codes of the keys the tests press, by QEMU qcode; the break code adds 0x80. The
# letters and digits run along the rows of a US keyboard.
_ROWS = {0x02: "1234567890", 0x10: "qwertyuiop", 0x1E: "asdfghjkl", 0x2C: "zxcvbnm"}
SCANCODES = {key: first + i for first, keys in _ROWS.items() for i, key in enumerate(keys)}
SCANCODES.update({
    "minus": 0x0C, "equal": 0x0D, "backspace": 0x0E, "tab": 0x0F, "bracket_left": 0x1A,
    "bracket_right": 0x1B, "ret": 0x1C, "semicolon": 0x27, "apostrophe": 0x28, "grave_accent": 0x29,
    "shift": 0x2A, "backslash": 0x2B, "comma": 0x33, "dot": 0x34, "slash": 0x35, "spc": 0x39,
    "caps_lock": 0x3A,
})
BREAK = 0x80


def missing():
    """Why v86 cannot run here, or None when it can."""
    if shutil.which(NODE) is None:
        return "no %s program (package nodejs)" % NODE
    if not os.path.exists(V86_PACKAGE):
        return "no %s (npm ci installs it)" % V86_PACKAGE
    for path in SEABIOS:
        if not os.path.exists(path):
            return "no %s (package seabios)" % path
    return None


class V86(Machine):
    """One v86 run under Node. Use as a context manager; on leaving it the disk image gets what
    the guest wrote, and Node ends.

    kernel: Multiboot ELF image (default: tavix.elf in the build directory).
    disk: raw image attached as the primary master IDE disk.
    append: the Multiboot command line.
    """

    name = "v86"

    def __init__(self, kernel=None, disk=None, append=None):
        self.kernel = kernel or image_path("tavix.elf")
        self.disk = disk
        self.append = append or ""
        self.proc = None
        self._stderr = None

    def __enter__(self):
        # A file, not a pipe: nobody reads Node's messages while the machine runs.
        self._stderr = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([NODE, DRIVER, self.kernel, self.disk or "-", self.append],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._stderr, text=True)
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            try:
                self._request("quit")
                self.proc.wait(QUIT_TIMEOUT)
            except (OSError, RuntimeError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        self.proc.stdin.close()
        self.proc.stdout.close()
        self._stderr.close()
        self.proc = None

    def _request(self, op, **arguments):
        self.proc.stdin.write(json.dumps(dict(arguments, op=op)) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError("v86 ended (status %s): %s" % (self.proc.wait(), self.stderr_text()))
        reply = json.loads(line)
        if "error" in reply:
            raise RuntimeError(reply["error"])
        return reply

    def stderr_text(self):
        self._stderr.seek(0)
        return self._stderr.read().decode(errors="replace")

    def running(self):
        """True until Node ends or the guest ends the test run through port 0xF4."""
        return self.proc is not None and self.proc.poll() is None and self._request("state")["exit"] is None

    def exit_status(self):
        """(value << 1) | 1 once the guest wrote value to port 0xF4, as QEMU's isa-debug-exit
        exits; None before."""
        value = self._request("state")["exit"]
        return None if value is None else (value << 1) | 1

    def wait_exit(self, timeout=30):
        deadline = time.monotonic() + timeout
        while (status := self.exit_status()) is None:
            if time.monotonic() > deadline:
                raise AssertionError("v86 still running after %ss\n%s" % (timeout, self._screen_report()))
            time.sleep(0.05)
        return status

    def debugcon_text(self):
        """Everything the guest wrote to port 0xE9 so far."""
        return self._request("state")["console"]

    def screen_bytes(self):
        return bytes.fromhex(self._request("state")["screen"])

    def key_down(self, name):
        self._request("keys", codes=[SCANCODES[name]])

    def key_up(self, name):
        self._request("keys", codes=[SCANCODES[name] | BREAK])

    # The machine goes on after its last key, so the last key is an ordinary one.
    press_final_key = Machine.key
