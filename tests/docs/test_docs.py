"""README.md and the guide in docs/ against the build: every quoted figure, gdb session and
drawn picture matches it, every step list beside a picture has its count and order, every file
and routine they name exists, no page is too long, every shell session they show is what the
booted kernel prints, and every exercise, applied to a copy of the tree, builds and shows the
screen its page promises."""

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
FENCED = re.compile(r"^```([^\n]*)\n(.*?)^```", re.S | re.M)
EXERCISES = re.compile(r"^## Exercises\n(.*?)(?=^## |\Z)", re.S | re.M)
EXERCISE = re.compile(r"^### (.*)\n", re.M)
# A page that only explains the others or only defines words has nothing to change.
NO_EXERCISES = ("README.md", "glossary.md")
# A block of build output that an exercise expects: its first line is the command.
BUILD_COMMAND = "$ make"
DIFF_TARGET = re.compile(r"^\+\+\+ b/(\S+)$", re.M)
ADDED_NAME = re.compile(r"^\+.*?\b(\w+)\(", re.M)
IMAGE = re.compile(r"!\[[^\]]*\]\(([^)]+)\)")
LIST_ITEM = re.compile(r"^(\d+)\. (.*(?:\n(?: {3,}|\t).*)*)", re.M)
FIGURE_ROW = re.compile(r">(\d+)\. ([^:<]+):")
PRINTS = re.compile(r'prints "([^"]+)"')
BOOT_SCREEN = "boot-screen.png"
BUILD_TIMEOUT = 600
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


def session_steps(block):
    """([(prompt line, line typed, [lines printed])], whether the shell is left at its bare
    prompt) of a block that shows a session, else None. A session that does not end at the
    prompt shows a last command that stops the shell (a panic) and what stays on the screen."""
    lines = block.rstrip("\n").split("\n")
    if not PROMPT.match(lines[0]):
        return None
    steps = []
    for line in lines:
        prompt = PROMPT.match(line)
        if prompt:
            steps.append((line, line[prompt.end():], []))
        else:
            steps[-1][2].append(line)
    at_prompt = steps[-1][1] == "" and not steps[-1][2]
    return (steps[:-1] if at_prompt else steps), at_prompt


def sessions(text):
    """[(line typed, [lines printed])] of each fenced block that shows a session on the kernel
    as it is, the exercises' sessions left out."""
    found = []
    for block in FENCE.findall(EXERCISES.sub("", text)):
        session = session_steps(block)
        if session is None:
            continue
        if not session[1]:
            raise AssertionError("a session must end with the bare prompt:\n" + block)
        found.append(session[0])
    return found


def exercises(text):
    """[(title, [(info string, block)])] of the page's exercises, in page order."""
    section = EXERCISES.search(text)
    if not section:
        return []
    parts = EXERCISE.split(section.group(1))
    return [(parts[i], FENCED.findall(parts[i + 1])) for i in range(1, len(parts), 2)]


def exercise_names(text):
    """Routines the page's exercises add: their names may be named before they exist."""
    return {name for _, blocks in exercises(text) for info, block in blocks if info == "diff"
            for name in ADDED_NAME.findall(block)}


def lists_beside_images(text):
    """[(image path, [(number, item text)])]: the first numbered list after each image in the
    same section, or else the last one before it."""
    found = []
    for m in IMAGE.finditer(text):
        section_start = text.rfind("\n## ", 0, m.start())
        section_end = text.find("\n## ", m.end())
        after = text[m.end():section_end if section_end >= 0 else len(text)]
        before = text[max(section_start, 0):m.start()]
        items = LIST_ITEM.findall(FENCE.sub("", after)) or last_list(FENCE.sub("", before))
        found.append((m.group(1), [(int(n), plain(item)) for n, item in items]))
    return found


def last_list(text):
    """The items of the last numbered list in text."""
    lists, current, number = [], [], 0
    for n, item in LIST_ITEM.findall(text):
        if int(n) != number + 1:
            lists.append(current)
            current = []
        current.append((n, item))
        number = int(n)
    lists.append(current)
    return [l for l in lists if l][-1] if any(lists) else []


def plain(markdown):
    """Item text as read: no figure names, code marks, emphasis or line breaks."""
    text = re.sub(r"<!--.*?-->", "", markdown).replace("`", "").replace("*", "")
    return " ".join(text.split())


def step_list_problems(text, page_dir):
    """(problems, lists checked) of the numbered lists beside the page's drawn pictures: the
    same numbers as the picture's rows, and each step naming its row's key."""
    problems, checked = [], 0
    for image, items in lists_beside_images(text):
        path = os.path.join(page_dir, image)
        rows = figure_rows(path) if path.endswith(".svg") else []
        if not rows:
            continue
        checked += 1
        if [n for n, _ in items] != [n for n, _ in rows]:
            problems.append("beside %s: steps numbered %s, the picture's rows %s"
                            % (image, [n for n, _ in items], [n for n, _ in rows]))
            continue
        problems += ["beside %s: step %d does not name %r" % (image, n, key)
                     for (n, item), (_, key) in zip(items, rows) if key not in item]
    return problems, checked


def figure_rows(svg_path):
    """[(number, key)] of a drawing's numbered rows ("3. irq1 at 0x001001AB: ...")."""
    with open(svg_path) as f:
        return [(int(n), key) for n, key in FIGURE_ROW.findall(f.read())]


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
            # A file's size quoted a tenth too large, and a count of interrupts off by one.
            boot = os.path.join(tree, "docs", "boot.md")
            text = re.sub(r"(\d+)(<!--mem\.elf_kib-->)", lambda m: str(int(m.group(1)) * 11 // 10) + m.group(2),
                          read(boot))
            with open(boot, "w") as f:
                f.write(text)
            keys = os.path.join(tree, "docs", "keyboard-and-shell.md")
            text = re.sub(r"(\d+)(<!--key\.interrupts-->)", lambda m: str(int(m.group(1)) - 1) + m.group(2),
                          read(keys))
            with open(keys, "w") as f:
                f.write(text)
            # What gdb prints, changed by hand.
            tests = os.path.join(tree, "docs", "tests.md")
            text = read(tests).replace("in irq_common_stub ()", "in isr_common_stub ()", 1)
            with open(tests, "w") as f:
                f.write(text)
            with open(os.path.join(tree, "docs", "figures", "sample-disk.svg"), "a") as f:
                f.write("<!-- drawn by hand -->\n")
            result = check_docs(tree)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        for complaint in ("mem.stack_bottom is 0x00000000 here", "disk.fat2 is 7 here", "mem.elf_kib is",
                          "key.interrupts is", "the gdb session that begins", "has no figure name",
                          "sample-disk.svg differs"):
            self.assertIn(complaint, result.stdout)


class Pages(unittest.TestCase):
    def test_every_file_and_routine_named_exists(self):
        routines = defined_routines()
        for page in pages():
            text = read(page)
            added = exercise_names(text)
            for token in BACKTICKED.findall(FENCE.sub("", text)):
                routine = ROUTINE.match(token)
                if routine:
                    self.assertTrue(routine.group(1) in routines or routine.group(1) in added,
                                    "%s names %s" % (page, token))
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


class Steps(unittest.TestCase):
    """A numbered list beside a drawn picture names its rows, as many and in the same order;
    beside the boot screen, the lines its steps say they print are on a booted screen in the
    list's order."""

    def test_every_step_list_matches_its_picture(self):
        checked = 0
        for page in pages():
            problems, lists = step_list_problems(read(page), os.path.dirname(page))
            self.assertEqual(problems, [], page)
            checked += lists
        self.assertGreaterEqual(checked, 2, "no step list beside a drawn picture was found")

    def test_a_list_that_lost_or_swapped_a_step_is_found(self):
        fat = os.path.join(ROOT, "docs", "fat32.md")
        text = read(fat)
        lost = re.sub(r"^2\. .*?(?=^3\. )", "", text, count=1, flags=re.S | re.M)
        swapped = re.sub(r"(\d),041(<!--write\.sector\.2-->)", r"\g<1>,042\2", text, count=1)
        for changed, complaint in ((lost, "steps numbered"), (swapped, "does not name")):
            problems, _ = step_list_problems(changed, os.path.dirname(fat))
            self.assertTrue(any(complaint in p for p in problems), problems)

    def test_the_lines_the_start_up_steps_print_are_on_the_boot_screen_in_order(self):
        boot = os.path.join(ROOT, "docs", "boot.md")
        items = next(items for image, items in lists_beside_images(read(boot)) if image == BOOT_SCREEN)
        printed = [line for _, item in items for line in PRINTS.findall(item)]
        self.assertGreaterEqual(len(printed), 4, items)
        with tempfile.TemporaryDirectory() as work:
            disk = os.path.join(work, "disk.img")
            subprocess.run([os.path.join(ROOT, "tools", "make-disk.sh"), disk], check=True)
            with Qemu(disk=disk) as vm:
                rows = vm.wait_for_text("masteruser: / &").split("\n")
        at = 0
        for line in printed:
            found = [i for i in range(at, len(rows)) if rows[i].startswith(line)]
            self.assertTrue(found, "%r is not on the boot screen after row %d:\n%s" % (line, at, "\n".join(rows)))
            at = found[0] + 1


class Exercises(unittest.TestCase):
    """Every exercise's change is applied to one copy of the tree, which is built incrementally,
    and each screen it promises is checked on the kernel built from it: a build's output where
    the page shows the build failing, the boot screen, or a session typed on a fresh sample
    disk. Then the change is taken back."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="tavix-exercises-")
        cls.tree = os.path.join(cls.work, "tree")
        listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                                check=True, capture_output=True).stdout.decode().split("\0")
        for name in filter(None, listed):
            if os.path.isfile(os.path.join(ROOT, name)):
                os.makedirs(os.path.dirname(os.path.join(cls.tree, name)), exist_ok=True)
                shutil.copy2(os.path.join(ROOT, name), os.path.join(cls.tree, name))
        cls.build = os.path.join(cls.tree, "build")
        subprocess.run(["cmake", "-S", cls.tree, "-B", os.path.join(cls.build, "kernel"), "-DTAVIX_KERNEL=ON",
                        "-DCMAKE_TOOLCHAIN_FILE=cmake/i686-elf.cmake", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                        "-DTAVIX_OUTPUT_DIR=" + cls.build], check=True, capture_output=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def make(self):
        """(built, build output) of the copy's kernel."""
        result = subprocess.run(["cmake", "--build", os.path.join(self.build, "kernel"), "--target", "tavix",
                                 "-j", "2"], capture_output=True, text=True, timeout=BUILD_TIMEOUT)
        return result.returncode == 0, result.stdout + result.stderr

    def restore(self, files):
        """The copy's files as the tree has them, each written anew so that the build sees it."""
        for name in files:
            original = os.path.join(ROOT, name)
            if os.path.exists(original):
                shutil.copyfile(original, os.path.join(self.tree, name))
            elif os.path.exists(os.path.join(self.tree, name)):
                os.unlink(os.path.join(self.tree, name))

    def wait_for_lines(self, vm, where, lines):
        def shown():
            rows = [r.rstrip() for r in vm.screen_rows()]
            return any(rows[i:i + len(lines)] == lines for i in range(len(rows)))
        vm.wait_until(shown, COMMAND_TIMEOUT, "%s: the screen lines\n%s" % (where, "\n".join(lines)))

    def check_screen(self, vm, where, block):
        session = session_steps(block)
        if session is None:
            self.wait_for_lines(vm, where, block.rstrip("\n").split("\n"))
            return
        steps, at_prompt = session
        for i, (line, typed, printed) in enumerate(steps):
            vm.type(typed + "\n")
            if i == len(steps) - 1 and not at_prompt:
                self.wait_for_lines(vm, where, [line] + printed)
                continue
            screen = vm.wait_until(lambda: printed_by_last(vm, line), COMMAND_TIMEOUT, "the prompt after " + typed)
            self.assertEqual(screen[0], printed, "%s: %s" % (where, typed))

    def run_exercise(self, where, blocks):
        changed = set()
        built = None
        vm = None
        try:
            for info, block in blocks:
                if info == "diff":
                    changed.update(DIFF_TARGET.findall(block))
                    applied = subprocess.run(["git", "apply", "-"], cwd=self.tree, input=block, text=True,
                                             capture_output=True)
                    self.assertEqual(applied.returncode, 0, "%s: the change does not apply:\n%s"
                                     % (where, applied.stderr))
                    built = None
                    if vm is not None:
                        vm.close()
                        vm = None
                    continue
                if built is None:
                    built = self.make()
                if block.startswith(BUILD_COMMAND):
                    self.assertFalse(built[0], "%s: the build succeeds where the page shows it fail" % where)
                    for line in block.rstrip("\n").split("\n")[1:]:
                        self.assertIn(line, built[1], "%s: the build does not print this" % where)
                    continue
                self.assertTrue(built[0], "%s: the build fails:\n%s" % (where, built[1][-3000:]))
                if vm is None:
                    disk = os.path.join(self.work, "disk.img")
                    subprocess.run([os.path.join(ROOT, "tools", "make-disk.sh"), disk], check=True)
                    vm = Qemu(kernel=os.path.join(self.build, "tavix.elf"), disk=disk).start()
                    vm.wait_for_text("masteruser: / &")
                self.check_screen(vm, where, block)
        finally:
            if vm is not None:
                vm.close()
            self.restore(changed)

    def test_every_exercise_builds_and_shows_its_screen(self):
        checked = set()
        for page in pages()[1:]:
            found = exercises(read(page))
            if os.path.basename(page) not in NO_EXERCISES:
                with self.subTest(page):
                    self.assertTrue(found, "%s ends with no exercise" % page)
            for title, blocks in found:
                where = "%s, exercise %r" % (os.path.relpath(page, ROOT), title)
                self.assertTrue(any(info != "diff" for info, _ in blocks), "%s shows no screen" % where)
                with self.subTest(where):
                    self.run_exercise(where, blocks)
                checked.add(where)
        self.assertTrue(checked)


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
