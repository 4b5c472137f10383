#!/usr/bin/env bash
# text.sh — text mode against zstd, xz and bzip2 on English text: the King James Bible, 256 MB of it, and 1 KB.
# Usage: bench/text.sh <build dir>   (BENCH_RUNS sets the timed runs per command, 5 by default)
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bench_need bible-kjv zstd xz-utils bzip2 time python3

# Files live in memory where there is room (tmpfs), so that the disk's write-back does not time itself.
base=/tmp
[ -d /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR==2 {print $4}')" -gt 2000000 ] && base=/dev/shm
work=$(mktemp -d "$base/qarn-text-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
bible -f 'Gen1:1-Rev22:21' >"$work/bible.txt"
for _ in $(seq 60); do cat "$work/bible.txt"; done >"$work/bible256.txt"
truncate -s 256000000 "$work/bible256.txt"
head -c 1024 "$work/bible.txt" >"$work/one-kb.txt"

# Every peer on the Bible; on the 256 MB text only zstd -3, the one the targets name (xz -9 alone would take
# minutes a run there).
runs=${BENCH_RUNS:-5}
python3 "$here/compare.py" --qarn "$build/qarn" --runs "$runs" --json "$work/results.json" \
  --peers "zstd -3,zstd -19,xz -9,bzip2 -9" "$work/bible.txt" "$work/one-kb.txt"
python3 "$here/compare.py" --qarn "$build/qarn" --runs "$runs" --json "$work/results.json" \
  --peers "zstd -3" "$work/bible256.txt"

python3 - "$work/results.json" <<'PY'
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1])]
by = {(r["file"], r["tool"]): r for r in rows}
def check(what, met, figures):
    print(f"{'met ' if met else 'MISS'} {what}: {figures}")
for f in ("bible.txt", "bible256.txt"):
    q, z = by[(f, "qarn")], by[(f, "zstd -3")]
    check(f"{f}: compression at least as fast as zstd -3", q["comp_mbps"] >= z["comp_mbps"],
          f"{q['comp_mbps']:.1f} vs {z['comp_mbps']:.1f} MB/s")
    check(f"{f}: decompression at least 0.8 x zstd -d", q["decomp_mbps"] >= 0.8 * z["decomp_mbps"],
          f"{q['decomp_mbps']:.1f} vs {z['decomp_mbps']:.1f} MB/s")
    check(f"{f}: smaller than zstd -3", q["compressed"] < z["compressed"], f"{q['compressed']:,} vs {z['compressed']:,}")
big = by[("bible256.txt", "qarn")]
check("bible256.txt: peak memory under 4 x input", max(big["comp_mib"], big["decomp_mib"]) * 2**20 < 4 * big["bytes"],
      f"{max(big['comp_mib'], big['decomp_mib']):.0f} MiB vs {4 * big['bytes'] / 2**20:.0f} MiB")
kb = by[("one-kb.txt", "qarn")]
check("1 KB: under 5 ms each way", kb["comp_ms"] < 5 and kb["decomp_ms"] < 5, f"{kb['comp_ms']:.2f} / {kb['decomp_ms']:.2f} ms")
check("1 KB: under 30 MB peak", max(kb["comp_mib"], kb["decomp_mib"]) < 30, f"{max(kb['comp_mib'], kb['decomp_mib']):.1f} MiB")
PY
