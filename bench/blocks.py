#!/usr/bin/python3
"""blocks.py — the tables of bench/blocks.sh and its choice of block size, from the rows it measured.

Each row (tab-separated): kind, input, block MiB, threads, input bytes, stream bytes, plain file bytes (0: none),
plain file's mode, compression peak KiB, seconds, decompression peak KiB, seconds. Kinds: file and concat (the
size rule; the concatenation on one thread for the memory rule too), repeat (the concatenation compressed again:
its peak), random (the memory rule), mode and near (at the size chosen), speed-stream and speed-qarn (the 200 MB
concatenation), big (the large concatenation at the sizes chosen in turn, which the memory rule takes too;
decompression peak 0 when not run).

The memory rule is the target's: on one thread, with the other settings at their defaults, the largest
compression peak and the largest decompression peak at a size are within the limit. The programs' default
threads (0: two on a 2-core machine) are shown beside it: there a mode's second thread holds a workspace of its
own, and the peak of mixed content moves from run to run (the concatenation's runs and their spread).

--choose prints the chosen block size in MiB; otherwise the section "Stream block size" is printed, and written
into --doc FILE when given.
"""
import argparse
import os
import re
import statistics

TITLE = "## Stream block size"


def load(path):
    rows = []
    with open(path) as f:
        for line in f:
            k, name, b, t, n, z, plain, mode, cp, cs, dp, ds = line.rstrip("\n").split("\t")
            rows.append(dict(kind=k, name=name, block=int(b), threads=int(t), bytes=int(n), z=int(z),
                             plain=int(plain), mode=mode, cpeak=int(cp), csecs=float(cs), dpeak=int(dp),
                             dsecs=float(ds)))
    return rows


def mib(kib):
    return kib / 1024


def excess(r):
    return r["z"] / r["plain"] - 1


class Grid:
    def __init__(self, rows, limit_mib, slack):
        self.rows = rows
        self.limit = limit_mib * 1024
        self.slack = slack / 100
        self.sizes = sorted({r["block"] for r in rows if r["kind"] == "random"})
        self.sized = [r for r in rows if r["kind"] in ("file", "concat") and r["threads"] == 0]
        self.names = list(dict.fromkeys(r["name"] for r in self.sized))

    def at(self, b, kinds, threads=0):
        return [r for r in self.rows if r["block"] == b and r["kind"] in kinds and r["threads"] == threads]

    def size_misses(self, b):
        return sorted((r for r in self.at(b, ("file", "concat")) if excess(r) > self.slack), key=excess, reverse=True)

    def worst(self, b):
        return max(self.at(b, ("file", "concat")), key=excess)

    def peak(self, b, threads=0, kinds=("file", "concat", "repeat", "random")):
        rs = self.at(b, kinds, threads)
        c = max(rs, key=lambda r: r["cpeak"])
        d = max(rs, key=lambda r: r["dpeak"])
        return c, d

    def concat_runs(self, b):
        return sorted(r["cpeak"] for r in self.at(b, ("concat", "repeat")))

    def spread(self, b):
        runs = self.concat_runs(b)
        return runs[-1] - runs[0]

    def big(self, b, threads=0):
        return self.at(b, ("big",), threads)

    def one_thread_peak(self, b):
        """The rule's compression peak: every run at this size on one thread."""
        return max(self.at(b, ("random", "concat", "big", "mode"), 1), key=lambda r: r["cpeak"])

    def decompress_peak(self, b):
        return max((r for t in (0, 1) for r in self.at(b, ("file", "concat", "random", "big", "mode"), t)),
                   key=lambda r: r["dpeak"])

    def memory_ok(self, b):
        return (self.one_thread_peak(b)["cpeak"] <= self.limit and self.decompress_peak(b)["dpeak"] <= self.limit)

    def choice(self):
        ok = [b for b in self.sizes if not self.size_misses(b) and self.memory_ok(b)]
        if ok:
            return ok[0], True
        # No size meets both: among those within the memory rule, the one whose worst input is least over.
        within = [b for b in self.sizes if self.memory_ok(b)] or self.sizes
        return min(within, key=lambda b: excess(self.worst(b))), False


def peaks(rs, key):
    return ", ".join(f"{mib(r[key]):.0f}" for r in rs)


def pct(x):
    return f"{x * 100:+.2f}%"


def section(g, a, chosen=None):
    rows = g.rows
    # The size the measurements at the size chosen were made at, even where later runs changed the verdict.
    chosen = chosen or g.choice()[0]
    out = [TITLE, ""]
    out.append(
        "The `.qz` stream cuts its input into blocks, each one qarn file. The default block size is the smallest "
        f"that keeps the stream of every comparison file (the {len(g.names) - 1} files of the corpus above, whole, "
        "and a 200 MB concatenation) at most "
        f"{a.slack:g}% larger than the one plain qarn file of the same input, file by file, and keeps peak memory "
        f"compressing or decompressing a pipe within {a.limit_mib} MiB for any mode and input.")
    out.append("")
    out.append(
        "How it was measured: `bench/blocks.sh build` (the stream through `build/bench/stream_tool`, a program on "
        "the library's C interface that reads standard input and writes standard output in pieces of 1 MiB, so "
        "that its peak resident memory, from `/usr/bin/time`, is what a pipe costs). Plain file: the mode "
        "`qarn_mode_for_content` picks for the whole input, coded by `qarn_compress` (the script checks that it is "
        "what `qarn -c` writes for an input named for that mode). Stream: each block's mode from its own content, "
        "checksums on. Threads: 0, the programs' default (a mode may use a second thread); the incompressible input "
        "and the concatenation also on one thread, which the memory rule takes. Every stream was restored and compared with its input. The concatenation is the "
        "corpus files once each, in the order of the tables, then ICU's data library (libicudata.so.72) and the "
        "start of LLVM's (libLLVM-14.so.1), cut at 200,000,000 bytes: nothing in it repeats (see *near copies* "
        "below). The large concatenation: the 200 MB one repeated to 1.5 GB, at the size chosen, compressed on one "
        "thread (the memory rule) and on threads 0, and restored. Incompressible input: 200,000,000 random bytes; the content rule sends them to mixed mode, which "
        "gives them up for the stored file after modelling the whole block, the costliest case in memory. "
        f"Commit {a.commit}, {os.cpu_count()} cores; the run took {a.seconds // 60} min {a.seconds % 60} s.")
    if len(a.rows) > 1:
        out[-1] += (f" Its rows are pooled with those of {len(a.rows) - 1} earlier run(s) of the script "
                    "(`BLOCKS_POOL`): sizes are the same in every run, and the memory rule takes every run's peaks, "
                    "which move from run to run; the runs columns list them all.")
    out.append("")

    # The curve.
    out.append(f"### Size and memory against block size")
    out.append("")
    out.append("Size: the stream's bytes over the plain file's, minus one. Memory: peak resident MiB through a pipe, "
               "the largest over the inputs (the incompressible one, except where marked). The rule's column is "
               "compression on one thread; on threads 0 (two here) a mode's second thread holds a workspace of its "
               "own and the peak of mixed content moves from run to run: the concatenation's three compressions "
               "and the largest peak plus their spread show by how much.")
    out.append("")
    out.append(f"| block MiB | worst input | 200 MB concatenation | inputs within {a.slack:g}% | "
               f"compress MiB, 1 thread (the rule) | decompress MiB | compress MiB, threads 0 | "
               f"concatenation's runs, threads 0 | threads 0 + spread | "
               "large concatenation, compress MiB | both rules |")
    out.append("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---|")
    for b in g.sizes:
        w = g.worst(b)
        cat = next(r for r in g.at(b, ("concat",)))
        misses = g.size_misses(b)
        n = len(g.at(b, ("file", "concat")))
        c, _ = g.peak(b)
        c1, d = g.one_thread_peak(b), g.decompress_peak(b)
        mark = lambda r: "" if r["kind"] == "random" else f" ({r['name']})"
        runs = g.concat_runs(b)
        verdict = "yes" if not misses and g.memory_ok(b) else \
            "; ".join(x for x in (f"size: {len(misses)} over" if misses else "",
                                  "memory over" if not g.memory_ok(b) else "") if x)
        out.append(f"| {'**' if b == chosen else ''}{b}{'**' if b == chosen else ''} | {w['name']} {pct(excess(w))} | "
                   f"{pct(excess(cat))} | {n - len(misses)} of {n} | {mib(c1['cpeak']):.0f}{mark(c1)} | "
                   f"{mib(d['dpeak']):.0f}{mark(d)} | {mib(c['cpeak']):.0f}{mark(c)} | "
                   f"{' '.join(f'{mib(x):.0f}' for x in runs)} | {mib(c['cpeak'] + g.spread(b)):.0f} | "
                   f"{peaks(g.big(b) + g.big(b, 1), 'cpeak') or '–'} | {verdict} |")
    out.append("")

    # File by file.
    out.append("### Stream over plain file, input by input")
    out.append("")
    out.append("| input | bytes | plain mode | plain bytes | " + " | ".join(f"{b} MiB" for b in g.sizes) + " |")
    out.append("|---|---:|---|---:|" + "---:|" * len(g.sizes))
    for name in g.names:
        rs = {r["block"]: r for r in g.sized if r["name"] == name}
        r0 = rs[g.sizes[0]]
        cells = []
        for b in g.sizes:
            e = excess(rs[b])
            cells.append(f"**{pct(e)}**" if e > g.slack else pct(e))
        out.append(f"| {name} | {r0['bytes']:,} | {r0['mode']} | {r0['plain']:,} | " + " | ".join(cells) + " |")
    out.append("")
    out.append(f"Bold: more than {a.slack:g}% over. An input no larger than the block is one block: its stream is "
               "the plain file and 56 bytes of frame (header, block header, checksums, end mark). A photo is one "
               "image block whatever the block size.")
    out.append("")

    # Every mode at the size chosen.
    modes = [r for r in rows if r["block"] == chosen and r["kind"] in ("mode", "random", "concat", "file")]
    out.append(f"### Memory at {chosen} MiB, every mode")
    out.append("")
    out.append("Peak resident MiB through a pipe, threads 0 / 1. Text: the Bible repeated to 200 MB; image: the "
               "flower photo scaled to image mode's limit (99.9 MB), and random samples of that size; stored and "
               "text: the random input with the stream's mode set so; largest corpus file: the costliest of the "
               "corpus.")
    out.append("")
    out.append("| input | blocks' mode | stream bytes | compress MiB | decompress MiB |")
    out.append("|---|---|---:|---:|---:|")

    def both(pick):
        r0 = [r for r in modes if pick(r) and r["threads"] == 0]
        r1 = [r for r in modes if pick(r) and r["threads"] == 1]
        if not r0:
            return
        c0, d0 = max(x["cpeak"] for x in r0), max(x["dpeak"] for x in r0)
        t1 = (f"{mib(max(x['cpeak'] for x in r1)):.0f}", f"{mib(max(x['dpeak'] for x in r1)):.0f}") if r1 else ("–", "–")
        return r0[0], f"{mib(c0):.0f} / {t1[0]}", f"{mib(d0):.0f} / {t1[1]}"

    lines = [
        ("text (Bible repeated)", "text", lambda r: r["kind"] == "mode" and r["name"] == "text200"),
        ("photo", "image", lambda r: r["kind"] == "mode" and r["name"] == "photo"),
        ("random samples as a photo", "image → stored", lambda r: r["kind"] == "mode" and r["name"] == "noise"),
        ("200 MB concatenation", "mixed", lambda r: r["kind"] == "concat"),
        ("largest corpus file", "each its own", lambda r: r["kind"] == "file"),
        ("random", "mixed → stored", lambda r: r["kind"] == "random"),
        ("random, stored", "stored", lambda r: r["kind"] == "mode" and r["name"] == "random200" and r["mode"] == "stored"),
        ("random, text", "text → mixed → stored",
         lambda r: r["kind"] == "mode" and r["name"] == "random200" and r["mode"] == "text"),
    ]
    for title, mode, pick in lines:
        got = both(pick)
        if got:
            r, c, d = got
            z = f"{r['z']:,}" if r["kind"] != "file" else "–"
            out.append(f"| {title} | {mode} | {z} | {c} | {d} |")
    out.append("")

    near = [r for r in rows if r["kind"] == "near"]
    if near:
        r = near[0]
        out.append(
            f"*Near copies*: the corpus followed by cc1 and lto1 (which share most of their code with cc1plus), cut "
            f"at 200,000,000 bytes, is {pct(excess(r))} over its plain file ({r['z']:,} against {r['plain']:,} bytes) "
            f"at {chosen} MiB: the plain file finds the copies up to 100 MB back, a block only within itself. No "
            "block size within the memory rule reaches that far.")
        out.append("")

    # Speed and the large concatenation.
    ss = [r for r in rows if r["kind"] == "speed-stream"]
    sq = [r for r in rows if r["kind"] == "speed-qarn"]
    bigs = [r for r in g.big(chosen) if r["dsecs"] > 0]
    big_runs = g.big(chosen) + g.big(chosen, 1)
    if ss or bigs:
        out.append(f"### Speed and the large concatenation at {chosen} MiB")
        out.append("")
        out.append("MB (10^6 bytes) of input per second of wall-clock time, threads 0; the stream through pipes "
                   "(`cat FILE | stream_tool -c > OUT`), `qarn` on files. Memory: peak resident MiB of each run.")
        out.append("")
        out.append("| input | program | runs | compress MB/s | decompress MB/s | compress MiB | decompress MiB | "
                   "output bytes |")
        out.append("|---|---|---:|---:|---:|---:|---:|---:|")
        for name, rs in (("stream", ss), ("`qarn`", sq)):
            if not rs:
                continue
            n = rs[0]["bytes"]
            c = statistics.median(r["csecs"] for r in rs)
            d = statistics.median(r["dsecs"] for r in rs)
            out.append(f"| 200 MB concatenation | {name} | {len(rs)} (median) | {n / 1e6 / c:.1f} | {n / 1e6 / d:.1f} | "
                       f"{peaks(rs, 'cpeak')} | {peaks(rs, 'dpeak')} | {rs[0]['z']:,} |")
        for r in bigs:
            runs = [x for x in big_runs if x["threads"] == 0]
            one = [x for x in big_runs if x["threads"] == 1]
            also = f" (one thread: {peaks(one, 'cpeak')})" if one else ""
            out.append(f"| {r['bytes'] / 1e9:g} GB concatenation (the 200 MB one repeated; past qarn's limit) | "
                       f"stream | {len(runs)} | {r['bytes'] / 1e6 / r['csecs']:.1f} | "
                       f"{r['bytes'] / 1e6 / r['dsecs']:.1f} | {peaks(runs, 'cpeak')}{also} | {mib(r['dpeak']):.0f} | "
                       f"{r['z']:,} |")
        out.append("")

    # The choice.
    out.append("### The choice")
    out.append("")
    long0 = [r for r in big_runs if r["threads"] == 0]
    long1 = [r for r in big_runs if r["threads"] == 1]
    long_over = [r for r in long1 if r["cpeak"] > g.limit] + [r for r in long0 if r["dpeak"] > g.limit]
    smaller = [b for b in g.sizes if b < chosen]
    larger = [b for b in g.sizes if b > chosen]
    why = []
    for b in smaller:
        m = g.size_misses(b)
        if m:
            why.append(f"{b} MiB: " + ", ".join(f"{r['name']} {pct(excess(r))}" for r in m[:3]) +
                       (f" and {len(m) - 3} more" if len(m) > 3 else ""))
        elif not g.memory_ok(b):
            why.append(f"{b} MiB: memory {mib(g.one_thread_peak(b)['cpeak']):.0f} MiB on one thread")
    c, _ = g.peak(chosen)
    c1, d = g.one_thread_peak(chosen), g.decompress_peak(chosen)
    w = g.worst(chosen)
    misses = g.size_misses(chosen)
    met = not misses and not long_over and g.memory_ok(chosen)
    memory = (f"{mib(c1['cpeak']):.0f} MiB compressing on one thread, {mib(d['dpeak']):.0f} MiB decompressing; "
              f"on threads 0, {mib(c['cpeak']):.0f} MiB compressing ({mib(c['cpeak'] + g.spread(chosen)):.0f} "
              "with the spread of the concatenation's runs)")
    if met:
        text = (f"**{chosen} MiB** is the smallest size of the grid that meets both rules: its worst input is "
                f"{w['name']} at {pct(excess(w))}; memory {memory}.")
    else:
        text = (f"No size of the grid meets both rules in this run. **{chosen} MiB** is the compromise: memory "
                f"{memory}")
        text += ("; it misses the size rule on " +
                 ", ".join(f"{r['name']} by {(excess(r) - g.slack) * 100:.2f} points ({pct(excess(r))})"
                           for r in misses) + "." if misses else "; every input is within the size rule.")
    if long0 or long1:
        text += (f" The large concatenation there: {peaks(long1, 'cpeak') or '–'} MiB compressing on one thread" +
                 (" (over the limit)" if long_over else "") +
                 (f", {peaks(long0, 'cpeak')} on threads 0" if long0 else "") + ".")
    if why:
        text += " Smaller sizes miss: " + "; ".join(why) + "."
    over = [b for b in larger if not g.memory_ok(b)]

    def over_text(b):
        return f"{b} MiB ({mib(g.one_thread_peak(b)['cpeak']):.0f} MiB on one thread)"
    first_fit = next((b for b in g.sizes if not g.size_misses(b)), None)
    size_bad = [b for b in g.sizes if first_fit is not None and b > first_fit and g.size_misses(b)]
    if over:
        text += " Larger sizes over the memory rule: " + ", ".join(over_text(b) for b in over) + "."
    if size_bad:
        text += (f" The size rule is not monotonic: it holds at {first_fit} MiB, but " +
                 "; ".join(f"at {b} MiB " + ", ".join(f"{r['name']} is {pct(excess(r))}" for r in g.size_misses(b))
                           for b in size_bad) +
                 ", where the cuts fall elsewhere in the concatenation.")
    out.append(text)
    out.append("")
    return "\n".join(out)


def write_doc(path, body):
    old = open(path).read() if os.path.exists(path) else ""
    lines = old.split("\n")
    start = next((i for i, l in enumerate(lines) if l.strip() == TITLE), None)
    if start is None:
        new = old.rstrip("\n") + "\n\n" + body
    else:
        end = next((i for i in range(start + 1, len(lines)) if re.match(r"## ", lines[i])), len(lines))
        before = "\n".join(lines[:start]).rstrip("\n")
        new = (before + "\n\n" if before else "") + body + ("\n" + "\n".join(lines[end:]) if end < len(lines) else "")
    with open(path, "w") as f:
        f.write(new.rstrip("\n") + "\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rows", action="append", required=True,
                    help="rows of this run, then of earlier runs to pool with it (memory moves from run to run)")
    ap.add_argument("--limit-mib", type=int, default=512)
    ap.add_argument("--slack", type=float, default=1.0, help="percent")
    ap.add_argument("--commit", default="unknown")
    ap.add_argument("--seconds", type=int, default=0)
    ap.add_argument("--choose", action="store_true")
    ap.add_argument("--chosen", type=int, help="the size chosen earlier in the run (MiB)")
    ap.add_argument("--doc")
    a = ap.parse_args()
    g = Grid([r for path in a.rows for r in load(path)], a.limit_mib, a.slack)
    if a.choose:
        print(g.choice()[0])
        return
    body = section(g, a, a.chosen)
    print(body)
    if a.doc:
        write_doc(a.doc, body)


if __name__ == "__main__":
    main()
