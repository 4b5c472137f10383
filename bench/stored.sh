#!/usr/bin/env bash
# stored.sh — stored mode against cp on a 1 GB file: qarn must take at most 1.5 times as long in each direction.
set -euo pipefail
build=${1:-build}
qarn=$(realpath "$build/qarn")
. "$(dirname "$0")/lib.sh"
bench_need bc time

# On tmpfs when there is one: the disk's write-back and discards would otherwise decide every figure.
base=/tmp
[ -d /dev/shm ] && [ "$(df --output=avail -k /dev/shm | tail -1)" -gt 4000000 ] && base=/dev/shm
dir=$(mktemp -d "$base/qarn-stored-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT
head -c 1000000000 /dev/urandom >"$dir/input"
"$qarn" -c "$dir/input" "$dir/packed" >/dev/null
runs=7
# The four commands take turns, each after a sync, so that none of them pays for another's dirty pages.
declare -A times
for ((i = 0; i < runs; i++)); do
  for name in cp_c q_c cp_d q_d; do
    case $name in
      cp_c) out=$dir/copy; cmd="cp $dir/input $out" ;;
      q_c) out=$dir/packed2; cmd="$qarn -c $dir/input $out" ;;
      cp_d) out=$dir/copy2; cmd="cp $dir/packed $out" ;;
      q_d) out=$dir/restored; cmd="$qarn -d $dir/packed $out" ;;
    esac
    times[$name]+="$(median_seconds 1 "rm -f $out; sync" "$cmd") "
  done
done
cmp -s "$dir/input" "$dir/restored" || { echo "stored round trip differs"; exit 1; }

median() { printf '%s\n' $1 | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
echo "Stored mode, 1,000,000,000 bytes in $base, median of $runs runs (seconds)"
printf '%-12s %10s %10s %8s\n' direction cp qarn ratio
for d in compress decompress; do
  if [ $d = compress ]; then a=$(median "${times[cp_c]}"); b=$(median "${times[q_c]}")
  else a=$(median "${times[cp_d]}"); b=$(median "${times[q_d]}"); fi
  r=$(echo "$b / $a" | bc -l)
  verdict=$(echo "$r <= 1.5" | bc -l)
  printf '%-12s %10.3f %10.3f %8.2f  %s\n' $d "$a" "$b" "$r" "$([ "$verdict" = 1 ] && echo 'within 1.5x' || echo 'SLOWER than 1.5x cp')"
done
