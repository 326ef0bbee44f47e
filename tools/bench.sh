#!/usr/bin/env bash
# Runs every benchmark in tools/bench/ in name order; each prints its own figures.
set -euo pipefail
cd "$(dirname "$0")/.."
for b in tools/bench/*; do
    [ -f "$b" ] && [ -x "$b" ] || continue
    echo "== $(basename "$b")"
    "$b"
done
