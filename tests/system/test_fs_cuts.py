"""A power cut after any write of append, write, mv (of a file and of a directory), rm and rmdir:
fsck.fat finds at most what any cut may leave (the clean-shutdown mark, FAT copies that differ,
clusters no entry references, a stale free count) and, for a move, the entry under both names
or a moved directory's ".." not yet naming its parent; an append may leave its new clusters
linked behind the old size. No file the volume held loses a byte: each is found whole under
one of its names."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import make_fat32_image, mtools  # noqa: E402
from test_fs_heal import AFTER_A_CUT, STALE_SUMMARY, boot_and_type, cut_after, findings_besides  # noqa: E402

OLD = bytes(range(32, 127)) * 10 + b"\n" * 50  # 1,000 bytes: two clusters, the second part-filled
ORIGINALS = {"OLD.TXT": OLD, "DIR/IN.TXT": b"inside\n", "KEEP.TXT": b"keep\n"}
ADDED = "x" * 40  # more than the 24 bytes left in OLD.TXT's last cluster
# (command, {file: the paths its bytes may be found under after a cut, None when it may be gone},
# what fsck.fat may find besides the findings of any cut).
CUT_TABLE = [
    # Linked before the size grows: the chain is longer than the size, which stays the old one.
    ("append OLD.TXT " + ADDED, {},
     ("/OLD.TXT", "File size is 1000 bytes, cluster chain length is > 1024 bytes.", "Truncating file to 1000 bytes.")),
    ("write NEW.TXT text", {}, ()),
    ("mv OLD.TXT NEW.TXT", {"OLD.TXT": ["OLD.TXT", "NEW.TXT"]},
     ("/OLD.TXT", "/NEW.TXT", "and", "share clusters", "Truncating second to 0 bytes.",
      "File size is 1000 bytes, cluster chain length is 0 bytes.", "Truncating file to 0 bytes.")),
    ("mv DIR OTHER", {"DIR/IN.TXT": ["DIR/IN.TXT", "OTHER/DIR/IN.TXT"]},
     ("/DIR", "/OTHER/DIR", "and", "share clusters", "Truncating second to 0 bytes.",
      "Invalid '..' entry in the second slot.")),
    ("rm OLD.TXT", {"OLD.TXT": ["OLD.TXT", None]}, ()),
    ("rmdir EMPTY", {}, ()),
]


def exists(disk, path):
    return subprocess.run(["mdir", "-i", disk, "::/" + path], capture_output=True,
                          env=dict(os.environ, MTOOLS_SKIP_CHECK="1")).returncode == 0


class PowerCutTable(unittest.TestCase):
    def test_a_cut_after_any_write_of_each_command_loses_no_byte(self):
        """The first n writes of the command reach the disk and no later one does, for n = 0, 1, ...
        until the command goes through whole."""
        with tempfile.TemporaryDirectory() as tmp:
            pristine = make_fat32_image(os.path.join(tmp, "pristine.img"), size_mib=64, sectors_per_cluster=1,
                                        dirs=("DIR", "OTHER", "EMPTY"), files=ORIGINALS)
            disk, config = os.path.join(tmp, "disk.img"), os.path.join(tmp, "blkdebug.cfg")
            for command, places, may_find in CUT_TABLE:
                for writes in range(30):
                    shutil.copy(pristine, disk)
                    cut = "error" in boot_and_type(disk, command, cut_after(disk, config, writes))
                    with self.subTest(command=command, cut_after=writes):
                        self.assertEqual(findings_besides(disk, AFTER_A_CUT + STALE_SUMMARY + may_find), [])
                        for name, original in ORIGINALS.items():
                            paths = places.get(name, [name])
                            found = [mtools(["mtype", "::/" + p], disk) for p in paths if p and exists(disk, p)]
                            # An append keeps the old bytes in front of whatever it added.
                            self.assertTrue(any(data.startswith(original) for data in found) or
                                            (None in paths and not found), (name, found))
                    if not cut:
                        break
                self.assertFalse(cut, command + " in fewer than 30 writes")


if __name__ == "__main__":
    unittest.main()
