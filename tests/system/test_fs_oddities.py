"""Volumes that real tools leave behind and that look fine but are not what they seem, each
booted in QEMU and given one mkhello: FAT mirroring turned off, a whole-disk boot sector left
under a partition table, stale entries behind the end-of-directory slot, wrong FSInfo counts,
read errors while the volume is found or used (QEMU's blkdebug fails one read), a volume
labelled HELLO, free FAT entries whose reserved bits are set. Whatever the oddity, no file
loses a byte, nothing outside the volume changes, a refusal names its cause in one line, and
fsck.fat -n and mtools then find what they should."""

import os
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Qemu, fsck_clean, mtools  # noqa: E402

PROMPT = "masteruser: / &"
SECTOR = 512
MIB = 1024 * 1024
OLD = b"a file that must keep every byte\n" * 100


class Volume:
    """The FAT32 volume of an image, `start` sectors into it, read and changed past the kernel."""

    def __init__(self, path, start=0):
        self.path, self.base = path, start * SECTOR
        boot = self.read(0, SECTOR)
        self.reserved, self.fats, self.spf = struct.unpack_from("<H", boot, 14)[0], boot[16], \
            struct.unpack_from("<I", boot, 36)[0]
        self.fsinfo, self.backup = struct.unpack_from("<HH", boot, 48)
        self.spc = boot[13]
        self.data = self.reserved + self.fats * self.spf

    def read(self, offset, size):
        with open(self.path, "rb") as f:
            f.seek(self.base + offset)
            return f.read(size)

    def write(self, offset, data):
        with open(self.path, "r+b") as f:
            f.seek(self.base + offset)
            f.write(data)

    def fat_offset(self, copy, cluster):
        return (self.reserved + copy * self.spf) * SECTOR + 4 * cluster

    def fat(self, copy, cluster):
        return struct.unpack("<I", self.read(self.fat_offset(copy, cluster), 4))[0]

    def set_fat(self, copies, cluster, value):
        for copy in copies:
            self.write(self.fat_offset(copy, cluster), struct.pack("<I", value))

    def slot_offset(self, index):
        """Slot `index` of the root's first cluster (the root is cluster 2)."""
        return self.data * SECTOR + 32 * index

    def root_slot(self, index):
        return self.read(self.slot_offset(index), 32)

    def set_fsinfo(self, free=None, next_free=None):
        for field, value in ((488, free), (492, next_free)):
            if value is not None:
                self.write(self.fsinfo * SECTOR + field, struct.pack("<I", value))

    def hello_cluster(self):
        for index in range(self.spc * SECTOR // 32):
            slot = self.root_slot(index)
            if slot[:11] == b"HELLO      " and slot[11] & 0x10:
                return struct.unpack_from("<H", slot, 20)[0] << 16 | struct.unpack_from("<H", slot, 26)[0]
        return None


def fat32_image(tmp, name="disk.img", label=None, files=None, mib=64):
    path = os.path.join(tmp, name)
    with open(path, "wb") as f:
        f.truncate(mib * MIB)
    subprocess.run(["mkfs.fat", "-F", "32", "-I", "-s", "1"] + (["-n", label] if label else []) + [path],
                   check=True, capture_output=True)
    for target, data in (files or {"OLD.TXT": OLD}).items():
        source = os.path.join(tmp, "source")
        with open(source, "wb") as f:
            f.write(data)
        mtools(["mcopy", source, "::/" + target], path)
    return path


def blkdebug_read_error(tmp, disk, sector):
    """A drive whose first read that touches `sector` fails, once."""
    config = os.path.join(tmp, "blkdebug.cfg")
    with open(config, "w") as f:
        f.write('[inject-error]\nevent = "read_aio"\nsector = "%d"\nonce = "on"\nerrno = "5"\n' % sector)
    return ["-drive", "file=blkdebug:%s:%s,format=raw,if=ide,index=0,media=disk,rerror=report,werror=report"
            % (config, disk)]


def listing(disk, offset=""):
    return mtools(["mdir", "::/"], disk + offset).decode()


class OddVolumes(unittest.TestCase):
    def boot_mkhello(self, disk, drive=None):
        with Qemu(disk=None if drive else disk, extra_args=drive or ()) as vm:
            vm.wait_for_text(PROMPT, timeout=90)
            vm.type("mkhello\n")
            vm.wait_until(lambda: vm.screen_text().count(PROMPT) == 2, 60, "mkhello to end")
            return [row.rstrip() for row in vm.screen_rows()]

    def expect_clean(self, disk, hellos=1, offset=""):
        clean, report = fsck_clean(disk)
        self.assertTrue(clean, report)
        self.assertEqual(listing(disk, offset).count("HELLO"), hellos, listing(disk, offset))
        self.assertEqual(mtools(["mtype", "::/OLD.TXT"], disk + offset), OLD)

    def run_case(self, make, says=(), check=None):
        """make(tmp) gives the disk and, where the row needs it, the sector whose first read
        fails; `says` are the lines mkhello's boot must show besides the disk's own report of
        that read, and no other line may say error."""
        with tempfile.TemporaryDirectory() as tmp:
            disk, failing = make(tmp)
            if failing is not None:
                says += ("disk: error: reading sector %d failed." % failing,)
            with open(disk, "rb") as f:
                before = f.read()
            rows = self.boot_mkhello(disk, blkdebug_read_error(tmp, disk, failing) if failing is not None else None)
            for line in says:
                self.assertIn(line, rows, "\n".join(rows))
            errors = [row for row in rows if "error" in row and row not in says]
            self.assertEqual(errors, [], "\n".join(rows))
            check(tmp, disk, before)

    def test_mirroring_off_reads_and_writes_only_the_active_fat(self):
        def make(tmp):
            disk = fat32_image(tmp)
            v = Volume(disk)
            for sector in (0, v.backup):
                v.write(sector * SECTOR + 40, struct.pack("<H", 0x0081))
            # The inactive FAT 0 is stale: the file's chain is free in it.
            for cluster in range(3, 3 + len(OLD) // SECTOR + 1):
                v.set_fat([0], cluster, 0)
            v.set_fsinfo(next_free=2)
            return disk, None

        def check(tmp, disk, before):
            v = Volume(disk)
            fat0 = slice(v.fat_offset(0, 0), v.fat_offset(1, 0))
            with open(disk, "rb") as f:
                after = f.read()
            self.assertEqual(after[fat0], before[fat0], "the inactive FAT is not written")
            self.assertGreater(v.hello_cluster(), 3 + len(OLD) // SECTOR)
            self.assertEqual(mtools(["mtype", "::/OLD.TXT"], disk), OLD)
            # fsck.fat reads FAT 0 whatever the flags say: it checks the volume as the active
            # FAT describes it.
            mirrored = os.path.join(tmp, "mirrored.img")
            with open(mirrored, "wb") as f:
                f.write(after[:fat0.start] + after[fat0.stop:fat0.stop + fat0.stop - fat0.start] + after[fat0.stop:])
            m = Volume(mirrored)
            for sector in (0, m.backup):
                m.write(sector * SECTOR + 40, struct.pack("<H", 0))
            self.expect_clean(mirrored)
        self.run_case(make, check=check)

    def test_a_partition_table_over_an_old_whole_disk_boot_sector_wins(self):
        def make(tmp):
            disk = os.path.join(tmp, "p.img")
            with open(disk, "wb") as f:
                f.truncate(256 * MIB)
            for step in (["mkfs.fat", "-F", "32", "-I", disk], ["sfdisk", "-q", disk],
                         ["mkfs.fat", "-F", "32", "--offset", "2048", disk]):
                subprocess.run(step, input=b"start=2048, type=c\n", check=True, capture_output=True)
            source = os.path.join(tmp, "old")
            with open(source, "wb") as f:
                f.write(OLD)
            mtools(["mcopy", source, "::/OLD.TXT"], disk + "@@1M")
            return disk, None

        def check(tmp, disk, before):
            with open(disk, "rb") as f:
                after = f.read()
            self.assertEqual(after[:MIB], before[:MIB], "nothing before the partition changes")
            partition = os.path.join(tmp, "partition.img")
            with open(partition, "wb") as f:
                f.write(after[MIB:])
            self.expect_clean(partition)
        self.run_case(make, ("fat32: a partition table lies over an old boot sector; partition 1 is used.",), check=check)

    def test_entries_behind_the_end_of_directory_slot_are_not_there(self):
        def make(tmp):
            disk = fat32_image(tmp, label="TAVIX", files={"OLD.TXT": OLD, "GONE.TXT": b"", "STALE.TXT": b"",
                                                            "HELLO": b""})
            v = Volume(disk)
            # [label][OLD.TXT][end][STALE.TXT][HELLO]: fsck.fat reads on past the end, mtools stops.
            v.write(v.slot_offset(2), bytes(32))
            return disk, None

        def check(tmp, disk, before):
            self.expect_clean(disk)
            self.assertIn("<DIR>", [line for line in listing(disk).splitlines() if line.startswith("HELLO")][0])
            self.assertNotIn("STALE", listing(disk))
            self.assertIn("\n..           <DIR>", mtools(["mdir", "::/HELLO"], disk).decode())
        self.run_case(make, check=check)

    def test_wrong_fsinfo_free_counts_are_corrected(self):
        for wrong in (0, 1):
            with self.subTest(free=wrong):
                def make(tmp):
                    disk = fat32_image(tmp)
                    Volume(disk).set_fsinfo(free=wrong)
                    return disk, None
                self.run_case(make, check=lambda tmp, disk, before: self.expect_clean(disk))

    def test_a_full_volume_that_fsinfo_calls_roomy_says_so(self):
        def make(tmp):
            disk = fat32_image(tmp)
            free = struct.unpack("<I", Volume(disk).read(Volume(disk).fsinfo * SECTOR + 488, 4))[0]
            disk = fat32_image(tmp, files={"OLD.TXT": OLD, "FILLER.BIN": bytes(free * SECTOR)})
            Volume(disk).set_fsinfo(free=1000)
            return disk, None
        self.run_case(make, ("mkdir: error: not enough free space for hello",),
                      check=lambda tmp, disk, before: self.expect_clean(disk, hellos=0))

    def test_a_read_error_on_the_fat_during_allocation_says_so(self):
        far = 5000

        def make(tmp):
            disk = fat32_image(tmp)
            v = Volume(disk)
            v.set_fsinfo(next_free=far)
            return disk, v.reserved + far * 4 // SECTOR

        def check(tmp, disk, before):
            with open(disk, "rb") as f:
                self.assertEqual(f.read(), before)
        self.run_case(make, ("mkdir: error: could not read the FAT for hello",), check=check)

    def test_a_read_error_on_the_first_partition_refuses_the_disk(self):
        def make(tmp):
            disk = os.path.join(tmp, "two.img")
            with open(disk, "wb") as f:
                f.truncate(200 * MIB)
            subprocess.run(["sfdisk", "-q", disk], input=b"start=2048, size=100MiB, type=c\nstart=206848, type=c\n",
                           check=True, capture_output=True)
            for start, sectors in ((2048, 204800), (206848, 2048 * 200 - 206848)):
                subprocess.run(["mkfs.fat", "-F", "32", "-s", "1", "--offset", str(start), disk, str(sectors // 2)],
                               check=True, capture_output=True)
            return disk, 2048

        def check(tmp, disk, before):
            with open(disk, "rb") as f:
                self.assertEqual(f.read(), before)
        self.run_case(make, ("fat32: error: partition 1's boot sector cannot be read; volume refused.",
                             "mkfat: error: unable to create filesystem", "mkhello: error: no filesystem mounted"),
                      check=check)

    def test_an_unreadable_fsinfo_at_mount_is_rewritten_before_the_mark_is_set(self):
        def make(tmp):
            disk = fat32_image(tmp)
            return disk, Volume(disk).fsinfo
        self.run_case(make, check=lambda tmp, disk, before: self.expect_clean(disk))

    def test_a_volume_labelled_hello_takes_a_hello_directory(self):
        def make(tmp):
            return fat32_image(tmp, label="HELLO"), None

        def check(tmp, disk, before):
            self.assertIn("Volume in drive : is HELLO", listing(disk))
            self.expect_clean(disk, hellos=2)
        self.run_case(make, check=check)

    def test_free_entries_keep_their_reserved_bits_when_allocated(self):
        def make(tmp):
            disk = fat32_image(tmp)
            v = Volume(disk)
            hint = struct.unpack("<I", v.read(v.fsinfo * SECTOR + 492, 4))[0]
            for cluster in range(hint, hint + 8):
                if v.fat(0, cluster) == 0:
                    v.set_fat(range(v.fats), cluster, 0xF0000000)
            return disk, None

        def check(tmp, disk, before):
            v = Volume(disk)
            self.assertEqual([v.fat(copy, v.hello_cluster()) for copy in range(v.fats)], [0xFFFFFFFF] * v.fats)
            self.expect_clean(disk)
        self.run_case(make, check=check)


if __name__ == "__main__":
    unittest.main()
