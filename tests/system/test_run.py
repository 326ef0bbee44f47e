"""make run's script, tools/run.sh, in a terminal of its own: QEMU ends when the terminal is closed
under a session leader that is not QEMU (as make is), and a disk another QEMU holds gets one
line that says so."""

import fcntl
import os
import pty
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import REPO_ROOT, Qemu, image_path  # noqa: E402

RUN = os.path.join(REPO_ROOT, "tools", "run.sh")
TIMEOUT = 30


def qemu_holding(disk):
    """The pid of the QEMU that has the disk open, or None."""
    target = os.path.realpath(disk)
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % pid) as f:
                stat = f.read().split()
            if stat[1].startswith("(qemu") and stat[2] != "Z" and any(
                    os.path.realpath("/proc/%s/fd/%s" % (pid, fd)) == target for fd in os.listdir("/proc/%s/fd" % pid)):
                return int(pid)
        except OSError:
            continue
    return None


def wait_for(condition, what):
    deadline = time.monotonic() + TIMEOUT
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.2)


class RunScript(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.disk = os.path.join(self.tmp, "disk.img")
        subprocess.run([os.path.join(REPO_ROOT, "tools", "make-disk.sh"), self.disk], check=True)

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_qemu_ends_when_its_terminal_closes(self):
        env = dict(os.environ, TERM="xterm")
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        # make leads the session, as in a terminal where `make run` was typed: on the hang-up it
        # waits for its child instead of passing the signal on.
        makefile = os.path.join(self.tmp, "Makefile")
        with open(makefile, "w") as f:
            f.write('run:\n\t"%s" "%s" "%s"\n' % (RUN, image_path("tavix.elf"), self.disk))
        pid, terminal = pty.fork()
        if pid == 0:
            os.execvpe("make", ["make", "-s", "-f", makefile], env)
        try:
            # A terminal of 30 rows and 100 columns, so that QEMU draws the screen in it; the
            # machine is up once it shows the kernel's prompt.
            fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
            shown = bytearray()
            wait_for(lambda: select.select([terminal], [], [], 0.2)[0] and shown.extend(os.read(terminal, 65536)) or
                     b"masteruser" in shown, "the prompt in the terminal")
            self.assertTrue(qemu_holding(self.disk))
            os.close(terminal)
            wait_for(lambda: not qemu_holding(self.disk), "QEMU to end with its terminal")
        finally:
            for p in filter(None, [qemu_holding(self.disk)]):
                os.kill(p, 9)
            os.waitpid(pid, 0)

    def test_a_disk_another_qemu_holds_gets_one_line(self):
        with Qemu(disk=self.disk) as vm:
            vm.wait_for_text("masteruser: / &", timeout=TIMEOUT)
            result = subprocess.run([RUN, image_path("tavix.elf"), self.disk], stdin=subprocess.DEVNULL,
                                    capture_output=True, text=True, timeout=TIMEOUT)
            self.assertTrue(vm.running())
            holder = vm.proc.pid
        self.assertNotEqual(result.returncode, 0)
        self.assertEqual(result.stdout, "")
        self.assertEqual(result.stderr.splitlines(),
                         ["error: %s is in use by another QEMU (process %d); end that one first, or boot another "
                          "disk with make run DISK=path" % (self.disk, holder)])


if __name__ == "__main__":
    unittest.main()
