#!/usr/bin/env python3
"""Checks that no #include in the kernel's sources goes up the layer order.

The order, bottom first (the guide's index, docs/README.md, says the same in prose):

  0 hardware seam   arch/, the descriptor and interrupt stubs in boot/
  1 library         ports, bounded status waits and machine control, the console and printf,
                    strings, the heap and the progress bar: every layer may print and allocate
  2 script compiler needs only the library; nothing in the kernel calls it yet
  3 processor       descriptor tables, interrupts, the timer
  4 devices         disk, PCI, chipset, clock, keyboard controller
  5 file system     drivers/fs
  6 shell state     shell variables, the current directory and the line history
  7 shell           the command dispatcher and its commands
  8 keyboard        decoding, line editing; hands a finished line to a hook
  9 start-up        kentr

A file may include files of its own layer or of any layer below. Inside the file system the
same rule holds for its own layers (FS_LAYERS, the order drivers/fs/fat32.hpp lists): record,
sectors, FAT, directory slots, directory walk, entries, files, the mount, and the public face
fat32.hpp, which only the rest of the kernel includes. Test code (tests/) is not checked; the
kernel's sources must not include it at all.

Usage: check_layers.py [source root]   (exit 1 and one line per offending include)
"""

import os
import re
import sys

LAYERS = [
    ("hardware seam", ["arch/", "boot/", "cpu/descriptors.h", "io/kbc_registers."]),
    ("library", ["io/iotools.", "drivers/display.", "general/stdio.", "cpu/string.", "cpu/mem.", "cpu/buffer.",
                 "general/progress."]),
    ("script compiler", ["general/cbreak."]),
    ("processor", ["cpu/gdt.", "cpu/idt.", "cpu/pit."]),
    ("devices", ["drivers/disk.", "drivers/pci.", "drivers/chipset/", "drivers/rtc.", "io/kbc."]),
    ("file system", ["drivers/fs/"]),
    ("shell state", ["general/config.", "general/history."]),
    ("shell", ["general/vorn.", "general/shell_"]),
    ("keyboard", ["io/kb."]),
    ("start-up", ["kernel/"]),
]

# The file system's own order, bottom first, as drivers/fs/fat32.hpp lists it.
FS_LAYERS = [
    ("record", ["drivers/fs/fat32_volume.", "drivers/fs/fat32_layout.", "drivers/fs/fat32_bytes.",
                "drivers/fs/dirent.", "drivers/fs/fat32_time.", "drivers/fs/cp437."]),
    ("sectors", ["drivers/fs/fat32_sector.", "drivers/fs/fat32_boot."]),
    ("FAT", ["drivers/fs/fat32_fat.", "drivers/fs/fat32_writeback."]),
    ("directory slots", ["drivers/fs/fat32_slot.", "drivers/fs/fat32_names."]),
    ("directory walk", ["drivers/fs/fat32_dir.", "drivers/fs/fat32_dir_cache."]),
    ("entries", ["drivers/fs/fat32_entry.", "drivers/fs/fat32_create."]),
    ("files", ["drivers/fs/fat32_file.", "drivers/fs/fat32_append.", "drivers/fs/fat32_move."]),
    ("mount", ["drivers/fs/fat32_mount.", "drivers/fs/fat32_locate."]),
    ("public face", ["drivers/fs/fat32.hpp"]),
]

# Includes allowed to go up, each with the reason it must. Keep this list short.
EXCEPTIONS = {
}

SOURCE_DIRS = ["arch", "boot", "kernel", "cpu", "io", "drivers", "general"]
SOURCE_SUFFIXES = (".cpp", ".hpp", ".h", ".S")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def layer_of(path, layers=LAYERS):
    """The layer index of a repository-relative path, or None when no layer claims it."""
    best = None
    for index, (_, prefixes) in enumerate(layers):
        for prefix in prefixes:
            # The longest matching prefix wins, so cpu/descriptors.h is not taken for cpu/.
            if path.startswith(prefix) and (best is None or len(prefix) > best[1]):
                best = (index, len(prefix))
    return None if best is None else best[0]


def source_files(root):
    for top in SOURCE_DIRS:
        for folder, _, names in os.walk(os.path.join(root, top)):
            for name in sorted(names):
                if name.endswith(SOURCE_SUFFIXES):
                    yield os.path.relpath(os.path.join(folder, name), root)


def fs_problem(source, number, target):
    """The line for an include that goes up the file system's own order, or None."""
    if not (source.startswith("drivers/fs/") and target.startswith("drivers/fs/")):
        return None
    own, theirs = layer_of(source, FS_LAYERS), layer_of(target, FS_LAYERS)
    if own is None:
        return None  # check() names the file once
    if theirs is None:
        return "%s:%d: %s belongs to no file-system layer" % (source, number, target)
    if theirs > own:
        return "%s:%d: %s (%s) includes %s (%s), a higher file-system layer" % (
            source, number, source, FS_LAYERS[own][0], target, FS_LAYERS[theirs][0])
    return None


def check(root):
    problems = []
    for source in source_files(root):
        own = layer_of(source)
        if own is None:
            problems.append("%s: belongs to no layer; add it to LAYERS" % source)
            continue
        if source.startswith("drivers/fs/") and layer_of(source, FS_LAYERS) is None:
            problems.append("%s: belongs to no file-system layer; add it to FS_LAYERS" % source)
        with open(os.path.join(root, source), encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                target = m.group(1)
                if target.startswith("tests/"):
                    problems.append("%s:%d: includes test code %s" % (source, number, target))
                    continue
                theirs = layer_of(target)
                if theirs is None:
                    problems.append("%s:%d: %s belongs to no layer" % (source, number, target))
                elif theirs > own and (source, target) not in EXCEPTIONS:
                    problems.append("%s:%d: %s (%s) includes %s (%s), a higher layer"
                                    % (source, number, source, LAYERS[own][0], target,
                                       LAYERS[theirs][0]))
                elif fs_problem(source, number, target):
                    problems.append(fs_problem(source, number, target))
    return problems


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(
        os.path.dirname(os.path.abspath(__file__))))
    problems = check(root)
    for p in problems:
        print(p)
    print("%d include(s) against the layer order" % len(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
