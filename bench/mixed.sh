#!/usr/bin/env bash
# mixed.sh — mixed mode on this machine's binaries against zstd at levels 1, 3, 9 and 19 (one thread each), and
# qarn with one worker beside its default: size, wall-clock medians with their range, and the speed targets.
# Usage: bench/mixed.sh <build dir>
# MIXED_BENCH_RUNS (5) sets the rounds; in each round every tool runs once, in an order that turns from round to
# round, so that no tool always follows the same one. zstd -19 runs in the first MIXED_BENCH_SLOW_RUNS (1) rounds
# only. MIXED_BENCH_FILES replaces the list of binaries.
set -euo pipefail
build=${1:-build}
qarn=$(realpath "$build/qarn")
. "$(dirname "$0")/lib.sh"
bench_need zstd python3 util-linux

files=(/usr/bin/git /usr/lib/x86_64-linux-gnu/libcrypto.so.3 /usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0
  /usr/bin/cmake /usr/bin/gdb "$(g++ -print-prog-name=cc1plus)")
if [ -n "${MIXED_BENCH_FILES:-}" ]; then read -r -a files <<<"$MIXED_BENCH_FILES"; fi

dir=$(mktemp -d /tmp/qarn-mixed-bench.XXXXXX)
trap 'rm -rf "$dir"' EXIT

status=0
python3 - "$qarn" "$dir" "${MIXED_BENCH_RUNS:-5}" "${MIXED_BENCH_SLOW_RUNS:-1}" "${files[@]}" <<'PY' || status=1
import os, shutil, statistics, subprocess, sys, time

qarn, work, runs, slow_runs, files = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5:]
tools = {  # name: (compress argv, decompress argv); {i} input, {z} compressed, {o} restored
    "qarn": ([qarn, "-c", "{i}", "{z}"], [qarn, "-d", "{z}", "{o}"]),
    "qarn, 1 worker": (["taskset", "-c", "0", qarn, "-c", "{i}", "{z}"], ["taskset", "-c", "0", qarn, "-d", "{z}", "{o}"]),
}
for level in (1, 3, 9, 19):
    tools[f"zstd -{level}"] = (["zstd", "-q", "-f", f"-{level}", "-T1", "{i}", "-o", "{z}"],
                               ["zstd", "-q", "-f", "-d", "{z}", "-o", "{o}"])
slow = {"zstd -19"}


def timed(argv):
    t0 = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - t0


status = 0
for path in files:
    if not os.path.isfile(path):
        print(f"skipping {path} (missing)")
        continue
    src = os.path.join(work, "input.dat")
    shutil.copyfile(path, src)
    n = os.path.getsize(src)
    names = list(tools)
    times = {t: ([], []) for t in names}
    size = {}
    for r in range(runs):
        k = r % len(names)
        for t in names[k:] + names[:k]:
            if t in slow and r >= slow_runs:
                continue
            z, o = os.path.join(work, "z." + t.replace(" ", "_")), os.path.join(work, "out")
            sub = lambda argv: [a.format(i=src, z=z, o=o) for a in argv]
            times[t][0].append(timed(sub(tools[t][0])))
            times[t][1].append(timed(sub(tools[t][1])))
            size[t] = os.path.getsize(z)
            with open(src, "rb") as a, open(o, "rb") as b:
                if a.read() != b.read():
                    print(f"  {t} does not restore {path}")
                    status = 1
            os.remove(o)
    med = {t: (statistics.median(times[t][0]), statistics.median(times[t][1])) for t in names}
    print(f"{os.path.basename(path)}: {n} bytes; wall-clock medians [min-max] of {runs} rounds "
          f"({slow_runs} for zstd -19), MB/s")
    print(f"  {'tool':15} {'size':>11} {'ratio':>6} {'compress':>22} {'decompress':>22}")
    for t in names:
        c, d = times[t]
        rate = lambda s: n / s / 1e6
        print(f"  {t:15} {size[t]:11d} {n / size[t]:6.3f} {rate(med[t][0]):8.1f} [{rate(max(c)):5.1f}-{rate(min(c)):6.1f}]"
              f" {rate(med[t][1]):8.1f} [{rate(max(d)):5.1f}-{rate(min(d)):6.1f}]")
    # Targets: no zstd level both smaller and faster; against zstd -3, compression at least 0.5 (8 MB and more) or
    # 0.75 (below 8 MB, where zstd -3 is smaller) and decompression at least 1 where zstd -3 is smaller.
    q = "qarn"
    beaten = [t for t in names if t.startswith("zstd") and size[t] < size[q]
              and (med[t][0] < med[q][0] or med[t][1] < med[q][1])]
    c3 = med["zstd -3"][0] / med[q][0]
    d3 = med["zstd -3"][1] / med[q][1]
    smaller3 = size["zstd -3"] < size[q]
    need_c = 0.5 if n >= 8_000_000 else (0.75 if smaller3 else 0.0)
    need_d = 1.0 if smaller3 else 0.0
    ok = not beaten and c3 >= need_c and d3 >= need_d
    one = med["qarn, 1 worker"][0] / med[q][0]
    print(f"  against zstd -3: compression {c3:.2f} (target {need_c}), decompression {d3:.2f} (target {need_d}); "
          f"zstd levels smaller and faster: {', '.join(beaten) or 'none'}; two workers {one:.2f}x one: "
          f"{'ok' if ok else 'MISSED'}")
    if not ok:
        status = 1
sys.exit(status)
PY

# A 1 KB input each way: the process's own time, a median of 20 runs (target 5 ms).
for i in $(seq 50); do printf 'entry 0042 value 17\n'; done >"$dir/small.dat"
python3 - "$qarn" "$dir" <<'PY' || status=1
import resource, statistics, subprocess, sys, time
qarn, d = sys.argv[1], sys.argv[2]
def ms(argv):
    wall = []
    for _ in range(20):
        t0 = time.perf_counter()
        subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)
        wall.append((time.perf_counter() - t0) * 1000)
    return statistics.median(wall)
c = ms([qarn, "-c", f"{d}/small.dat", f"{d}/small.q"])
x = ms([qarn, "-d", f"{d}/small.q", f"{d}/small.out"])
same = open(f"{d}/small.dat", "rb").read() == open(f"{d}/small.out", "rb").read()
print(f"1 KB input: compress {c:.1f} ms, decompress {x:.1f} ms (medians of 20, target 5 ms each): "
      f"{'ok' if same and c < 5 and x < 5 else 'MISSED'}")
sys.exit(0 if same and c < 5 and x < 5 else 1)
PY
exit $status
