#!/usr/bin/env python3
"""Times tarnwick on a large hosts file in every state a file arrives in,
against the programs people would use instead.

Each row edits a fresh file of --lines lines (1,000,000 by default) on the
disk that holds BENCH_DIR, and times it against its yardstick on another
fresh file in the same state:

  block          a block of a name the file lacks      grep -F -c NAME
  unblock last   an unblock of the file's last line    dd bs=4M conv=fsync
  unblock middle an unblock of its middle line         dd bs=4M conv=fsync
  first block    a block on the file with LF ends      dd bs=4M conv=fsync
                 (every line is written anew)
  100 blocks     a loop of 100 blocks of new names     a loop of 100 greps

The first three and the loop run on the file in its written form (CR LF
ends). Each file has one of two contents:

  own         127.0.0.1 + 8 spaces + an upper-case name on every line, as a
              file the tool has built up looks
  downloaded  0.0.0.0 adsNNNNNNN.tracker-N.example.net, lower case, as a
              blocklist arrives

and is in one of three states, each written back to disk before the run:

  written  made by one write
  copied   installed with cp, as a package manager or an admin does
  reread   dropped from the page cache (POSIX_FADV_DONTNEED) and read back
           with cat, as after a reboot and a first lookup

Every figure is a median of --runs runs, the tool's and the yardstick's in
turn (and with --baseline, another build's in the same turns). Each row
gives every state and the worst ratio over states and contents, which is
the figure to quote. Then the peak resident memory of each edit, with the
most of it that was the file's mapped pages and the run's own (RssFile,
RssAnon); and a 10-line file's block and unblock, medians of --small-runs
runs of each build in turn.

    bench/bench.py build/release/tarnwick [--baseline OTHER] [--runs 9]
                   [--lines 1000000] [--small-runs 50]

Needs python3, grep, dd, cp, cat, sync and strace (for the memory).
"""
import argparse
import os
import statistics
import subprocess
import tempfile
import time

STATES = ("written", "copied", "reread")
CONTENTS = ("own", "downloaded")
GOALS = {"block": 1.0, "unblock last": 0.2, "unblock middle": 1.0, "first block": 1.1, "100 blocks": 1.0}


def text_of(content, lines, ending):
    if content == "own":
        body = "".join(f"127.0.0.1        ADS{i:07d}.TRACKER-{i % 97}.EXAMPLE.NET{ending}" for i in range(lines))
    else:
        body = "".join(f"0.0.0.0 ads{i:07d}.tracker-{i % 97}.example.net{ending}" for i in range(lines))
    return body.encode()


def entry(name):
    return f"127.0.0.1        {name.upper()}\r\n".encode()


def place(path, data, state, workdir):
    """Puts `data` at `path` in `state`, written back to disk."""
    if os.path.exists(path):
        os.remove(path)
    if state == "copied":
        source = os.path.join(workdir, "source")
        with open(source, "wb") as f:
            f.write(data)
        subprocess.run(["cp", source, path], check=True)
        os.remove(source)
        subprocess.run(["sync", path], check=True)
        return
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]
    os.fsync(fd)
    if state == "reread":
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)
    if state == "reread":
        with open(path, "rb") as f:
            subprocess.run(["cat"], stdin=f, stdout=subprocess.DEVNULL, check=True)


def timed(argv):
    start = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def memory(argv, workdir):
    """The peak resident memory of a run in bytes (as /usr/bin/time reports
    it), and the most of it that was the file's mapped pages (RssFile) and
    the run's own (RssAnon), read whenever the run unmaps memory or ends
    (strace holds it there a moment)."""
    report = os.path.join(workdir, "peak")
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + argv, stdout=subprocess.DEVNULL)
    with open(report) as f:
        peak = int(f.read().split()[-1]) * 1024
    process = subprocess.Popen(["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=munmap,exit_group",
                                "-e", "inject=munmap,exit_group:delay_enter=50000"] + argv, stdout=subprocess.DEVNULL)
    most = {"RssFile": 0, "RssAnon": 0}
    while process.poll() is None:
        try:
            for child in open(f"/proc/{process.pid}/task/{process.pid}/children").read().split():
                if open(f"/proc/{child}/syscall").read().split()[0] in ("11", "231"):  # munmap, exit_group
                    for line in open(f"/proc/{child}/status").read().splitlines():
                        key, _, value = line.partition(":")
                        if key in most:
                            most[key] = max(most[key], int(value.split()[0]) * 1024)
        except (OSError, IndexError, ValueError):
            pass
    return peak, most["RssFile"], most["RssAnon"]


class Row:
    """One edit against its yardstick: what the file holds before, the
    edit's arguments, and the yardstick's."""

    def __init__(self, name, data, edit, yardstick):
        self.name, self.data, self.edit, self.yardstick = name, data, edit, yardstick


def rows(content, lines):
    crlf = text_of(content, lines, "\r\n")
    middle = len(crlf) // 2
    middle = crlf.index(b"\n", middle) + 1
    grep = lambda path: ["grep", "-F", "-c", "bench.example.com", path]
    dd = lambda path: ["dd", f"if={path}", f"of={path}.copy", "bs=4M", "conv=fsync", "status=none"]
    return [
        Row("block", crlf, ["/B", "bench.example.com"], grep),
        Row("unblock last", crlf + entry("last.example.com"), ["/U", "last.example.com"], dd),
        Row("unblock middle", crlf[:middle] + entry("middle.example.com") + crlf[middle:], ["/U", "middle.example.com"], dd),
        Row("first block", text_of(content, lines, "\n"), ["/B", "first.example.com"], dd),
    ]


def loop(argvs):
    start = time.perf_counter()
    for argv in argvs:
        subprocess.run(argv, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("tool")
    parser.add_argument("--baseline", help="another build, timed in the same turns")
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--lines", type=int, default=1000000)
    parser.add_argument("--small-runs", type=int, default=50)
    parser.add_argument("--only", help="only these rows, by name, comma-separated (for exploring)")
    args = parser.parse_args()
    builds = {"this": os.path.abspath(args.tool)}
    if args.baseline:
        builds["baseline"] = os.path.abspath(args.baseline)
    names = list(builds) + ["yardstick"]
    worst = {}  # (row, build) -> (ratio, content, state)
    peaks = {}  # (row, build) -> figures
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as workdir:
        path = os.path.join(workdir, "hosts")
        print(f"{args.lines:,} lines; medians of {args.runs} runs in ms; ratio = build / yardstick\n")
        print(f"{'row':<15} {'content':<11} {'build':<9}" + "".join(f"{s + ' ms':>12} {'ratio':>6}" for s in STATES))
        for content in CONTENTS:
            for row in rows(content, args.lines):
                if args.only and row.name not in args.only.split(","):
                    continue
                times = {(n, s): [] for n in names for s in STATES}
                for state in STATES:
                    for _ in range(args.runs):
                        for n in names:
                            place(path, row.data, state, workdir)
                            argv = row.yardstick(path) if n == "yardstick" else [builds[n]] + row.edit + [path]
                            times[n, state].append(timed(argv))
                for n in names:
                    line = f"{row.name:<15} {content:<11} {n:<9}"
                    for s in STATES:
                        median = statistics.median(times[n, s])
                        ratio = median / statistics.median(times["yardstick", s])
                        line += f"{median * 1e3:>12.1f} {ratio if n != 'yardstick' else 1:>6.2f}"
                        if n != "yardstick" and ratio > worst.get((row.name, n), (0,))[0]:
                            worst[row.name, n] = (ratio, content, s)
                    print(line, flush=True)
                for n in builds:
                    place(path, row.data, "copied", workdir)
                    figures = memory([builds[n]] + row.edit + [path], workdir)
                    if figures and figures[0] > peaks.get((row.name, n), [0])[0]:
                        peaks[row.name, n] = figures
            # 100 blocks of new names against 100 searches, on the file in its written form.
            crlf = rows(content, args.lines)[0].data
            for state in STATES if not args.only or "100 blocks" in args.only.split(",") else ():
                loops = {n: [] for n in names}
                for _ in range(3):
                    for n in names:
                        place(path, crlf, state, workdir)
                        if n == "yardstick":
                            loops[n].append(loop([["grep", "-F", "-c", f"loop{i}.example.com", path] for i in range(100)]))
                        else:
                            loops[n].append(loop([[builds[n], "/B", f"loop{i}.example.com", path] for i in range(100)]))
                line = f"{'100 blocks':<15} {content:<11}"
                for n in names:
                    ratio = statistics.median(loops[n]) / statistics.median(loops["yardstick"])
                    line += f" {n}: {statistics.median(loops[n]):.2f} s ({ratio:.2f})"
                    if n != "yardstick" and ratio > worst.get(("100 blocks", n), (0,))[0]:
                        worst["100 blocks", n] = (ratio, content, state)
                print(line + f"  [{state}]", flush=True)
        print("\nworst ratio over states and contents, against the goal")
        for (row, n), (ratio, content, state) in sorted(worst.items(), key=lambda item: list(GOALS).index(item[0][0])):
            verdict = "ok" if ratio <= GOALS[row] else "OVER"
            print(f"{row:<15} {n:<9} {ratio:>6.2f}  goal {GOALS[row]:.1f}  {verdict:<4}  ({content}, {state})")
        print("\npeak resident memory, MB, and the most of it that was the file's mapped pages (RssFile) and the run's own (RssAnon)")
        for (row, n), (hwm, file_pages, anon) in peaks.items():
            print(f"{row:<15} {n:<9} {hwm / 2**20:>7.1f} {file_pages / 2**20:>7.1f} {anon / 2**20:>7.1f}")
        # A 10-line file: the run's own cost, block and unblock in turn.
        small = os.path.join(workdir, "small")
        with open(small, "wb") as f:
            f.write(b"127.0.0.1 localhost\r\n" * 10)
        small_times = {(n, m): [] for n in builds for m in ("/B", "/U")}
        for _ in range(args.small_runs if not args.only else 0):
            for n in builds:
                for mode in ("/B", "/U"):
                    small_times[n, mode].append(timed([builds[n], mode, "small.example.com", small]))
        print(f"\n10-line file, medians of {args.small_runs} runs, ms")
        for n in builds if not args.only else ():
            b, u = (statistics.median(small_times[n, m]) * 1e3 for m in ("/B", "/U"))
            print(f"{n:<9} block {b:.2f}  unblock {u:.2f}")


if __name__ == "__main__":
    main()
