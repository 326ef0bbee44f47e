#!/usr/bin/env python3
"""The layer checker on small made-up trees: it must flag what goes up and pass what does not."""

import os
import tempfile
import unittest

import check_layers


def tree(files):
    root = tempfile.mkdtemp(prefix="layers-")
    for path, text in files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w", encoding="utf-8") as f:
            f.write(text)
    return root


class CheckLayers(unittest.TestCase):
    def test_includes_down_or_level_pass(self):
        root = tree({
            "drivers/fs/fat32_file.cpp": '#include "drivers/fs/fat32_volume.hpp"\n#include "cpu/mem.hpp"\n',
            "drivers/fs/fat32.hpp": '#include "drivers/disk.hpp"\n#include "drivers/fs/fat32_file.hpp"\n',
            "kernel/kernel.cpp": '#include "io/kb.hpp"\n#include "general/vorn.hpp"\n',
            "boot/idt.S": '#include "cpu/descriptors.h"\n',
        })
        self.assertEqual(check_layers.check(root), [])

    def test_an_include_that_goes_up_is_named(self):
        root = tree({"cpu/mem.cpp": '#include "general/stdio.hpp"\n\n#include "drivers/fs/fat32.hpp"\n'})
        self.assertEqual(check_layers.check(root),
                         ["cpu/mem.cpp:3: cpu/mem.cpp (library) includes drivers/fs/fat32.hpp "
                          "(file system), a higher layer"])

    def test_the_file_system_keeps_its_own_order(self):
        # The sectors may not reach up to the directory walk, nor a layer to the public face;
        # down and level includes pass, and a file the order does not name is flagged.
        root = tree({
            "drivers/fs/fat32_sector.cpp": '#include "drivers/fs/fat32_sector.hpp"\n'
                                           '#include "drivers/fs/fat32_volume.hpp"\n'
                                           '#include "drivers/fs/fat32_dir.hpp"\n',
            "drivers/fs/fat32_move.cpp": '#include "drivers/fs/fat32_file.hpp"\n#include "drivers/fs/fat32.hpp"\n',
            "drivers/fs/fat32.hpp": '#include "drivers/fs/fat32_mount.hpp"\n',
            "drivers/fs/fat32_extra.cpp": "",
        })
        self.assertEqual(sorted(check_layers.check(root)), [
            "drivers/fs/fat32_extra.cpp: belongs to no file-system layer; add it to FS_LAYERS",
            "drivers/fs/fat32_move.cpp:2: drivers/fs/fat32_move.cpp (files) includes drivers/fs/fat32.hpp "
            "(public face), a higher file-system layer",
            "drivers/fs/fat32_sector.cpp:3: drivers/fs/fat32_sector.cpp (sectors) includes "
            "drivers/fs/fat32_dir.hpp (directory walk), a higher file-system layer",
        ])

    def test_test_code_and_unknown_files_are_refused(self):
        root = tree({
            "kernel/kernel.cpp": '#include "tests/kernel/runner.hpp"\n',
            "drivers/sound.cpp": "",
        })
        problems = check_layers.check(root)
        self.assertIn("kernel/kernel.cpp:1: includes test code tests/kernel/runner.hpp", problems)
        self.assertIn("drivers/sound.cpp: belongs to no layer; add it to LAYERS", problems)

    def test_the_longest_prefix_decides(self):
        # cpu/descriptors.h is the hardware seam although cpu/ holds higher layers.
        self.assertEqual(check_layers.layer_of("cpu/descriptors.h"), 0)
        self.assertEqual(check_layers.LAYERS[check_layers.layer_of("cpu/idt.hpp")][0], "processor")
        self.assertIsNone(check_layers.layer_of("cpu/new_thing.hpp"))


if __name__ == "__main__":
    unittest.main()
