#!/usr/bin/env bash
# Makes a raw disk image holding one FAT32 volume from sector 0 (no partition table), the
# layout the kernel mounts, with a few sample files and a subdirectory.
#   tools/make-disk.sh <image> [size in MiB, default 64]
set -euo pipefail
image=$1
size_mib=${2:-64}
export MTOOLS_SKIP_CHECK=1
# Every sample disk is the same to the byte (volume serial and file times included), so that the
# guide's sessions and pictures hold for any of them.
export TZ=UTC SOURCE_DATE_EPOCH=1735732800 # 2025-01-01 12:00 UTC

rm -f "$image"
truncate -s "${size_mib}M" "$image"
# -I: the whole device is the volume, no partition table is expected.
mkfs.fat -F 32 -I -n TAVIX --invariant "$image" >/dev/null

samples=$(mktemp -d)
trap 'rm -rf "$samples"' EXIT
cat > "$samples/README.TXT" <<'TXT'
This is a sample FAT32 volume for Tavix.
Type "commands" at the prompt for every command: "dir" lists a directory,
"cat README.TXT" prints this file, "write NAME TEXT" makes a file and "cd DOCS"
goes into the directory DOCS. make run keeps this disk from one run to the
next; make disk makes a fresh one. From the host, once QEMU has ended:
mdir -i build/disk.img ::/
TXT
printf 'Hello from a subdirectory.\n' > "$samples/HELLO.TXT"
printf 'A file with a long name.\n' > "$samples/Long file name.txt"
touch -d "@$SOURCE_DATE_EPOCH" "$samples"/*

# -m keeps the files' times.
mcopy -m -i "$image" "$samples/README.TXT" "$samples/Long file name.txt" ::/
mmd -i "$image" ::/DOCS
mcopy -m -i "$image" "$samples/HELLO.TXT" ::/DOCS/
