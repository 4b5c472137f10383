#!/usr/bin/env bash
# blocks.sh — the stream's block size: for each size of a grid, the size of the stream of every comparison file and
# of a 200 MB concatenation against the one plain qarn file of the same input, and the peak memory of compressing
# and decompressing through a pipe; then, at the size chosen, every mode's memory and a 1.5 GB concatenation's
# memory and speed. Prints the tables and the choice: the smallest size whose stream is at most 1% larger than the
# plain file for every input, file by file, and whose peak memory on one thread stays within 512 MiB for every
# input.
# Usage: bench/blocks.sh <build dir>
# BLOCKS_SIZES: the grid, in MiB ("4 8 16 24 32 34 35 36 40 48 64"); BLOCKS_BIG: the bytes of the large
# concatenation (1500000000; 0 leaves it out); BLOCKS_DOC=FILE writes the section "Stream block size" into FILE (a
# section of that title already there is replaced, else it is added at the end); BLOCKS_KEEP=FILE keeps the rows
# measured; BLOCKS_POOL="FILE..." pools rows kept from earlier runs with this run's for the rules and the tables
# (with two threads the peak memory of mixed content moves from run to run, and one run may miss its highest
# values). The default run takes about 14 minutes on a 2-core machine.
set -Eeuo pipefail
trap 'echo "blocks: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
sizes=${BLOCKS_SIZES:-4 8 16 24 32 34 35 36 40 48 64}
big=${BLOCKS_BIG:-1500000000}
concat_bytes=200000000
limit_mib=512 slack_percent=1

. "$here/lib.sh"
# libicu72 and libllvm14 give the concatenation its last 59 MB: programs' data and code unlike the corpus's.
bench_need "${corpus_packages[@]}" libicu72 libllvm14 time python3
tool=$(realpath "$build/bench/stream_tool")
qarn=$(realpath "$build/qarn")
[ -x "$tool" ] && [ -x "$qarn" ] || { echo "blocks: build $build first (qarn and bench/stream_tool)" >&2; exit 1; }
commit=$(git -C "$(dirname "$here")" describe --always --dirty --abbrev=10 2>/dev/null || echo unknown)
start=$(date +%s)

# Files live in memory where there is room (about 3 GB is needed), so that the disk's write-back does not time
# itself.
base=/tmp
[ -d /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR==2 {print $4}')" -gt 4000000 ] && base=/dev/shm
work=$(mktemp -d "$base/qarn-blocks.XXXXXX")
trap 'rm -rf "$work"' EXIT
rows=$work/rows.tsv
: >"$rows"

# ---- The inputs. ----
bench_corpus "$work/corpus"
inputs=("${corpus_texts[@]}" "${corpus_images[@]}" "${corpus_programs[@]}")
# The concatenation: every corpus file once, in the order above, then ICU's data library and the start of LLVM's
# library, cut at 200,000,000 bytes. Nothing in it repeats: a copy of an earlier part (another copy of a corpus
# file, or cc1 and lto1, which share most of their code with cc1plus) is found by the plain file however far back
# it lies and by no block that does not hold both, so it would measure the distance of the copy, not the block
# size. (The row "near copies" shows such a concatenation once, at the size chosen.)
first_bytes() {  # first_bytes N FILES...: the first N bytes of the files' concatenation
  local n=$1; shift
  { cat "$@" || true; } | head -c "$n"
}
concat=$work/concat200
first_bytes "$concat_bytes" "${inputs[@]}" "$(readlink -f /usr/lib/x86_64-linux-gnu/libicudata.so.72)" \
  "$(readlink -f /usr/lib/x86_64-linux-gnu/libLLVM-14.so.1)" >"$concat"
near=$work/near200
first_bytes "$concat_bytes" "${inputs[@]}" "$(g++ -print-prog-name=cc1)" "$(g++ -print-prog-name=lto1)" >"$near"
random=$work/random200
head -c "$concat_bytes" /dev/urandom >"$random"

label() { local b; b=$(basename "$1"); b=${b%.txt}; b=${b%.pnm}; b=${b%.dat}; echo "$b"; }

# ---- The runs. ----
# compress IN BLOCK_MIB THREADS [MODE]: the stream in $work/z; prints "bytes peak_kib seconds"
compress() {
  local in=$1 b=$2 t=$3 m=${4:--1}
  cat "$in" | /usr/bin/time -o "$work/time" -f '%M %e' "$tool" -c -b $((b << 20)) -t "$t" -m "$m" >"$work/z"
  local peak secs; read -r peak secs <"$work/time"
  echo "$(stat -c %s "$work/z") $peak $secs"
}
# decompress IN THREADS: restores $work/z through a pipe and checks it against IN; prints "peak_kib seconds"
decompress() {
  local in=$1 t=$2
  cat "$work/z" | /usr/bin/time -o "$work/time" -f '%M %e' "$tool" -d -t "$t" | cmp -s - "$in" ||
    { echo "blocks: $(label "$in") was not restored" >&2; exit 1; }
  cat "$work/time"
}
# row KIND LABEL BLOCK THREADS BYTES Z PLAIN MODE CPEAK CSECS DPEAK DSECS
row() { local IFS=$'\t'; echo "$*" >>"$rows"; }
# measure KIND IN BLOCK THREADS PLAIN MODE [STREAM_MODE]
measure() {
  local kind=$1 in=$2 b=$3 t=$4 plain=$5 mode=$6 c d
  c=$(compress "$in" "$b" "$t" "${7:--1}")
  d=$(decompress "$in" "$t")
  set -- $c $d
  row "$kind" "$(label "$in")" "$b" "$t" "$(stat -c %s "$in")" "$1" "$plain" "$mode" "$2" "$3" "$4" "$5"
}

# The plain files: qz's content rule on the whole input, then that mode's file, which must be what `qarn -c` writes
# for an input named for that mode.
declare -A plain_bytes plain_mode
echo "Plain files of $((${#inputs[@]} + 2)) inputs" >&2
for in in "${inputs[@]}" "$concat" "$near"; do
  "$tool" -p <"$in" >"$work/plain" 2>"$work/mode"
  mode=$(cat "$work/mode")
  case $mode in text) ext=txt ;; image) ext=pnm ;; mixed) ext=dat ;; *) ext=bin ;; esac
  ln -sf "$in" "$work/named.$ext"
  "$qarn" -c "$work/named.$ext" "$work/qarn.q" >/dev/null
  cmp -s "$work/plain" "$work/qarn.q" || { echo "blocks: the plain file of $(label "$in") is not qarn's" >&2; exit 1; }
  plain_bytes[$in]=$(stat -c %s "$work/plain") plain_mode[$in]=$mode
  rm -f "$work/named.$ext"
done

# The grid: every input at every size on the programs' default threads (0), and the incompressible input, the
# costliest in memory, and the concatenation on one thread too, which the memory rule takes. An input no larger
# than the previous size is one block there and here, with the same stream: its row is carried over. With two
# threads the peak of mixed content moves from run to run (by up to 100 MiB near 35 MiB blocks): the concatenation
# is compressed three times there, to show the spread.
prev=0
for b in $sizes; do
  echo "Block size $b MiB ($(( $(date +%s) - start )) s so far)" >&2
  for in in "${inputs[@]}"; do
    if [ "$(stat -c %s "$in")" -le $((prev << 20)) ]; then
      awk -F'\t' -v OFS='\t' -v name="$(label "$in")" -v from="$prev" -v to="$b" \
        '$1 == "file" && $2 == name && $3 == from { $3 = to; print }' "$rows" >>"$rows.more"
      cat "$rows.more" >>"$rows"; rm -f "$rows.more"
    else
      measure file "$in" "$b" 0 "${plain_bytes[$in]}" "${plain_mode[$in]}"
    fi
  done
  measure concat "$concat" "$b" 0 "${plain_bytes[$concat]}" "${plain_mode[$concat]}"
  for again in 1 2; do
    set -- $(compress "$concat" "$b" 0)
    row repeat concat200 "$b" 0 "$concat_bytes" "$1" "${plain_bytes[$concat]}" mixed "$2" "$3" 0 0
  done
  measure concat "$concat" "$b" 1 "${plain_bytes[$concat]}" "${plain_mode[$concat]}"
  measure random "$random" "$b" 0 0 -
  measure random "$random" "$b" 1 0 -
  prev=$b
done

pool=()
for f in ${BLOCKS_POOL:-}; do pool+=(--rows "$(realpath "$f")"); done
report() {
  /usr/bin/python3 "$here/blocks.py" --rows "$rows" "${pool[@]}" --limit-mib "$limit_mib" --slack "$slack_percent" \
    --commit "$commit" "$@"
}
chosen=$(report --choose)
# The large concatenation, past qarn's limit (the 200 MB one over and over), is part of the memory rule: compressed
# at the size chosen, it may pass the limit where the 200 MB inputs did not (more blocks, more chances of a high
# peak); then the choice moves to the next size the rules allow, and that one is tried.
bigname=concat$((big / 1000000))
if [ "$big" -gt 0 ]; then
  { while cat "$concat"; do :; done || true; } | head -c "$big" >"$work/big"
  for try in 1 2 3 4; do
    echo "Chosen so far: $chosen MiB; the large concatenation at that size ($(( $(date +%s) - start )) s so far)" >&2
    set -- $(compress "$work/big" "$chosen" 1)
    row big "$bigname" "$chosen" 1 "$big" "$1" 0 - "$2" "$3" 0 0
    next=$(report --choose)
    [ "$next" != "$chosen" ] || break
    chosen=$next
  done
fi
echo "Chosen: $chosen MiB; every mode at that size" >&2

# At the size chosen: every mode's memory on both thread settings. Text: the Bible repeated to 200 MB (text-mode
# blocks); image: the flower photo scaled to image mode's limit, and a PNM of random samples of that size (one
# block whatever the block size); incompressible input forced into stored and text mode.
bible -f 'Gen1:1-Rev22:21' >"$work/bible"
text=$work/text200
: >"$text"
while [ "$(stat -c %s "$text")" -lt "$concat_bytes" ]; do cat "$work/bible" >>"$text"; done
truncate -s "$concat_bytes" "$text"
side=$(/usr/bin/python3 -c "import math; print(int(math.sqrt((100000000 - 65536 - 64) / 3)))")
photo=$work/photo.pnm noise=$work/noise.pnm
/usr/bin/convert /usr/share/libjxl-testdata/jxl/flower/flower.png -resize "${side}x${side}!" -depth 8 "ppm:$photo"
{ printf 'P6\n%d %d\n255\n' "$side" "$side"; head -c $((3 * side * side)) /dev/urandom; } >"$noise"
for t in 0 1; do
  measure mode "$text" "$chosen" "$t" 0 text
  measure mode "$photo" "$chosen" "$t" 0 image
  measure mode "$noise" "$chosen" "$t" 0 image
  measure mode "$random" "$chosen" "$t" 0 stored 0
  measure mode "$random" "$chosen" "$t" 0 text 1
done
rm -f "$text" "$photo" "$noise"
measure near "$near" "$chosen" 0 "${plain_bytes[$near]}" "${plain_mode[$near]}"

# Speed against qarn where it can take the input: the 200 MB concatenation, three rounds of each, taking turns.
ln -sf "$concat" "$work/concat.dat"
for round in 1 2 3; do
  set -- $(compress "$concat" "$chosen" 0) $(decompress "$concat" 0)
  row speed-stream concat200 "$chosen" 0 "$concat_bytes" "$1" "${plain_bytes[$concat]}" mixed "$2" "$3" "$4" "$5"
  /usr/bin/time -o "$work/time" -f '%M %e' "$qarn" -c "$work/concat.dat" "$work/q" >/dev/null
  read -r cpeak csecs <"$work/time"
  /usr/bin/time -o "$work/time" -f '%M %e' "$qarn" -d "$work/q" "$work/out" >/dev/null
  read -r dpeak dsecs <"$work/time"
  cmp -s "$work/out" "$concat" || { echo "blocks: qarn did not restore the concatenation" >&2; exit 1; }
  row speed-qarn concat200 0 0 "$concat_bytes" "$(stat -c %s "$work/q")" "${plain_bytes[$concat]}" mixed \
    "$cpeak" "$csecs" "$dpeak" "$dsecs"
  rm -f "$work/q" "$work/out"
done

# The large concatenation at the size chosen: on threads 0, restored through a pipe (the speed and the
# decompression peak).
if [ "$big" -gt 0 ]; then
  echo "The large concatenation ($(( $(date +%s) - start )) s so far)" >&2
  rm -f "$random" "$near"
  c=$(compress "$work/big" "$chosen" 0)
  d=$(decompress "$work/big" 0)
  set -- $c $d
  row big "$bigname" "$chosen" 0 "$big" "$1" 0 - "$2" "$3" "$4" "$5"
  rm -f "$work/big" "$work/z"
fi

elapsed=$(( $(date +%s) - start ))
report --seconds "$elapsed" --chosen "$chosen" ${BLOCKS_DOC:+--doc "$BLOCKS_DOC"}
[ -z "${BLOCKS_KEEP:-}" ] || cp "$rows" "$BLOCKS_KEEP"
echo "Done in $elapsed s" >&2
