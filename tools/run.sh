#!/usr/bin/env bash
# Boots a kernel image in QEMU with a FAT32 disk as the primary master IDE disk.
#   tools/run.sh [--debug] <kernel.elf> [disk image]
# Without a disk image it uses disk.img next to the kernel, as the last run left it, and makes
# a sample volume there only when there is none (make disk makes a fresh one). --debug starts
# the machine stopped, waiting for gdb on port 1234: attach with `make gdb` from another terminal.
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
    if [ -f "$disk" ]; then
        echo "Using $disk as the last run left it (make disk makes a fresh sample disk)." >&2
    else
        tools/make-disk.sh "$disk"
        echo "Made the sample disk $disk; later runs keep it (make disk makes a fresh one)." >&2
    fi
fi
[ -f "$disk" ] || { echo "error: no disk image $disk" >&2; exit 1; }

# A disk that another QEMU holds would only get QEMU's complaint about a lock: say who holds it.
holder=$(find /proc/[0-9]*/fd -lname "$(readlink -f "$disk")" 2>/dev/null | head -n 1 | cut -d/ -f3 || true)
if [ -n "$holder" ] && [[ "$(cat "/proc/$holder/comm" 2>/dev/null)" == qemu* ]]; then
    echo "error: $disk is in use by another QEMU (process $holder); end that one first, or boot another disk with make run DISK=path" >&2
    exit 1
fi

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

# When the terminal closes, the kernel hangs up only the process that leads its session (make,
# or a shell), and nothing passes that on to QEMU, which would run on, holding the disk. So
# QEMU runs as a child here, and this script ends it once the terminal is gone.
exec 3<&0
qemu-system-i386 "${args[@]}" <&3 3<&- &
qemu=$!
trap 'kill "$qemu" 2>/dev/null' HUP INT TERM
if [ -t 0 ]; then
    while kill -0 "$qemu" 2>/dev/null; do
        [ -t 0 ] || kill "$qemu" 2>/dev/null
        sleep 1
    done
fi
wait "$qemu"
