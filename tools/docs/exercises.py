#!/usr/bin/env python3
"""Tries every exercise of the guide: applies its change to a copy of the tree, builds the
kernel there and checks the screens its page shows.

    tools/docs/exercises.py [--pages DIR] [--page docs/NAME.md]...

An exercise is a "### title" under a page's "## Exercises", with fenced blocks in order: a
"diff" block is applied to the copy (with git apply); a block whose first line is "$ make"
holds lines the build must print as it fails; a session (a block that starts with the prompt)
is typed into the kernel built from the copy, booted on a fresh sample disk, and must show
what the page shows, or end on the screen lines shown when its last command stops the shell;
any other block holds lines the screen must show. One copy and one build directory serve all
exercises: each change is taken back before the next, so every build after the first is
incremental. Every page but the index and the glossary must have an exercise. Prints one line
per exercise and exits 1 when one fails.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

import pages

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "system"))
from harness import Qemu  # noqa: E402

# A page that only leads to the others or only defines words has nothing to change.
NO_EXERCISES = ("README.md", "glossary.md")
BUILD_COMMAND = "$ make"
DIFF_TARGET = re.compile(r"^\+\+\+ b/(\S+)$", re.M)
BUILD_TIMEOUT = 600
SCREEN_TIMEOUT = 20
PROMPT = "masteruser: / &"


class Failed(Exception):
    pass


class Tree:
    """A copy of the checkout's files with its own kernel build directory."""

    def __init__(self, work):
        self.path = os.path.join(work, "tree")
        self.build = os.path.join(self.path, "build")
        self.work = work
        listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                                check=True, capture_output=True).stdout.decode().split("\0")
        for name in filter(None, listed):
            if os.path.isfile(os.path.join(ROOT, name)):
                os.makedirs(os.path.dirname(os.path.join(self.path, name)), exist_ok=True)
                shutil.copy2(os.path.join(ROOT, name), os.path.join(self.path, name))
        subprocess.run(["cmake", "-S", self.path, "-B", os.path.join(self.build, "kernel"), "-DTAVIX_KERNEL=ON",
                        "-DCMAKE_TOOLCHAIN_FILE=cmake/i686-elf.cmake", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                        "-DTAVIX_OUTPUT_DIR=" + self.build], check=True, capture_output=True)

    def apply(self, diff):
        """Applies a change; returns the files it touches."""
        applied = subprocess.run(["git", "apply", "-"], cwd=self.path, input=diff, text=True, capture_output=True)
        if applied.returncode != 0:
            raise Failed("the change does not apply: " + applied.stderr.strip())
        return DIFF_TARGET.findall(diff)

    def make(self):
        """(built, what the build printed)."""
        result = subprocess.run(["cmake", "--build", os.path.join(self.build, "kernel"), "--target", "tavix",
                                 "-j", "2"], capture_output=True, text=True, timeout=BUILD_TIMEOUT)
        return result.returncode == 0, result.stdout + result.stderr

    def restore(self, files):
        """The files as the checkout has them, each written anew so that the build sees it."""
        for name in files:
            original, copy = os.path.join(ROOT, name), os.path.join(self.path, name)
            if os.path.exists(original):
                shutil.copyfile(original, copy)
            elif os.path.exists(copy):
                os.unlink(copy)

    def boot(self):
        disk = os.path.join(self.work, "disk.img")
        subprocess.run([os.path.join(ROOT, "tools", "make-disk.sh"), disk], check=True)
        vm = Qemu(kernel=os.path.join(self.build, "tavix.elf"), disk=disk).start()
        vm.wait_for_text(PROMPT)
        return vm


def check_screen(vm, block):
    session = pages.session_steps(block)
    if session is None:
        lines = block.rstrip("\n").split("\n")
        vm.wait_until(lambda: pages.shows_lines(vm, lines), SCREEN_TIMEOUT, "the screen lines\n" + block)
        return
    for typed, shown, printed in pages.type_session(vm, *session, SCREEN_TIMEOUT):
        raise Failed("%s printed %r where the page shows %r" % (typed, printed, shown))


def try_exercise(tree, blocks):
    """Raises Failed, or an assertion of the machine's, when the exercise does not do what its
    page shows."""
    changed, built, vm = set(), None, None
    try:
        for info, block in blocks:
            if info == "diff":
                changed.update(tree.apply(block))
                built = None
                if vm is not None:
                    vm.close()
                    vm = None
                continue
            if built is None:
                built = tree.make()
            if block.startswith(BUILD_COMMAND):
                if built[0]:
                    raise Failed("the build succeeds where the page shows it fail")
                missing = [line for line in block.rstrip("\n").split("\n")[1:] if line not in built[1]]
                if missing:
                    raise Failed("the build does not print %r" % missing)
                continue
            if not built[0]:
                raise Failed("the build fails:\n" + built[1][-3000:])
            if vm is None:
                vm = tree.boot()
            check_screen(vm, block)
    finally:
        if vm is not None:
            vm.close()
        tree.restore(changed)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pages", default=ROOT, help="the tree holding README.md and docs/")
    parser.add_argument("--page", action="append", help="only this page (relative to --pages); may repeat")
    args = parser.parse_args()
    chosen = [os.path.join(args.pages, p) for p in args.page] if args.page else pages.pages(args.pages)[1:]
    failures = 0
    with tempfile.TemporaryDirectory(prefix="tavix-exercises-") as work:
        tree = Tree(work)
        for page in chosen:
            rel = os.path.relpath(page, args.pages)
            found = pages.exercises(pages.read(page))
            if not found and os.path.basename(page) not in NO_EXERCISES:
                print("FAILED %s: the page ends with no exercise" % rel)
                failures += 1
            for title, blocks in found:
                try:
                    if all(info == "diff" for info, _ in blocks):
                        raise Failed("it shows no screen")
                    try_exercise(tree, blocks)
                    print("ok     %s, %s" % (rel, title))
                except (Failed, AssertionError) as e:
                    print("FAILED %s, %s: %s" % (rel, title, e))
                    failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
