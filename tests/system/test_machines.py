"""Tavix on older and other QEMU PCs: a 486, a Pentium and the ISA-only machine boot, mount the
disk and take mkhello; where the primary master holds no disk (a SATA-only machine, the disk as
slave, a CD-ROM as master) start-up ends the probe with one line naming what is there and
still reaches the prompt. The images hold no instruction a 486 lacks."""

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
HELLO_AGAIN = "mkdir: error: hello already exists"

# (name, QEMU arguments): each boots with the disk as primary master.
MOUNTING = [
    ("486", ["-cpu", "486"]),
    ("pentium", ["-cpu", "pentium"]),
    ("isapc", ["-machine", "isapc"]),
]
# (name, QEMU arguments with {disk} and {cdrom} filled in, the last line of the probe).
NO_DISK_AS_MASTER = [
    ("q35", ["-machine", "q35", "-drive", "file={disk},format=raw,if=ide,index=0"],
     "identify: error: no ATA controller at ports 0x1F0-0x1F7 (a SATA/AHCI-only PC?)"),
    ("slave only", ["-drive", "file={disk},format=raw,if=ide,index=1"],
     "identify: error: no disk answers as primary master (Tavix uses only that one)."),
    ("cd-rom master", ["-drive", "file={cdrom},format=raw,if=ide,index=0,media=cdrom",
                       "-drive", "file={disk},format=raw,if=ide,index=1"],
     "identify: error: the primary master is a CD/DVD (ATAPI) drive, not a disk."),
]


def stripped(rows):
    return [row.rstrip() for row in rows]


class Machines(unittest.TestCase):
    def test_older_cpus_and_the_isa_machine_mount_and_take_mkhello(self):
        for name, args in MOUNTING:
            with self.subTest(name), tempfile.TemporaryDirectory() as tmp:
                disk = make_fat32_image(os.path.join(tmp, "disk.img"))
                with Qemu(disk=disk, extra_args=args) as vm:
                    vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT)
                    self.assertIn(MOUNTED, stripped(vm.screen_rows()))
                    vm.type("mkhello\nmkhello\n")
                    vm.wait_for_text(HELLO_AGAIN)
                    self.assertTrue(vm.running())
                clean, report = fsck_clean(disk)
                self.assertTrue(clean, report)
                self.assertEqual(mtools(["mdir", "-b", "::/"], disk).decode().split(), ["::/hello/"])

    def test_without_a_disk_as_primary_master_the_probe_names_what_is_there(self):
        for name, args, cause in NO_DISK_AS_MASTER:
            with self.subTest(name), tempfile.TemporaryDirectory() as tmp:
                disk = make_fat32_image(os.path.join(tmp, "disk.img"))
                filled = [a.format(disk=disk, cdrom=image_path("tavix.iso")) for a in args]
                with Qemu(extra_args=filled) as vm:
                    vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT)
                    rows = stripped(vm.screen_rows())
                self.assertEqual(rows.count(cause), 1, "\n".join(rows))
                self.assertEqual(rows[rows.index(cause) + 1:rows.index(cause) + 3], ["", BANNER])
                self.assertNotIn(MOUNTED, rows)

    def test_image_check_names_instructions_a_486_lacks(self):
        check = os.path.join(REPO_ROOT, "tools", "check-cpu-baseline.sh")
        for image in ("tavix.elf", "tavix-test.elf"):
            subprocess.run([check, image_path(image)], check=True)
        with tempfile.TemporaryDirectory() as tmp:
            obj = os.path.join(tmp, "newer.o")
            subprocess.run(["clang", "-c", "-x", "assembler", "--target=i686-unknown-none-elf", "-", "-o", obj],
                           input=b"xor %eax, %eax\ncmovne %eax, %ebx\nrdtsc\n", check=True)
            result = subprocess.run([check, obj], capture_output=True, text=True)
        self.assertEqual(result.returncode, 1)
        self.assertIn("cmovne", result.stderr)
        self.assertIn("rdtsc", result.stderr)
        self.assertNotIn("xor", result.stderr)


if __name__ == "__main__":
    unittest.main()
