"""Tavix on older and other QEMU PCs: a 486, a Pentium and the ISA-only machine mount the disk
and take mkhello; without a disk as primary master (SATA only, the disk as slave, a CD-ROM as
master) the probe ends in one line naming what is there and the prompt follows. The images
hold no instruction a 486 lacks."""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import REPO_ROOT, Qemu, fsck_clean, image_path, make_fat32_image, mtools  # noqa: E402

BOOT_TIMEOUT = 90
PROMPT = "masteruser: / &"
BANNER = "Tavix 32-bit kernel 0.02 beta"
MOUNTED = "Filesystem identified!"
MASTER = "-drive file={disk},format=raw,if=ide,index=0"
# QEMU arguments ({disk}: a FAT32 image, {cdrom}: the ISO), and the probe's last line where
# no disk is mounted.
MACHINES = [
    ("-cpu 486 " + MASTER, None),
    ("-cpu pentium " + MASTER, None),
    ("-machine isapc " + MASTER, None),
    ("-machine q35 " + MASTER, "identify: error: no ATA controller at ports 0x1F0-0x1F7 (a SATA/AHCI-only PC?)"),
    ("-drive file={disk},format=raw,if=ide,index=1",
     "identify: error: no disk answers as primary master (Tavix uses only that one)."),
    ("-drive file={cdrom},format=raw,if=ide,index=0,media=cdrom -drive file={disk},format=raw,if=ide,index=1",
     "identify: error: the primary master is a CD/DVD (ATAPI) drive, not a disk."),
]


class Machines(unittest.TestCase):
    def test_each_machine_mounts_or_names_what_is_there(self):
        for args, cause in MACHINES:
            with self.subTest(args), tempfile.TemporaryDirectory() as tmp:
                disk = make_fat32_image(os.path.join(tmp, "disk.img"))
                with Qemu(extra_args=args.format(disk=disk, cdrom=image_path("tavix.iso")).split()) as vm:
                    rows = vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT).split("\n")
                    if cause is None:
                        self.assertIn(MOUNTED, rows)
                        vm.type("mkhello\nmkhello\n")
                        vm.wait_for_text("mkdir: error: hello already exists")
                if cause is None:
                    self.assertEqual(mtools(["mdir", "-b", "::/"], disk).decode().split(), ["::/hello/"])
                else:
                    self.assertEqual(rows.count(cause), 1, "\n".join(rows))
                    self.assertEqual(rows[rows.index(cause) + 1:rows.index(cause) + 3], ["", BANNER])
                    self.assertNotIn(MOUNTED, rows)
                clean, report = fsck_clean(disk)
                self.assertEqual((clean, len(report.splitlines())), (True, 2), report)

    def test_image_check_names_instructions_a_486_lacks(self):
        check = os.path.join(REPO_ROOT, "tools", "check-cpu-baseline.sh")
        subprocess.run([check, image_path("tavix.elf"), image_path("tavix-test.elf")], check=True)
        with tempfile.TemporaryDirectory() as tmp:
            obj = os.path.join(tmp, "newer.o")
            subprocess.run(["clang", "-c", "-x", "assembler", "--target=i686-unknown-none-elf", "-", "-o", obj],
                           input=b"xor %eax, %eax\ncmovne %eax, %ebx\nrdtsc\n", check=True)
            result = subprocess.run([check, obj], capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stderr.count("\n  ")), (1, 2), result.stderr)
        self.assertIn("cmovne", result.stderr)
        self.assertIn("rdtsc", result.stderr)


if __name__ == "__main__":
    unittest.main()
