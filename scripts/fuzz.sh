#!/usr/bin/env bash
# fuzz.sh — runs every fuzz target for a number of seconds on a scratch copy of its seed corpus. Inputs that crash,
# leak or hang a target are kept in <build>/fuzz-artifacts/<target>/ for reproduction (`<target> <file>`).
set -euo pipefail
build=${1:-build-fuzz}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/qarn-fuzz.XXXXXX)
artifacts=$(cd "$build" && pwd)/fuzz-artifacts
trap 'rm -rf "$work"' EXIT
status=0
for target in "$build"/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  mkdir -p "$work/$name"
  [ -d "$root/fuzz/corpus/$name" ] && cp -r "$root/fuzz/corpus/$name/." "$work/$name/"
  echo "== $name, $seconds s"
  mkdir -p "$artifacts/$name"
  if "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts/$name/" "$work/$name" \
      >"$work/$name.log" 2>&1; then
    grep -E '^#[0-9]+.*DONE|stat::number_of_executed_units' "$work/$name.log" | tail -2
  else
    status=1
    tail -40 "$work/$name.log"
    for a in "$artifacts/$name"/crash-* "$artifacts/$name"/leak-* "$artifacts/$name"/timeout-* \
        "$artifacts/$name"/oom-*; do
      [ -f "$a" ] && { echo "kept $a:"; xxd "$a" | head -20; }
    done
  fi
done
exit $status
