#!/usr/bin/env bash
# content.sh — how often the content rule (the mode qz picks from the bytes) picks the mode whose file is smallest.
# Every file is compressed in each of the four modes by the qarn program (under a name of that mode; the usual
# fallbacks apply), and the rule's choice is read from the library. Files: the comparison corpus (texts, photos,
# binaries) and other real files of this machine: manual pages, licences, logs, headers, tables, photos under other
# names, programs without an extension. Sizes only: no timing.
# Usage: bench/content.sh <build dir>
set -euo pipefail
build=$(realpath "${1:-build}")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bench_need bible-kjv dict-gcide wamerican-huge fortunes libjxl-testdata imagemagick
work=$(mktemp -d /tmp/qarn-content.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/in"
in=$work/in

# The rule's choice, through the library's C interface.
cat >"$work/choice.c" <<'C'
#include <libqarn.h>
#include <stdio.h>
#include <stdlib.h>
int main(int argc, char** argv) {
  FILE* f = fopen(argv[1], "rb");
  if (!f || fseek(f, 0, SEEK_END)) return 1;
  long n = ftell(f);
  rewind(f);
  unsigned char* d = malloc(n + 1);
  if (fread(d, 1, n, f) != (size_t)n) return 1;
  puts(qarn_mode_name(qarn_mode_for_content(d, n)));
  return 0;
}
C
cc -O2 -o "$work/choice" "$work/choice.c" -I"$here/../include" "$build/libqarn.a" -lstdc++ -lm -pthread

# The comparison corpus.
bible -f 'Gen1:1-Rev22:21' >"$in/bible"
zcat /usr/share/dictd/gcide.dict.dz >"$in/gcide"
cp /usr/share/dict/american-english-huge "$in/american-english-huge"
find /usr/share/games/fortunes -maxdepth 1 -type f ! -name '*.dat' ! -name '*.u8' -print0 | LC_ALL=C sort -z |
  xargs -0 cat >"$in/fortunes"
t=/usr/share/libjxl-testdata
for p in jxl/flower/flower.png jxl/flower/flower_cropped.jpg jxl/hdr_room.png \
  external/wesaturate/500px/cvo9xd_keong_macan_srgb8.png external/wesaturate/500px/tmshre_riaphotographs_srgb8.png \
  external/wesaturate/500px/u76c0g_bliznaca_srgb8.png; do
  n=$(basename "${p%.*}"); /usr/bin/convert "$t/$p" -depth 8 "ppm:$in/${n%_srgb8}.ppm"
done
cp -L "$(readlink -f /usr/lib/x86_64-linux-gnu/libstdc++.so.6)" "$in/libstdc++.so"
cp -L /usr/bin/git "$in/git"
cp -L "$(dpkg -L libssl3 | grep -m1 '/libcrypto\.so\.3$')" "$in/libcrypto.so.3"
cp -L "$(dpkg -L libpython3.11 | grep -m1 '/libpython3\.11\.so\.1\.0$')" "$in/libpython3.11.so"
cp -L /usr/bin/cmake "$in/cmake"
cp -L /usr/bin/gdb "$in/gdb"
cp -L "$(g++ -print-prog-name=cc1plus)" "$in/cc1plus"
# Other real files.
zcat /usr/share/man/man1/bash.1.gz >"$in/bash.1"
cp /usr/share/common-licenses/GPL-3 "$in/GPL-3"
cat /usr/share/doc/*/copyright 2>/dev/null | head -c 3000000 >"$in/copyrights" || true  # cat stops at the cut
cat /usr/include/*.h >"$in/headers.h"
[ -s /var/log/dpkg.log ] && cp /var/log/dpkg.log "$in/dpkg.log"
cp /etc/services "$in/services"
python3 -c "
import json, random
random.seed(1)
print(json.dumps([{'id': i, 'name': 'item%d' % i, 'value': random.random()} for i in range(20000)]))" >"$in/items.json"
python3 -c "
import random
random.seed(2)
for i in range(50000): print('%d,%s,%.4f' % (i, random.choice(['red', 'green', 'blue']), random.random()))" >"$in/table.csv"
/usr/bin/convert "$t/jxl/flower/flower.png" -resize 50% -depth 8 "ppm:$in/flower-half"  # a photo with no extension
cp -L /usr/bin/ls "$in/ls"
cp -L "$(readlink -f /usr/lib/x86_64-linux-gnu/libc.so.6)" "$in/libc.so.6"
ar_file=$(find /usr/lib/x86_64-linux-gnu -maxdepth 1 -name 'lib*.a' -size +500k | LC_ALL=C sort | head -1)
[ -n "$ar_file" ] && cp "$ar_file" "$in/$(basename "$ar_file")"
tar -cf "$in/docs.tar" -C /usr/share/doc bash coreutils 2>/dev/null || true
gzip -c "$in/bash.1" >"$in/bash.1.gz"

printf '%-28s %11s | %10s %10s %10s %10s | %-6s %-6s %s\n' file bytes stored text image mixed chosen best hit
hits=0 total=0 lost=0 all=0
for f in "$in"/*; do
  name=$(basename "$f")
  declare -A size=() made=()
  words=(stored text image mixed)
  for m in stored:bin text:txt image:pnm mixed:dat; do
    cp "$f" "$work/x.${m#*:}"
    "$build/qarn" -c "$work/x.${m#*:}" "$work/x.q" >/dev/null
    size[${m%%:*}]=$(stat -c %s "$work/x.q")
    made[${m%%:*}]=${words[$(od -An -tu4 -N4 "$work/x.q" | tr -d ' ')]}  # the mode of the file written
  done
  # The smallest file, named by the mode it was written in (a fallback writes another mode's file).
  best=stored
  for m in text image mixed; do [ "${size[$m]}" -lt "${size[$best]}" ] && best=$m; done
  best=${made[$best]}
  chosen=$("$work/choice" "$f"); [ "$chosen" = default ] && chosen=stored
  min=${size[stored]}
  for m in text image mixed; do [ "${size[$m]}" -lt "$min" ] && min=${size[$m]}; done
  hit=yes
  [ "${size[$chosen]}" -gt "$min" ] && hit="no, +$(( (size[$chosen] - min) * 1000 / min ))‰"
  [ "$hit" = yes ] && hits=$((hits + 1))
  total=$((total + 1)) lost=$((lost + size[$chosen] - min)) all=$((all + min))
  printf '%-28s %11d | %10d %10d %10d %10d | %-6s %-6s %s\n' "$name" "$(stat -c %s "$f")" "${size[stored]}" \
    "${size[text]}" "${size[image]}" "${size[mixed]}" "$chosen" "$best" "$hit"
  unset size made
done
echo "The content rule picked the smallest mode for $hits of $total files; its files total $lost bytes more than the" \
  "smallest ($((lost * 1000 / all))‰ of $all)."
