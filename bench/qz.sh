#!/usr/bin/env bash
# qz.sh — qz against qarn on the same files: qz -d and qz -t against qarn -d, and qz's compression of plain files
# (--format=qarn; in the mode named with --mode, and in the mode it picks itself when that is the same) against
# qarn -c, each to be within 10%; and qz's own .qz stream (in the mode named with --mode) against qarn's plain file:
# compression on one core (taskset) within 5% of qarn -c's, restoring the stream no slower than qarn -d restores
# the plain file, and their sizes.
# Usage: bench/qz.sh <build dir>   (BENCH_RUNS sets the timed runs of each command, 11 by default)
#
# The corpus: the King James Bible, the gcide dictionary and a word list (text); three photos of libjxl-testdata
# as P6 PNM (image); git, cmake, libstdc++ and libpython (mixed); 20 MB of random bytes (stored). For each file the
# two programs take turns run by run, each run a whole process timed from start to exit; every compressed file must
# be the one qarn -c wrote, and every restored file the input (cmp). Wall-clock medians, their spread (min-max) and
# the ratio qz/qarn of the medians are printed per file and direction, then for each target the worst and best
# ratio over the files and "met" (worst within 10%) or "MISS". A miss is a finding, not a failure: the exit status
# is 1 only when a program fails or a file does not come back.
set -Eeuo pipefail
trap 'echo "qz.sh: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
runs=${BENCH_RUNS:-11}
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "qz.sh: BENCH_RUNS must be a positive whole number" >&2; exit 1; }
. "$here/lib.sh"
bench_need bible-kjv dict-gcide wamerican-huge libjxl-testdata imagemagick git cmake libstdc++6 libpython3.11 \
  python3
for p in qarn qz libqarn.so; do
  [ -e "$build/$p" ] || { echo "qz.sh: no $p in $build (make build first)" >&2; exit 1; }
done
build=$(realpath "$build")
convert=/usr/bin/convert  # ImageMagick's own; another 'convert' may come first on the PATH

# Inputs and outputs live in memory where there is room (tmpfs), so that the disk's write-back times nothing.
base=/tmp
[ -d /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR==2 {print $4}')" -gt 2000000 ] && base=/dev/shm
work=$(mktemp -d "$base/qarn-qz-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/in" "$work/out"

need_file() {  # need_file PATH: fails loudly when a corpus source is missing or empty
  [ -s "$1" ] || { echo "qz.sh: missing or empty corpus source $1" >&2; exit 1; }
}

# qarn picks its mode from the name, so every input ends in its mode's extension (.bin is none of them: stored).
bible -f 'Gen1:1-Rev22:21' >"$work/in/bible.txt"
need_file /usr/share/dictd/gcide.dict.dz
zcat /usr/share/dictd/gcide.dict.dz >"$work/in/gcide.txt"
need_file /usr/share/dict/american-english-huge
cp /usr/share/dict/american-english-huge "$work/in/words.txt"
testdata=/usr/share/libjxl-testdata
for photo in jxl/flower/flower.png jxl/flower/flower_cropped.jpg \
  external/wesaturate/500px/cvo9xd_keong_macan_srgb8.png; do
  need_file "$testdata/$photo"
  name=$(basename "${photo%.*}")
  name=${name%_srgb8}
  $convert "$testdata/$photo" -depth 8 "ppm:$work/in/${name#cvo9xd_}.pnm"
done
for b in "/usr/bin/git|git" "/usr/bin/cmake|cmake" \
  "$(readlink -f /usr/lib/x86_64-linux-gnu/libstdc++.so.6)|libstdc++.so" \
  "$(dpkg -L libpython3.11 | grep -m1 '/libpython3\.11\.so\.1\.0$')|libpython3.11.so"; do
  need_file "${b%%|*}"
  cp -L "${b%%|*}" "$work/in/${b#*|}.dat"
done
head -c 20000000 /dev/urandom >"$work/in/random.bin"
for f in "$work/in/"*; do need_file "$f"; done

# The measurement; it prints its own message when a program fails or a file does not come back.
/usr/bin/python3 - "$build" "$work" "$runs" <<'PY' || exit 1
import ctypes, os, statistics, subprocess, sys, time

build, work, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
qarn, qz = f"{build}/qarn", f"{build}/qz"
lib = ctypes.CDLL(f"{build}/libqarn.so")
lib.qarn_mode_for_content.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
lib.qarn_mode_for_content.restype = ctypes.c_int
MODES = {0: "stored", 1: "text", 2: "image", 3: "mixed"}
EXT = {".txt": "text", ".pnm": "image", ".dat": "mixed"}
began = time.monotonic()


def loadavg():
    return " ".join(open("/proc/loadavg").read().split()[:3])


TASKSET = "/usr/bin/taskset"
print(f"qz against qarn: {runs} run{'s' * (runs > 1)} of each command, taking turns; files in {os.path.dirname(work)}; "
      f"{os.cpu_count()} processors; load average at the start {loadavg()}", flush=True)

err = f"{work}/stderr"


def run(argv, out=None):
    """Runs one program to its end and returns its wall-clock time in seconds, from just before it is started to
    just after it is reaped, and its processor time (user + system, from wait4); standard input is /dev/null,
    standard output and error go to files. A failure stops the whole run."""
    if out is not None and os.path.lexists(out) and out != "/dev/null":
        os.unlink(out)
    actions = [(os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
               (os.POSIX_SPAWN_OPEN, 1, "/dev/null", os.O_WRONLY, 0),
               (os.POSIX_SPAWN_OPEN, 2, err, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)]
    t0 = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
    _, status, usage = os.wait4(pid, 0)
    t1 = time.perf_counter()
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"qz.sh: {' '.join(argv)} failed (status {os.waitstatus_to_exitcode(status)}): "
                 f"{open(err).read().strip()}")
    return t1 - t0, usage.ru_utime + usage.ru_stime


def same(a, b, what):
    if subprocess.run(["cmp", "-s", a, b]).returncode != 0:
        sys.exit(f"qz.sh: {what}: {a} differs from {b}")


rows = []  # (file, direction, target, qarn times, qz times); times are (wall, processor) pairs
sizes = []  # (file, stream bytes, plain file bytes)
order = ["text", "image", "mixed", "stored"]
names = sorted(os.listdir(f"{work}/in"), key=lambda n: (order.index(EXT.get(os.path.splitext(n)[1], "stored")), n))
for name in names:
    src = f"{work}/in/{name}"
    mode = EXT.get(os.path.splitext(name)[1], "stored")
    data = open(src, "rb").read()
    picked = MODES[lib.qarn_mode_for_content(data, len(data))]
    size = len(data)
    del data
    o = f"{work}/out/{name}"
    ref, back = o + ".ref", o + ".back"
    # The reference file, written once by qarn -c; it and the first runs below are not timed.
    run([qarn, "-c", src, ref], ref)
    run([qarn, "-d", ref, back], back)
    same(src, back, "qarn -d")

    # qz writes qarn's plain files with --format=qarn (its default is the .qz stream).
    comp = [("qarn -c", [qarn, "-c", src, o + ".qarn"], o + ".qarn"),
            (f"qz --mode={mode}", [qz, "--format=qarn", f"--mode={mode}", "-f", "-o", o + ".qz", src], o + ".qz")]
    if picked == mode:  # qz in the mode it picks itself; qarn -c runs again so that the two still alternate
        comp += [("qarn -c", comp[0][1], comp[0][2]),
                 ("qz", [qz, "--format=qarn", "-f", "-o", o + ".qz2", src], o + ".qz2")]
    # The stream in the same mode, on one core like qarn -c beside it; written once untimed to restore below.
    stream = o + ".stream.qz"
    run([qz, f"--mode={mode}", "-f", "-o", stream, src], stream)
    stream_bytes, ref_bytes = os.path.getsize(stream), os.path.getsize(ref)
    comp += [("qarn -c, one core", [TASKSET, "-c", "0", qarn, "-c", src, o + ".qarn1"], o + ".qarn1"),
             ("qz stream, one core", [TASKSET, "-c", "0", qz, f"--mode={mode}", "-f", "-o", o + ".s1", src], None)]
    dec = [("qarn -d", [qarn, "-d", ref, o + ".qarn-d"], o + ".qarn-d"),
           ("qz -d stream", [qz, "-d", "-f", "-o", o + ".stream-d", stream], o + ".stream-d"),
           ("qz -d", [qz, "-d", "-f", "-o", o + ".qz-d", ref], o + ".qz-d"),
           ("qarn -d >null", [qarn, "-d", ref, "/dev/null"], "/dev/null"),
           ("qz -t", [qz, "-t", ref], None)]
    times = {label: [] for label, _, _ in comp + dec}
    print(f"{name}: {size:,} bytes, {mode} mode (qz picks {picked})", flush=True)
    for round_ in range(runs + 1):  # round 0 warms up and is not kept
        for label, argv, out in comp:
            t = run(argv, out)
            if out is not None:
                same(ref, out, label)  # the compressed file is qarn's own, so it restores as qarn's does
            if round_:
                times[label].append(t)
        for label, argv, out in dec:
            t = run(argv, out)
            if out not in (None, "/dev/null"):
                same(src, out, label)
            if round_:
                times[label].append(t)
    same(stream, o + ".s1", "the stream on one core")
    for f in os.listdir(f"{work}/out"):
        if f.startswith(name + "."):
            os.unlink(f"{work}/out/{f}")

    rows.append((name, f"compress --mode={mode}", "compress", times["qarn -c"], times[f"qz --mode={mode}"]))
    if "qz" in times:
        rows.append((name, f"compress, qz's own {mode}", "compress-own", times["qarn -c"], times["qz"]))
    rows.append((name, "qz -d : qarn -d", "decompress", times["qarn -d"], times["qz -d"]))
    rows.append((name, "qz -t : qarn -d", "test", times["qarn -d"], times["qz -t"]))
    rows.append((name, "stream : qarn -c, one core", "stream-compress", times["qarn -c, one core"],
                 times["qz stream, one core"]))
    rows.append((name, "qz -d stream : qarn -d", "stream-decompress", times["qarn -d"], times["qz -d stream"]))
    sizes.append((name, stream_bytes, ref_bytes))
    rows.append((name, "qz -t : qarn -d >null", "test-null", times["qarn -d >null"], times["qz -t"]))


def ms(t):
    return f"{1000 * t:.1f}"


def wall(ts):
    return [w for w, _ in ts]


def ratio(a, b, i=0):
    return statistics.median(t[i] for t in b) / statistics.median(t[i] for t in a)


def cell(ts):
    ts = wall(ts)
    return f"{ms(statistics.median(ts))} ({ms(min(ts))}-{ms(max(ts))})"


print()
print("Wall-clock milliseconds: median (min-max); ratio = qz's median / qarn's (at most 1.10 meets the target);")
print("cpu = the same ratio of processor time (user + system), steadier than wall-clock time on a busy machine")
print(f"{'file':<21} {'direction':<26} {'qarn':>22} {'qz':>22} {'ratio':>6} {'cpu':>5}")
for name, what, _, a, b in rows:
    print(f"{name:<21} {what:<26} {cell(a):>22} {cell(b):>22} {ratio(a, b):6.2f} {ratio(a, b, 1):5.2f}")

print()
targets = [("decompress", "qz -d -o out within 10% of qarn -d in out", 1.10),
           ("test", "qz -t within 10% of qarn -d in out", 1.10),
           ("test-null", "qz -t within 10% of qarn -d in /dev/null", 1.10),
           ("compress", "qz --mode=M -o out within 10% of qarn -c in.ext out", 1.10),
           ("compress-own", "qz -o out, in the mode it picks, within 10% of qarn -c in that mode", 1.10),
           ("stream-compress", "the stream (qz --mode=M) within 5% of qarn -c on one core", 1.05),
           ("stream-decompress", "qz -d of the stream no slower than qarn -d of the plain file", 1.00)]
for key, what, most in targets:
    ratios = sorted((ratio(a, b), name) for name, _, k, a, b in rows if k == key)
    if not ratios:
        continue
    (best, best_f), (worst, worst_f) = ratios[0], ratios[-1]
    cpu = sorted((ratio(a, b, 1), name) for name, _, k, a, b in rows if k == key)
    verdict = "met " if worst <= most else "MISS"
    print(f"{verdict} {what}: worst {worst:.2f} ({worst_f}), best {best:.2f} ({best_f}), "
          f"{sum(r <= most for r, _ in ratios)} of {len(ratios)} files within; processor time worst "
          f"{cpu[-1][0]:.2f} ({cpu[-1][1]})")
print()
print("The stream in the named mode against the plain file (the size target, on streams in the modes qz picks, is "
      "bench/blocks.sh's):")
for name, z, plain in sizes:
    print(f"{name:<21} {z:>12,} {plain:>12,} {100 * (z / plain - 1):+6.2f}%")
print(f"\nEvery compressed file was qarn's own and every restored file the input. Load average at the end "
      f"{loadavg()}; {time.monotonic() - began:.0f} s.")
PY
