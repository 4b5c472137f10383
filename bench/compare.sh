#!/usr/bin/env bash
# compare.sh — qarn against its peers on text, photos and binaries: writes docs/benchmarks.md and its plots.
# Usage: bench/compare.sh <build dir>
# COMPARE_RUNS (3) sets the timed runs per command; COMPARE_SLOW_RUNS (1) the compression runs of zstd -19 and xz -9
# on inputs over COMPARE_SLOW_ABOVE bytes (8000000), which otherwise take most of the run. COMPARE_KEEP=FILE keeps the
# measured rows (one JSON object a line) in FILE; COMPARE_FROM=FILE writes the page from rows so kept, measuring nothing.
set -euo pipefail
trap 'echo "compare: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
docs=$(dirname "$here")/docs
qarn=$(realpath "$build/qarn")
runs=${COMPARE_RUNS:-3}
slow_runs=${COMPARE_SLOW_RUNS:-1}
slow_above=${COMPARE_SLOW_ABOVE:-8000000}
convert=/usr/bin/convert  # ImageMagick's own; another 'convert' may come first on the PATH

. "$here/lib.sh"
packages=(bible-kjv libjxl-testdata imagemagick gdb zstd xz-utils bzip2 lz4 qoi webp libjxl-tools gnuplot-nox time python3)
bench_need "${packages[@]}"
[ -x "$qarn" ] || { echo "compare: no qarn program in $build" >&2; exit 1; }
# The commit the program was built from, taken before the run: others may commit while it measures.
commit=$(git -C "$(dirname "$here")" describe --always --dirty --abbrev=10 2>/dev/null || echo unknown)

work=$(mktemp -d /tmp/qarn-compare.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/text" "$work/image" "$work/mixed" "$work/page"

# The corpus. qarn picks its mode from the name, so every input ends in its mode's extension.
bible -f 'Gen1:1-Rev22:21' >"$work/text/bible.txt"
{ for _ in $(seq 15); do cat "$work/text/bible.txt"; done || true; } | head -c 64000000 >"$work/text/bible64.txt"
[ "$(stat -c %s "$work/text/bible64.txt")" -eq 64000000 ] || { echo "compare: cannot make the 64 MB text" >&2; exit 1; }

testdata=/usr/share/libjxl-testdata
photos=(
  "$testdata/jxl/flower/flower.png"
  "$testdata/external/wesaturate/500px/cvo9xd_keong_macan_srgb8.png"
  "$testdata/external/wesaturate/500px/tmshre_riaphotographs_srgb8.png"
  "$testdata/external/wesaturate/500px/u76c0g_bliznaca_srgb8.png"
)
images=()
for photo in "${photos[@]}"; do
  [ -f "$photo" ] || { echo "compare: missing $photo" >&2; exit 1; }
  name=$(basename "$photo" .png)
  name=${name%_srgb8}
  $convert "$photo" -depth 8 "ppm:$work/image/$name.pnm"
  images+=("$work/image/$name.pnm")
done

cp -L /usr/bin/gdb "$work/mixed/gdb.dat"
cp -L "$(g++ -print-prog-name=cc1plus)" "$work/mixed/cc1plus.dat"
cp -L "$(readlink -f /usr/lib/x86_64-linux-gnu/libstdc++.so.6)" "$work/mixed/libstdc++.so.dat"

results=$work/results.json
measure() {  # measure MODE PEERS FILES...
  local mode=$1 peers=$2
  shift 2
  echo "Measuring $mode mode: qarn, $peers" >&2
  python3 "$here/compare.py" --qarn "$qarn" --mode "$mode" --commit "$commit" --peers "$peers" \
    --runs "$runs" --slow-runs "$slow_runs" --slow-above "$slow_above" --json "$results" "$@"
}
start=$(date +%s)
if [ -n "${COMPARE_FROM:-}" ]; then
  cp "$COMPARE_FROM" "$results"
else
  measure text "zstd -1,zstd -3,zstd -19,xz -9,bzip2 -9,lz4" "$work/text/bible.txt" "$work/text/bible64.txt"
  measure image "QOI,cwebp -lossless,cjxl -d 0 -e 3,zstd -19" "${images[@]}"
  measure mixed "zstd -3,zstd -19,xz -9 x86" "$work/mixed/gdb.dat" "$work/mixed/cc1plus.dat" \
    "$work/mixed/libstdc++.so.dat"
fi
[ -z "${COMPARE_KEEP:-}" ] || cp "$results" "$COMPARE_KEEP"

# The page is written beside the plots only once every measurement has succeeded and every file was restored.
python3 "$here/compare.py" --page "$work/page" --json "$results" "${packages[@]/#/--package=}" \
  --note "text=The King James Bible as \`bible -f 'Gen1:1-Rev22:21'\` prints it (bible-kjv), and the first \
64,000,000 bytes of that text repeated. xz -9 and zstd -19, whose windows span a whole copy of the Bible, code the \
repeats as long matches; the other tools do not see them (qarn's ratio rises only because its table of distinct \
words is stored once for a larger text)." \
  --note "image=Photos of libjxl-testdata (flower.png and three 500-pixel sRGB photos), converted to binary PPM \
(P6) with ImageMagick; sizes and speeds are of the P6 file. qoiconv reads and writes only PNG and QOI, so QOI is timed \
from an unfiltered, uncompressed PNG of the same pixels and its decompression writes a PNG (compressed by qoiconv \
itself): its times include that PNG work. WebP and JPEG XL restore the pixels in their own containers; their \
decoded samples are compared with the input's. The three 500-pixel photos are 750,015 bytes each, so process \
start-up weighs on every tool's speed there." \
  --note "mixed=This machine's x86-64 binaries: /usr/bin/gdb, the C++ compiler proper cc1plus, and the \
libstdc++ shared library. xz uses its x86 branch filter ahead of LZMA2 at preset 9."
mkdir -p "$docs"
cp "$work/page/"*.png "$work/page/benchmarks.md" "$docs/"
echo "Wrote $docs/benchmarks.md and $(ls "$work/page/"*.png | wc -l) plots in $(( $(date +%s) - start )) s" >&2
