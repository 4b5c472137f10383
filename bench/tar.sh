#!/usr/bin/env bash
# tar.sh — qz under tar, past qarn's size limit: `tar -I qz` archives a tree of this machine's files of about
# 1.5 GB (shared libraries, programs, and /usr/share), then `tar -I qz -d` reads the archive back and compares
# every file with the one on disk. Prints the sizes, the wall-clock time and speed of each direction, and qz's own
# peak resident memory in each (qz runs under /usr/bin/time through a wrapper that tar starts).
# Usage: bench/tar.sh <build dir>   (TAR_BENCH_BYTES sets the tree's size, 1500000000 by default)
set -Eeuo pipefail
trap 'echo "tar.sh: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
build=${1:-build}
bytes=${TAR_BENCH_BYTES:-1500000000}
. "$(dirname "$0")/lib.sh"
bench_need time tar
qz=$(realpath "$build/qz")
[ -x "$qz" ] || { echo "tar.sh: no qz in $build (make build first)" >&2; exit 1; }

base=/tmp
[ -d /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR==2 {print $4}')" -gt 3000000 ] && base=/dev/shm
work=$(mktemp -d "$base/qarn-tar.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The tree: regular files, readable, in a fixed order, until their sizes reach the total (paths relative to /, as
# tar stores them).
# A file linked under several names is archived once: each counts once.
{ find /usr/lib/x86_64-linux-gnu /usr/bin /usr/share -xdev -type f -readable -printf '%s\t%i\t%p\n' 2>/dev/null ||
  true; } | LC_ALL=C sort -t "$(printf '\t')" -k3,3 >"$work/all"
awk -F '\t' -v want="$bytes" '!seen[$2]++ { sum += $1; print substr($3, 2); if (sum >= want) exit }' "$work/all" \
  >"$work/list"
files=$(wc -l <"$work/list")

# qz as tar starts it, timed.
cat >"$work/qz" <<EOF
#!/bin/sh
exec /usr/bin/time -a -o "$work/peaks" -f '%M %e' "$qz" "\$@"
EOF
chmod +x "$work/qz"

loadavg() { cut -d' ' -f1-3 /proc/loadavg; }
echo "tar -I qz: $files files; $(nproc) processors; load average at the start $(loadavg)"
tar_bytes=$(tar -C / -cf - -T "$work/list" | wc -c)

seconds() { awk -v t0="$1" -v t1="$(date +%s.%N)" 'BEGIN { printf "%.3f", t1 - t0 }'; }
t0=$(date +%s.%N)
tar -C / -I "$work/qz" -cf "$work/tree.tar.qz" -T "$work/list"
c_secs=$(seconds "$t0")
t0=$(date +%s.%N)
tar -C / -I "$work/qz" -df "$work/tree.tar.qz" >"$work/diff" || {
  echo "tar.sh: the archive does not match the files:" >&2
  head "$work/diff" >&2
  exit 1
}
d_secs=$(seconds "$t0")
# The archive restores to the very bytes tar wrote.
want=$(tar -C / -cf - -T "$work/list" | sha256sum)
got=$("$qz" -dc "$work/tree.tar.qz" | sha256sum)
[ "$want" = "$got" ] || { echo "tar.sh: the archive does not restore to tar's bytes" >&2; exit 1; }

z=$(stat -c %s "$work/tree.tar.qz")
read -r c_peak _ < <(sed -n 1p "$work/peaks")
read -r d_peak _ < <(sed -n 2p "$work/peaks")
awk -v n="$tar_bytes" -v z="$z" -v cs="$c_secs" -v ds="$d_secs" -v cp="$c_peak" -v dp="$d_peak" 'BEGIN {
  printf "tar: %\047d bytes; .tar.qz: %\047d bytes (%.1f%%)\n", n, z, 100 * z / n
  printf "tar -I qz -c: %.1f s, %.1f MB/s; qz peak %.0f MiB\n", cs, n / 1e6 / cs, cp / 1024
  printf "tar -I qz -d (restore and compare every file): %.1f s, %.1f MB/s; qz -d peak %.0f MiB\n", ds, n / 1e6 / ds, dp / 1024
}'
echo "Every file matched, and the archive restored to tar's own bytes. Load average at the end $(loadavg)."
