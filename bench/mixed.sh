#!/usr/bin/env bash
# mixed.sh — mixed mode on this machine's binaries, side by side with zstd -3, zstd -19 and xz -9 (x86 filter):
# size, compression and decompression MB/s (medians) and peak memory, with the speed targets checked.
set -euo pipefail
build=${1:-build}
qarn=$(realpath "$build/qarn")
. "$(dirname "$0")/lib.sh"
bench_need bc time zstd xz-utils python3
runs=${MIXED_BENCH_RUNS:-5}       # fast tools
slow_runs=${MIXED_BENCH_SLOW_RUNS:-3}  # zstd -19 and xz

dir=$(mktemp -d /tmp/qarn-mixed-bench.XXXXXX)
trap 'rm -rf "$dir"' EXIT

files=(/usr/bin/gdb "$(g++ -print-prog-name=cc1plus)" /usr/lib/x86_64-linux-gnu/libstdc++.so.6)
if [ -n "${MIXED_BENCH_FILES:-}" ]; then read -r -a files <<<"$MIXED_BENCH_FILES"; fi

# name, compress command, decompress command, runs; IN, PACKED and OUT are substituted.
tools=(
  "qarn|$qarn -c IN PACKED|$qarn -d PACKED OUT|$runs"
  "zstd-3|zstd -q -f -3 IN -o PACKED|zstd -q -f -d PACKED -o OUT|$runs"
  "zstd-19|zstd -q -f -19 IN -o PACKED|zstd -q -f -d PACKED -o OUT|$slow_runs"
  "xz-9-x86|xz -T1 -q -c --x86 --lzma2=preset=9e IN >PACKED|xz -T1 -q -d -c PACKED >OUT|$slow_runs"
)

status=0
mbps() { echo "$1 / 1000000 / $2" | bc -l; }
for f in "${files[@]}"; do
  [ -f "$f" ] || { echo "skipping $f (missing)"; continue; }
  in=$dir/input.dat
  cp -L "$f" "$in"
  n=$(stat -c %s "$in")
  echo "$(basename "$f"): $n bytes, medians of $runs runs ($slow_runs for zstd -19 and xz)"
  printf '  %-10s %11s %8s %10s %10s %10s %10s\n' tool size ratio 'comp MB/s' 'dec MB/s' 'comp KiB' 'dec KiB'
  declare -A ct=() dt=()
  for t in "${tools[@]}"; do
    IFS='|' read -r name c d r <<<"$t"
    packed=$dir/packed.$name out=$dir/out.$name
    c=${c//IN/$in}; c=${c//PACKED/$packed}
    d=${d//PACKED/$packed}; d=${d//OUT/$out}
    ct[$name]=$(median_seconds "$r" "rm -f $packed" "$c")
    dt[$name]=$(median_seconds "$r" "rm -f $out" "$d")
    cmp -s "$in" "$out" || { echo "  $name does not restore $(basename "$f")"; status=1; }
    size=$(stat -c %s "$packed")
    cm=$(peak_kib "rm -f $packed; $c")
    dm=$(peak_kib "rm -f $out; $d")
    printf '  %-10s %11d %8.3f %10.1f %10.1f %10d %10d\n' "$name" "$size" "$(echo "$size / $n" | bc -l)" \
      "$(mbps "$n" "${ct[$name]}")" "$(mbps "$n" "${dt[$name]}")" "$cm" "$dm"
  done
  cr=$(echo "${ct[zstd-3]} / ${ct[qarn]}" | bc -l)
  dr=$(echo "${dt[zstd-3]} / ${dt[qarn]}" | bc -l)
  cv=$(echo "$cr >= 0.25" | bc -l)
  dv=$(echo "$dr >= 0.6" | bc -l)
  printf '  qarn speed against zstd: compress %.2f (target 0.25) %s, decompress %.2f (target 0.6) %s\n' \
    "$cr" "$([ "$cv" = 1 ] && echo ok || echo SLOW)" "$dr" "$([ "$dv" = 1 ] && echo ok || echo SLOW)"
  [ "$cv" = 1 ] && [ "$dv" = 1 ] || status=1
  unset ct dt
done

# A 1 KB input that mixed mode keeps (1 KB of machine code would come out larger than stored, the order-1 tables
# alone costing that much): each direction under 10 ms. Wall time counts waiting for a busy machine's cores, so
# the process's own time is shown beside it.
for i in $(seq 50); do printf 'entry 0042 value 17\n'; done >"$dir/small.dat"
# Median wall and process (user + system) milliseconds of a command, timed from inside one process so that no
# shell or clock command is counted.
ms() {
  python3 - "$runs" "$@" <<'PY'
import resource, statistics, subprocess, sys, time
runs, cmd = int(sys.argv[1]), sys.argv[2:]
wall, cpu = [], []
for _ in range(runs):
    r0, t0 = resource.getrusage(resource.RUSAGE_CHILDREN), time.perf_counter()
    subprocess.run(cmd, stdout=subprocess.DEVNULL, check=True)
    t1, r1 = time.perf_counter(), resource.getrusage(resource.RUSAGE_CHILDREN)
    wall.append((t1 - t0) * 1000)
    cpu.append((r1.ru_utime - r0.ru_utime + r1.ru_stime - r0.ru_stime) * 1000)
print(f"{statistics.median(wall):.1f} {statistics.median(cpu):.1f}")
PY
}
read -r c cc <<<"$(ms "$qarn" -c "$dir/small.dat" "$dir/small.q")"
read -r d dc <<<"$(ms "$qarn" -d "$dir/small.q" "$dir/small.out")"
cmp -s "$dir/small.dat" "$dir/small.out" || { echo "qarn does not restore the 1 KB input"; status=1; }
ok=$(echo "$c < 10 && $d < 10" | bc -l)
printf '1 KB input: %s bytes packed (mode %s), compress %s ms (process %s ms), decompress %s ms (process %s ms), target 10 ms each: %s\n' \
  "$(stat -c %s "$dir/small.q")" "$(od -An -tu4 -N4 "$dir/small.q" | tr -d ' ')" "$c" "$cc" "$d" "$dc" \
  "$([ "$ok" = 1 ] && echo ok || echo SLOW)"
[ "$ok" = 1 ] || status=1
exit $status
