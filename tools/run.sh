#!/usr/bin/env bash
# Boots a kernel image in QEMU with a FAT32 disk as the primary master IDE disk.
#   tools/run.sh [--debug] <kernel.elf> [disk image]
# Without a disk image a fresh sample volume is made next to the kernel. --debug starts the
# machine stopped, waiting for gdb on port 1234: attach with `make gdb` from another terminal.
set -euo pipefail
cd "$(dirname "$0")/.."

debug=0
if [ "${1:-}" = "--debug" ]; then
    debug=1
    shift
fi
kernel=${1:-build/tavix.elf}
disk=${2:-}

if [ -z "$disk" ]; then
    disk=$(dirname "$kernel")/disk.img
    tools/make-disk.sh "$disk"
fi
[ -f "$disk" ] || { echo "error: no disk image $disk" >&2; exit 1; }

args=(-kernel "$kernel" -m 1G -drive "file=$disk,format=raw,if=ide,index=0,media=disk")

# In a terminal (no graphical session, or a QEMU built without a window front end) the VGA
# text screen is drawn with curses.
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] ||
   ! qemu-system-i386 -display help 2>/dev/null | grep -qE '^(gtk|sdl)$'; then
    args+=(-display curses)
    # The curses screen covers these lines at once; the README says the same.
    echo "QEMU in this terminal: type shutdown at the prompt, or press Alt+2 (Esc and 2 together:" >&2
    echo "Esc alone and then 2 types a 2) for QEMU's monitor and type quit, Enter." >&2
fi

if [ "$debug" -eq 1 ]; then
    args+=(-s -S)
    echo "QEMU waits for gdb on port 1234 with $kernel on $disk: run make gdb in another terminal." >&2
fi

exec qemu-system-i386 "${args[@]}"
