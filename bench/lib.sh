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

# The comparison corpus, from Debian packages: texts (bible-kjv, dict-gcide, wamerican-huge, fortunes), photos
# (libjxl-testdata, converted with imagemagick) and programs and libraries (git, libssl3, libpython3.11, cmake, gdb,
# g++).
corpus_packages=(bible-kjv dict-gcide wamerican-huge fortunes libjxl-testdata imagemagick git libssl3 libpython3.11
  cmake gdb g++)

# bench_corpus DIR: writes the corpus to DIR/text, DIR/image and DIR/mixed (made here). qarn picks its mode from the
# name, so every input ends in its mode's extension. Nothing is repeated to make a larger input. Sets corpus_texts,
# corpus_images and corpus_programs to the files' paths, in the order the pages list them.
bench_corpus() {
  local dir=$1 convert=/usr/bin/convert  # ImageMagick's own; another 'convert' may come first on the PATH
  local me; me=$(basename "$0" .sh)
  need_file() {  # need_file PATH: fails loudly when a corpus source is missing or empty
    [ -s "$1" ] || { echo "$me: missing or empty corpus source $1" >&2; exit 1; }
  }
  mkdir -p "$dir/text" "$dir/image" "$dir/mixed"
  # Text: a book, a large dictionary, a word list and a collection of quotations.
  bible -f 'Gen1:1-Rev22:21' >"$dir/text/bible.txt"
  need_file /usr/share/dictd/gcide.dict.dz
  zcat /usr/share/dictd/gcide.dict.dz >"$dir/text/gcide.txt"
  need_file /usr/share/dict/american-english-huge
  cp /usr/share/dict/american-english-huge "$dir/text/american-english-huge.txt"
  # The quotations' text files, in name order; the .dat index files and the .u8 links are left out.
  find /usr/share/games/fortunes -maxdepth 1 -type f ! -name '*.dat' ! -name '*.u8' -print0 | LC_ALL=C sort -z |
    xargs -0 cat >"$dir/text/fortunes.txt"
  corpus_texts=("$dir/text/"{bible,gcide,american-english-huge,fortunes}.txt)
  local f
  for f in "${corpus_texts[@]}"; do need_file "$f"; done

  # Photos: libjxl-testdata's three 500-pixel sRGB photos, the flower photo (10 MB as P6), its 1040-pixel crop
  # (stored there as a JPEG) and the room photo (16 bits a sample, reduced to 8), each converted to binary PPM (P6).
  local testdata=/usr/share/libjxl-testdata
  local photos=(
    "$testdata/jxl/flower/flower.png"
    "$testdata/jxl/flower/flower_cropped.jpg"
    "$testdata/jxl/hdr_room.png"
    "$testdata/external/wesaturate/500px/cvo9xd_keong_macan_srgb8.png"
    "$testdata/external/wesaturate/500px/tmshre_riaphotographs_srgb8.png"
    "$testdata/external/wesaturate/500px/u76c0g_bliznaca_srgb8.png"
  )
  local photo name
  corpus_images=()
  for photo in "${photos[@]}"; do
    need_file "$photo"
    name=$(basename "${photo%.*}")
    name=${name%_srgb8}
    $convert "$photo" -depth 8 "ppm:$dir/image/$name.pnm"
    corpus_images+=("$dir/image/$name.pnm")
  done

  # Binaries: this machine's programs and libraries of 1 to 10 MB, and two large programs.
  local binaries=(
    "$(readlink -f /usr/lib/x86_64-linux-gnu/libstdc++.so.6)|libstdc++.so"
    "/usr/bin/git|git"
    "$(dpkg -L libssl3 | grep -m1 '/libcrypto\.so\.3$')|libcrypto.so.3"
    "$(dpkg -L libpython3.11 | grep -m1 '/libpython3\.11\.so\.1\.0$')|libpython3.11.so"
    "/usr/bin/cmake|cmake"
    "/usr/bin/gdb|gdb"
    "$(g++ -print-prog-name=cc1plus)|cc1plus"
  )
  local b
  corpus_programs=()
  for b in "${binaries[@]}"; do
    need_file "${b%%|*}"
    cp -L "${b%%|*}" "$dir/mixed/${b#*|}.dat"
    corpus_programs+=("$dir/mixed/${b#*|}.dat")
  done
}
