#!/usr/bin/env bash
# consumers.sh — installs a build into a staging directory (DESTDIR) and builds the C example against it twice,
# through pkg-config and through find_package(qarn), then runs each build on real data and checks the files equal
# the qarn program's. Usage: consumers.sh <build dir> <source dir>
set -euo pipefail
build=$(realpath "$1") src=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/stage prefix=/usr/local
DESTDIR=$stage cmake --install "$build" --prefix "$prefix" >/dev/null
root=$stage$prefix
libdir=$(dirname "$(find "$root" -name 'libqarn.so' | head -1)")
for f in "$root/bin/qarn" "$root/bin/qz" "$root/bin/unqz" "$root/include/libqarn.h" "$libdir/libqarn.a" \
  "$root/share/man/man1/qarn.1" "$root/share/man/man1/qz.1" "$root/share/bash-completion/completions/qz" \
  "$root/share/bash-completion/completions/unqz" "$libdir/pkgconfig/qarn.pc" "$libdir/cmake/qarn/qarnConfig.cmake"; do
  [ -f "$f" ] || { echo "not installed: $f"; exit 1; }
done
[ "$(readlink "$root/bin/unqz")" = qz ] || { echo "unqz is not qz under another name"; exit 1; }
# The completion offers .qz files when decompressing and every file when compressing.
mkdir "$work/comp" && touch "$work/comp/a.qz" "$work/comp/b.txt"
offered=$(cd "$work/comp" && bash -c 'compopt() { :; }; . "$1"; COMP_WORDS=(qz -d ""); COMP_CWORD=2; _qz
  echo "${COMPREPLY[*]}"; COMP_WORDS=(qz ""); COMP_CWORD=1; _qz; echo "${COMPREPLY[*]}"' _ "$root/share/bash-completion/completions/qz")
[ "$offered" = "$(printf 'a.qz\na.qz b.txt')" ] || { echo "completion offered: $offered"; exit 1; }

# Real data: this machine's own program and a text, plus a generated photo.
cp "$root/bin/qarn" "$work/program.dat"
if [ -f /usr/share/common-licenses/GPL-3 ]; then cp /usr/share/common-licenses/GPL-3 "$work/licence.txt"; else
  printf 'a text of a few words, repeated\n%.0s' $(seq 2000) >"$work/licence.txt"; fi
{ printf 'P6\n300 200\n255\n'; head -c 180000 /dev/zero | tr '\0' '\100'; } >"$work/photo.pnm"

# 1. pkg-config, the shared library.
export PKG_CONFIG_PATH=$libdir/pkgconfig
cc -o "$work/example-pc" "$src/examples/qarn_example.c" $(pkg-config --cflags --libs qarn)
# 2. find_package(qarn), shared and static.
cmake -S "$src/examples" -B "$work/example-build" -G Ninja -DCMAKE_PREFIX_PATH="$root" >/dev/null
cmake --build "$work/example-build" | tail -20

for f in program.dat licence.txt photo.pnm; do
  "$root/bin/qarn" -c "$work/$f" "$work/$f.q" >/dev/null
  for exe in "$work/example-pc" "$work/example-build/qarn_example" "$work/example-build/qarn_example_static"; do
    LD_LIBRARY_PATH=$libdir "$exe" "$work/$f" "$work/$f.lib.q"
    cmp "$work/$f.q" "$work/$f.lib.q"
  done
done
echo "consumers: pkg-config and find_package builds agree with the program"
