#!/usr/bin/env bash
# consumers.sh — installs a build into a staging directory (DESTDIR) and builds the C example against it twice,
# through pkg-config and through find_package(qarn), then runs each build on real data and checks the files equal
# the qarn program's. As root it also runs `make install` into a temporary prefix that the loader is told of, and
# checks that a program linked with -lqarn runs at once. Usage: consumers.sh <build dir> <source dir>
set -euo pipefail
build=$(realpath "$1") src=$(realpath "$2")
work=$(mktemp -d)
# What the `make install` check below changes outside $work, undone on any exit: the installation (through
# `make uninstall`), the user's own record of an installation from this build, and the loader's configuration.
installed= kept= conf=
uninstall() {
  if [ -n "$installed" ]; then
    installed=
    # The record there is this test's: the user's was put aside.
    if [ -e "$build/installed.txt" ]; then
      env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL make -s -C "$src" uninstall BUILD="$build" DESTDIR= >/dev/null || true
      rm -f "$build/installed.txt"
    fi
  fi
}
restore() {
  uninstall
  if [ -n "$kept" ]; then mv "$kept" "$build/installed.txt" || true; kept=; fi
  if [ -n "$conf" ]; then rm -f "$conf"; conf=; ldconfig || true; fi
}
trap 'set +e; restore; rm -rf "$work"' EXIT
trap 'exit 129' HUP; trap 'exit 130' INT; trap 'exit 143' TERM

# A staged installation leaves the loader's cache alone: an ldconfig that records its calls comes first in PATH.
mkdir "$work/bin" && printf '#!/bin/sh\necho "$*" >>"%s"\n' "$work/ldconfig-calls" >"$work/bin/ldconfig"
chmod +x "$work/bin/ldconfig"
stage=$work/stage prefix=/usr/local
DESTDIR=$stage PATH=$work/bin:$PATH cmake --install "$build" --prefix "$prefix" >/dev/null
[ ! -e "$work/ldconfig-calls" ] || { echo "a staged installation ran ldconfig"; exit 1; }
root=$stage$prefix
libdir=$(dirname "$(find "$root" -name 'libqarn.so' | head -1)")
for f in "$root/bin/qarn" "$root/bin/qz" "$root/bin/unqz" "$root/include/libqarn.h" "$libdir/libqarn.a" \
  "$root/share/man/man1/qarn.1" "$root/share/man/man1/qz.1" "$root/share/man/man1/unqz.1" \
  "$root/share/bash-completion/completions/qz" "$root/share/bash-completion/completions/unqz" \
  "$root/share/qarn/qz.magic" \
  "$libdir/pkgconfig/qarn.pc" "$libdir/cmake/qarn/qarnConfig.cmake"; do
  [ -f "$f" ] || { echo "not installed: $f"; exit 1; }
done
[ "$(readlink "$root/bin/unqz")" = qz ] || { echo "unqz is not qz under another name"; exit 1; }
# `man unqz` shows qz's page.
if command -v man >/dev/null; then
  shown=$(man -M "$root/share/man" -w unqz) || { echo "man unqz finds no page"; exit 1; }
  [ "$shown" = "$root/share/man/man1/qz.1" ] || { echo "man unqz shows $shown, not qz.1"; exit 1; }
else
  [ "$(cat "$root/share/man/man1/unqz.1")" = ".so man1/qz.1" ] || { echo "unqz.1 does not lead to qz.1"; exit 1; }
fi
# The shared library is stripped like the programs, and still exports every function of the C interface.
so=$(realpath "$libdir/libqarn.so")
for f in "$root/bin/qarn" "$root/bin/qz" "$so"; do
  [[ $(readelf -S -W "$f") != *.symtab* ]] || { echo "not stripped: $f"; exit 1; }
done
exports() { nm -D --defined-only "$1" | awk '$2 == "T" { sub(/@.*/, "", $3); print $3 }' | sort; }
declared=$({ grep -oE '\bqarn_[a-z0-9_]+ *\(' "$src/include/libqarn.h" || true; } | tr -d ' (' | sort -u)
[ -n "$declared" ] && [ "$(exports "$so")" = "$declared" ] &&
  [ "$(exports "$build/$(basename "$so")")" = "$declared" ] ||
  { echo "the installed library does not export the functions of libqarn.h:"; exports "$so"; exit 1; }
# The README's Install section names every installed file (relative to the prefix, the library folder as lib/),
# and no other. CMake writes one qarnTargets-<build type>.cmake: the README names the default's, Release.
listed=$(awk '/^## /{on = ($0 == "## Install")} on' "$src/README.md" | tr -s ' \t`,()' '\n' |
  { grep -E '^(bin|lib|include|share)/.' || true; } | sort -u)
files=$(cd "$root" && find . ! -type d | sed "s|^\./||; s|^${libdir#"$root"/}/|lib/|" |
  sed 's|/qarnTargets-[a-z]*\.cmake$|/qarnTargets-release.cmake|' | sort -u)
[ "$listed" = "$files" ] || { echo "the README's Install section lists (<) other files than are installed (>):"
  diff <(echo "$listed") <(echo "$files"); exit 1; }
# The completion offers .qz files when decompressing and every file when compressing.
mkdir "$work/comp" && touch "$work/comp/a.qz" "$work/comp/b.txt"
offered=$(cd "$work/comp" && bash -c 'compopt() { :; }; . "$1"; COMP_WORDS=(qz -d ""); COMP_CWORD=2; _qz
  echo "${COMPREPLY[*]}"; COMP_WORDS=(qz ""); COMP_CWORD=1; _qz; echo "${COMPREPLY[*]}"' _ "$root/share/bash-completion/completions/qz")
[ "$offered" = "$(printf 'a.qz\na.qz b.txt')" ] || { echo "completion offered: $offered"; exit 1; }
# The installed magic fragment names a stream that the installed qz writes (where file is installed).
if command -v file >/dev/null; then
  printf 'a few words\n' | "$root/bin/qz" >"$work/words.qz"
  named=$(file -b -m "$root/share/qarn/qz.magic" "$work/words.qz")
  [[ $named == "qz compressed data (.qz stream version 1)"* ]] || { echo "file -m qz.magic says: $named"; exit 1; }
fi

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

# As root, `make install` without DESTDIR updates the loader's cache: the example linked through pkg-config runs
# without LD_LIBRARY_PATH, and `make uninstall` takes the library out of the cache again. The temporary prefix is
# made known to the loader by a file of this test's own, named to come before the system's files, so that its
# library is the one found even where another libqarn is installed.
if [ "$(id -u)" != 0 ]; then
  echo "consumers: not root, so the check that make install updates the loader's cache is skipped"
elif [ ! -d /etc/ld.so.conf.d ] || ! grep -qs '^include /etc/ld.so.conf.d/\*\.conf' /etc/ld.so.conf; then
  echo "consumers: the loader does not read /etc/ld.so.conf.d, so the check of its cache is skipped"
else
  # The make run from inside a test: nothing of an outer make's flags, an installation without DESTDIR.
  mk() { env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL make -C "$src" "$@" BUILD="$build" DESTDIR=; }
  inst=$work/prefix instlib=$work/prefix/${libdir#"$root"/}
  mkdir "$inst"
  if [ -e "$build/installed.txt" ]; then kept=$work/installed.txt.kept; mv "$build/installed.txt" "$kept"; fi
  conf=$(mktemp --suffix=.conf /etc/ld.so.conf.d/00-qarn-consumers-test-XXXXXX)
  echo "$instlib" >"$conf" && chmod 644 "$conf"
  installed=1
  mk install PREFIX="$inst" >"$work/make-install.log" 2>&1 || { cat "$work/make-install.log"; exit 1; }
  PKG_CONFIG_PATH=$instlib/pkgconfig
  cc -o "$work/example-installed" "$src/examples/qarn_example.c" $(pkg-config --cflags --libs qarn)
  found=$(env -u LD_LIBRARY_PATH ldd "$work/example-installed" | awk '$1 == "libqarn.so.1" { print $3 }' || true)
  [ "$found" = "$instlib/libqarn.so.1" ] || {
    echo "after make install, the loader does not find $instlib/libqarn.so.1:"
    env -u LD_LIBRARY_PATH ldd "$work/example-installed"; exit 1; }
  env -u LD_LIBRARY_PATH "$work/example-installed" "$work/licence.txt" "$work/licence.txt.installed.q" >/dev/null
  cmp "$work/licence.txt.q" "$work/licence.txt.installed.q"
  mk uninstall >"$work/make-uninstall.log" 2>&1 || { cat "$work/make-uninstall.log"; exit 1; }
  installed=
  left=$(find "$inst" ! -type d)
  [ -z "$left" ] || { echo "make uninstall left:"; echo "$left"; exit 1; }
  cached=$(ldconfig -p | grep -F "$instlib/" || true)
  [ -z "$cached" ] || { echo "make uninstall left the library in the loader's cache:"; echo "$cached"; exit 1; }
  if [ -n "$kept" ]; then
    cp -p "$kept" "$work/installed.txt.before"
    restore
    cmp "$work/installed.txt.before" "$build/installed.txt" ||
      { echo "the record of an installation from this build changed"; exit 1; }
  else
    restore
    [ ! -e "$build/installed.txt" ] || { echo "a record of an installation was left in $build"; exit 1; }
  fi
fi
echo "consumers: pkg-config and find_package builds agree with the program"
