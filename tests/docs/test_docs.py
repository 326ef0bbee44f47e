"""README.md and the guide in docs/ against the build: every quoted figure and drawn picture
matches it, every file and routine they name exists, no page is too long, and every shell
session they show is what the booted kernel prints."""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "system"))
from harness import Qemu, fsck_clean, image_path  # noqa: E402

MAKE_DOCS = os.path.join(ROOT, "tools", "docs", "make_docs.py")
# The prompt, with the shell's current directory.
PROMPT = re.compile(r"^masteruser: (/[^&]*) &")
COMMAND_TIMEOUT = 20
# Ten minutes at the 230 words a minute of an ordinary reader; code and sessions not counted.
MAX_PROSE_WORDS = 2300
# A module may be named without its extension, as the README's layer list does.
MODULE_SUFFIXES = ("", ".cpp", ".hpp")

FENCE = re.compile(r"^```[^\n]*\n(.*?)^```", re.S | re.M)
BACKTICKED = re.compile(r"`([^`\n]+)`")
ROUTINE = re.compile(r"^((?:\w+::)*\w+)\(\)$")
PATH = re.compile(r"^[\w.-]+(/[\w.-]+)*/?$")
LINK = re.compile(r"\]\(([^)#\s]+)\)")


def pages():
    return [os.path.join(ROOT, "README.md")] + sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))


def read(path):
    with open(path) as f:
        return f.read()


def in_tree(path):
    """A path into this repository's sources: its first part is there, and is not the build."""
    first = path.split("/")[0]
    return first != "build" and os.path.exists(os.path.join(ROOT, first))


def check_docs(pages_root):
    return subprocess.run([sys.executable, MAKE_DOCS, "--check", "--pages", pages_root],
                          capture_output=True, text=True)


def defined_routines():
    """Qualified name endings of every routine in the unoptimised image, where none is inlined
    away: {"kentr", "tavix::execute_vorn", "execute_vorn", "hw::text_buffer", ...}."""
    out = subprocess.run(["nm", "-C", image_path(os.path.join("debug", "tavix.elf"))], check=True,
                         capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        fields = line.split(None, 2)
        if len(fields) == 3 and fields[1] in "tTW":
            parts = fields[2].replace("(anonymous namespace)::", "").split("(")[0].split("::")
            names.update("::".join(parts[i:]) for i in range(len(parts)))
    return names


def sessions(text):
    """[(line typed, [lines printed])] of each fenced block that shows a session."""
    found = []
    for block in FENCE.findall(text):
        lines = block.rstrip("\n").split("\n")
        if not PROMPT.match(lines[0]):
            continue
        steps = []
        for line in lines:
            prompt = PROMPT.match(line)
            if prompt:
                steps.append((line, line[prompt.end():], []))
            else:
                steps[-1][2].append(line)
        if steps[-1][1] != "" or steps[-1][2]:
            raise AssertionError("a session must end with the bare prompt:\n" + block)
        found.append(steps[:-1])
    return found


def printed_by_last(vm, line):
    """[what the screen shows between the last `line` (prompt and typed text) and the prompt
    after it], once that prompt is the last thing on the screen; None before."""
    rows = [r.rstrip() for r in vm.screen_rows()]
    while rows and not rows[-1]:
        rows.pop()
    if not rows or not PROMPT.match(rows[-1]) or PROMPT.match(rows[-1]).end() != len(rows[-1]):
        return None
    lines = [i for i, r in enumerate(rows[:-1]) if r == line.rstrip()]
    return [rows[lines[-1] + 1:-1]] if lines else None


class Figures(unittest.TestCase):
    def test_every_figure_and_picture_matches_the_build(self):
        result = check_docs(ROOT)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_a_changed_address_sector_or_picture_is_found(self):
        with tempfile.TemporaryDirectory() as tree:
            shutil.copytree(os.path.join(ROOT, "docs"), os.path.join(tree, "docs"))
            shutil.copy(os.path.join(ROOT, "README.md"), tree)
            memory = os.path.join(tree, "docs", "memory.md")
            text = read(memory)
            text = re.sub(r"0x[0-9A-F]{8}(`?<!--mem\.stack_bottom-->)", r"0x00000000\1", text)
            text += "\nA stale address: `0x%08X`.\n" % (int(re.search(r"0x([0-9A-F]{8})`?<!--mem.heap-->",
                                                                    text).group(1), 16) + 4)
            with open(memory, "w") as f:
                f.write(text)
            fat = os.path.join(tree, "docs", "fat32.md")
            text = re.sub(r"[0-9,]+(<!--disk\.fat2-->)", r"7\1", read(fat))
            with open(fat, "w") as f:
                f.write(text)
            with open(os.path.join(tree, "docs", "figures", "sample-disk.svg"), "a") as f:
                f.write("<!-- drawn by hand -->\n")
            result = check_docs(tree)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        for complaint in ("mem.stack_bottom is 0x00000000 here", "disk.fat2 is 7 here",
                          "has no figure name", "sample-disk.svg differs"):
            self.assertIn(complaint, result.stdout)


class Pages(unittest.TestCase):
    def test_every_file_and_routine_named_exists(self):
        routines = defined_routines()
        for page in pages():
            text = read(page)
            for token in BACKTICKED.findall(FENCE.sub("", text)):
                routine = ROUTINE.match(token)
                if routine:
                    self.assertTrue(routine.group(1) in routines, "%s names %s" % (page, token))
                elif PATH.match(token) and "/" in token and in_tree(token):
                    self.assertTrue(any(os.path.exists(os.path.join(ROOT, token + s)) for s in MODULE_SUFFIXES),
                                    "%s names %s" % (page, token))
            for target in LINK.findall(text):
                if "://" not in target:
                    self.assertTrue(os.path.exists(os.path.join(os.path.dirname(page), target)),
                                    "%s links to %s" % (page, target))

    def test_no_page_takes_more_than_ten_minutes_to_read(self):
        for page in pages():
            prose = FENCE.sub("", read(page))
            prose = "\n".join(line for line in prose.split("\n") if not line.startswith("    "))
            words = len(re.sub(r"<!--.*?-->", "", prose).split())
            self.assertLessEqual(words, MAX_PROSE_WORDS, page)


class Sessions(unittest.TestCase):
    """Each page's sessions are typed in one boot on a fresh sample disk, in page order, so a
    page reads as one story; the disk must be clean for fsck.fat afterwards."""

    def test_every_session_shown_is_what_the_kernel_prints(self):
        shown = [(page, s) for page in pages() for s in [sessions(read(page))] if s]
        self.assertTrue(shown, "no page shows a session")
        for page, page_sessions in shown:
            with tempfile.TemporaryDirectory() as work:
                disk = os.path.join(work, "disk.img")
                subprocess.run([os.path.join(ROOT, "tools", "make-disk.sh"), disk], check=True)
                with Qemu(disk=disk) as vm:
                    vm.wait_for_text("masteruser: / &")
                    for steps in page_sessions:
                        for line, typed, printed in steps:
                            vm.type(typed + "\n")
                            screen = vm.wait_until(lambda: printed_by_last(vm, line), COMMAND_TIMEOUT,
                                                   "the prompt after " + typed)
                            self.assertEqual(screen[0], printed, "%s: %s" % (page, typed))
                clean, report = fsck_clean(disk)
                self.assertTrue(clean, report)


if __name__ == "__main__":
    unittest.main()
