#!/usr/bin/env bash
# demo.sh — compresses and decompresses a sample file of every mode and prints sizes, ratio and speed.
set -euo pipefail
qarn=$(realpath "${1:-build/qarn}")
. "$(dirname "$0")/../bench/lib.sh"
bench_need bc bible-kjv libjxl-testdata imagemagick

dir=$(mktemp -d /tmp/qarn-demo.XXXXXX)
trap 'rm -rf "$dir"' EXIT

# Samples from this machine: an English text, a photo, a program, and a file no mode models.
bible -f 'Gen1:1-Rev22:21' >"$dir/bible.txt"
flower=/usr/share/libjxl-testdata/jxl/flower/flower.png
/usr/bin/convert "$flower" -depth 8 "ppm:$dir/flower.pnm"
cp "$(g++ -print-prog-name=cc1plus)" "$dir/cc1plus.dat"
head -c 3000000 /dev/urandom >"$dir/random.bin"

seconds() { local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null; t1=$(date +%s.%N); echo "$t1 - $t0" | bc -l; }
mbps() { echo "$1 / 1000000 / $2" | bc -l; }

printf '%-14s %-8s %12s %12s %7s %11s %11s  %s\n' file mode bytes compressed ratio 'comp MB/s' 'decomp MB/s' check
for f in bible.txt flower.pnm cc1plus.dat random.bin; do
  in=$dir/$f
  mode=$("$qarn" -c "$in" "$in.q" | head -1 | sed 's/^Compressing //' || true)
  if [ ! -f "$in.q" ]; then
    printf '%-14s %-8s %12d  %s\n' "$f" - "$(stat -c %s "$in")" "$mode"
    continue
  fi
  tc=$(seconds "$qarn" -c "$in" "$in.q")
  td=$(seconds "$qarn" -d "$in.q" "$in.out")
  n=$(stat -c %s "$in"); c=$(stat -c %s "$in.q")
  check=$(cmp -s "$in" "$in.out" && echo identical || echo DIFFERS)
  printf '%-14s %-8s %12d %12d %7.3f %11.1f %11.1f  %s\n' "$f" "$mode" "$n" "$c" "$(echo "$c / $n" | bc -l)" \
    "$(mbps "$n" "$tc")" "$(mbps "$n" "$td")" "$check"
done
