#!/usr/bin/env bash
# image.sh — image mode against general and image compressors on test photos: size, speed and peak memory; then
# image mode on one core against two, on the flower photo and on larger photos tiled from it.
# Usage: bench/image.sh <build dir>   (BENCH_RUNS sets the timed runs per command, 5 by default; BENCH_PAIRS the
# alternating pairs of the one- against two-core runs, 11 by default)
set -euo pipefail

build=${1:-build}
qarn=$(realpath "$build/qarn")
runs=${BENCH_RUNS:-5}

# Tools, installed with apt-get only when missing.
. "$(dirname "$0")/lib.sh"
bench_need zstd xz-utils qoi webp libjxl-tools optipng imagemagick libjxl-testdata hyperfine time python3
convert=/usr/bin/convert

data=/usr/share/libjxl-testdata
photos=(
  "$data/jxl/flower/flower.png"
  "$data/external/wesaturate/500px/cvo9xd_keong_macan_srgb8.png"
  "$data/external/wesaturate/500px/tmshre_riaphotographs_srgb8.png"
  "$data/external/wesaturate/500px/u76c0g_bliznaca_srgb8.png"
)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One row per tool: name, compress command, decompress command, compressed and restored file names, and how the
# result is checked: "bytes" (the restored file is the input) or "pixels" (same RGB samples, other container).
# {in} is the P6 input (named .pnm for qarn, .ppm for the rest), {png} the same image as an unfiltered PNG.
tools=(
  "qarn|$qarn -c {in} {z}|$qarn -d {z} {back}|z.qarn|back.pnm|bytes"
  "zstd -19|zstd -q -f -19 -T1 {in} -o {z}|zstd -q -f -d {z} -o {back}|z.zst|back.ppm|bytes"
  "zstd -3|zstd -q -f -3 -T1 {in} -o {z}|zstd -q -f -d {z} -o {back}|z.zst|back.ppm|bytes"
  "xz -9|xz -9 -T1 -c {in} > {z}|xz -d -c {z} > {back}|z.xz|back.ppm|bytes"
  "QOI (qoiconv)*|qoiconv {png} {z}|qoiconv {z} {back}|z.qoi|back.png|pixels"
  "cwebp -lossless|cwebp -quiet -lossless {in} -o {z}|dwebp -quiet {z} -ppm -o {back}|z.webp|back.ppm|pixels"
  "cjxl -d 0 -e 3|cjxl {in} {z} -d 0 -e 3 --num_threads=0 --quiet|djxl {z} {back} --num_threads=0 --quiet|z.jxl|back.ppm|pixels"
  "PNG (optipng -o2)|optipng -quiet -o2 -clobber -out {z} {in}|$convert {z} ppm:{back}|z.png|back.ppm|pixels"
)

# Median wall time and processor time (user + system, the mean that hyperfine records) in seconds, from a hyperfine
# JSON export. On a busy machine the processor time is the steadier of the two.
median() {
  python3 - "$1" <<'PY'
import json, statistics, sys
r = json.load(open(sys.argv[1]))["results"][0]
print(statistics.median(r["times"]), r["user"] + r["system"], sep="\t")
PY
}

peak_kb() {  # peak resident memory in KB of one run of a shell command
  /usr/bin/time -f %M -o "$work/mem" sh -c "$1" >/dev/null 2>&1
  tail -n 1 "$work/mem"
}

results=$work/results.tsv
: >"$results"
for photo in "${photos[@]}"; do
  [ -f "$photo" ] || { echo "missing $photo" >&2; continue; }
  name=$(basename "$photo" .png)
  dir=$work/$name
  mkdir -p "$dir"
  $convert "$photo" -depth 8 ppm:"$dir/in.pnm"
  cp "$dir/in.pnm" "$dir/in.ppm"
  $convert "$dir/in.pnm" -define png:compression-level=0 -define png:compression-filter=0 "$dir/in.png"
  size=$(stat -c %s "$dir/in.pnm")
  geometry=$(head -c 20 "$dir/in.pnm" | sed -n 2p)
  samples=$(( $(echo "$geometry" | tr ' ' '*') * 3 ))
  tail -c "$samples" "$dir/in.pnm" >"$dir/in.rgb"
  for row in "${tools[@]}"; do
    IFS='|' read -r tool ccmd dcmd z back check <<<"$row"
    input=$dir/in.ppm
    [ "$tool" = qarn ] && input=$dir/in.pnm
    sub() { local s=${1//\{in\}/$input}; s=${s//\{png\}/$dir/in.png}; s=${s//\{z\}/$dir/$z}; echo "${s//\{back\}/$dir/$back}"; }
    c=$(sub "$ccmd")
    d=$(sub "$dcmd")
    rm -f "$dir/$z" "$dir/$back"
    hyperfine --style none --warmup 1 --runs "$runs" --export-json "$dir/c.json" "$c" >/dev/null 2>&1
    hyperfine --style none --warmup 1 --runs "$runs" --export-json "$dir/d.json" "$d" >/dev/null 2>&1
    if [ "$check" = bytes ]; then
      cmp -s "$dir/in.pnm" "$dir/$back" && ok=yes || ok=NO
    else
      $convert "$dir/$back" -depth 8 rgb:- | cmp -s - "$dir/in.rgb" && ok=yes || ok=NO
    fi
    zsize=$(stat -c %s "$dir/$z")
    cmem=$(peak_kb "$c")
    dmem=$(peak_kb "$d")
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$size" "$tool" "$zsize" "$(median "$dir/c.json")" \
      "$(median "$dir/d.json")" "$cmem" "$dmem" "$ok" >>"$results"
  done
done

python3 - "$results" <<'EOF'
import sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1]) if l.strip()]
print(f"{'image':28} {'tool':18} {'bytes':>9} {'ratio':>5} {'comp MB/s':>15} {'dec MB/s':>15} {'comp MB':>7} "
      f"{'dec MB':>6}  restores")
print(f"{'':28} {'':18} {'':>9} {'':>5} {'wall':>7} {'cpu':>7} {'wall':>7} {'cpu':>7}")
by = {}
for name, size, tool, z, cw, cc, dw, dc, cm, dm, ok in rows:
    size, z = int(size), int(z)
    speed = [size / 1e6 / float(t) for t in (cw, cc, dw, dc)]
    by[(name, tool)] = (size, z, speed, int(cm) / 1024, int(dm) / 1024)
    print(f"{name[:28]:28} {tool:18} {z:9d} {size / z:5.2f} {speed[0]:7.1f} {speed[1]:7.1f} {speed[2]:7.1f} "
          f"{speed[3]:7.1f} {int(cm) / 1024:7.1f} {int(dm) / 1024:6.1f}  {ok}")
print("MB/s are of the P6 input, over the median wall time and the mean processor time (user + system) of the runs.")
print("Memory is peak resident size. * qoiconv reads and writes PNG (here an unfiltered, uncompressed PNG): its")
print("times include that work.")
print()
for name in dict.fromkeys(n for n, _ in by):
    q, z3 = by.get((name, "qarn")), by.get((name, "zstd -3"))
    if not q or not z3:
        continue
    limit = 3 * q[0] / 2**20 + 16
    for clock, k in (("wall", 0), ("cpu", 1)):
        met = q[2][k] >= z3[2][k]
        print(f"{name[:28]:28} {'met ' if met else 'MISS'} compression at least as fast as zstd -3 ({clock}): "
              f"{q[2][k]:.1f} vs {z3[2][k]:.1f} MB/s")
    for clock, k in (("wall", 2), ("cpu", 3)):
        met = q[2][k] >= z3[2][k] / 2
        print(f"{name[:28]:28} {'met ' if met else 'MISS'} decompression at least half as fast as zstd -d ({clock}): "
              f"{q[2][k]:.1f} vs {z3[2][k]:.1f} MB/s")
    peak = max(q[3], q[4])
    print(f"{name[:28]:28} {'met ' if peak < limit else 'MISS'} peak memory under 3 x image + 16 MB: "
          f"{peak:.1f} vs {limit:.1f} MB")
EOF

# ---- One core against two. ----
# Each pair runs the command pinned to one processor (taskset -c 0) and then free to use both, alternately, so that
# a change in the machine's load touches both alike; the figures are medians with the smallest and largest value.
# The 21 MB photo is the flower beside its mirror image, the 41 MB one the flower mirrored into a 2 x 2 tile; the
# largest is the flower tiled to the most samples image mode takes (its input limit is 100,000,000 - 65,536 bytes),
# where peak memory is checked against the bounds: compression 3 x input + 256 MiB, decompression 2.5 x input +
# 64 MiB.
pairs=${BENCH_PAIRS:-11}
flower=$data/jxl/flower/flower.png
if [ -f "$flower" ]; then
  cores=$work/cores
  mkdir -p "$cores"
  $convert "$flower" -depth 8 ppm:"$cores/flower.pnm"
  $convert "$flower" \( +clone -flop \) +append -depth 8 ppm:"$cores/flower-2x1.pnm"
  $convert "$flower" \( +clone -flop \) +append \( +clone -flip \) -append -depth 8 ppm:"$cores/flower-2x2.pnm"
  $convert -size 6804x4895 tile:"$flower" -depth 8 ppm:"$cores/flower-largest.pnm"
  python3 - "$qarn" "$cores" "$pairs" <<'PY'
import os, statistics, subprocess, sys, time
qarn, cores, pairs = sys.argv[1], sys.argv[2], int(sys.argv[3])

def wall(cmd):
    t = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - t

def peak_mib(cmd):
    r = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, text=True)
    return int(r.stderr.strip().splitlines()[-1]) / 1024

def spread(xs):
    return f"{statistics.median(xs):8.1f} [{min(xs):.1f}..{max(xs):.1f}]"

print("image mode, one core (taskset -c 0) against two: wall ms, median [min..max] of", pairs, "alternating pairs")
print(f"{'photo':20} {'MB':>6} {'way':5} {'1 core ms':>24} {'2 cores ms':>24} {'speedup':>22} "
      f"{'peak MiB 1c':>11} {'2c':>6} {'bound':>6}")
for name in ("flower", "flower-2x1", "flower-2x2", "flower-largest"):
    src = os.path.join(cores, name + ".pnm")
    packed, back = src + ".q", src + ".back"
    size = os.path.getsize(src)
    for way, cmd, bound in (("comp", [qarn, "-c", src, packed], 3 * size / 2**20 + 256),
                            ("dec", [qarn, "-d", packed, back], 2.5 * size / 2**20 + 64)):
        one, two = [], []
        wall(cmd)  # warm-up; also makes the file the decompression reads
        for _ in range(pairs):
            one.append(1000 * wall(["taskset", "-c", "0"] + cmd))
            two.append(1000 * wall(cmd))
        ratios = [a / b for a, b in zip(one, two)]
        m1, m2 = peak_mib(["taskset", "-c", "0"] + cmd), peak_mib(cmd)
        print(f"{name:20} {size / 1e6:6.1f} {way:5} {spread(one):>24} {spread(two):>24} "
              f"{statistics.median(ratios):6.2f}x [{min(ratios):.2f}..{max(ratios):.2f}] "
              f"{m1:11.1f} {m2:6.1f} {bound:6.0f}{'' if max(m1, m2) <= bound else '  OVER'}")
    ok = subprocess.run(["cmp", "-s", src, back]).returncode == 0
    print(f"{name:20} restored byte for byte: {'yes' if ok else 'NO'}")
PY
fi
