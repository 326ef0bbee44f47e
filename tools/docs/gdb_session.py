"""The gdb sessions the guide shows, run against the image make debug boots: QEMU starts
stopped on a fresh sample disk, gdb attaches as make gdb does, and each command's output is
what gdb prints, with this checkout's path left out of file names.

A session is shown in fenced blocks whose first line starts with "(gdb) "; the blocks of one
page are one session, told in parts. Lines that start so are commands; the lines after one are
its output. A command may end with a comment, two spaces and "# ...", that is shown and not
sent; a comment that says "type `some text`" makes QEMU receive that text and Enter once the
command has let the guest run.
"""

import os
import re
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "system"))
from harness import Qemu, free_port  # noqa: E402

GDB_PROMPT = "(gdb) "
COMMENT = re.compile(r"\s{2,}#\s.*$")
TYPED = re.compile(r"type `([^`]+)`")
STEP_MARK = "@@@ step %d"
STEP = re.compile(r"^@@@ step (\d+)$", re.M)
# Not shown: no line wrapping, no paging and no questions, whatever the terminal; a learner's
# gdb in a wide terminal prints the same lines.
SETTINGS = ["set width 0", "set height 0", "set confirm off"]
SESSION_TIMEOUT = 120.0
POLL = 0.05
KEYBOARD_LINE = 1
HANDLER_BYTES = 4


def is_session(block):
    return block.startswith(GDB_PROMPT)


def steps(block):
    """[(command line as shown, [output lines])] of one session block."""
    found = []
    for line in block.rstrip("\n").split("\n"):
        if line.startswith(GDB_PROMPT):
            found.append((line[len(GDB_PROMPT):], []))
        else:
            found[-1][1].append(line)
    return found


def render(shown, outputs):
    lines = []
    for command, output in zip(shown, outputs):
        lines.append(GDB_PROMPT + command)
        lines += output
    return "\n".join(lines) + "\n"


def _gdb_arguments(elf, port, commands, marks):
    args = ["gdb", "-q", "-nx", elf, "-ex", "target remote 127.0.0.1:%d" % port]
    for setting in SETTINGS:
        args += ["-ex", setting]
    for i, command in enumerate(commands):
        if marks[i]:
            args += ["-ex", "shell touch " + marks[i]]
        args += ["-ex", "echo %s\\n" % (STEP_MARK % i), "-ex", command]
    return args + ["-ex", "echo %s\\n" % (STEP_MARK % len(commands)), "-ex", "detach"]


def _outputs(text, count):
    text = text.replace(ROOT + "/", "")
    parts = STEP.split(text)
    found = {int(parts[i]): parts[i + 1] for i in range(1, len(parts) - 1, 2)}
    outputs = []
    for i in range(count):
        lines = [line.rstrip() for line in found.get(i, "\n(no output: gdb never ran this)\n").split("\n")[1:]]
        while lines and not lines[-1]:
            lines.pop()
        outputs.append(lines)
    return outputs


def _shell_takes_keys(vm):
    """Whether the keyboard's handler is in place: start-up drops the keys that come before."""
    return vm.read_u32(vm.symbol("irq_routines") + KEYBOARD_LINE * HANDLER_BYTES) != 0


def run(elf, blocks):
    """The session's blocks, each with every command's output as gdb prints it now."""
    parts = [steps(block) for block in blocks]
    shown = [command for part in parts for command, _ in part]
    commands = [COMMENT.sub("", command) for command in shown]
    typed = [TYPED.search(command) for command in shown]
    with tempfile.TemporaryDirectory() as work:
        disk = os.path.join(work, "disk.img")
        subprocess.run([os.path.join(ROOT, "tools", "make-disk.sh"), disk], check=True)
        marks = [os.path.join(work, "step%d" % i) if t else None for i, t in enumerate(typed)]
        port = free_port()
        with Qemu(kernel=elf, disk=disk, paused=True, extra_args=["-gdb", "tcp:127.0.0.1:%d" % port]) as vm:
            gdb = subprocess.Popen(_gdb_arguments(elf, port, commands, marks), cwd=ROOT, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            held = []
            try:
                for mark, text in ((m, t.group(1)) for m, t in zip(marks, typed) if t):
                    # QEMU takes keys only while gdb lets the guest run; Enter is held until
                    # gdb has let go of the guest for good, since the stop comes before its
                    # release could be read.
                    vm.wait_until(lambda: gdb.poll() is not None or
                                  (os.path.exists(mark) and vm.qmp("query-status")["running"]
                                   and _shell_takes_keys(vm)),
                                  SESSION_TIMEOUT, "gdb to let the guest run to the shell")
                    if gdb.poll() is not None:
                        break
                    vm.type(text)
                    vm.key_down("ret")
                    held.append("ret")
                try:
                    output = gdb.communicate(timeout=SESSION_TIMEOUT)[0]
                except subprocess.TimeoutExpired:
                    # A command that never came back: what gdb printed so far shows which.
                    gdb.kill()
                    output = gdb.communicate()[0]
            finally:
                if gdb.poll() is None:
                    gdb.kill()
                    gdb.wait()
            for key in held:
                time.sleep(POLL)
                vm.key_up(key)
    outputs = _outputs(output, len(commands))
    rendered, at = [], 0
    for part in parts:
        rendered.append(render([command for command, _ in part], outputs[at:at + len(part)]))
        at += len(part)
    return rendered
