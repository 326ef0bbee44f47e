"""Volumes that real tools leave behind and that look fine but are not what they seem, each booted
in QEMU and given one mkhello: FAT mirroring off, an old whole-disk boot sector under a partition
table, stale entries behind the end-of-directory slot, wrong FSInfo counts, read errors while the
volume is found or used (blkdebug fails the first read of one sector), a volume labelled HELLO,
free FAT entries with their reserved bits set. No file loses a byte, nothing outside the volume
changes, a refusal names its cause in one line, and fsck.fat -n and mtools agree afterwards."""

import os
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Qemu, fsck_clean, make_fat32_image, mtools  # noqa: E402

PROMPT = "masteruser: / &"
SECTOR, MIB = 512, 1024 * 1024
OLD = b"a file that must keep every byte\n" * 100
OLD_CLUSTERS = range(3, 3 + len(OLD) // SECTOR + 1)  # on a fresh volume of 512-byte clusters


def peek(path, offset, fmt="<I"):
    with open(path, "rb") as f:
        f.seek(offset)
        return struct.unpack(fmt, f.read(struct.calcsize(fmt)))[0]


def poke(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def layout(path):
    """(reserved sectors, FATs, sectors per FAT, FSInfo sector, backup boot sector, data sector)."""
    reserved, fats, spf, fsinfo, backup = (peek(path, o, f) for o, f in ((14, "<H"), (16, "B"), (36, "<I"),
                                                                           (48, "<H"), (50, "<H")))
    return reserved, fats, spf, fsinfo, backup, reserved + fats * spf


def fat_at(path, copy, cluster):
    reserved, _, spf, _, _, _ = layout(path)
    return ((reserved + copy * spf) * SECTOR) + 4 * cluster


def fat32_image(tmp, label=None, files=None):
    return make_fat32_image(os.path.join(tmp, "disk.img"), sectors_per_cluster=1, files=files or {"OLD.TXT": OLD},
                            label=label)


def set_fsinfo(path, offset, value):
    poke(path, layout(path)[3] * SECTOR + offset, struct.pack("<I", value))


def mirroring_off(tmp):
    disk = fat32_image(tmp)
    for sector in (0, layout(disk)[4]):
        poke(disk, sector * SECTOR + 40, struct.pack("<H", 0x0081))  # FAT 1 active
    for cluster in OLD_CLUSTERS:  # the inactive FAT 0 is stale: the file's chain is free in it
        poke(disk, fat_at(disk, 0, cluster), bytes(4))
    set_fsinfo(disk, 492, 2)
    return disk, None


def phantom(tmp):
    disk = os.path.join(tmp, "disk.img")
    with open(disk, "wb") as f:
        f.truncate(256 * MIB)
    for step in (["mkfs.fat", "-F", "32", "-I"], ["sfdisk", "-q"], ["mkfs.fat", "-F", "32", "--offset", "2048"]):
        subprocess.run(step + [disk], input=b"start=2048, type=c\n", check=True, capture_output=True)
    with open(os.path.join(tmp, "src"), "wb") as f:
        f.write(OLD)
    mtools(["mcopy", os.path.join(tmp, "src"), "::/OLD.TXT"], disk + "@@1M")
    return disk, None


def behind_the_end(tmp):
    # [label][OLD.TXT][end][STALE.TXT][HELLO]: fsck.fat reads on past the end, mtools stops there.
    disk = fat32_image(tmp, "TAVIX", {"OLD.TXT": OLD, "GONE.TXT": b"", "STALE.TXT": b"", "HELLO": b""})
    poke(disk, layout(disk)[5] * SECTOR + 2 * 32, bytes(32))
    return disk, None


def fsinfo_free_count(count):
    def make(tmp):
        disk = fat32_image(tmp)
        set_fsinfo(disk, 488, count)
        return disk, None
    return make


def full_but_fsinfo_says_1000(tmp):
    disk = fat32_image(tmp)
    free = peek(disk, layout(disk)[3] * SECTOR + 488)
    disk = fat32_image(tmp, files={"OLD.TXT": OLD, "FILLER.BIN": bytes(free * SECTOR)})
    set_fsinfo(disk, 488, 1000)
    return disk, None


def fat_unreadable_at_allocation(tmp):
    disk = fat32_image(tmp)
    set_fsinfo(disk, 492, 5000)  # a cluster whose FAT sector the mount does not read
    return disk, layout(disk)[0] + 5000 * 4 // SECTOR


def two_partitions(tmp):
    disk = os.path.join(tmp, "disk.img")
    with open(disk, "wb") as f:
        f.truncate(200 * MIB)
    subprocess.run(["sfdisk", "-q", disk], input=b"start=2048, size=100MiB, type=c\nstart=206848, type=c\n",
                   check=True, capture_output=True)
    for start in (2048, 206848):
        subprocess.run(["mkfs.fat", "-F", "32", "-s", "1", "--offset", str(start), disk, "100000"], check=True,
                       capture_output=True)
    return disk, 2048


def reserved_bits_in_free_entries(tmp):
    disk = fat32_image(tmp)
    for cluster in range(OLD_CLUSTERS.stop, OLD_CLUSTERS.stop + 8):
        for copy in range(2):
            poke(disk, fat_at(disk, copy, cluster), struct.pack("<I", 0xF0000000))
    return disk, None


def hello_cluster(disk):
    data = layout(disk)[5] * SECTOR
    for offset in range(data, data + SECTOR, 32):
        if peek(disk, offset, "11s") == b"HELLO      ":
            return peek(disk, offset + 20, "<H") << 16 | peek(disk, offset + 26, "<H")
    return None


class OddVolumes(unittest.TestCase):
    def expect_clean(self, disk, hellos=1, at=""):
        clean, report = fsck_clean(disk)
        self.assertTrue(clean, report)
        self.assertEqual(mtools(["mdir", "::/"], disk + at).decode().count("HELLO"), hellos)
        self.assertEqual(mtools(["mtype", "::/OLD.TXT"], disk + at), OLD)

    def check_mirroring_off(self, tmp, disk, before, after):
        fat0 = slice(fat_at(disk, 0, 0), fat_at(disk, 1, 0))
        self.assertEqual(after[fat0], before[fat0], "the inactive FAT is not written")
        self.assertNotIn(hello_cluster(disk), OLD_CLUSTERS)
        # fsck.fat reads FAT 0 whatever the flags say: it checks the volume the active FAT describes.
        poke(disk, fat0.start, after[fat0.stop:2 * fat0.stop - fat0.start])
        for sector in (0, layout(disk)[4]):
            poke(disk, sector * SECTOR + 40, bytes(2))
        self.expect_clean(disk)

    def check_phantom(self, tmp, disk, before, after):
        self.assertEqual(after[:MIB], before[:MIB], "nothing before the partition changes")
        partition = os.path.join(tmp, "partition.img")
        with open(partition, "wb") as f:
            f.write(after[MIB:])
        self.expect_clean(partition)

    def check_behind_the_end(self, tmp, disk, before, after):
        self.expect_clean(disk)
        self.assertNotIn("STALE", mtools(["mdir", "::/"], disk).decode())
        self.assertIn("\n..           <DIR>", mtools(["mdir", "::/HELLO"], disk).decode())

    def check_reserved_bits(self, tmp, disk, before, after):
        self.assertEqual([peek(disk, fat_at(disk, c, hello_cluster(disk))) for c in range(2)], [0xFFFFFFFF] * 2)
        self.expect_clean(disk)

    def test_each_odd_volume(self):
        unchanged = lambda tmp, disk, before, after: self.assertEqual(after, before)  # noqa: E731
        clean = lambda tmp, disk, before, after: self.expect_clean(disk)  # noqa: E731
        rows = [
            ("mirroring off", mirroring_off, (), self.check_mirroring_off),
            ("partition table over an old boot sector", phantom,
             ("fat32: a partition table lies over an old boot sector; partition 1 is used.",), self.check_phantom),
            ("entries behind the end of the directory", behind_the_end, (), self.check_behind_the_end),
            ("FSInfo free count 0", fsinfo_free_count(0), (), clean),
            ("FSInfo free count 1", fsinfo_free_count(1), (), clean),
            ("a full volume FSInfo calls roomy", full_but_fsinfo_says_1000,
             ("mkdir: error: not enough free space for hello",),
             lambda tmp, disk, before, after: self.expect_clean(disk, hellos=0)),
            ("the FAT unreadable at the allocation", fat_unreadable_at_allocation,
             ("mkdir: error: could not read the FAT for hello",), unchanged),
            ("partition 1 unreadable", two_partitions,
             ("fat32: error: partition 1's boot sector cannot be read; volume refused.",
              "mkfat: error: unable to create filesystem", "mkhello: error: no filesystem mounted"), unchanged),
            ("FSInfo unreadable at the mount", lambda tmp: (fat32_image(tmp), 1), (), clean),
            ("labelled HELLO", lambda tmp: (fat32_image(tmp, "HELLO"), None), (),
             lambda tmp, disk, before, after: self.expect_clean(disk, hellos=2)),  # the label line and hello
            ("free entries with reserved bits", reserved_bits_in_free_entries, (), self.check_reserved_bits),
        ]
        for name, make, says, check in rows:
            with self.subTest(name), tempfile.TemporaryDirectory() as tmp:
                disk, failing = make(tmp)
                drive = None
                if failing is not None:
                    says += ("disk: error: reading sector %d failed." % failing,)
                    config = os.path.join(tmp, "blkdebug.cfg")
                    with open(config, "w") as f:
                        f.write('[inject-error]\nevent = "read_aio"\nsector = "%d"\nonce = "on"\nerrno = "5"\n'
                                % failing)
                    drive = ["-drive", "file=blkdebug:%s:%s,format=raw,if=ide,index=0,media=disk,rerror=report"
                             % (config, disk)]
                with open(disk, "rb") as f:
                    before = f.read()
                with Qemu(disk=None if drive else disk, extra_args=drive or ()) as vm:
                    vm.wait_for_text(PROMPT, timeout=90)
                    vm.type("mkhello\n")
                    vm.wait_until(lambda: vm.screen_text().count(PROMPT) == 2, 60, "mkhello to end")
                    rows_seen = [row.rstrip() for row in vm.screen_rows()]
                for line in says:
                    self.assertIn(line, rows_seen, "\n".join(rows_seen))
                self.assertEqual([row for row in rows_seen if "error" in row and row not in says], [])
                with open(disk, "rb") as f:
                    check(tmp, disk, before, f.read())


if __name__ == "__main__":
    unittest.main()
