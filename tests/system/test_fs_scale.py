"""FAT32 volumes at scale on QEMU's IDE disk: a 32 GiB sparse volume with 4 KiB clusters mounts
and takes a mkhello that fsck.fat finds clean; a 64 GiB volume with 512-byte clusters (a FAT
of about 504 MiB, which the heap could not hold twice) mounts; a volume whose root cluster the
FAT calls free is refused with its reason and never written."""

import hashlib
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import REPO_ROOT, Qemu, fsck_clean, make_fat32_image, mtools  # noqa: E402

BOOT_TIMEOUT = 90
PROMPT = "masteruser: / &"
MOUNT_ERROR = "mkfat: error: unable to create filesystem"
SECTOR = 512


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def le32(data, offset):
    return int.from_bytes(data[offset:offset + 4], "little")


def cached_64g_image():
    """The 64 GiB image with 512-byte clusters, made once (mkfs.fat writes 1 GiB of FAT) and
    shared with the mount benchmark; boots attach it with snapshot=on, so it stays pristine."""
    cache = os.environ.get("TAVIX_BENCH_IMAGES", os.path.join(REPO_ROOT, "build", "bench-images"))
    os.makedirs(cache, exist_ok=True)
    path = os.path.join(cache, "fat32-64G-s1.img")
    if not os.path.exists(path):
        partial = path + ".partial"
        if os.path.exists(partial):
            os.unlink(partial)
        subprocess.run(["truncate", "-s", "64G", partial], check=True)
        subprocess.run(["mkfs.fat", "-F", "32", "-I", "-n", "TAVIX", "-s", "1", partial], check=True,
                       capture_output=True)
        os.rename(partial, path)
    return path


class LargeVolumes(unittest.TestCase):
    def test_32_gib_volume_with_4k_clusters_mounts_and_takes_mkhello(self):
        with tempfile.TemporaryDirectory() as tmp:
            disk = make_fat32_image(os.path.join(tmp, "disk.img"), size_mib=32 * 1024, sectors_per_cluster=8,
                                    files={"OLD.TXT": b"already here\n"})
            with Qemu(disk=disk) as vm:
                vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT)
                screen = vm.screen_text()
                self.assertIn("Sectors per cluster: 8", screen)
                self.assertNotIn(MOUNT_ERROR, screen)
                vm.type("clear\n")
                vm.wait_for_text(PROMPT)
                vm.type("mkhello\n")
                vm.type("mkhello\n")
                vm.wait_for_text("mkdir: error: hello already exists")
                rows = [row.rstrip() for row in vm.screen_rows() if row.strip()]
                self.assertEqual(rows, [PROMPT + "mkhello", PROMPT + "mkhello",
                                        "mkdir: error: hello already exists", PROMPT])
            clean, report = fsck_clean(disk)
            self.assertTrue(clean, report)
            self.assertNotIn("differ", report)
            self.assertNotIn("wrong", report)
            listing = mtools(["mdir", "::/"], disk).decode()
            self.assertEqual(listing.count("HELLO"), 1, listing)
            inside = mtools(["mdir", "::/HELLO"], disk).decode()
            self.assertIn("\n.            <DIR>", inside)
            self.assertIn("\n..           <DIR>", inside)
            self.assertEqual(mtools(["mtype", "::/OLD.TXT"], disk), b"already here\n")

    def test_64_gib_volume_with_512_byte_clusters_mounts(self):
        image = cached_64g_image()
        drive = ["-drive", "file=%s,format=raw,if=ide,index=0,media=disk,snapshot=on" % image]
        with Qemu(extra_args=drive) as vm:
            vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT)
            screen = vm.screen_text()
            self.assertIn("Sectors per cluster: 1", screen)
            self.assertNotIn(MOUNT_ERROR, screen)
            self.assertNotEqual(vm.read_u32(vm.symbol("master_fs")), 0)
            vm.type("clear\n")
            vm.wait_for_text(PROMPT)
            vm.type("mkhello\n")
            vm.type("mkhello\n")
            vm.wait_for_text("mkdir: error: hello already exists")
            self.assertTrue(vm.running())


class DamagedRoot(unittest.TestCase):
    def test_root_marked_free_is_refused_and_the_disk_left_alone(self):
        with tempfile.TemporaryDirectory() as tmp:
            disk = make_fat32_image(os.path.join(tmp, "disk.img"), size_mib=64, sectors_per_cluster=1,
                                    files={"KEEP.TXT": b"keep me\n"})
            with open(disk, "r+b") as f:
                boot = f.read(SECTOR)
                fat = int.from_bytes(boot[14:16], "little") * SECTOR
                root = le32(boot, 44)
                f.seek(fat + 4 * root)
                f.write((0).to_bytes(4, "little"))
            before = digest(disk)
            with Qemu(disk=disk) as vm:
                vm.wait_for_text(PROMPT, timeout=BOOT_TIMEOUT)
                rows = [row.rstrip() for row in vm.screen_rows()]
                at = rows.index("Sectors per cluster: 1")
                self.assertEqual(rows[at + 1:at + 3], [
                    "fat32: error: root cluster %d is marked free in the FAT; volume refused." % root,
                    MOUNT_ERROR])
                self.assertEqual(vm.read_u32(vm.symbol("master_fs")), 0)
                vm.type("mkhello\n")
                vm.wait_for_text("mkhello: error: no filesystem mounted")
            self.assertEqual(digest(disk), before)


if __name__ == "__main__":
    unittest.main()
