#!/usr/bin/env python3
"""compare.py — qarn against its peers on given files: size, ratio, compression and decompression time, processor
time, peak memory.

The tools take turns: for each input, every command runs once per round, compressions first and then
decompressions, in an order that changes from round to round (the rows of a balanced Latin square), so that no tool
always follows the same one. A program that touches much fresh memory slows the one started after it, so runs
back to back per tool would favour whichever tool follows itself most cheaply. Wall-clock time (from start to
exit, process start-up included) and processor time (user + system of the program, from wait4) are kept for every
run; rows report the median and the spread. Peak resident memory is measured in runs of their own under
/usr/bin/time, except for the slow compressors on large inputs, which run fewer times and whose timed runs give
it. Every restored file is checked against the input (byte for byte, or sample for sample for image
formats with their own containers); a tool that fails, does not restore a file, or writes compressed files of
different sizes from run to run stops the whole run (exit status 1).

With --page DIR, nothing is measured: the rows gathered earlier in the --json file are written out as DIR/benchmarks.md
with two plots per mode (ratio against compression speed, ratio against decompression speed), drawn with gnuplot.
"""
import argparse
import datetime
import json
import math
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

CONVERT = "/usr/bin/convert"  # ImageMagick itself: another 'convert' may come first on the PATH

# name: compress argv "c", decompress argv "d", and how the result is checked, "bytes" (the restored file is the
# input) or "samples" (same RGB samples in another container). {in} is the input, {png} the same pixels as an
# unfiltered, uncompressed PNG (for tools that read nothing else), {z} the compressed file, {out} the restored file.
# "zext" and "outext" give those two files the extension a tool reads its format from (the restored file takes the
# input's extension by default). A '<' or '>' element redirects standard input or output from or to the next element.
# "info": a row shown for information, left out of the page's summary (a tool on more threads than the others).


def zstd(level, threads=1):
    return {"c": ["zstd", "-q", "-f", f"-{level}", f"-T{threads}", "{in}", "-o", "{z}"],
            "d": ["zstd", "-q", "-f", "-d", "{z}", "-o", "{out}"]}


PEERS = {
    "zstd -1": zstd(1),
    "zstd -3": zstd(3),
    "zstd -9": zstd(9),
    "zstd -19": zstd(19),
    "zstd -3 -T2": zstd(3, 2) | {"info": True},
    "xz -9": {"c": ["xz", "-9", "-T1", "-c", "{in}", ">", "{z}"], "d": ["xz", "-d", "-T1", "-c", "{z}", ">", "{out}"]},
    "xz -9 x86": {"c": ["xz", "-T1", "--x86", "--lzma2=preset=9", "-c", "{in}", ">", "{z}"],
                  "d": ["xz", "-d", "-T1", "-c", "{z}", ">", "{out}"]},
    "bzip2 -9": {"c": ["bzip2", "-9", "-c", "{in}", ">", "{z}"], "d": ["bzip2", "-d", "-c", "{z}", ">", "{out}"]},
    "lz4": {"c": ["lz4", "-q", "-f", "{in}", "{z}"], "d": ["lz4", "-q", "-f", "-d", "{z}", "{out}"]},
    "QOI": {"c": ["qoiconv", "{png}", "{z}"], "d": ["qoiconv", "{z}", "{out}"],
            "check": "samples", "zext": ".qoi", "outext": ".png"},
    "cwebp -lossless": {"c": ["cwebp", "-quiet", "-lossless", "{in}", "-o", "{z}"],
                        "d": ["dwebp", "-quiet", "{z}", "-ppm", "-o", "{out}"], "check": "samples", "outext": ".ppm"},
    "cjxl -d 0 -e 3": {"c": ["cjxl", "{in}", "{z}", "-d", "0", "-e", "3", "--num_threads=0", "--quiet"],
                       "d": ["djxl", "{z}", "{out}", "--num_threads=0", "--quiet"], "check": "samples",
                       "outext": ".ppm"},
}
PACKAGES = {"zstd": "zstd", "xz": "xz-utils", "bzip2": "bzip2", "lz4": "lz4", "qoiconv": "qoi", "cwebp": "webp",
            "dwebp": "webp", "cjxl": "libjxl-tools", "djxl": "libjxl-tools"}
SLOW = ("zstd -19", "xz -9", "xz -9 x86")  # the peers that --slow-runs applies to
QARN_MODES = {0: "stored", 1: "text", 2: "image", 3: "mixed"}  # the mode number that opens every qarn file


def run(argv, subst, err, peak=False):
    """Runs one command to its end; returns (wall seconds, processor seconds, peak resident KiB or None).

    The program is started directly (posix_spawn) and reaped with wait4, whose resource usage gives its user and
    system time. Its peak resident memory cannot come from there: a started program keeps the peak of the process it
    was started from, here this script. With peak=True the command runs under /usr/bin/time instead, whose own small
    footprint is where the peak starts; its processor time then includes /usr/bin/time's, a millisecond or so."""
    args = [a.format(**subst) if "{" in a else a for a in argv]
    actions = [(os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
               (os.POSIX_SPAWN_OPEN, 1, "/dev/null", os.O_WRONLY, 0)]
    if "<" in args:
        i = args.index("<")
        actions[0] = (os.POSIX_SPAWN_OPEN, 0, args[i + 1], os.O_RDONLY, 0)
        del args[i:i + 2]
    if ">" in args:
        i = args.index(">")
        actions[1] = (os.POSIX_SPAWN_OPEN, 1, args[i + 1], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        del args[i:i + 2]
    actions.append((os.POSIX_SPAWN_OPEN, 2, err, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644))
    report = err + ".peak"
    argv = (["/usr/bin/time", "-f", "%M", "-o", report] if peak else []) + args
    t0 = time.perf_counter()
    pid = os.posix_spawnp(argv[0], argv, os.environ, file_actions=actions)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - t0
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        with open(err, errors="replace") as f:
            text = f.read().strip()
        raise RuntimeError(f"{' '.join(args)} failed ({'exit status ' + str(code) if code > 0 else 'signal ' + str(-code)})"
                           + (f": {text}" if text else ""))
    kib = None
    if peak:
        with open(report) as f:
            kib = int(f.read().split()[-1])
    return wall, usage.ru_utime + usage.ru_stime, kib


def turns(n, k):
    """The order of the k-th round among n tools: row k (mod n) of a Williams design, a Latin square whose rows put
    every tool right after every other tool equally often (an odd n gets a dummy that is then skipped)."""
    m = n + n % 2
    seq, lo, hi = [0], 1, m - 1
    while len(seq) < m:
        seq.append(lo)
        lo += 1
        if len(seq) < m:
            seq.append(hi)
            hi -= 1
    return [x for x in ((s + k) % m for s in seq) if x < n]


def rgb_samples(path):
    """The image's 8-bit RGB samples, decoded by ImageMagick whatever the container."""
    p = subprocess.run([CONVERT, path, "-depth", "8", "rgb:-"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if p.returncode != 0:
        raise RuntimeError(f"{CONVERT} cannot read {path}: {p.stderr.decode(errors='replace').strip()}")
    return p.stdout


class Inputs:
    """What the image peers need besides the file itself, made once per input: the uncompressed PNG and the
    reference samples."""

    def __init__(self, work):
        self.work, self.pngs, self.samples = work, {}, {}

    def png(self, path):
        if path not in self.pngs:
            png = os.path.join(self.work, f"input{len(self.pngs)}.png")
            subprocess.run([CONVERT, path, "-define", "png:compression-level=0", "-define", "png:compression-filter=0",
                            "PNG24:" + png], check=True)
            self.pngs[path] = png
        return self.pngs[path]

    def same_samples(self, path, restored):
        if path not in self.samples:
            self.samples[path] = rgb_samples(path)
        return rgb_samples(restored) == self.samples[path]


def filecmp(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(1 << 20), fb.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


def remove(path):
    # Every run writes a new file: replacing a large one would time the file system's truncation too.
    if os.path.exists(path):
        os.remove(path)


class Command:
    """One tool on one input: its files and what its runs gave."""

    def __init__(self, index, name, tool, path, work, inputs, comp_runs, runs, slow):
        self.name, self.tool, self.path = name, tool, path
        z = os.path.join(work, f"t{index}.packed{tool.get('zext', '')}")
        out = os.path.join(work, f"t{index}.restored{tool.get('outext', os.path.splitext(path)[1])}")
        self.subst = {"in": path, "z": z, "out": out}
        if any("{png}" in a for a in tool["c"]):
            self.subst["png"] = inputs.png(path)
        self.err = os.path.join(work, f"t{index}.stderr")
        self.runs = {"c": comp_runs, "d": runs}
        # A slow compressor on a large input is timed under /usr/bin/time, so that it needs no extra run for its
        # peak memory (that tool's start-up, a millisecond or so, is nothing against such a run).
        self.timed_peak = {"c": slow, "d": False}
        self.wall, self.cpu = {"c": [], "d": []}, {"c": [], "d": []}
        self.peak = {"c": 0, "d": 0}
        self.size = None
        self.reference = None  # for image containers: the first restored file, checked sample for sample

    def step(self, direction, inputs, timed=True):
        target = self.subst["z" if direction == "c" else "out"]
        remove(target)
        peak = self.timed_peak[direction] or not timed
        wall, cpu, kib = run(self.tool[direction], self.subst, self.err, peak=peak)
        if timed:
            self.wall[direction].append(wall)
            self.cpu[direction].append(cpu)
        if kib is not None:
            self.peak[direction] = max(self.peak[direction], kib)
        where = f"{self.name} on {os.path.basename(self.path)}"
        if direction == "c":
            size = os.path.getsize(target)
            if self.size is not None and size != self.size:
                raise RuntimeError(f"{where}: the compressed file is {size:,} bytes, {self.size:,} in an earlier run")
            self.size = size
            return
        if self.tool.get("check") == "samples":
            if self.reference is None:
                if not inputs.same_samples(self.path, target):
                    raise RuntimeError(f"{where}: the restored samples differ from the input's")
                self.reference = target + ".checked"
                shutil.copyfile(target, self.reference)
            elif not filecmp(self.reference, target):
                raise RuntimeError(f"{where}: the restored file differs from the one of the first run")
        elif not filecmp(self.path, target):
            raise RuntimeError(f"{where}: the restored file differs from the input")


def median(xs):
    return statistics.median(xs)


def measure_file(path, tools, runs, slow_runs, work, inputs, progress):
    """Runs every tool on one input, round by round; returns one row per tool. slow_runs(name) gives the
    compression runs of a slow compressor on this input, or None for the others."""
    cmds = []
    for i, (name, tool) in enumerate(tools):
        k = slow_runs(name)
        cmds.append(Command(i, name, tool, path, work, inputs, runs if k is None else k, runs, k is not None))
    n = os.path.getsize(path)
    phase = 0
    for r in range(runs):
        for direction in ("c", "d"):
            for i in turns(len(cmds), phase):
                c = cmds[i]
                if r < c.runs[direction]:
                    progress(f"{os.path.basename(path)}: round {r + 1}/{runs} "
                             f"{'compress' if direction == 'c' else 'decompress'} {c.name}")
                    c.step(direction, inputs)
            phase += 1
    # Peak memory, in runs of its own (not timed) for the commands whose timed runs did not give it.
    for direction in ("c", "d"):
        for i in turns(len(cmds), phase):
            c = cmds[i]
            if not c.timed_peak[direction]:
                c.step(direction, inputs, timed=False)
        phase += 1
    rows = []
    for c in cmds:
        ct, dt = median(c.wall["c"]), median(c.wall["d"])
        row = {"file": os.path.basename(path), "bytes": n, "tool": c.name, "info": bool(c.tool.get("info")),
               "compressed": c.size, "ratio": n / c.size,
               "comp_wall": c.wall["c"], "decomp_wall": c.wall["d"], "comp_cpu": c.cpu["c"], "decomp_cpu": c.cpu["d"],
               "comp_ms": 1e3 * ct, "decomp_ms": 1e3 * dt, "comp_mbps": n / 1e6 / ct, "decomp_mbps": n / 1e6 / dt,
               "comp_cpu_ms": 1e3 * median(c.cpu["c"]), "decomp_cpu_ms": 1e3 * median(c.cpu["d"]),
               "comp_mib": c.peak["c"] / 1024, "decomp_mib": c.peak["d"] / 1024,
               "comp_runs": len(c.wall["c"]), "decomp_runs": len(c.wall["d"]), "slow": c.timed_peak["c"],
               "check": c.tool.get("check", "bytes"), "restores": True}
        if c.name == "qarn":
            with open(c.subst["z"], "rb") as f:
                number = int.from_bytes(f.read(4), "little")
            row["qarn_mode"] = QARN_MODES.get(number, str(number))
        rows.append(row)
    for f in os.listdir(work):
        if f.startswith("t"):
            os.remove(os.path.join(work, f))
    return rows


def spread(row, direction):
    """Speed in MB/s as 'median [slowest–fastest]' from the wall-clock times of one direction's runs."""
    times = row["comp_wall" if direction == "c" else "decomp_wall"]
    n = row["bytes"] / 1e6
    med = n / median(times)
    if len(times) == 1:
        return f"{med:.1f}"
    return f"{med:.1f} [{n / max(times):.1f}–{n / min(times):.1f}]"


def table(rows):
    lines = ["| file | tool | compressed bytes | ratio | compress MB/s [range] | CPU ms | decompress MB/s [range] "
             "| CPU ms | peak MiB (c / d) | runs (c / d) |",
             "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        lines.append(f"| {r['file']} | {r['tool']} | {r['compressed']:,} | {r['ratio']:.3f} | {spread(r, 'c')} | "
                     f"{r['comp_cpu_ms']:.1f} | {spread(r, 'd')} | {r['decomp_cpu_ms']:.1f} | "
                     f"{r['comp_mib']:.1f} / {r['decomp_mib']:.1f} | {r['comp_runs']} / {r['decomp_runs']} |")
    return "\n".join(lines)


# ---- The page: docs/benchmarks.md and its plots ----

# Colours by tool (qarn stands out in red), point shapes by file: gnuplot's filled circle, square, triangles, diamond,
# pentagon, then open ones.
COLOURS = ["#1f77b4", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf", "#7f7f7f", "#bcbd22"]
QARN_COLOUR = "#d62728"
SHAPES = [7, 5, 9, 13, 11, 15, 6, 4, 8]
SHAPE_SCALE = {7: 1.0, 5: 0.9, 9: 1.1, 13: 1.4, 11: 1.1, 15: 1.1, 6: 1.0, 4: 0.9, 8: 1.1}


def command(argv):
    try:
        p = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        return p.stdout.decode(errors="replace").strip()
    except OSError:
        return ""


def repo_commit():
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    return command(["git", "-C", repo, "describe", "--always", "--dirty", "--abbrev=10"]) or "unknown"


def load_average():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def utc_now():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")


def machine():
    model, mem = "unknown", 0
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                mem = int(line.split()[1]) / 2**20
    flags = command(["grep", "-m1", "-o", "-w", "avx2", "/proc/cpuinfo"])
    return (f"{model}, {os.cpu_count()} cores, {mem:.1f} GiB memory, AVX2 {'yes' if flags else 'no'}; "
            f"Linux {platform.release()}")


def versions(packages):
    rows = []
    for pkg in packages:
        v = command(["dpkg-query", "-W", "-f=${Version}", pkg])
        rows.append(f"{pkg} {v if v and 'no packages' not in v else '(not a Debian package here)'}")
    return ", ".join(rows)


def log_tics(lo, hi, steps):
    """A gnuplot tic list for a log axis from lo to hi: each step times each power of ten inside the range."""
    tics, decade = [], 10.0 ** math.floor(math.log10(lo))
    while decade <= hi:
        tics += [f"{v:g}" for v in (step * decade for step in steps) if lo <= v <= hi]
        decade *= 10
    return "(" + ", ".join(tics) + ")"


def plot(mode, rows, axis, docs, work):
    """Writes docs/compare-<mode>-<axis>.png: ratio against speed, one colour per tool, one shape per file; a bar
    through each point spans the slowest to the fastest run."""
    tools = list(dict.fromkeys(r["tool"] for r in rows))
    files = list(dict.fromkeys(r["file"] for r in rows))
    peers = [t for t in tools if t != "qarn"]
    colour = {t: COLOURS[i % len(COLOURS)] for i, t in enumerate(peers)} | {"qarn": QARN_COLOUR}
    key = "comp_wall" if axis == "compress" else "decomp_wall"
    data = os.path.join(work, f"{mode}-{axis}.dat")
    parts = []
    lows, highs = [], []
    with open(data, "w") as f:
        index = 0
        for t in tools:
            for fi, name in enumerate(files):
                r = [x for x in rows if x["tool"] == t and x["file"] == name]
                if not r:
                    continue
                mb = r[0]["bytes"] / 1e6
                times = r[0][key]
                lo, hi = mb / max(times), mb / min(times)
                lows.append(lo)
                highs.append(hi)
                f.write(f"{mb / median(times):.6g} {r[0]['ratio']:.6g} {lo:.6g} {hi:.6g}\n\n\n")
                shape = SHAPES[fi % len(SHAPES)]
                size = (2.4 if t == "qarn" else 1.8) * SHAPE_SCALE[shape]
                parts.append(f"'{data}' index {index} using 1:2:3:4 with xerrorbars pt {shape} "
                             f"ps {size:.2f} lw 1.5 lc rgb '{colour[t]}' notitle")
                index += 1
    parts += [f"keyentry with points pt 7 ps 1.8 lc rgb '{colour[t]}' title '{t}'" for t in tools]
    if len(files) > 1:
        parts.append("keyentry with points ps 0 lc rgb 'white' title ' '")
        parts += [f"keyentry with points pt {SHAPES[i % len(SHAPES)]} ps {1.5 * SHAPE_SCALE[SHAPES[i % len(SHAPES)]]:.2f} "
                  f"lc rgb 'black' title '{name}'"
                  for i, name in enumerate(files)]
    ratios = [r["ratio"] for r in rows]
    log_ratio = max(ratios) / min(ratios) > 6
    xlo, xhi = min(lows) / 1.6, max(highs) * 1.6
    ylo, yhi = (min(ratios) / 1.4, max(ratios) * 1.4) if log_ratio else (1, max(ratios) * 1.08)
    png = os.path.join(docs, f"compare-{mode}-{axis}.png")
    script = f"""
set terminal pngcairo size 1000,640 font 'sans,11' noenhanced
set output '{png}'
set title '{mode.capitalize()} mode: ratio against {axis}ion speed (median; bars from the slowest to the fastest run)'
set xlabel '{axis.capitalize()}ion speed, MB/s of input, wall clock (log scale)'
set ylabel 'Compression ratio (input / compressed){" (log scale)" if log_ratio else ""}'
set logscale x
set xrange [{xlo:.4g}:{xhi:.4g}]
set xtics {log_tics(xlo, xhi, (1, 2, 5))}
set mxtics 10
set yrange [{ylo:.4g}:{yhi:.4g}]
{f"set logscale y{chr(10)}set ytics {log_tics(ylo, yhi, (1, 1.5, 2, 3, 5, 7))}" if log_ratio else ""}
set grid xtics mxtics ytics back lt 1 lw 1 lc rgb '#d8d8d8', lt 1 lw 1 lc rgb '#eeeeee'
set errorbars small
set key outside right top box opaque samplen 1 spacing 1.3
plot {", ".join(parts)}
"""
    p = subprocess.run(["gnuplot"], input=script.encode(), stderr=subprocess.PIPE)
    if p.returncode != 0:
        raise RuntimeError(f"gnuplot failed: {p.stderr.decode(errors='replace').strip()}")
    return os.path.basename(png)


def ms(seconds):
    """Milliseconds with three or so significant digits."""
    v = seconds * 1e3
    return f"{v:,.0f}" if v >= 100 else f"{v:.1f}" if v >= 10 else f"{v:.2f}"


def wall_cell(row, key):
    """Median wall-clock time in ms with the slowest and fastest run, as '12.3 [11.9–13.0]'."""
    times = row[key]
    if len(times) == 1:
        return ms(times[0])
    return f"{ms(median(times))} [{ms(min(times))}–{ms(max(times))}]"


def times(x):
    return f"{x:.3f}×" if 0.95 < x < 1.05 else f"{x:.2f}×" if x < 10 else f"{x:.0f}×"


def percent(q, z):
    """qarn's compressed size against another's, as '12% smaller' or '3% larger'."""
    d = (q - z) / z * 100
    return f"{abs(d):.1f}% {'smaller' if d < 0 else 'larger'}" if abs(d) < 10 else \
        f"{abs(d):.0f}% {'smaller' if d < 0 else 'larger'}"


def totals(rows):
    """Per tool, in order of appearance: all the mode's files together."""
    out = []
    for t in dict.fromkeys(r["tool"] for r in rows):
        tr = [r for r in rows if r["tool"] == t]
        n = sum(r["bytes"] for r in tr)
        z = sum(r["compressed"] for r in tr)
        ct = sum(median(r["comp_wall"]) for r in tr)
        dt = sum(median(r["decomp_wall"]) for r in tr)
        out.append({"tool": t, "info": tr[0].get("info", False), "files": len(tr), "bytes": n, "compressed": z,
                    "ratio": n / z, "comp_s": ct, "decomp_s": dt, "comp_mbps": n / 1e6 / ct,
                    "decomp_mbps": n / 1e6 / dt,
                    "comp_cpu_s": sum(median(r["comp_cpu"]) for r in tr),
                    "decomp_cpu_s": sum(median(r["decomp_cpu"]) for r in tr),
                    "comp_mib": max(r["comp_mib"] for r in tr), "decomp_mib": max(r["decomp_mib"] for r in tr)})
    return out


ZSTD_LEVELS = ("zstd -1", "zstd -3", "zstd -9", "zstd -19")


def dominating(q, zrows, direction):
    """The zstd levels (one thread) whose file is smaller than qarn's and whose median time in the direction is
    shorter; each as 'zstd -9 (5.2% smaller, 1.30× as fast)', with a note where the runs' ranges overlap."""
    key = "comp_wall" if direction == "c" else "decomp_wall"
    found = []
    for z in zrows:
        if z["compressed"] < q["compressed"] and median(z[key]) < median(q[key]):
            overlap = max(z[key]) >= min(q[key]) and len(z[key]) > 1 and len(q[key]) > 1
            found.append(f"{z['tool']} ({percent(z['compressed'], q['compressed'])}, "
                         f"{times(median(q[key]) / median(z[key]))} as fast"
                         f"{'; run times overlap' if overlap else ''})")
    return "; ".join(found) or "none"


def summary(rows):
    """The page's opening: totals of qarn and zstd -3 per mode, the worst and best file for qarn against zstd -3,
    and per file whether some zstd level is both smaller and faster than qarn."""
    out = ["## Summary", ""]
    for mode in dict.fromkeys(r["mode"] for r in rows):
        mrows = [r for r in rows if r["mode"] == mode]
        tot = {t["tool"]: t for t in totals(mrows)}
        if "qarn" not in tot or "zstd -3" not in tot:
            continue
        q, z = tot["qarn"], tot["zstd -3"]
        pairs = []
        for f in dict.fromkeys(r["file"] for r in mrows):
            qr = [r for r in mrows if r["file"] == f and r["tool"] == "qarn"]
            zr = [r for r in mrows if r["file"] == f and r["tool"] == "zstd -3"]
            if qr and zr:
                pairs.append((f, qr[0], zr[0]))

        def extremes(key):
            # Speed of qarn over zstd -3's, file by file: the ratio of zstd -3's median time to qarn's.
            s = sorted((median(zr[key]) / median(qr[key]), f) for f, qr, zr in pairs)
            return f"{times(s[0][0])} zstd -3's at worst ({s[0][1]}) and {times(s[-1][0])} at best ({s[-1][1]})"

        sizes = sorted((qr["compressed"] / zr["compressed"], f, qr, zr) for f, qr, zr in pairs)
        out.append(
            f"- **{mode.capitalize()}** ({q['files']} files, {q['bytes'] / 1e6:.1f} MB): in total qarn's ratio is "
            f"{q['ratio']:.3f} against zstd -3's {z['ratio']:.3f}, at {q['comp_mbps']:.1f} against "
            f"{z['comp_mbps']:.1f} MB/s to compress and {q['decomp_mbps']:.1f} against {z['decomp_mbps']:.1f} MB/s "
            f"to decompress (input over the sum of median wall-clock times; processor time {ms(q['comp_cpu_s'])} "
            f"against {ms(z['comp_cpu_s'])} ms and {ms(q['decomp_cpu_s'])} against {ms(z['decomp_cpu_s'])} ms). "
            f"File by file, qarn's compression speed is {extremes('comp_wall')}, its decompression speed "
            f"{extremes('decomp_wall')}; its file is {percent(sizes[0][2]['compressed'], sizes[0][3]['compressed'])} "
            f"({sizes[0][1]}) to {percent(sizes[-1][2]['compressed'], sizes[-1][3]['compressed'])} "
            f"({sizes[-1][1]}) than zstd -3's.")
    out += ["", "Is some zstd level (-1, -3, -9 or -19, one thread) both smaller and faster than qarn? File by file, "
            "by the median wall-clock times (where a faster level's slowest run is not faster than qarn's fastest, "
            "the runs' times overlap and the order may change from run to run):", "",
            "| mode | file | smaller and faster to compress | smaller and faster to decompress |", "|---|---|---|---|"]
    for mode in dict.fromkeys(r["mode"] for r in rows):
        mrows = [r for r in rows if r["mode"] == mode]
        for f in dict.fromkeys(r["file"] for r in mrows):
            qr = [r for r in mrows if r["file"] == f and r["tool"] == "qarn"]
            zrows = [r for r in mrows if r["file"] == f and r["tool"] in ZSTD_LEVELS]
            if qr and zrows:
                out.append(f"| {mode} | {f} | {dominating(qr[0], zrows, 'c')} | {dominating(qr[0], zrows, 'd')} |")
    return out + [""]


def tool_cell(r):
    name = r["tool"] + (" (for information)" if r.get("info") else "")
    if r["tool"] == "qarn":
        name = "**qarn**"
        if r.get("qarn_mode") and r["qarn_mode"] != r["mode"]:
            name += f" ({r['qarn_mode']} mode)"
    return name


def page(a):
    rows = [json.loads(line) for line in open(a.json) if line.strip()]
    if not rows:
        sys.exit("compare: no results to write")
    notes = dict(n.split("=", 1) for n in a.note)
    commits = ", ".join(dict.fromkeys(r["commit"] for r in rows))
    compiler = command(["g++", "--version"]).splitlines()[0]
    loads = [r["load"] for r in rows]
    runs = max(r["decomp_runs"] for r in rows)
    single = sorted({r["tool"] for r in rows if r.get("slow")})
    fewer = sorted({r["comp_runs"] for r in rows if r.get("slow")})
    slow_above = max(r.get("slow_above", 0) for r in rows)
    fallback = [f"{r['file']} ({r['qarn_mode']})" for r in rows
                if r["tool"] == "qarn" and r.get("qarn_mode") and r["qarn_mode"] != r["mode"]]
    out = [
        "# qarn against its peers",
        "",
        "Written by `make compare` (bench/compare.sh) from the measurements of one run; every figure below comes "
        "from that run.",
        "",
        f"- Date: measured from {rows[0]['date']} to {rows[-1]['date']}; page written {utc_now()}",
        f"- Machine: {machine()}; other work on it: one-minute load average {min(loads):.1f} to {max(loads):.1f} "
        "while measuring",
        f"- qarn: commit {commits}{' (dirty: with changes not yet committed)' if 'dirty' in commits else ''}, "
        f"built with {compiler}, CMake Release",
        f"- Tools (Debian package versions): {versions(a.package)}",
        "",
    ]
    out += summary(rows)
    out += [
        "## How it was measured",
        "",
        "Every peer runs with one compression thread (`zstd -T1`, `xz -T1`, `cjxl`/`djxl --num_threads=0`; the "
        "others have one thread), except the row marked *for information*, zstd -3 on two threads (`-T2`). qarn "
        "runs as it runs by default, which may take two threads (this machine has two cores): where it does, its "
        "processor time exceeds its wall-clock time. "
        "Inputs and outputs are in memory (a tmpfs where there is room, else the page cache); each compression or "
        "decompression is one program run, timed from start to exit, so process start-up is included.",
        "",
        "The tools take turns. For each input the commands run round by round: in each round every tool "
        "compresses once and then every tool decompresses once, in an order that changes from round to round (the "
        "rows of a balanced Latin square), so that no tool always runs right after itself or after the same other "
        "tool. A program that has just touched much fresh memory slows the next one by up to a few tens of "
        "percent, so timing each tool's runs back to back would favour some tools over others.",
        "",
        f"Figures are from {runs} run{'s' if runs > 1 else ''} of each command (the runs column)"
        + (f", except that compression by {', '.join(single)} on inputs over {slow_above / 1e6:g} MB (marked †) "
           f"ran {' or '.join('once' if k == 1 else f'{k} times' for k in fewer)} to keep the run short"
           if single else "")
        + ". Times are wall-clock milliseconds: the median, and in brackets the fastest and the slowest run. "
        "Speeds (MB/s) are MB (10^6 bytes) of the original input per second of median wall-clock time. CPU is the "
        "median processor time (user + system) of the program, from wait4. Ratio is input bytes / compressed "
        "bytes. Peak memory is the largest resident set size of the program, as /usr/bin/time reports it, in MiB, "
        "for compression / decompression, from runs of its own (or from the timed runs for the commands marked †). "
        "Totals add every file of a mode: input over compressed bytes, and input over the sum of the median times. "
        "Every tool restored every file exactly in every run: byte for byte, or for the image formats with their "
        "own containers, the same RGB samples (decoded with ImageMagick); a tool that did not would have stopped "
        "the run."
        + (f" qarn wrote another mode's file (a modelling mode falls back when its result would be larger) for "
           f"{', '.join(fallback)}." if fallback else ""),
        "",
    ]
    head = ("| file | tool | compressed bytes | ratio | compress ms [range] | MB/s | CPU ms | decompress ms [range] "
            "| MB/s | CPU ms | peak MiB (c / d) | runs (c / d) |")
    rule = "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    with tempfile.TemporaryDirectory(prefix="qarn-page.") as work:
        for mode in dict.fromkeys(r["mode"] for r in rows):
            mrows = [r for r in rows if r["mode"] == mode]
            out += [f"## {mode.capitalize()} mode", ""]
            if mode in notes:
                out += [notes[mode], ""]
            out += [head, rule]
            for r in mrows:
                b = "**" if r["tool"] == "qarn" else ""
                mark = " †" if r.get("slow") else ""
                out.append(f"| {r['file']} ({r['bytes']:,} B) | {tool_cell(r)} | {r['compressed']:,} | "
                           f"{b}{r['ratio']:.3f}{b} | {wall_cell(r, 'comp_wall')}{mark} | {b}{r['comp_mbps']:.1f}{b} | "
                           f"{ms(median(r['comp_cpu']))} | {wall_cell(r, 'decomp_wall')} | "
                           f"{b}{r['decomp_mbps']:.1f}{b} | {ms(median(r['decomp_cpu']))} | "
                           f"{r['comp_mib']:.1f} / {r['decomp_mib']:.1f} | {r['comp_runs']} / {r['decomp_runs']} |")
            out += ["", f"Totals of the {mode} mode's {len(dict.fromkeys(r['file'] for r in mrows))} files:", "",
                    "| tool | input bytes | compressed bytes | ratio | compress ms | MB/s | CPU ms | decompress ms "
                    "| MB/s | CPU ms | largest peak MiB (c / d) |", rule[:-5]]
            for t in totals(mrows):
                b = "**" if t["tool"] == "qarn" else ""
                name = "**qarn**" if t["tool"] == "qarn" else t["tool"] + (" (for information)" if t["info"] else "")
                out.append(f"| {name} | {t['bytes']:,} | {t['compressed']:,} | {b}{t['ratio']:.3f}{b} | "
                           f"{ms(t['comp_s'])} | {b}{t['comp_mbps']:.1f}{b} | {ms(t['comp_cpu_s'])} | "
                           f"{ms(t['decomp_s'])} | {b}{t['decomp_mbps']:.1f}{b} | {ms(t['decomp_cpu_s'])} | "
                           f"{t['comp_mib']:.1f} / {t['decomp_mib']:.1f} |")
            c = plot(mode, mrows, "compress", a.page, work)
            d = plot(mode, mrows, "decompress", a.page, work)
            out += ["", f"![{mode} mode: ratio against compression speed]({c})", "",
                    f"![{mode} mode: ratio against decompression speed]({d})", ""]
    with open(os.path.join(a.page, "benchmarks.md"), "w") as f:
        f.write("\n".join(out).rstrip("\n") + "\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--qarn", help="the qarn program")
    ap.add_argument("--peers", default="zstd -3,zstd -19,xz -9", help="comma-separated peer names")
    ap.add_argument("--runs", type=int, default=5, help="timed runs (rounds) per command")
    ap.add_argument("--slow-runs", type=int, help=f"compression runs of {', '.join(SLOW)} on inputs over --slow-above")
    ap.add_argument("--slow-above", type=int, default=8_000_000, help="bytes (default %(default)s); the page "
                    "takes it from the rows")
    ap.add_argument("--mode", default="", help="a label stored with every row (text, image, mixed)")
    ap.add_argument("--commit", help="the qarn commit stored with every row (default: the working tree's now)")
    ap.add_argument("--json", help="append the results, one JSON object a line, to this file (read it with --page)")
    ap.add_argument("--page", metavar="DIR", help="write DIR/benchmarks.md and its plots from the --json rows")
    ap.add_argument("--note", action="append", default=[], metavar="MODE=TEXT", help="a paragraph under a mode's title")
    ap.add_argument("--package", action="append", default=[], help="a Debian package whose version the page names")
    ap.add_argument("--quiet", action="store_true", help="no progress lines on standard error")
    ap.add_argument("files", nargs="*")
    a = ap.parse_args()
    if a.page:
        if not a.json:
            sys.exit("compare: --page needs --json")
        try:
            page(a)
        except (RuntimeError, OSError, KeyError, ValueError) as e:
            sys.exit(f"compare: {e!r}")
        return
    if not a.qarn or not a.files:
        ap.error("--qarn and at least one file are needed")
    if a.runs < 1:
        ap.error("--runs must be at least 1")
    names = [p.strip() for p in a.peers.split(",") if p.strip()]
    for p in names:
        if p not in PEERS:
            sys.exit(f"unknown peer {p!r}")
        for argv in (PEERS[p]["c"], PEERS[p]["d"]):
            if not shutil.which(argv[0]):
                sys.exit(f"{argv[0]} is missing: install {PACKAGES.get(argv[0], argv[0])}")
    if any(PEERS[p].get("check") == "samples" for p in names) and not os.access(CONVERT, os.X_OK):
        sys.exit(f"{CONVERT} is missing: install imagemagick")
    if not os.access("/usr/bin/time", os.X_OK):
        sys.exit("/usr/bin/time is missing: install time")
    qarn = os.path.abspath(a.qarn)
    commit = a.commit or repo_commit()
    tools = [("qarn", {"c": [qarn, "-c", "{in}", "{z}"], "d": [qarn, "-d", "{z}", "{out}"]})]
    tools += [(p, PEERS[p]) for p in names]

    def progress(text):
        if not a.quiet:
            print(f"  {text}", file=sys.stderr, flush=True)

    rows = []
    try:
        with tempfile.TemporaryDirectory(prefix="qarn-compare.") as work:
            inputs = Inputs(work)
            for path in a.files:
                path = os.path.abspath(path)
                n = os.path.getsize(path)

                def slow_runs(name):
                    return min(a.slow_runs, a.runs) if a.slow_runs and name in SLOW and n > a.slow_above else None

                date, load = utc_now(), load_average()
                for r in measure_file(path, tools, a.runs, slow_runs, work, inputs, progress):
                    r.update(mode=a.mode, date=date, load=max(load, load_average()), commit=commit,
                             slow_above=a.slow_above)
                    rows.append(r)
    except (RuntimeError, OSError, subprocess.CalledProcessError) as e:
        sys.exit(f"compare: {e}")
    print(table(rows))
    print(f"Medians of {a.runs} run(s) each (fewer where the runs column says so); MB/s of the input, wall clock; "
          "CPU is user + system time; peak resident memory of each program.")
    if a.json:
        with open(a.json, "a") as f:
            for r in rows:
                f.write(json.dumps(r) + "\n")


if __name__ == "__main__":
    main()
