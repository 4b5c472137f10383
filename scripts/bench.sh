#!/usr/bin/env bash
# bench.sh — runs every benchmark: the Google Benchmark programs and the whole-program scripts in bench/.
set -euo pipefail
build=${1:-build}
root=$(dirname "$0")/..
status=0
for b in "$build"/bench/*_bench; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" || status=1
done
for s in "$root"/bench/*.sh; do
  [ "$(basename "$s")" = lib.sh ] && continue
  echo "== $(basename "$s")"
  "$s" "$build" || status=1
done
exit $status
