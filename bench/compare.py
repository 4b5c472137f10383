#!/usr/bin/env python3
"""compare.py — qarn against its peers on given files: size, ratio, compression and decompression speed, peak memory.

Every tool runs with one compression thread (qarn's mixed mode with two on inputs of a megabyte and more), each
command several times (medians are reported), and every restored file is
checked against the input (byte for byte, or sample for sample for image formats with their own containers). A tool
that fails or does not restore a file makes the whole run fail (exit status 1) after the table is printed.

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
PEERS = {
    "zstd -1": {"c": ["zstd", "-q", "-f", "-1", "-T1", "{in}", "-o", "{z}"],
                "d": ["zstd", "-q", "-f", "-d", "{z}", "-o", "{out}"]},
    "zstd -3": {"c": ["zstd", "-q", "-f", "-3", "-T1", "{in}", "-o", "{z}"],
                "d": ["zstd", "-q", "-f", "-d", "{z}", "-o", "{out}"]},
    "zstd -19": {"c": ["zstd", "-q", "-f", "-19", "-T1", "{in}", "-o", "{z}"],
                 "d": ["zstd", "-q", "-f", "-d", "{z}", "-o", "{out}"]},
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


def run(argv, subst, peak=False):
    """Runs one command; returns (seconds, peak resident KiB or 0). Timed runs start the command directly, so that
    the time is the command's own; with peak=True it runs under /usr/bin/time instead, whose own small footprint is
    where its peak starts (a process keeps the peak of what it was before exec)."""
    args = [a.format(**subst) if "{" in a else a for a in argv]
    report = subst["z"] + ".time"
    stdin = stdout = None
    if "<" in args:
        i = args.index("<")
        stdin = open(args[i + 1], "rb")
        del args[i:i + 2]
    if ">" in args:
        i = args.index(">")
        stdout = open(args[i + 1], "wb")
        del args[i:i + 2]
    wrapper = ["/usr/bin/time", "-f", "%M", "-o", report] if peak else []
    t0 = time.perf_counter()
    p = subprocess.run(wrapper + args, stdin=stdin,
                       stdout=stdout if stdout else subprocess.DEVNULL, stderr=subprocess.PIPE)
    seconds = time.perf_counter() - t0
    err = p.stderr.decode(errors="replace")
    for f in (stdin, stdout):
        if f:
            f.close()
    if p.returncode != 0:
        raise RuntimeError(f"{' '.join(args)} failed ({p.returncode}): {err.strip()}")
    if not peak:
        return seconds, 0
    with open(report) as f:
        return seconds, int(f.read().split()[-1])


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


def measure(name, tool, path, work, runs, comp_runs, inputs):
    z = os.path.join(work, "packed" + tool.get("zext", ""))
    out = os.path.join(work, "restored" + tool.get("outext", os.path.splitext(path)[1]))
    subst = {"in": path, "z": z, "out": out}
    if any("{png}" in a for a in tool["c"]):
        subst["png"] = inputs.png(path)
    ct, dt, cm, dm = [], [], 0, 0
    for f in (z, out):
        if os.path.exists(f):
            os.remove(f)
    def fresh(f):
        # Every run writes a new file: replacing a large one would time the file system's truncation too.
        if os.path.exists(f):
            os.remove(f)
        return subst
    for _ in range(comp_runs):
        ct.append(run(tool["c"], fresh(z))[0])
    cm = run(tool["c"], fresh(z), peak=True)[1]
    size = os.path.getsize(z)
    for _ in range(runs):
        dt.append(run(tool["d"], fresh(out))[0])
    dm = run(tool["d"], fresh(out), peak=True)[1]
    ok = inputs.same_samples(path, out) if tool.get("check") == "samples" else filecmp(path, out)
    n = os.path.getsize(path)
    return {"file": os.path.basename(path), "bytes": n, "tool": name, "compressed": size, "ratio": n / size,
            "comp_ms": 1e3 * statistics.median(ct), "decomp_ms": 1e3 * statistics.median(dt),
            "comp_mbps": n / 1e6 / statistics.median(ct), "decomp_mbps": n / 1e6 / statistics.median(dt),
            "comp_mib": cm / 1024, "decomp_mib": dm / 1024, "comp_runs": comp_runs, "decomp_runs": runs,
            "check": tool.get("check", "bytes"), "restores": ok}


def filecmp(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(1 << 20), fb.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


def table(rows):
    lines = ["| file | tool | compressed bytes | ratio | compress MB/s (ms) | decompress MB/s (ms) | peak MiB (c / d) "
             "| restores |",
             "|---|---|---:|---:|---:|---:|---:|---|"]
    for r in rows:
        lines.append(f"| {r['file']} | {r['tool']} | {r['compressed']:,} | {r['ratio']:.3f} | "
                     f"{r['comp_mbps']:.1f} ({r['comp_ms']:.1f}) | {r['decomp_mbps']:.1f} ({r['decomp_ms']:.1f}) | "
                     f"{r['comp_mib']:.1f} / {r['decomp_mib']:.1f} | "
                     f"{'yes' if r['restores'] else 'NO'} |")
    return "\n".join(lines)


# ---- The page: docs/benchmarks.md and its plots ----

# Colours by tool (qarn stands out in red), point shapes by file: gnuplot's filled circle, square, triangles, diamond.
COLOURS = ["#1f77b4", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf", "#7f7f7f", "#bcbd22"]
QARN_COLOUR = "#d62728"
SHAPES = [7, 5, 9, 13, 11, 15]
SHAPE_SCALE = {7: 1.0, 5: 0.9, 9: 1.1, 13: 1.4, 11: 1.1, 15: 1.1}


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
    """Writes docs/compare-<mode>-<axis>.png: ratio against speed, one colour per tool, one shape per file."""
    tools = list(dict.fromkeys(r["tool"] for r in rows))
    files = list(dict.fromkeys(r["file"] for r in rows))
    peers = [t for t in tools if t != "qarn"]
    colour = {t: COLOURS[i % len(COLOURS)] for i, t in enumerate(peers)} | {"qarn": QARN_COLOUR}
    speed = "comp_mbps" if axis == "compress" else "decomp_mbps"
    data = os.path.join(work, f"{mode}-{axis}.dat")
    parts = []
    with open(data, "w") as f:
        index = 0
        for t in tools:
            for fi, name in enumerate(files):
                r = [x for x in rows if x["tool"] == t and x["file"] == name]
                if not r:
                    continue
                f.write(f"{r[0][speed]:.6g} {r[0]['ratio']:.6g}\n\n\n")
                shape = SHAPES[fi % len(SHAPES)]
                size = (2.4 if t == "qarn" else 1.8) * SHAPE_SCALE[shape]
                parts.append(f"'{data}' index {index} using 1:2 with points pt {shape} "
                             f"ps {size:.2f} lc rgb '{colour[t]}' notitle")
                index += 1
    parts += [f"keyentry with points pt 7 ps 1.8 lc rgb '{colour[t]}' title '{t}'" for t in tools]
    if len(files) > 1:
        parts.append("keyentry with points ps 0 lc rgb 'white' title ' '")
        parts += [f"keyentry with points pt {SHAPES[i % len(SHAPES)]} ps {1.5 * SHAPE_SCALE[SHAPES[i % len(SHAPES)]]:.2f} "
                  f"lc rgb 'black' title '{name}'"
                  for i, name in enumerate(files)]
    ratios = [r["ratio"] for r in rows]
    speeds = [r[speed] for r in rows]
    log_ratio = max(ratios) / min(ratios) > 6
    xlo, xhi = min(speeds) / 1.6, max(speeds) * 1.6
    ylo, yhi = (min(ratios) / 1.4, max(ratios) * 1.4) if log_ratio else (1, max(ratios) * 1.08)
    png = os.path.join(docs, f"compare-{mode}-{axis}.png")
    script = f"""
set terminal pngcairo size 960,600 font 'sans,11' noenhanced
set output '{png}'
set title '{mode.capitalize()} mode: ratio against {axis}ion speed'
set xlabel '{axis.capitalize()}ion speed, MB/s of input (log scale)'
set ylabel 'Compression ratio (input / compressed){" (log scale)" if log_ratio else ""}'
set logscale x
set xrange [{xlo:.4g}:{xhi:.4g}]
set xtics {log_tics(xlo, xhi, (1, 2, 5))}
set mxtics 10
set yrange [{ylo:.4g}:{yhi:.4g}]
{f"set logscale y{chr(10)}set ytics {log_tics(ylo, yhi, (1, 1.5, 2, 3, 5, 7))}" if log_ratio else ""}
set grid xtics mxtics ytics back lt 1 lw 1 lc rgb '#d8d8d8', lt 1 lw 1 lc rgb '#eeeeee'
set key outside right top box opaque samplen 1 spacing 1.3
plot {", ".join(parts)}
"""
    p = subprocess.run(["gnuplot"], input=script.encode(), stderr=subprocess.PIPE)
    if p.returncode != 0:
        raise RuntimeError(f"gnuplot failed: {p.stderr.decode(errors='replace').strip()}")
    return os.path.basename(png)


def page(a):
    rows = [json.loads(line) for line in open(a.json) if line.strip()]
    if not rows:
        sys.exit("compare: no results to write")
    notes = dict(n.split("=", 1) for n in a.note)
    commits = ", ".join(dict.fromkeys(r["commit"] for r in rows))
    compiler = command(["g++", "--version"]).splitlines()[0]
    loads = [r["load"] for r in rows]
    runs = max(r["decomp_runs"] for r in rows)
    single = sorted({r["tool"] for r in rows if r["comp_runs"] < runs})
    out = [
        "# qarn against its peers",
        "",
        "Written by `make compare` (bench/compare.sh) from the measurements of one run; every figure below comes "
        "from that run.",
        "",
        f"- Date: measured from {rows[0]['date']} to {rows[-1]['date']}; page written {utc_now()}",
        f"- Machine: {machine()}; other work on it: one-minute load average {min(loads):.1f} to {max(loads):.1f} "
        "while measuring",
        f"- qarn: commit {commits}{' (dirty: with changes not yet committed)' if 'dirty' in commits else ''}, built with {compiler}, CMake Release",
        f"- Tools (Debian package versions): {versions(a.package)}",
        "",
        "How it was measured: each tool runs with one compression thread (`zstd -T1`, `xz -T1`, `cjxl`/`djxl "
        "--num_threads=0`; the others have one thread), except that qarn's mixed mode codes and decodes the sections "
        "of inputs of a megabyte and more on two threads (this machine has two cores), on files in the page cache, one program run per compression or decompression, "
        "timed from start to exit, so process start-up is included. Speeds are MB (10^6 bytes) of the original input "
        f"per second, from the median of {runs} runs of each command"
        + (f", except that compression by {', '.join(single)} ran once on inputs over "
           f"{a.slow_above / 1e6:g} MB (marked †) to keep the run short" if single else "")
        + ". Ratio is input bytes / compressed bytes. Peak memory is the largest resident set size of the program, "
        "as /usr/bin/time reports it, in MiB, for compression / decompression. Every tool restored every file "
        "exactly: byte for byte, or for the image formats with their own containers, the same RGB samples "
        "(decoded with ImageMagick); a tool that did not would have stopped the run.",
        "",
    ]
    with tempfile.TemporaryDirectory(prefix="qarn-page.") as work:
        for mode in dict.fromkeys(r["mode"] for r in rows):
            mrows = [r for r in rows if r["mode"] == mode]
            out += [f"## {mode.capitalize()} mode", ""]
            if mode in notes:
                out += [notes[mode], ""]
            out += ["| file | tool | compressed bytes | ratio | compress MB/s | decompress MB/s | peak MiB (c / d) |",
                    "|---|---|---:|---:|---:|---:|---:|"]
            for r in mrows:
                b = "**" if r["tool"] == "qarn" else ""
                mark = " †" if r["comp_runs"] < r["decomp_runs"] else ""
                out.append(f"| {r['file']} ({r['bytes']:,} B) | {b}{r['tool']}{b} | {r['compressed']:,} | "
                           f"{b}{r['ratio']:.3f}{b} | {b}{r['comp_mbps']:.1f}{b}{mark} | {b}{r['decomp_mbps']:.1f}{b} | "
                           f"{r['comp_mib']:.1f} / {r['decomp_mib']:.1f} |")
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
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--slow-runs", type=int, help=f"compression runs of {', '.join(SLOW)} on inputs over --slow-above")
    ap.add_argument("--slow-above", type=int, default=8_000_000, help="bytes (default %(default)s)")
    ap.add_argument("--mode", default="", help="a label stored with every row (text, image, mixed)")
    ap.add_argument("--commit", help="the qarn commit stored with every row (default: the working tree's now)")
    ap.add_argument("--json", help="append the results, one JSON object a line, to this file (read it with --page)")
    ap.add_argument("--page", metavar="DIR", help="write DIR/benchmarks.md and its plots from the --json rows")
    ap.add_argument("--note", action="append", default=[], metavar="MODE=TEXT", help="a paragraph under a mode's title")
    ap.add_argument("--package", action="append", default=[], help="a Debian package whose version the page names")
    ap.add_argument("files", nargs="*")
    a = ap.parse_args()
    if a.page:
        if not a.json:
            sys.exit("compare: --page needs --json")
        try:
            page(a)
        except (RuntimeError, OSError) as e:
            sys.exit(f"compare: {e}")
        return
    if not a.qarn or not a.files:
        ap.error("--qarn and at least one file are needed")
    names = [p.strip() for p in a.peers.split(",") if p.strip()]
    for p in names:
        if p not in PEERS:
            sys.exit(f"unknown peer {p!r}")
        for argv in (PEERS[p]["c"], PEERS[p]["d"]):
            if not shutil.which(argv[0]):
                sys.exit(f"{argv[0]} is missing: install {PACKAGES.get(argv[0], argv[0])}")
    if any(PEERS[p].get("check") == "samples" for p in names) and not os.access(CONVERT, os.X_OK):
        sys.exit(f"{CONVERT} is missing: install imagemagick")
    qarn = os.path.abspath(a.qarn)
    commit = a.commit or repo_commit()
    rows = []
    try:
        with tempfile.TemporaryDirectory(prefix="qarn-compare.") as work:
            inputs = Inputs(work)
            for path in a.files:
                path = os.path.abspath(path)
                n = os.path.getsize(path)
                tools = [("qarn", {"c": [qarn, "-c", "{in}", "{z}"], "d": [qarn, "-d", "{z}", "{out}"]})]
                tools += [(p, PEERS[p]) for p in names]
                for name, tool in tools:
                    comp_runs = a.slow_runs if a.slow_runs and name in SLOW and n > a.slow_above else a.runs
                    print(f"  {os.path.basename(path)}: {name}", file=sys.stderr, flush=True)
                    r = measure(name, tool, path, work, a.runs, comp_runs, inputs)
                    r.update(mode=a.mode, date=utc_now(), load=load_average(), commit=commit)
                    rows.append(r)
    except (RuntimeError, OSError, subprocess.CalledProcessError) as e:
        sys.exit(f"compare: {e}")
    print(table(rows))
    print(f"Medians of {a.runs} runs each; MB/s of the input; peak resident memory of each program.")
    if a.json:
        with open(a.json, "a") as f:
            for r in rows:
                f.write(json.dumps(r) + "\n")
    failed = [f"{r['tool']} on {r['file']}" for r in rows if not r["restores"]]
    if failed:
        sys.exit(f"compare: not restored exactly: {', '.join(failed)}")


if __name__ == "__main__":
    main()
