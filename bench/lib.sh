# lib.sh — shared helpers of the benchmark scripts (sourced, not run).

# Installs the named Debian packages that are missing.
bench_need() {
  local need=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || need+=("$pkg")
  done
  if [ ${#need[@]} -gt 0 ]; then
    echo "Installing ${need[*]}" >&2
    local sudo=; [ "$(id -u)" -ne 0 ] && sudo=sudo
    # Another apt-get may hold the package lock for a while (other scripts install too): wait for it.
    local wait=(-o DPkg::Lock::Timeout=600)
    $sudo apt-get "${wait[@]}" update -qq &&
      DEBIAN_FRONTEND=noninteractive $sudo apt-get "${wait[@]}" install -y -qq "${need[@]}" >/dev/null ||
      { echo "bench_need: cannot install ${need[*]}" >&2; return 1; }
  fi
}

# median_seconds RUNS PREP CMD: runs PREP (untimed) and then CMD, RUNS times; prints the median wall time in seconds.
median_seconds() {
  local runs=$1 prep=$2 cmd=$3 i t0 t1 times=()
  for ((i = 0; i < runs; i++)); do
    eval "$prep"
    t0=$(date +%s.%N)
    eval "$cmd" >/dev/null
    t1=$(date +%s.%N)
    times+=("$(echo "$t1 - $t0" | bc -l)")
  done
  printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR]=$1} END {m=(NR%2)?a[(NR+1)/2]:(a[NR/2]+a[NR/2+1])/2; printf "%.4f\n", m}'
}

# peak_kib CMD: peak resident memory of CMD in KiB.
peak_kib() {
  /usr/bin/time -f '%M' -o /tmp/qarn-bench-peak.$$ bash -c "$1" >/dev/null 2>&1
  cat /tmp/qarn-bench-peak.$$; rm -f /tmp/qarn-bench-peak.$$
}
