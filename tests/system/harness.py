"""Drives qemu-system-i386 for the system tests: boot an image, type, read the screen and memory.

Everything goes through QMP (and the human monitor behind it), so the tests see the machine the
way a user does: the VGA text buffer, the hardware cursor and the PS/2 keyboard. Standard
library only.
"""

import json
import os
import shutil
import socket
import subprocess
import tempfile
import time

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

QEMU = "qemu-system-i386"
MEMORY = "1G"

TEXT_BUFFER = 0xB8000
SCREEN_COLUMNS = 80
SCREEN_ROWS = 25
SCREEN_BYTES = SCREEN_COLUMNS * SCREEN_ROWS * 2

CRTC_INDEX = 0x3D4
CRTC_DATA = 0x3D5
CRTC_CURSOR_HIGH = 0x0E
CRTC_CURSOR_LOW = 0x0F

I8042_STATUS = 0x64
I8042_OUTPUT_FULL = 0x01

# The PIIX4 power-management timer, a 24-bit counter at 3.579545 MHz driven by QEMU's virtual
# clock. The firmware chooses the port, so it is looked up in the I/O address map.
PM_TIMER_HZ = 3579545
PM_TIMER_MASK = 0xFFFFFF

DEBUG_EXIT_PORT = 0xF4

START_TIMEOUT = 10.0      # seconds for QEMU to open its QMP socket
POLL_INTERVAL = 0.05      # seconds between two looks at the screen
KEY_GAP = 0.002           # seconds between two key events
KEY_DRAIN_TIMEOUT = 2.0   # seconds for the guest to take a byte out of the keyboard controller
QUIT_TIMEOUT = 5.0
# Seconds for QEMU to answer one QMP command. A QEMU that stops answering (it may be on its
# way out after a reset or a power-off) fails the command instead of hanging the test.
QMP_TIMEOUT = 60.0


def build_dir():
    """The directory holding the kernel images (env TAVIX_BUILD, default build/)."""
    path = os.environ.get("TAVIX_BUILD", "build")
    return path if os.path.isabs(path) else os.path.join(REPO_ROOT, path)


def image_path(name):
    return os.path.join(build_dir(), name)


# US keyboard: character -> (qcode, shift held).
_UNSHIFTED = {
    " ": "spc", "\n": "ret", "\t": "tab", "\b": "backspace",
    "-": "minus", "=": "equal", "[": "bracket_left", "]": "bracket_right",
    "\\": "backslash", ";": "semicolon", "'": "apostrophe", "`": "grave_accent",
    ",": "comma", ".": "dot", "/": "slash",
}
_SHIFTED = {
    "!": "1", "@": "2", "#": "3", "$": "4", "%": "5", "^": "6", "&": "7", "*": "8",
    "(": "9", ")": "0", "_": "minus", "+": "equal", "{": "bracket_left",
    "}": "bracket_right", "|": "backslash", ":": "semicolon", '"': "apostrophe",
    "~": "grave_accent", "<": "comma", ">": "dot", "?": "slash",
}


def key_for(char):
    """The qcode and the Shift state that type one character on a US keyboard."""
    if "a" <= char <= "z" or "0" <= char <= "9":
        return char, False
    if "A" <= char <= "Z":
        return char.lower(), True
    if char in _UNSHIFTED:
        return _UNSHIFTED[char], False
    if char in _SHIFTED:
        return _SHIFTED[char], True
    raise ValueError("no key types %r" % char)


class QmpError(RuntimeError):
    pass


class Machine:
    """What the tests see of any PC model: the text screen, its rows and cells, waits for what
    appears there, and typing. A model provides screen_bytes() (the 4000 bytes at 0xB8000),
    key_down() and key_up() (QEMU qcodes), press_final_key(), running(), exit_status() and
    stderr_text()."""

    name = "the machine"

    def _screen_report(self):
        return "screen:\n" + self.screen_text()

    def screen_rows(self):
        """The 25 rows of the text screen, 80 characters each (code page 437)."""
        text = self.screen_bytes()[0::2].replace(b"\0", b" ").decode("cp437")
        return [text[r * SCREEN_COLUMNS:(r + 1) * SCREEN_COLUMNS] for r in range(SCREEN_ROWS)]

    def screen_text(self):
        """The screen as one string, rows joined by newlines, trailing blanks dropped."""
        return "\n".join(row.rstrip() for row in self.screen_rows())

    def char_attr(self, row, col):
        """(character, attribute byte) of one screen cell."""
        offset = (row * SCREEN_COLUMNS + col) * 2
        cell = self.screen_bytes()[offset:offset + 2]
        return bytes([cell[0]]).decode("cp437"), cell[1]

    def wait_until(self, condition, timeout, what):
        """Polls condition() until it is true; fails with the screen after timeout seconds or
        as soon as the machine ends."""
        deadline = time.monotonic() + timeout
        while True:
            if not self.running():
                raise AssertionError("%s exited (status %s) while waiting for %s\n%s"
                                     % (self.name, self.exit_status(), what, self.stderr_text()))
            result = condition()
            if result:
                return result
            if time.monotonic() > deadline:
                raise AssertionError("timed out after %ss waiting for %s\n%s"
                                     % (timeout, what, self._screen_report()))
            time.sleep(POLL_INTERVAL)

    def wait_for_text(self, text, timeout=30):
        """Waits until text appears on one screen row; returns the screen text."""
        def seen():
            screen = self.screen_text()
            return screen if text in screen else None
        return self.wait_until(seen, timeout, repr(text))

    def key(self, name):
        """Presses and releases one key (a QEMU qcode such as "ret", "left", "caps_lock")."""
        self.key_down(name)
        self.key_up(name)

    def type(self, text):
        """Types text on a US keyboard, holding Shift where needed; "\\n" is Enter."""
        for char in text:
            name, shift = key_for(char)
            if shift:
                self.key_down("shift")
            self.key(name)
            if shift:
                self.key_up("shift")


class Qemu(Machine):
    """One QEMU run. Use as a context manager; QEMU is ended on leaving it.

    kernel: ELF booted with -kernel (default: tavix.elf in the build directory). The in-kernel
    test image (tavix-test.elf) always gets the debug console and the isa-debug-exit device.
    cdrom: boot this ISO instead of a -kernel image.
    disk: raw image attached as the primary master IDE disk.
    paused: leave the machine stopped before its first instruction, as make debug does, for a
    debugger to let it run.
    """

    name = "QEMU"

    def __init__(self, kernel=None, disk=None, append=None, extra_args=(), cdrom=None,
                 debugcon=None, paused=False):
        if cdrom is None and kernel is None:
            kernel = image_path("tavix.elf")
        self.kernel = kernel
        self.cdrom = cdrom
        self.disk = disk
        self.append = append
        self.extra_args = list(extra_args)
        self.test_devices = kernel is not None and os.path.basename(kernel).startswith("tavix-test")
        if debugcon is None and self.test_devices:
            debugcon = True
        self.want_debugcon = bool(debugcon)
        self.paused = paused
        self.proc = None
        self.sock = None
        self.reader = None
        self.events = []
        self.undrained_keys = 0
        self.keys_after_exit = 0
        self.tmpdir = None
        self._symbols = None
        self._pm_port = None

    # ---- life cycle -------------------------------------------------------------------

    def command_line(self):
        args = [QEMU, "-m", MEMORY, "-display", "none", "-nic", "none", "-no-reboot",
                "-qmp", "unix:%s,server=on,wait=off" % self.qmp_path, "-S"]
        if self.cdrom is not None:
            args += ["-cdrom", self.cdrom, "-boot", "d"]
        else:
            args += ["-kernel", self.kernel]
        if self.append is not None:
            if self.cdrom is not None:
                raise ValueError("-append needs a -kernel image")
            args += ["-append", self.append]
        if self.disk is not None:
            args += ["-drive", "file=%s,format=raw,if=ide,index=0,media=disk" % self.disk]
        if self.want_debugcon:
            args += ["-debugcon", "file:%s" % self.debugcon_path]
        if self.test_devices:
            args += ["-device", "isa-debug-exit,iobase=0x%x,iosize=0x04" % DEBUG_EXIT_PORT]
        return args + self.extra_args

    def start(self):
        for path in (self.kernel, self.cdrom, self.disk):
            if path is not None and not os.path.exists(path):
                raise FileNotFoundError(path)
        self.tmpdir = tempfile.mkdtemp(prefix="tavix-qemu-")
        self.qmp_path = os.path.join(self.tmpdir, "qmp.sock")
        self.debugcon_path = os.path.join(self.tmpdir, "debugcon.txt")
        self.stderr_path = os.path.join(self.tmpdir, "qemu.stderr")
        with open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen(self.command_line(), stdin=subprocess.DEVNULL,
                                         stdout=err, stderr=err)
        self._connect()
        if not self.paused:
            self.qmp("cont")
        return self

    def _connect(self):
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            if self.proc.poll() is not None:
                raise RuntimeError("QEMU exited at start (status %d): %s"
                                   % (self.proc.returncode, self.stderr_text()))
            try:
                sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                sock.connect(self.qmp_path)
                break
            except OSError:
                sock.close()
                if time.monotonic() > deadline:
                    raise RuntimeError("QEMU did not open its QMP socket: " + self.stderr_text())
                time.sleep(0.02)
        sock.settimeout(QMP_TIMEOUT)
        self.sock = sock
        self.reader = sock.makefile("rb")
        greeting = self._read_message()
        if "QMP" not in greeting:
            raise QmpError("no QMP greeting: %r" % greeting)
        self.qmp("qmp_capabilities")

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        if self.proc is not None and self.proc.poll() is None:
            try:
                self.qmp("quit")
            except (OSError, QmpError, ValueError):
                pass
            try:
                self.proc.wait(QUIT_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.reader is not None:
            self.reader.close()
            self.reader = None
        if self.sock is not None:
            self.sock.close()
            self.sock = None
        if self.tmpdir is not None and not os.environ.get("TAVIX_KEEP_TMP"):
            shutil.rmtree(self.tmpdir, ignore_errors=True)
            self.tmpdir = None

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def exit_status(self):
        """QEMU's exit status, or None while it runs."""
        return None if self.proc is None else self.proc.poll()

    def wait_exit(self, timeout=30):
        """Waits for QEMU to end by itself and returns its exit status.

        isa-debug-exit ends it with (value << 1) | 1; a triple fault under -no-reboot ends it
        with 0, so a caller must treat any exit it did not ask for as a failure.
        """
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("QEMU still running after %ss\n%s" % (timeout, self._screen_report()))

    def stderr_text(self):
        try:
            with open(self.stderr_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def debugcon_text(self):
        """Everything the guest wrote to the debug console (port 0xE9) so far."""
        try:
            with open(self.debugcon_path, "rb") as f:
                return f.read().decode("latin-1")
        except OSError:
            return ""

    # ---- monitors ---------------------------------------------------------------------

    def _read_message(self):
        line = self.reader.readline()
        if not line:
            raise QmpError("QMP connection closed (QEMU status %s): %s"
                           % (self.exit_status(), self.stderr_text()))
        return json.loads(line)

    def qmp(self, command, **arguments):
        """Runs one QMP command and returns its result; events met on the way are kept."""
        if self.sock is None:
            raise QmpError("not connected")
        message = {"execute": command}
        if arguments:
            message["arguments"] = arguments
        self.sock.sendall(json.dumps(message).encode() + b"\n")
        while True:
            reply = self._read_message()
            if "event" in reply:
                self.events.append(reply)
                continue
            if "error" in reply:
                raise QmpError("%s: %s" % (command, reply["error"].get("desc", reply["error"])))
            if "return" in reply:
                return reply["return"]

    def hmp(self, command):
        """Runs one human-monitor command and returns its output."""
        return self.qmp("human-monitor-command", **{"command-line": command})

    def stop(self):
        """Pauses the guest; returns whether it was running (pass that to resume)."""
        was_running = self.qmp("query-status")["running"]
        if was_running:
            self.qmp("stop")
        return was_running

    def resume(self, was_running=True):
        if was_running:
            self.qmp("cont")

    def port_in(self, port, width="b"):
        out = self.hmp("i /%s 0x%x" % (width, port))
        return int(out.strip().split()[-1], 16)

    def port_out(self, port, value, width="b"):
        self.hmp("o /%s 0x%x 0x%x" % (width, port, value))

    # ---- memory and symbols -----------------------------------------------------------

    def read_memory(self, addr, size):
        """size bytes of guest physical memory at addr."""
        fd, path = tempfile.mkstemp(prefix="mem-", dir=self.tmpdir)
        os.close(fd)
        try:
            self.qmp("pmemsave", val=addr, size=size, filename=path)
            with open(path, "rb") as f:
                data = f.read()
        finally:
            os.unlink(path)
        if len(data) != size:
            raise QmpError("pmemsave gave %d of %d bytes" % (len(data), size))
        return data

    def read_u32(self, addr):
        return int.from_bytes(self.read_memory(addr, 4), "little")

    def read_u64(self, addr):
        return int.from_bytes(self.read_memory(addr, 8), "little")

    def _symbol_table(self):
        if self._symbols is None:
            if self.kernel is None:
                raise ValueError("no ELF image to take symbols from")
            out = subprocess.run(["nm", "-C", "-S", self.kernel], check=True,
                                 capture_output=True, text=True).stdout
            table = {}
            for line in out.splitlines():
                fields = line.split(None, 3)
                if len(fields) == 4:
                    addr, size, _kind, name = fields
                    table[name] = (int(addr, 16), int(size, 16))
                elif len(fields) == 3:
                    addr, _kind, name = fields
                    table.setdefault(name, (int(addr, 16), 0))
            self._symbols = table
        return self._symbols

    def _lookup(self, name):
        table = self._symbol_table()
        for candidate in (name, "tavix::" + name):
            if candidate in table:
                return table[candidate]
        raise KeyError("no symbol %r in %s" % (name, self.kernel))

    def symbol(self, name):
        """Address of a kernel symbol; plain names also find tavix::name."""
        return self._lookup(name)[0]

    def symbol_size(self, name):
        return self._lookup(name)[1]

    def stack_high_water(self):
        """Bytes of the boot stack ever used: the stack is zero at boot and grows down from
        stack_space, so everything from its lowest non-zero byte up has been touched."""
        bottom = self.symbol("stack_bottom")
        top = self.symbol("stack_space")
        data = self.read_memory(bottom, top - bottom)
        for i, byte in enumerate(data):
            if byte:
                return len(data) - i
        return 0

    # ---- screen -----------------------------------------------------------------------

    def screen_bytes(self):
        return self.read_memory(TEXT_BUFFER, SCREEN_BYTES)

    def cursor(self):
        """The hardware cursor as (row, col), read from the CRT controller.

        The guest is paused meanwhile and its index register put back, so a guest caught
        between writing the index and the data register is not disturbed.
        """
        was_running = self.stop()
        try:
            saved_index = self.port_in(CRTC_INDEX)
            self.port_out(CRTC_INDEX, CRTC_CURSOR_HIGH)
            high = self.port_in(CRTC_DATA)
            self.port_out(CRTC_INDEX, CRTC_CURSOR_LOW)
            low = self.port_in(CRTC_DATA)
            self.port_out(CRTC_INDEX, saved_index)
        finally:
            self.resume(was_running)
        position = (high << 8) | low
        return divmod(position, SCREEN_COLUMNS)

    def screendump(self, path):
        """Saves what the VGA card shows as a PNG."""
        self.qmp("screendump", filename=os.path.abspath(path), format="png")

    def _screen_report(self):
        try:
            return Machine._screen_report(self)
        except (OSError, QmpError, ValueError):
            return "QEMU status %s, stderr: %s" % (self.exit_status(), self.stderr_text())

    # ---- keyboard ---------------------------------------------------------------------

    def _key_event(self, name, down):
        event = {"type": "key", "data": {"down": down, "key": {"type": "qcode", "data": name}}}
        if self.exit_status() is not None:
            self.keys_after_exit += 1
            return
        try:
            self.qmp("input-send-event", events=[event])
            self._wait_key_taken()
        except (OSError, QmpError):
            # A key may end the machine (shutdown, reboot under -no-reboot, a fault); the
            # release that follows then has nowhere to go. The caller's next wait reports
            # the exit; anything else is a real error.
            if not self._exited_meanwhile():
                raise
            self.keys_after_exit += 1

    def _exited_meanwhile(self):
        try:
            self.proc.wait(QUIT_TIMEOUT)
            return True
        except subprocess.TimeoutExpired:
            return False

    def _wait_key_taken(self):
        # The PS/2 queue behind the controller holds 16 bytes and drops the rest silently, so
        # each event waits until the guest has read its bytes. A guest that does not read
        # (no handler yet, or busy with interrupts off) is given a bounded time only.
        time.sleep(KEY_GAP)
        deadline = time.monotonic() + KEY_DRAIN_TIMEOUT
        while self.port_in(I8042_STATUS) & I8042_OUTPUT_FULL:
            if time.monotonic() > deadline:
                self.undrained_keys += 1
                return
            time.sleep(KEY_GAP)

    def key_down(self, name):
        self._key_event(name, True)

    def press_final_key(self, name):
        """Presses a key that ends the QEMU process (power-off, reset under -no-reboot, the end
        of the in-kernel tests): the events are sent without waiting for the guest to take
        them, because the guest may be gone before the harness could look."""
        for down in (True, False):
            event = {"type": "key", "data": {"down": down, "key": {"type": "qcode", "data": name}}}
            try:
                self.qmp("input-send-event", events=[event])
            except (OSError, QmpError, ValueError):
                return

    def key_up(self, name):
        self._key_event(name, False)

    # ---- clock ------------------------------------------------------------------------

    def _pm_timer_port(self):
        if self._pm_port is None:
            in_io_space = False
            for line in self.hmp("info mtree").splitlines():
                if line.startswith("address-space:"):
                    in_io_space = line.strip() == "address-space: I/O"
                elif in_io_space and line.strip().endswith("acpi-tmr"):
                    self._pm_port = int(line.split("-")[0], 16)
                    break
            else:
                raise QmpError("the power-management timer is not mapped (firmware not run yet?)")
        return self._pm_port

    def virtual_clock_sample(self, read):
        """Pauses the guest and returns (read(), power-management timer count): the two are
        taken at the same instant of QEMU's virtual clock. See pm_timer_seconds."""
        was_running = self.stop()
        try:
            value = read()
            pm = self.port_in(self._pm_timer_port(), "w") & PM_TIMER_MASK
        finally:
            self.resume(was_running)
        return value, pm


def pm_timer_seconds(start, end):
    """Virtual seconds between two PM timer readings (less than one wrap, about 4.7 s)."""
    return ((end - start) & PM_TIMER_MASK) / PM_TIMER_HZ


# ---- disk images -------------------------------------------------------------------------

def _mtools_env():
    env = dict(os.environ)
    env["MTOOLS_SKIP_CHECK"] = "1"
    return env


def _run_tool(args, env=None):
    result = subprocess.run(args, capture_output=True, env=env)
    if result.returncode != 0:
        raise RuntimeError("%s failed (status %d): %s" % (" ".join(args), result.returncode,
                           (result.stdout + result.stderr).decode(errors="replace")))
    return result.stdout


def make_fat32_image(path, size_mib=64, sectors_per_cluster=None, files=None, dirs=(), label="TAVIX"):
    """A raw disk image holding one FAT32 volume from sector 0 (no partition table).

    dirs are created first (parents before children, "A/B" style paths); files maps a path on
    the volume to its bytes. label None leaves the volume without a label entry.
    """
    with open(path, "wb") as f:
        f.truncate(size_mib * 1024 * 1024)
    mkfs = ["mkfs.fat", "-F", "32", "-I"] + (["-n", label] if label else [])
    if sectors_per_cluster is not None:
        mkfs += ["-s", str(sectors_per_cluster)]
    _run_tool(mkfs + [path])
    env = _mtools_env()
    for d in dirs:
        _run_tool(["mmd", "-i", path, "::/" + d.strip("/")], env)
    for name, data in (files or {}).items():
        with tempfile.NamedTemporaryFile() as src:
            src.write(data)
            src.flush()
            _run_tool(["mcopy", "-i", path, src.name, "::/" + name.strip("/")], env)
    return path


def fsck_clean(path):
    """(True, output) when fsck.fat -n finds nothing wrong with the volume."""
    result = subprocess.run(["fsck.fat", "-n", path], capture_output=True, text=True)
    output = result.stdout + result.stderr
    return result.returncode == 0, output


def mtools(args, image):
    """Runs one mtools command (e.g. ["mdir", "-b"]) on the image; returns its output."""
    return _run_tool([args[0], "-i", image] + list(args[1:]), _mtools_env())


# ---- stopping the guest at a kernel routine ---------------------------------------------

def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on now, for a gdbstub that real gdb attaches to."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def gdb_stub_args(path):
    """QEMU arguments that open its gdbstub on a Unix socket at path (for GdbStub)."""
    return ["-gdb", "unix:%s,server=on,wait=off" % path]


class GdbStub:
    """Just enough of the GDB remote protocol to stop the guest on entering a routine: for
    putting something (a key) into a window of start-up too short to hit by polling the
    screen. Connecting pauses a running guest; detach() lets it run on."""

    def __init__(self, path, timeout=START_TIMEOUT):
        deadline = time.monotonic() + timeout
        while True:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                sock.connect(path)
                break
            except OSError:
                sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.02)
        sock.settimeout(timeout)
        self.sock = sock
        self.buffer = b""
        # QEMU reports the stop that the connection caused before anything is asked.
        self._reply()

    def _reply(self):
        while True:
            start = self.buffer.find(b"$")
            end = self.buffer.find(b"#", start) if start >= 0 else -1
            if end >= 0 and len(self.buffer) >= end + 3:
                data = self.buffer[start + 1:end]
                self.buffer = self.buffer[end + 3:]
                self.sock.sendall(b"+")
                return data.decode()
            chunk = self.sock.recv(4096)
            if not chunk:
                raise QmpError("gdbstub connection closed")
            self.buffer += chunk

    def command(self, text):
        data = text.encode()
        self.sock.sendall(b"$" + data + b"#" + b"%02x" % (sum(data) & 0xFF))
        return self._reply()

    def continue_to(self, address):
        """Sets a breakpoint at address and lets the guest run on, without waiting for it to
        stop there (wait_stop does), so that the host can act on the running guest meanwhile."""
        if self.command("Z0,%x,1" % address) != "OK":
            raise QmpError("gdbstub refused a breakpoint at 0x%x" % address)
        self.sock.sendall(b"$c#63")

    def wait_stop(self, address):
        """Waits for the stop at the breakpoint continue_to set at address and removes it;
        returns the host's monotonic time of the stop."""
        stop = self._reply()
        stopped_at = time.monotonic()
        self.command("z0,%x,1" % address)
        if not stop.startswith("T05"):
            raise QmpError("guest stopped for another reason: %s" % stop)
        return stopped_at

    def run_to(self, address):
        """Runs the guest until it reaches address; it is left stopped there."""
        self.continue_to(address)
        self.wait_stop(address)

    def detach(self):
        self.command("D")
        self.sock.close()
