#!/usr/bin/env bash
# compare.sh — qarn against its peers on text, photos and binaries: writes docs/benchmarks.md and its plots.
# Usage: bench/compare.sh <build dir>
# COMPARE_RUNS (5) sets the timed runs (rounds) per command; COMPARE_SLOW_RUNS (1) the compression runs of zstd -19
# and xz -9 on inputs over COMPARE_SLOW_ABOVE bytes (8000000), which otherwise take most of the run.
# COMPARE_KEEP=FILE keeps the measured rows (one JSON object a line) in FILE; COMPARE_FROM=FILE writes the page from
# rows so kept, measuring nothing. COMPARE_OUT=DIR writes the page and plots to DIR instead of docs/.
# For quick trials: COMPARE_MODES (default "text image mixed") picks the modes, COMPARE_MAX_BYTES leaves out the
# inputs larger than that (the page then covers only the rest: do not publish it).
set -Eeuo pipefail
trap 'echo "compare: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
docs=${COMPARE_OUT:-$(dirname "$here")/docs}
runs=${COMPARE_RUNS:-5}
slow_runs=${COMPARE_SLOW_RUNS:-1}
slow_above=${COMPARE_SLOW_ABOVE:-8000000}
modes=${COMPARE_MODES:-text image mixed}
max_bytes=${COMPARE_MAX_BYTES:-}

. "$here/lib.sh"
# The corpus comes from Debian packages too (corpus_packages in lib.sh), and so do the peers.
packages=("${corpus_packages[@]}" zstd xz-utils bzip2 lz4 qoi webp libjxl-tools gnuplot-nox time python3)
bench_need "${packages[@]}"
[ -x "$build/qarn" ] || { echo "compare: no qarn program in $build" >&2; exit 1; }
qarn=$(realpath "$build/qarn")
# The commit the program was built from, taken before the run: others may commit while it measures.
commit=$(git -C "$(dirname "$here")" describe --always --dirty --abbrev=10 2>/dev/null || echo unknown)

# Files live in memory where there is room (tmpfs), so that the disk's write-back does not time itself.
base=/tmp
[ -d /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR==2 {print $4}')" -gt 4000000 ] && base=/dev/shm
work=$(mktemp -d "$base/qarn-compare.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/text" "$work/image" "$work/mixed" "$work/page"

# The corpus (bench/lib.sh): texts, photos and binaries, each named with its mode's extension.
bench_corpus "$work"
images=("${corpus_images[@]}")
programs=("${corpus_programs[@]}")

results=$work/results.json
measure() {  # measure MODE PEERS FILES...
  local mode=$1 peers=$2 files=() f
  shift 2
  [[ " $modes " == *" $mode "* ]] || return 0
  for f in "$@"; do
    if [ -n "$max_bytes" ] && [ "$(stat -c %s "$f")" -gt "$max_bytes" ]; then
      echo "compare: leaving out $(basename "$f") (over COMPARE_MAX_BYTES)" >&2
    else
      files+=("$f")
    fi
  done
  [ ${#files[@]} -gt 0 ] || return 0
  echo "Measuring $mode mode, $runs round(s): qarn, $peers" >&2
  TMPDIR=$work python3 "$here/compare.py" --qarn "$qarn" --mode "$mode" --commit "$commit" --peers "$peers" \
    --runs "$runs" --slow-runs "$slow_runs" --slow-above "$slow_above" --json "$results" "${files[@]}"
}
zstd_levels="zstd -1,zstd -3,zstd -9,zstd -19,zstd -3 -T2"
start=$(date +%s)
if [ -n "${COMPARE_FROM:-}" ]; then
  cp "$COMPARE_FROM" "$results"
else
  : >"$results"
  measure text "$zstd_levels,xz -9,bzip2 -9,lz4" "$work/text/"{bible,gcide,american-english-huge,fortunes}.txt
  measure image "QOI,cwebp -lossless,cjxl -d 0 -e 3,$zstd_levels" "${images[@]}"
  measure mixed "$zstd_levels,xz -9 x86" "${programs[@]}"
fi
[ -s "$results" ] || { echo "compare: nothing was measured" >&2; exit 1; }
[ -z "${COMPARE_KEEP:-}" ] || cp "$results" "$COMPARE_KEEP"

# The page is written beside the plots only once every measurement has succeeded and every file was restored.
python3 "$here/compare.py" --page "$work/page" --json "$results" "${packages[@]/#/--package=}" \
  --note "text=Four English texts from Debian packages, none repeated: the King James Bible as \`bible -f \
'Gen1:1-Rev22:21'\` prints it (bible-kjv); the GNU Collaborative International Dictionary of English, the dictd \
file unpacked (\`zcat /usr/share/dictd/gcide.dict.dz\`, dict-gcide), a large vocabulary with markup; the word list \
/usr/share/dict/american-english-huge (wamerican-huge), one word a line; and the quotations of fortunes, its text \
files in /usr/share/games/fortunes concatenated in name order (not the .dat index files)." \
  --note "image=Photos of libjxl-testdata, converted to binary PPM (P6) with ImageMagick (\`convert -depth 8\`): \
flower.png (2268 x 1512), its 1040 x 1040 crop flower_cropped.jpg (decoded from the JPEG), hdr_room.png (676 x 449, \
16 bits a sample reduced to 8) and three 500-pixel sRGB photos; sizes and speeds are of the P6 file. qoiconv reads \
and writes only PNG and QOI, so QOI is timed from an unfiltered, uncompressed PNG of the same pixels and its \
decompression writes a PNG (compressed by qoiconv itself): its times include that PNG work. WebP and JPEG XL \
restore the pixels in their own containers; their decoded samples are compared with the input's. On the smaller \
photos process start-up weighs on every tool's speed." \
  --note "mixed=This machine's x86-64 programs and libraries: the libstdc++ shared library, git, OpenSSL's \
libcrypto.so.3, libpython3.11.so.1.0 and cmake (1 to 10 MB), and two large ones, /usr/bin/gdb and the C++ \
compiler proper cc1plus. xz uses its x86 branch filter ahead of LZMA2 at preset 9."
mkdir -p "$docs"
# The section on the stream's block size comes from bench/blocks.sh: it is carried over from the page replaced.
if [ -f "$docs/benchmarks.md" ]; then
  awk '/^## / { keep = ($0 == "## Stream block size") } keep' "$docs/benchmarks.md" >"$work/blocks.md"
  if [ -s "$work/blocks.md" ]; then { echo; cat "$work/blocks.md"; } >>"$work/page/benchmarks.md"; fi
fi
cp "$work/page/"*.png "$work/page/benchmarks.md" "$docs/"
echo "Wrote $docs/benchmarks.md and $(ls "$work/page/"*.png | wc -l) plots in $(( $(date +%s) - start )) s" >&2
