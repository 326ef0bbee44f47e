#!/usr/bin/env bash
# Makes a raw disk image holding one FAT32 volume from sector 0 (no partition table), the
# layout the kernel mounts, with a few sample files and a subdirectory.
#   tools/make-disk.sh <image> [size in MiB, default 64]
set -euo pipefail
image=$1
size_mib=${2:-64}
export MTOOLS_SKIP_CHECK=1

rm -f "$image"
truncate -s "${size_mib}M" "$image"
# -I: the whole device is the volume, no partition table is expected.
mkfs.fat -F 32 -I -n TAVIX "$image" >/dev/null

samples=$(mktemp -d)
trap 'rm -rf "$samples"' EXIT
cat > "$samples/README.TXT" <<'TXT'
This is a sample FAT32 volume for Tavix.
Type "mkhello" at the prompt to make a directory named hello here, and
"help" for other commands. No command lists the disk: "ls" prints only the
shell's own record of its directory. After QEMU ends, list the volume from
the host with: mdir -i build/disk.img ::/
TXT
printf 'Hello from a subdirectory.\n' > "$samples/HELLO.TXT"
printf 'A file with a long name.\n' > "$samples/Long file name.txt"

mcopy -i "$image" "$samples/README.TXT" "$samples/Long file name.txt" ::/
mmd -i "$image" ::/DOCS
mcopy -i "$image" "$samples/HELLO.TXT" ::/DOCS/
