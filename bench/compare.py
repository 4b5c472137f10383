#!/usr/bin/env python3
"""compare.py — qarn against its peers on given files: size, ratio, compression and decompression speed, peak memory.

Every tool runs single-threaded, each command several times (medians are reported), and every restored file is
checked against the input (byte for byte, or sample for sample for image formats with their own containers).
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# name: (compress argv, decompress argv, check). {in} input, {z} compressed file, {out} restored file. A '<' or '>'
# element redirects the command's standard input or output from or to the element after it.
PEERS = {
    "zstd -1": (["zstd", "-q", "-f", "-1", "-T1", "{in}", "-o", "{z}"], ["zstd", "-q", "-f", "-d", "{z}", "-o", "{out}"], "bytes"),
    "zstd -3": (["zstd", "-q", "-f", "-3", "-T1", "{in}", "-o", "{z}"], ["zstd", "-q", "-f", "-d", "{z}", "-o", "{out}"], "bytes"),
    "zstd -19": (["zstd", "-q", "-f", "-19", "-T1", "{in}", "-o", "{z}"], ["zstd", "-q", "-f", "-d", "{z}", "-o", "{out}"], "bytes"),
    "xz -9": (["xz", "-9", "-T1", "-c", "{in}", ">", "{z}"], ["xz", "-d", "-c", "{z}", ">", "{out}"], "bytes"),
    "xz -9 x86": (["xz", "-T1", "--x86", "--lzma2=preset=9", "-c", "{in}", ">", "{z}"], ["xz", "-d", "-c", "{z}", ">", "{out}"], "bytes"),
    "bzip2 -9": (["bzip2", "-9", "-c", "{in}", ">", "{z}"], ["bzip2", "-d", "-c", "{z}", ">", "{out}"], "bytes"),
    "lz4": (["lz4", "-q", "-f", "{in}", "{z}"], ["lz4", "-q", "-f", "-d", "{z}", "{out}"], "bytes"),
}
PACKAGES = {"zstd": "zstd", "xz": "xz-utils", "bzip2": "bzip2", "lz4": "lz4"}


def run(argv, subst):
    """Runs one command; returns (seconds, peak resident KiB). The command runs under /usr/bin/time, whose own
    small footprint is where its peak starts (a process keeps the peak of what it was before exec)."""
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
    t0 = time.perf_counter()
    p = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + args, stdin=stdin,
                       stdout=stdout if stdout else subprocess.DEVNULL, stderr=subprocess.PIPE)
    seconds = time.perf_counter() - t0
    err = p.stderr.decode(errors="replace")
    for f in (stdin, stdout):
        if f:
            f.close()
    if p.returncode != 0:
        raise RuntimeError(f"{' '.join(args)} failed ({p.returncode}): {err.strip()}")
    with open(report) as f:
        peak = int(f.read().split()[-1])
    return seconds, peak


def measure(name, comp, decomp, check, path, work, runs, restores):
    z = os.path.join(work, "packed")
    out = os.path.join(work, "restored" + os.path.splitext(path)[1])
    subst = {"in": path, "z": z, "out": out}
    ct, dt, cm, dm = [], [], 0, 0
    for _ in range(runs):
        s, m = run(comp, subst)
        ct.append(s)
        cm = max(cm, m)
    size = os.path.getsize(z)
    for _ in range(runs):
        s, m = run(decomp, subst)
        dt.append(s)
        dm = max(dm, m)
    ok = restores(path, out) if check == "samples" else filecmp(path, out)
    n = os.path.getsize(path)
    return {"file": os.path.basename(path), "bytes": n, "tool": name, "compressed": size, "ratio": n / size,
            "comp_ms": 1e3 * statistics.median(ct), "decomp_ms": 1e3 * statistics.median(dt),
            "comp_mbps": n / 1e6 / statistics.median(ct), "decomp_mbps": n / 1e6 / statistics.median(dt),
            "comp_mib": cm / 1024, "decomp_mib": dm / 1024, "restores": ok}


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


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--qarn", required=True, help="the qarn program")
    ap.add_argument("--peers", default="zstd -3,zstd -19,xz -9", help="comma-separated peer names")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--json", help="append the results, one JSON object a line, to this file")
    ap.add_argument("files", nargs="+")
    a = ap.parse_args()
    names = [p.strip() for p in a.peers.split(",") if p.strip()]
    for p in names:
        if p not in PEERS:
            sys.exit(f"unknown peer {p!r}")
        if not shutil.which(PEERS[p][0][0]):
            sys.exit(f"{PEERS[p][0][0]} is missing: install {PACKAGES.get(PEERS[p][0][0], PEERS[p][0][0])}")
    qarn = os.path.abspath(a.qarn)
    rows = []
    with tempfile.TemporaryDirectory(prefix="qarn-compare.") as work:
        for path in a.files:
            tools = [("qarn", [qarn, "-c", "{in}", "{z}"], [qarn, "-d", "{z}", "{out}"], "bytes")]
            tools += [(p, *PEERS[p]) for p in names]
            for name, comp, decomp, check in tools:
                rows.append(measure(name, comp, decomp, check, os.path.abspath(path), work, a.runs, None))
    print(table(rows))
    print(f"Medians of {a.runs} runs each; MB/s of the input; peak resident memory of each program.")
    if a.json:
        with open(a.json, "a") as f:
            for r in rows:
                f.write(json.dumps(r) + "\n")


if __name__ == "__main__":
    main()
