#!/usr/bin/env bash
# Builds a GRUB rescue ISO that multiboots the given kernel ELF.
#   tools/make-iso.sh <kernel.elf> <image.iso> [words for the kernel's command line]
# The test image reads the names of the test groups to run from its command line.
set -euo pipefail
kernel=$1
iso=$2
shift 2
cmdline=${*:+ $*}
root=$(mktemp -d)
log=$(mktemp)
trap 'rm -rf "$root" "$log"' EXIT
mkdir -p "$root/boot/grub"
cp "$kernel" "$root/boot/tavix.elf"
cat > "$root/boot/grub/grub.cfg" <<CFG
set timeout=0
set default=0
menuentry "Tavix" {
    multiboot /boot/tavix.elf$cmdline
    boot
}
CFG
# grub-mkrescue is chatty; its output only matters when it fails.
if ! grub-mkrescue -o "$iso" "$root" >"$log" 2>&1; then
    cat "$log" >&2
    echo "error: grub-mkrescue failed (it needs grub-pc-bin, xorriso and mtools)" >&2
    exit 1
fi
