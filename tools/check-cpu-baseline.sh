#!/usr/bin/env bash
# Fails when a kernel image holds an instruction that a 486 does not have, naming each one.
#   tools/check-cpu-baseline.sh <image.elf or object>...
# The kernel is built for the 486, so the compiler emits none of these; this catches an
# instruction brought in by hand (inline assembly, a stub) or by a changed build flag, which
# would otherwise show only as an "Invalid opcode" panic on an older PC.
set -euo pipefail

# Mnemonic prefixes of what came after the 486: conditional moves, the Pentium's 8-byte
# compare-exchange, time-stamp, model-specific and performance counters, CPU identification
# (only late 486s have it), fast system calls, the P6 long NOPs, fences, cache and bit-count
# instructions. MMX and SSE registers are caught by name.
newer='^(cmov|fcmov|f(u)?comip?|cmpxchg8b|cpuid|rdtscp?|rdpmc|rdmsr|wrmsr|sysenter|sysexit|syscall|sysret|[lms]fence|clflush|prefetch|popcnt|lzcnt|tzcnt|movbe|nop[wlq]|rsm)'
status=0
for image in "$@"; do
    found=$(objdump -d --no-show-raw-insn "$image" |
        awk -F'\t' -v newer="$newer" 'NF >= 2 {
            split($2, word, " ")
            if (word[1] ~ newer || $2 ~ /%(x|y)?mm[0-9]/) print "  " $1 " " $2
        }')
    if [ -n "$found" ]; then
        echo "error: $image uses instructions a 486 lacks:" >&2
        echo "$found" | head -20 >&2
        status=1
    fi
done
exit $status
