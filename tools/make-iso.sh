#!/usr/bin/env bash
# Builds a GRUB rescue ISO that multiboots the given kernel ELF.
set -euo pipefail
kernel=$1
iso=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/boot/grub"
cp "$kernel" "$root/boot/tavix.elf"
cat > "$root/boot/grub/grub.cfg" <<'CFG'
set timeout=0
set default=0
menuentry "Tavix" {
    multiboot /boot/tavix.elf
    boot
}
CFG
grub-mkrescue -o "$iso" "$root" >/dev/null 2>&1
