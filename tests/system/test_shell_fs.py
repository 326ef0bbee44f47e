"""The shell's file commands on the real kernel in QEMU. Files mtools put on the disk are listed
and read back by dir and cat; a session makes, writes, appends, renames, moves and deletes; its
own dir and cat must then show what mtools shows, and fsck.fat find nothing. Every bad input
prints one line and leaves the disk image as it was, byte for byte."""

import hashlib
import os
import re
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Qemu, fsck_clean, make_fat32_image, mtools  # noqa: E402

BOOT_TIMEOUT = 90
COMMAND_TIMEOUT = 60
PROMPT = re.compile(r"^masteruser: (.*) &$")
# A dir line: name, size or <DIR>, date and time.
DIR_LINE = re.compile(r"^(.*\S) +(<DIR>|\d+)  (\d{4}-\d\d-\d\d) (\d\d):(\d\d)$")
# An mdir line: short name and extension, size or <DIR>, date, time, long name.
MDIR_LINE = re.compile(r"^(.{8}) (.{3}) +(<DIR>|\d+) +(\d{4}-\d\d-\d\d) +(\d+):(\d\d) ?(?: (.*))?$")

SCRIPT = b'int -> x = 5\nfunc -> start() [\n    print("sum: ")\n    print_int(x + 2)\n]\n'
BIG = b"".join(b"line %06d of a file over one mebibyte\n" % i for i in range(27000))
FILES = {"big.txt": BIG, "empty.dat": b"", "script.txt": SCRIPT,
         "Nested/Deeper/A file with a long name.txt": b"deep\n"}


def command(vm, line):
    """Types a line and returns the rows printed between it and the next prompt (the screen's
    last rows when the output scrolled past its top)."""
    before = vm.screen_rows()
    vm.type(line + "\n")

    def next_prompt():
        rows = [r.rstrip() for r in vm.screen_rows()]
        row, col = vm.cursor()
        if rows == before or not PROMPT.match(rows[row]) or col != len(rows[row]):
            return None
        typed = max((i for i in range(row) if PROMPT.match(rows[i].split("&")[0] + "&")), default=-1)
        # The typed line may wrap onto further rows.
        first = typed + 1 + (rows[typed].index("&") + 1 + len(line)) // 80 if typed >= 0 else 0
        return [rows[first:row]]
    return vm.wait_until(next_prompt, COMMAND_TIMEOUT, "the prompt after %r" % line)[0]


def kernel_tree(vm, directories):
    """{directory: {name: (size or '<DIR>', 'date hh:mm')}} as the kernel's dir shows them."""
    tree = {}
    for d in directories:
        rows = command(vm, 'dir "%s"' % d)
        tree[d] = {m.group(1): (m.group(2), "%s %s:%s" % m.group(3, 4, 5))
                   for m in map(DIR_LINE.match, rows) if m}
    return tree


def mtools_tree(image):
    """The same from mdir -/."""
    tree, current = {}, None
    for line in mtools(["mdir", "-/"], image).decode("latin-1").splitlines():
        if line.startswith("Directory for ::"):
            current = tree.setdefault(line[len("Directory for ::"):], {})
            continue
        m = MDIR_LINE.match(line)
        if m and current is not None:
            base, ext = m.group(1).rstrip(), m.group(2).rstrip()
            name = m.group(7) or (base + ("." + ext if ext else ""))
            current[name] = (m.group(3), "%s %02d:%s" % (m.group(4), int(m.group(5)), m.group(6)))
    return tree


def text_rows(data):
    return data.decode("latin-1").split("\n")[:-1] if data else []


class SessionAgainstMtools(unittest.TestCase):
    def test_a_session_and_mtools_see_the_same_volume(self):
        with tempfile.TemporaryDirectory() as tmp:
            disk = make_fat32_image(os.path.join(tmp, "disk.img"), dirs=("Nested", "Nested/Deeper"), files=FILES)
            pristine = mtools_tree(disk)
            with Qemu(disk=disk) as vm:
                vm.wait_for_text("masteruser: / &", timeout=BOOT_TIMEOUT)
                before = kernel_tree(vm, ["/", "/Nested", "/Nested/Deeper"])
                # What mtools wrote, read back: the big file's last rows stay on the screen.
                self.assertEqual(command(vm, "cat big.txt")[-20:], text_rows(BIG)[-20:])
                self.assertEqual(command(vm, 'cat "nested/deeper/A FILE with a long name.txt"'), ["deep"])
                self.assertEqual(command(vm, "cat empty.dat"), [])
                self.assertEqual(command(vm, "run script.txt"),
                                 ["Variable declared: x = 5", "Function declared: start (parameters: 0)",
                                  "sum:", "7"])
                session = [
                    "mkdir work", "cd work", "write notes.txt first line", "append notes.txt second line",
                    'write "Long name with spaces.txt" a b', "mkdir sub", "mv notes.txt sub",
                    'mv "Long name with spaces.txt" renamed.txt', "write doomed.txt x", "rm doomed.txt",
                    "mkdir gone", "rmdir gone", "cd ..", "mv work/sub /Nested", "append empty.dat now filled",
                    "mv big.txt Nested/Deeper/big.txt",
                ]
                for line in session:
                    self.assertEqual(command(vm, line), [], line)
                self.assertEqual(command(vm, "pwd"), ["/"])
                directories = ["/", "/Nested", "/Nested/Deeper", "/Nested/sub", "/work"]
                after = kernel_tree(vm, directories)
                reads = {path: command(vm, 'cat "%s"' % path)
                         for path in ["/Nested/sub/notes.txt", "/work/renamed.txt", "/empty.dat"]}
                # Every command ran on the 8 KiB boot stack, inside the keyboard interrupt.
                self.assertLess(vm.stack_high_water(), 4096)
            self.assertEqual(before, {d: pristine[d] for d in before})
            clean, report = fsck_clean(disk)
            self.assertTrue(clean, report)
            seen = mtools_tree(disk)
            self.assertEqual(after, {d: seen[d] for d in directories})
            for path, rows in reads.items():
                self.assertEqual(rows, text_rows(mtools(["mtype", "::" + path], disk)), path)
            self.assertEqual(mtools(["mtype", "::/Nested/Deeper/big.txt"], disk), BIG)
            self.assertEqual(before["/Nested/Deeper"]["A file with a long name.txt"][0], "5")
            self.assertEqual(before["/"]["big.txt"][0], str(len(BIG)))


LONG_NAME = "n" * 256
LONG_PATH = "/".join(["abcdefgh"] * 32)
# (line, the one line it prints); the lines without an answer only set up the next ones.
BAD_INPUT = [
    ("cat nothing.txt", "cat: error: nothing.txt does not exist"),
    ("cd nowhere", "cd: error: nowhere does not exist"),
    ("dir nowhere/deeper", "dir: error: nowhere does not exist"),
    ("rm Nested/none.txt", "rm: error: Nested/none.txt does not exist"),
    ("mv none.txt x.txt", "mv: error: none.txt does not exist"),
    ("write none/x.txt hi", "write: error: none does not exist"),
    ("cd script.txt", "cd: error: script.txt is not a directory"),
    ("dir script.txt", "dir: error: script.txt is not a directory"),
    ("rmdir script.txt", "rmdir: error: script.txt is not a directory"),
    ("cat script.txt/x", "cat: error: script.txt is not a directory"),
    ("cat Nested", "cat: error: Nested is a directory"),
    ("rm Nested", "rm: error: Nested is a directory"),
    ("run Nested/", "run: error: Nested/ is a directory"),
    ("append Nested text", "append: error: Nested is a directory"),
    ("write script.txt text", "write: error: script.txt already exists"),
    ("mkdir NESTED", "mkdir: error: NESTED already exists"),
    ("mv script.txt EMPTY.DAT", "mv: error: EMPTY.DAT already exists"),
    ("mv Nested Nested/Deeper", "mv: error: Nested cannot move into itself"),
    ("rmdir Nested", "rmdir: error: Nested is a directory that is not empty"),
    ("write %s x" % LONG_NAME, "write: error: a name is longer than 255 characters"),
    ("write a*b.txt x", "write: error: a*b.txt is not a valid name"),
    ('mkdir "a:b"', "mkdir: error: a:b is not a valid name"),
    ("cd " + LONG_PATH, "cd: error: the path is longer than 255 characters"),
    ('cat "no end', "cat: error: a double quote is not closed"),
    ("cat", "Usage: cat PATH"),
    ("write x.txt", "Usage: write PATH TEXT..."),
    ("append x.txt", "Usage: append PATH TEXT..."),
    ("rm", "Usage: rm PATH"),
    ("mkdir", "Usage: mkdir PATH"),
    ("rmdir", "Usage: rmdir PATH"),
    ("mv a", "Usage: mv FROM TO"),
    ("run", "Usage: run PATH"),
    ("dir a b", "Usage: dir [PATH]"),
    ("cd Nested/Deeper", None),
    ("rmdir .", "rmdir: error: . cannot be removed"),
    ("rmdir /Nested/Deeper", "rmdir: error: /Nested/Deeper is the current directory or holds it"),
    ("mv /Nested /moved", "mv: error: /Nested is the current directory or holds it"),
]


def digest(path):
    with open(path, "rb") as f:
        return hashlib.md5(f.read()).hexdigest()


class BadInput(unittest.TestCase):
    def test_each_bad_input_prints_one_line_and_leaves_the_image_as_it_was(self):
        with tempfile.TemporaryDirectory() as tmp:
            disk = make_fat32_image(os.path.join(tmp, "disk.img"), dirs=("Nested", "Nested/Deeper"),
                                    files={name: data for name, data in FILES.items() if name != "big.txt"})
            with Qemu(disk=disk) as vm:
                vm.wait_for_text("masteruser: / &", timeout=BOOT_TIMEOUT)
                untouched = digest(disk)
                for line, says in BAD_INPUT:
                    with self.subTest(line=line[:40]):
                        expected = [says[i:i + 80].rstrip() for i in range(0, len(says), 80)] if says else []
                        self.assertEqual(command(vm, line), expected)
                        self.assertEqual(digest(disk), untouched)
            clean, report = fsck_clean(disk)
            self.assertTrue(clean, report)


if __name__ == "__main__":
    unittest.main()
