#!/usr/bin/env bash
# text.sh — text mode against zstd (one thread) on four kinds of text: the King James Bible (a book), the GNU
# Collaborative International Dictionary of English (40 MB, hundreds of thousands of distinct words), a huge
# American English word list (every token distinct) and a collection of quotations; then 256 MB of Bible and 1 KB.
# qarn runs at its default threads and again on one processor, for the one- against two-core figures.
# Usage: bench/text.sh <build dir>   (BENCH_RUNS sets the timed runs per command, 5 by default)
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bench_need bible-kjv dict-gcide wamerican-huge fortunes zstd time python3 util-linux

# Files live in memory where there is room (tmpfs), so that the disk's write-back does not time itself.
base=/tmp
[ -d /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR==2 {print $4}')" -gt 2000000 ] && base=/dev/shm
work=$(mktemp -d "$base/qarn-text-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
bible -f 'Gen1:1-Rev22:21' >"$work/bible.txt"
zcat /usr/share/dictd/gcide.dict.dz >"$work/gcide.txt"
cp /usr/share/dict/american-english-huge "$work/words.txt"
for f in /usr/share/games/fortunes/*; do
  case $f in *.dat | *.u8) ;; *) [ -f "$f" ] && cat "$f" ;; esac
done >"$work/fortunes.txt"
for _ in $(seq 60); do cat "$work/bible.txt"; done >"$work/bible256.txt"
truncate -s 256000000 "$work/bible256.txt"
head -c 1024 "$work/bible.txt" >"$work/one-kb.txt"

# qarn on one processor: the same program under taskset.
qarn=$(cd "$(dirname "$build/qarn")" && pwd)/qarn
printf '#!/bin/sh\nexec taskset -c 0 %s "$@"\n' "$qarn" >"$work/qarn-one-cpu"
chmod +x "$work/qarn-one-cpu"

runs=${BENCH_RUNS:-5}
texts=("$work/bible.txt" "$work/gcide.txt" "$work/words.txt" "$work/fortunes.txt")
python3 "$here/compare.py" --qarn "$qarn" --runs "$runs" --json "$work/results.json" \
  --peers "zstd -1,zstd -3,zstd -9,zstd -19" "${texts[@]}"
python3 "$here/compare.py" --qarn "$qarn" --runs "$runs" --json "$work/results.json" \
  --peers "zstd -3" "$work/bible256.txt" "$work/one-kb.txt"
python3 "$here/compare.py" --qarn "$work/qarn-one-cpu" --runs "$runs" --json "$work/one-cpu.json" \
  --peers "zstd -3" "${texts[@]}" "$work/bible256.txt"

python3 - "$work/results.json" "$work/one-cpu.json" <<'PY'
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1])]
one = {r["file"]: r for r in map(json.loads, open(sys.argv[2])) if r["tool"] == "qarn"}
by = {(r["file"], r["tool"]): r for r in rows}
def check(what, met, figures):
    print(f"{'met ' if met else 'MISS'} {what}: {figures}")
for f in ("bible.txt", "gcide.txt", "words.txt", "fortunes.txt", "bible256.txt"):
    q, z = by[(f, "qarn")], by[(f, "zstd -3")]
    check(f"{f}: compression at least as fast as zstd -3", q["comp_mbps"] >= z["comp_mbps"],
          f"{q['comp_mbps']:.1f} vs {z['comp_mbps']:.1f} MB/s")
    check(f"{f}: decompression at least as fast as zstd -3", q["decomp_mbps"] >= z["decomp_mbps"],
          f"{q['decomp_mbps']:.1f} vs {z['decomp_mbps']:.1f} MB/s")
    better = [t for (g, t), r in by.items() if g == f and t.startswith("zstd") and
              r["compressed"] < q["compressed"] and r["decomp_mbps"] > q["decomp_mbps"]]
    if f != "bible256.txt":
        check(f"{f}: no zstd level both smaller and faster to decompress", not better,
              ", ".join(better) if better else f"{q['compressed']:,} bytes, {q['decomp_mbps']:.1f} MB/s")
    if f in one:
        o = one[f]
        print(f"     {f}: two cores against one: compression {q['comp_mbps']:.1f} / {o['comp_mbps']:.1f} MB/s, "
              f"decompression {q['decomp_mbps']:.1f} / {o['decomp_mbps']:.1f} MB/s")
big = by[("bible256.txt", "qarn")]
limit_c, limit_d = 3 * big["bytes"] / 2**20 + 256, 2.5 * big["bytes"] / 2**20 + 64
check("bible256.txt: peak memory within 3 x input + 256 MiB compressing, 2.5 x input + 64 MiB decompressing",
      big["comp_mib"] <= limit_c and big["decomp_mib"] <= limit_d,
      f"{big['comp_mib']:.0f} / {big['decomp_mib']:.0f} MiB vs {limit_c:.0f} / {limit_d:.0f} MiB")
kb = by[("one-kb.txt", "qarn")]
check("1 KB: under 5 ms each way", kb["comp_ms"] < 5 and kb["decomp_ms"] < 5, f"{kb['comp_ms']:.2f} / {kb['decomp_ms']:.2f} ms")
check("1 KB: under 30 MB peak", max(kb["comp_mib"], kb["decomp_mib"]) < 30, f"{max(kb['comp_mib'], kb['decomp_mib']):.1f} MiB")
PY
