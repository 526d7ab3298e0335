#!/usr/bin/env python3
"""Times tarnwick against a durable copy of the same hosts file and a search.

For each size the script generates a hosts file deterministically, then runs,
alternately: a block, the durable copy (dd ... conv=fsync), an unblock, the
durable copy again; the block and the unblock leave the file as it was. It
prints the median wall time of each, their ratio to the copy, and the peak
resident memory of a block and of an unblock, the latter also against the
file size.

Then it unblocks a line in the middle of the file in its written form (CR LF
line ends), so that the text after it moves: each run on a fresh copy of the
file, made durable first, and each followed by the durable copy of that file.

Then, on the same file in its written form (CR LF line ends), it compares a
block with a search of the file (grep -F -c): the median time of each, the
bytes a block hands to write/pwrite for the hosts file and its journal
(counted with strace), and a loop of 100 blocks of new names against a loop of
100 searches.

    bench/bench.py build/release/tarnwick [--runs N] [--sizes 10,10000,100000,1000000]
                   [--baseline OTHER_TARNWICK]

With --baseline, a second build is timed in the same runs, turn and turn
about with the first, and gets a row of its own: a before-and-after figure
from one run on one machine.
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import tempfile
import time


def generate(path, lines):
    """A blocklist of `lines` lines: a header, then one entry per line (LF ends)."""
    with open(path, "w", newline="\n") as f:
        f.write("# generated blocklist\n127.0.0.1 localhost\n")
        for i in range(max(lines - 2, 0)):
            f.write(f"0.0.0.0 ads{i:07d}.tracker-{i % 97}.example.net\n")


def timed(argv, check=True):
    """Wall time in seconds of one run."""
    start = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, check=check)
    return time.perf_counter() - start


def peak(argv, workdir):
    """Peak resident memory in bytes of one run, as /usr/bin/time reports it
    (a child forked from this script would count the script's own memory)."""
    report = os.path.join(workdir, "peak")
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + argv, stdout=subprocess.DEVNULL, check=True)
    with open(report) as f:
        return int(f.read().split()[-1]) * 1024


def written(tool, hosts):
    """Bytes one block passes to write and pwrite64 on files other than
    standard output, as strace sees them."""
    trace = hosts + ".trace"
    subprocess.run(["strace", "-f", "-qq", "-e", "trace=write,pwrite64", "-e", "signal=none", "-o", trace,
                    tool, "/B", "counted.example.com", hosts], stdout=subprocess.DEVNULL, check=True)
    total = 0
    with open(trace) as f:
        for line in f:
            call = re.search(r"(write|pwrite64)\((\d+),.*\) = (\d+)$", line)
            if call and call.group(2) != "1":
                total += int(call.group(3))
    os.remove(trace)
    subprocess.run([tool, "/U", "counted.example.com", hosts], stdout=subprocess.DEVNULL, check=True)
    return total


def appending(tool, lines, runs, workdir):
    """A block on a file in its written form against a search of it."""
    hosts = os.path.join(workdir, f"hosts-{lines}")
    generate(hosts, lines)
    subprocess.run([tool, "/U", "normalise.example.com", hosts], stdout=subprocess.DEVNULL, check=True)
    grep = ["grep", "-F", "-c", "bench.example.com", hosts]
    block, search = [], []
    for _ in range(runs):
        block.append(timed([tool, "/B", "bench.example.com", hosts]))
        subprocess.run([tool, "/U", "bench.example.com", hosts], stdout=subprocess.DEVNULL, check=True)
        search.append(timed(grep, check=False))
    names = [f"loop{i:03d}.example.com" for i in range(100)]
    start = time.perf_counter()
    for name in names:
        subprocess.run([tool, "/B", name, hosts], stdout=subprocess.DEVNULL, check=True)
    loop = time.perf_counter() - start
    start = time.perf_counter()
    for name in names:
        subprocess.run(["grep", "-F", "-c", name, hosts], stdout=subprocess.DEVNULL)
    searches = time.perf_counter() - start
    generate(hosts, lines)
    subprocess.run([tool, "/U", "normalise.example.com", hosts], stdout=subprocess.DEVNULL, check=True)
    count = written(tool, hosts) if shutil.which("strace") else None
    os.remove(hosts)
    return statistics.median(block), statistics.median(search), count, loop, searches


def bench(tools, lines, runs, workdir):
    hosts = os.path.join(workdir, f"hosts-{lines}")
    copy = os.path.join(workdir, f"copy-{lines}")
    generate(hosts, lines)
    # First run on the LF file as generated: a fresh copy each time.
    first = {tool: [] for tool in tools}
    pristine = hosts + ".lf"
    os.replace(hosts, pristine)
    for _ in range(max(runs // 2, 3)):
        for tool in tools:
            subprocess.run(["cp", pristine, hosts], check=True)
            first[tool].append(timed([tool, "/B", "first.example.com", hosts]))
    subprocess.run([tools[0], "/U", "first.example.com", hosts], stdout=subprocess.DEVNULL, check=True)
    size = os.path.getsize(hosts)
    block = {tool: [] for tool in tools}
    unblock = {tool: [] for tool in tools}
    dd_times = []
    dd = ["dd", f"if={hosts}", f"of={copy}", "bs=4M", "conv=fsync", "status=none"]
    for _ in range(runs):
        for tool in tools:
            block[tool].append(timed([tool, "/B", "bench.example.com", hosts]))
            dd_times.append(timed(dd))
            unblock[tool].append(timed([tool, "/U", "bench.example.com", hosts]))
            dd_times.append(timed(dd))
    peaks = {tool: (peak([tool, "/B", "bench.example.com", hosts], workdir),
                    peak([tool, "/U", "bench.example.com", hosts], workdir)) for tool in tools}
    # A line in the middle of the written form: everything after it moves.
    with open(hosts, "rb") as f:
        lines_crlf = f.read().split(b"\r\n")
    lines_crlf.insert(len(lines_crlf) // 2, b"127.0.0.1        MIDDLE.EXAMPLE.COM")
    with open(pristine, "wb") as f:
        f.write(b"\r\n".join(lines_crlf))
    middle = {tool: [] for tool in tools}
    middle_dd = []
    dd_middle = ["dd", f"if={hosts}", f"of={copy}", "bs=4M", "conv=fsync", "status=none"]
    for _ in range(runs):
        for tool in tools:
            subprocess.run(["cp", pristine, hosts], check=True)
            subprocess.run(["sync"], check=True)
            middle_dd.append(timed(dd_middle))
            middle[tool].append(timed([tool, "/U", "middle.example.com", hosts]))
    os.remove(pristine)
    os.remove(copy)
    os.remove(hosts)
    base = statistics.median(dd_times)
    return [{
        "tool": tool,
        "lines": lines,
        "size": size,
        "copy": base,
        "block": statistics.median(block[tool]),
        "unblock": statistics.median(unblock[tool]),
        "first": statistics.median(first[tool]),
        "block_peak": peaks[tool][0],
        "unblock_peak": peaks[tool][1],
        "middle_copy": statistics.median(middle_dd),
        "middle": statistics.median(middle[tool]),
    } for tool in tools]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("tool")
    parser.add_argument("--runs", type=int, default=21)
    parser.add_argument("--sizes", default="10,10000,100000,1000000")
    parser.add_argument("--baseline", help="another build, timed in the same runs")
    args = parser.parse_args()
    tools = [os.path.abspath(args.tool)] + ([os.path.abspath(args.baseline)] if args.baseline else [])
    label = len(tools) > 1
    print(f"{'build':>9} " * label + f"{'lines':>9} {'bytes':>10} {'copy ms':>8} {'block ms':>9} {'ratio':>6} "
          f"{'unblock ms':>10} {'ratio':>6} {'first ms':>9} {'block MB':>8} {'unblock MB':>10} {'/size':>5} "
          f"{'copy ms':>8} {'middle ms':>9} {'ratio':>6}")
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as workdir:
        for lines in (int(n) for n in args.sizes.split(",")):
            for r in bench(tools, lines, args.runs, workdir):
                name = "this" if r["tool"] == tools[0] else "baseline"
                print(f"{name:>9} " * label + f"{r['lines']:>9} {r['size']:>10} {r['copy'] * 1e3:>8.1f} "
                      f"{r['block'] * 1e3:>9.1f} {r['block'] / r['copy']:>6.2f} {r['unblock'] * 1e3:>10.1f} "
                      f"{r['unblock'] / r['copy']:>6.2f} {r['first'] * 1e3:>9.1f} {r['block_peak'] / 2**20:>8.1f} "
                      f"{r['unblock_peak'] / 2**20:>10.1f} {r['unblock_peak'] / r['size']:>5.2f} "
                      f"{r['middle_copy'] * 1e3:>8.1f} {r['middle'] * 1e3:>9.1f} {r['middle'] / r['middle_copy']:>6.2f}",
                      flush=True)
        print()
        print(f"{'build':>9} " * label + f"{'lines':>9} {'block ms':>9} {'grep ms':>8} {'ratio':>6} "
              f"{'written B':>9} {'100 blocks s':>12} {'100 greps s':>11} {'ratio':>6}")
        for lines in (int(n) for n in args.sizes.split(",")):
            for tool in tools:
                block, search, count, loop, searches = appending(tool, lines, args.runs, workdir)
                name = "this" if tool == tools[0] else "baseline"
                print(f"{name:>9} " * label + f"{lines:>9} {block * 1e3:>9.1f} {search * 1e3:>8.1f} "
                      f"{block / search:>6.2f} {count if count is not None else '-':>9} {loop:>12.2f} "
                      f"{searches:>11.2f} {loop / searches:>6.2f}", flush=True)


if __name__ == "__main__":
    main()
