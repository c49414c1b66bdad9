#!/usr/bin/env bash
# make bench: runs every benchmark built under bench/ and prints their tables.
set -euo pipefail
build=${1:-build-bench}
found=no
for b in "$build"/bench/*; do
  [ -f "$b" ] && [ -x "$b" ] || continue
  found=yes
  echo "== $(basename "$b")"
  case "$(basename "$b")" in
    *_gui*) QT_QPA_PLATFORM=offscreen "$b" ;;
    *) "$b" ;;
  esac
done
[ "$found" = yes ] || echo "No benchmarks built."
