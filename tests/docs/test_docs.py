"""README.md and the guide in docs/ against the build: every quoted figure, gdb session and
drawn picture matches it, every step list beside a picture has its count and order, every file
and routine they name exists, no page is too long, every shell session they show is what the
booted kernel prints, and every exercise, applied to a copy of the tree, builds and shows the
screen its page promises."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "system"))
sys.path.insert(0, os.path.join(ROOT, "tools", "docs"))
from harness import Qemu, fsck_clean, image_path  # noqa: E402
import gdb_session  # noqa: E402
import make_docs  # noqa: E402
from pages import FENCE, exercises, pages, read, session_steps, sessions, step_list_problems, type_session  # noqa: E402

MAKE_DOCS = os.path.join(ROOT, "tools", "docs", "make_docs.py")
EXERCISES = os.path.join(ROOT, "tools", "docs", "exercises.py")
COMMAND_TIMEOUT = 20
# Ten minutes at the 230 words a minute of an ordinary reader; code and sessions not counted.
MAX_PROSE_WORDS = 2300
# A module may be named without its extension, as the README's layer list does.
MODULE_SUFFIXES = ("", ".cpp", ".hpp")

BACKTICKED = re.compile(r"`([^`\n]+)`")
ROUTINE = re.compile(r"^((?:\w+::)*\w+)\(\)$")
PATH = re.compile(r"^[\w.-]+(/[\w.-]+)*/?$")
LINK = re.compile(r"\]\(([^)#\s]+)\)")


def in_tree(path):
    """A path into this repository's sources: its first part is there, and is not the build."""
    first = path.split("/")[0]
    return first != "build" and os.path.exists(os.path.join(ROOT, first))


def check_docs(pages_root):
    return subprocess.run([sys.executable, MAKE_DOCS, "--check", "--pages", pages_root],
                          capture_output=True, text=True)


def copy_of_the_pages(tree):
    shutil.copytree(os.path.join(ROOT, "docs"), os.path.join(tree, "docs"))
    shutil.copy(os.path.join(ROOT, "README.md"), tree)


def rewrite(path, pattern, replacement):
    with open(path) as f:
        text = f.read()
    changed = re.sub(pattern, replacement, text, count=1, flags=re.S | re.M)
    assert changed != text, pattern
    with open(path, "w") as f:
        f.write(changed)


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


class Figures(unittest.TestCase):
    """make docs --check: every figure, gdb session, picture and step list against the build."""

    def test_every_figure_and_picture_matches_the_build(self):
        result = check_docs(ROOT)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_each_kind_of_stale_claim_is_found(self):
        with tempfile.TemporaryDirectory() as tree:
            copy_of_the_pages(tree)
            docs = os.path.join(tree, "docs")
            memory = os.path.join(docs, "memory.md")
            rewrite(memory, r"0x[0-9A-F]{8}(`?<!--mem\.stack_bottom-->)", r"0x00000000\1")
            heap = int(re.search(r"0x([0-9A-F]{8})`?<!--mem.heap-->", read(memory)).group(1), 16)
            with open(memory, "a") as f:
                f.write("\nA stale address: `0x%08X`.\n" % (heap + 4))
            rewrite(os.path.join(docs, "fat32.md"), r"[0-9,]+(<!--disk\.fat2-->)", r"7\1")
            # A file's size a tenth too large, a count of interrupts off by one, what gdb prints
            # changed by hand, a write missing from the list beside its picture, and a start-up
            # step that claims a line the boot screen does not show.
            rewrite(os.path.join(docs, "boot.md"), r"(\d+)(<!--mem\.elf_kib-->)",
                    lambda m: str(int(m.group(1)) * 11 // 10) + m.group(2))
            rewrite(os.path.join(docs, "keyboard-and-shell.md"), r"(\d+)(<!--key\.interrupts-->)",
                    lambda m: str(int(m.group(1)) - 1) + m.group(2))
            rewrite(os.path.join(docs, "tests.md"), r"in irq_common_stub \(\)", "in isr_common_stub ()")
            rewrite(os.path.join(docs, "fat32.md"), r"^2\. \*\*sector .*?(?=^3\. )", "")
            rewrite(os.path.join(docs, "boot.md"), r'prints nothing: it sets up', 'prints "Config: ready": it sets up')
            with open(os.path.join(docs, "figures", "sample-disk.svg"), "a") as f:
                f.write("<!-- drawn by hand -->\n")
            result = check_docs(tree)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        for complaint in ("mem.stack_bottom is 0x00000000 here", "disk.fat2 is 7 here", "mem.elf_kib is",
                          "key.interrupts is", "the gdb session that begins", "mkhello-writes.svg the steps are",
                          "'Config: ready' is not on the boot screen", "has no figure name",
                          "sample-disk.svg differs"):
            self.assertIn(complaint, result.stdout)


class Pages(unittest.TestCase):
    def test_every_file_and_routine_named_exists(self):
        routines = defined_routines()
        for page in pages(ROOT):
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
        for page in pages(ROOT):
            prose = FENCE.sub("", read(page))
            prose = "\n".join(line for line in prose.split("\n") if not line.startswith("    "))
            words = len(re.sub(r"<!--.*?-->", "", prose).split())
            self.assertLessEqual(words, MAX_PROSE_WORDS, page)


class Reading(unittest.TestCase):
    """How the tools read a page: sessions, exercises and the lists beside pictures."""

    PAGE = """# A page

![The writes](figures/w.svg)

1. **sector 32**: the first,
   continued.
2. **sector 1,041**: the second.

Some prose between.

1. A list that is not beside the picture.

## Exercises

### One

```diff
+a change
```

```text
masteruser: / &crash
--< Kernel panic >--
```

### Two

```text
masteruser: /DOCS &pwd
/DOCS
masteruser: /DOCS &
```
"""
    ROWS = '<text>1. sector 32: FAT copy 1</text><text>2. sector 1,041: FAT copy 2</text>'

    def test_sessions_and_exercises(self):
        self.assertEqual(sessions(self.PAGE), [])
        found = exercises(self.PAGE)
        self.assertEqual([title for title, _ in found], ["One", "Two"])
        self.assertEqual([info for info, _ in found[0][1]], ["diff", "text"])
        steps, at_prompt = session_steps(found[0][1][1][1])
        self.assertEqual((steps[-1][1], steps[-1][2], at_prompt), ("crash", ["--< Kernel panic >--"], False))
        steps, at_prompt = session_steps(found[1][1][0][1])
        self.assertEqual((steps, at_prompt), ([("masteruser: /DOCS &pwd", "pwd", ["/DOCS"])], True))
        with self.assertRaises(AssertionError):
            sessions(found[0][1][1][1].join(["```text\n", "```\n"]))

    def test_a_step_list_against_its_picture(self):
        self.assertEqual(step_list_problems("p", self.PAGE, {"w.svg": self.ROWS}, []), [])
        swapped = self.ROWS.replace("32", "2,050")
        self.assertEqual(step_list_problems("p", self.PAGE, {"w.svg": swapped}, []),
                         ["p: beside w.svg step 1 does not name 'sector 2,050'"])
        third = self.ROWS + "<text>3. sector 1: FSInfo</text>"
        self.assertIn("the steps are numbered [1, 2], the picture's rows [1, 2, 3]",
                      step_list_problems("p", self.PAGE, {"w.svg": third}, [])[0])
        boot = '![Boot](boot-screen.png)\n\n1. It prints "B" first.\n2. It prints "A".\n'
        self.assertEqual(step_list_problems("p", boot, {}, ["A", "B", "A"]), [])
        self.assertEqual(step_list_problems("p", boot, {}, ["B", "C"]),
                         ["p: 'A' is not on the boot screen after its row 1"])


class GdbAndFigures(unittest.TestCase):
    """What the tools make of gdb's output, and when a rounded figure still holds."""

    def test_a_session_is_split_by_command_and_shows_the_repository_s_paths(self):
        printed = ("Remote debugging using :1234\n@@@ step 0\nBreakpoint 1 at 0x1: file %s/general/vorn.cpp, line 3.\n"
                   "@@@ step 1\n\nBreakpoint 1, f () at %s/general/vorn.cpp:3\n3\t    int x;\n\n@@@ step 3\n"
                   % (ROOT, ROOT))
        self.assertEqual(gdb_session._outputs(printed, 3), [
            ["Breakpoint 1 at 0x1: file general/vorn.cpp, line 3."],
            ["", "Breakpoint 1, f () at general/vorn.cpp:3", "3\t    int x;"],
            ["(no output: gdb never ran this)"]])
        block = "(gdb) break f\nold output\n(gdb) continue  # then type `echo hi` in QEMU\n"
        shown = [command for command, _ in gdb_session.steps(block)]
        self.assertEqual(shown, ["break f", "continue  # then type `echo hi` in QEMU"])
        self.assertEqual(gdb_session.COMMENT.sub("", shown[1]), "continue")
        self.assertEqual(gdb_session.TYPED.search(shown[1]).group(1), "echo hi")

    def test_a_rounded_figure_holds_within_its_margin_and_an_exact_one_only_exactly(self):
        for name, quoted, built, holds in (("mem.elf_kib", "412", "420", True), ("mem.elf_kib", "462", "420", False),
                                           ("mem.elf_kib", "about", "420", False), ("mem.loaded_kib", "75", "74", False),
                                           ("disk.fat2", "1,041", "1,041", True)):
            self.assertEqual(make_docs.close_enough(name, quoted, built), holds, (name, quoted, built))


class Exercises(unittest.TestCase):
    """tools/docs/exercises.py: every exercise applied to a copy of the tree, built and its
    screens checked."""

    def test_every_exercise_builds_and_shows_its_screen(self):
        result = subprocess.run([sys.executable, EXERCISES], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_an_exercise_whose_screen_changed_is_found(self):
        with tempfile.TemporaryDirectory() as tree:
            copy_of_the_pages(tree)
            page = os.path.join("docs", "interrupts.md")
            rewrite(os.path.join(tree, page), r"^\d+ keyboard interrupts$", "8 keyboard interrupts")
            result = subprocess.run([sys.executable, EXERCISES, "--pages", tree, "--page", page],
                                    capture_output=True, text=True)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertIn("ok     docs/interrupts.md, Time a command", result.stdout)
        self.assertIn("FAILED docs/interrupts.md, Count the keyboard's interrupts: irqs printed", result.stdout)


class Sessions(unittest.TestCase):
    """Each page's sessions are typed in one boot on a fresh sample disk, in page order, so a
    page reads as one story; the disk must be clean for fsck.fat afterwards."""

    def test_every_session_shown_is_what_the_kernel_prints(self):
        shown = [(page, s) for page in pages(ROOT) for s in [sessions(read(page))] if s]
        self.assertTrue(shown, "no page shows a session")
        for page, page_sessions in shown:
            with tempfile.TemporaryDirectory() as work:
                disk = os.path.join(work, "disk.img")
                subprocess.run([os.path.join(ROOT, "tools", "make-disk.sh"), disk], check=True)
                with Qemu(disk=disk) as vm:
                    vm.wait_for_text("masteruser: / &")
                    for steps in page_sessions:
                        self.assertEqual(type_session(vm, steps, True, COMMAND_TIMEOUT), [], page)
                clean, report = fsck_clean(disk)
                self.assertTrue(clean, report)


if __name__ == "__main__":
    unittest.main()
