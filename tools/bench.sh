#!/usr/bin/env bash
# Runs every benchmark in tools/bench/ in name order; each prints its own figures.
set -euo pipefail
cd "$(dirname "$0")/.."
for b in tools/bench/*; do
    [ -x "$b" ] || continue
    echo "== $(basename "$b")"
    "$b"
done
