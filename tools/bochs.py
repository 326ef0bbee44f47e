#!/usr/bin/env python3
"""Boots a Tavix ISO in Bochs, the second PC model Tavix is tested on.

    tools/bochs.py build/tavix.iso [disk.img]

opens a Bochs window on a PC with 1024 MB, a Pentium, the ISO as a CD-ROM on the secondary
master and the raw disk image (if given) as the primary master; closing the window ends it.

The tests import it and call run(), which boots without a window and returns what the
machine wrote to port 0xE9 and the text screen at the end. Bochs has no device that ends the
emulator from inside, so its debugger stops the machine instead: at HaltKernel, where the
processor waits once start-up (and with it the test image's run) is over, and at the start of
halt_forever, where a panic or a failed start-up check stops it for good. Each stop saves the
screen. Standard library only.
"""

import collections
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

BOCHS = "bochs"
BIOS = "/usr/share/bochs/BIOS-bochs-latest"
VGA_BIOS = "/usr/share/vgabios/vgabios.bin"
# The window-less display (package bochs-sdl) draws into SDL's dummy video driver.
SDL_PLUGIN_PATTERN = "/usr/lib/*/bochs/plugins/libbx_sdl2_gui.so*"
MEMORY_MB = 1024
CPU_MODEL = "pentium"

TEXT_BUFFER = 0xB8000
SCREEN_COLUMNS = 80
SCREEN_ROWS = 25
SCREEN_BYTES = SCREEN_COLUMNS * SCREEN_ROWS * 2

# Symbols of the image where the debugger stops it (nm -C names).
START_UP_OVER = "HaltKernel"
STOPPED_FOR_GOOD = "tavix::hw::halt_forever()"
# Address breakpoints slow Bochs down by a third, and the boot loader spends some 2.1 G
# instructions zero-filling the kernel's 979 MiB before the kernel runs (running code of its
# own at the kernel's addresses early on). So they are set only after this many instructions;
# a HaltKernel reached before that is passed again on every timer tick.
LOADER_INSTRUCTIONS = 2000000000
# The halt loop passes HaltKernel once a timer tick; this many stops end the run.
DEBUGGER_STOPS = 20
# What Bochs logs when the processor halts with interrupts off: it never runs again.
HALTED_FOR_GOOD = "HLT instruction with IF=0"
POLL_INTERVAL = 0.2        # seconds between two looks at the log
QUIT_TIMEOUT = 5.0

Result = collections.namedtuple("Result", "console screen seconds halted")


def missing():
    """Why Bochs cannot run here, or None when it can."""
    if shutil.which(BOCHS) is None:
        return "no %s program (packages bochs, bochsbios, vgabios, bochs-sdl)" % BOCHS
    for path in (BIOS, VGA_BIOS):
        if not os.path.exists(path):
            return "no %s (packages bochsbios, vgabios)" % path
    if not glob.glob(SDL_PLUGIN_PATTERN):
        return "no SDL2 display for Bochs (package bochs-sdl)"
    return None


def config(iso, disk, log):
    lines = [
        "megs: %d" % MEMORY_MB,
        "cpu: model=%s" % CPU_MODEL,
        "romimage: file=%s" % BIOS,
        "vgaromimage: file=%s" % VGA_BIOS,
        "ata0: enabled=1, ioaddr1=0x1f0, ioaddr2=0x3f0, irq=14",
        "ata1: enabled=1, ioaddr1=0x170, ioaddr2=0x370, irq=15",
        "ata1-master: type=cdrom, path=%s, status=inserted" % os.path.abspath(iso),
        "boot: cdrom",
        "display_library: sdl2",
        "speaker: enabled=0",
        "port_e9_hack: enabled=1",
        "log: %s" % log,
    ]
    if disk is not None:
        lines.append("ata0-master: type=disk, path=%s, mode=flat" % os.path.abspath(disk))
    return "\n".join(lines) + "\n"


def symbol_addresses(kernel, names):
    out = subprocess.run(["nm", "-C", kernel], check=True, capture_output=True, text=True).stdout
    table = {}
    for line in out.splitlines():
        fields = line.split(None, 2)
        if len(fields) == 3:
            table[fields[2]] = int(fields[0], 16)
    return [table[name] for name in names]


def debugger_script(kernel, screen_path):
    commands = ["sb %d" % LOADER_INSTRUCTIONS, "c"]
    commands += ["lb 0x%x" % address for address in symbol_addresses(kernel, (START_UP_OVER, STOPPED_FOR_GOOD))]
    for _ in range(DEBUGGER_STOPS):
        commands += ["c", 'writemem "%s" 0x%x %d' % (screen_path, TEXT_BUFFER, SCREEN_BYTES)]
    return "\n".join(commands + ["quit"]) + "\n"


def screen_rows(data):
    text = data[0::2].replace(b"\0", b" ").decode("cp437")
    return [text[r * SCREEN_COLUMNS:(r + 1) * SCREEN_COLUMNS].rstrip() for r in range(SCREEN_ROWS)]


def _end(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(QUIT_TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def run(iso, kernel, disk=None, timeout=300):
    """Boots iso without a window until start-up is over or the machine stops for good.

    kernel is the ELF image on the ISO (for the addresses to stop at). Returns the port 0xE9
    output with Bochs's own console lines, the screen rows at the last stop, the seconds it
    took and whether the processor halted for good. Fails after timeout seconds.
    """
    work = tempfile.mkdtemp(prefix="tavix-bochs-")
    try:
        paths = {name: os.path.join(work, name) for name in ("bochsrc", "script", "screen", "log", "console")}
        with open(paths["bochsrc"], "w") as f:
            f.write(config(iso, disk, paths["log"]))
        with open(paths["script"], "w") as f:
            f.write(debugger_script(kernel, paths["screen"]))
        env = dict(os.environ, SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="dummy")
        started = time.monotonic()
        with open(paths["console"], "wb") as console:
            proc = subprocess.Popen([BOCHS, "-q", "-unlock", "-f", paths["bochsrc"], "-rc", paths["script"]],
                                    stdin=subprocess.DEVNULL, stdout=console, stderr=subprocess.DEVNULL, env=env)
        halted = False
        try:
            while proc.poll() is None and not halted:
                if time.monotonic() - started > timeout:
                    raise AssertionError("Bochs still running after %ss; its log ends:\n%s"
                                         % (timeout, _tail(paths["log"])))
                time.sleep(POLL_INTERVAL)
                halted = HALTED_FOR_GOOD in _read(paths["log"])
        finally:
            _end(proc)
        seconds = time.monotonic() - started
        screen = _read(paths["screen"], binary=True)
        if len(screen) != SCREEN_BYTES:
            raise AssertionError("Bochs never stopped in the kernel; its log ends:\n%s" % _tail(paths["log"]))
        return Result(_read(paths["console"]), screen_rows(screen), seconds, halted)
    finally:
        if not os.environ.get("TAVIX_KEEP_TMP"):
            shutil.rmtree(work, ignore_errors=True)


def _read(path, binary=False):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        data = b""
    return data if binary else data.decode("latin-1")


def _tail(path, lines=15):
    return "\n".join(_read(path).splitlines()[-lines:])


def main(argv):
    if len(argv) not in (2, 3):
        print("usage: %s <image.iso> [disk.img]" % argv[0], file=sys.stderr)
        return 2
    reason = missing()
    if reason:
        print("error: " + reason, file=sys.stderr)
        return 1
    # Without a display, SDL cannot open the window and Bochs ends in a panic that names no cause.
    if not os.environ.get("DISPLAY") and not os.environ.get("WAYLAND_DISPLAY"):
        print("error: Bochs opens a window and there is no display here (DISPLAY is not set); run this in a"
              " graphical session, or boot Bochs without a window through its tests: cd build/host && ctest -L bochs", file=sys.stderr)
        return 1
    iso, disk = argv[1], (argv[2] if len(argv) == 3 else None)
    with tempfile.TemporaryDirectory(prefix="tavix-bochs-") as work:
        bochsrc = os.path.join(work, "bochsrc")
        script = os.path.join(work, "script")
        with open(bochsrc, "w") as f:
            f.write(config(iso, disk, os.path.join(work, "log")))
        # Without a script the debugger waits for a command before the machine starts.
        with open(script, "w") as f:
            f.write("c\nquit\n")
        return subprocess.call([BOCHS, "-q", "-unlock", "-f", bochsrc, "-rc", script])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
