"""Many small files against one file of the same lines: `zolvar-radar scan`
as a whole process, its wall time and peak resident memory.

    python bench/bench_many_files.py                      # 10,000 one-line files, 3 reps
    python bench/bench_many_files.py --files 2000 --lines-per-file 5 --nofile 256

The lines come from gen_files.py (its first N events, in order). Both runs
have a limit of open descriptors (`--nofile`, default 256) far below the
number of files, so a reader that held every file open would fail. Both
runs must print the same bytes, or the bench stops with status 2.
"""

from __future__ import annotations

import argparse
import glob
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def lines_of(count: int, work: str) -> list[bytes]:
    gen = os.path.join(work, "gen")
    subprocess.run([sys.executable, os.path.join(HERE, "gen_files.py"), "--events", str(count), "--dir", gen],
                   check=True, stdout=subprocess.DEVNULL)
    lines: list[bytes] = []
    for path in sorted(glob.glob(os.path.join(gen, "events-*.jsonl"))):
        with open(path, "rb") as f:
            lines.extend(f.read().splitlines(keepends=True))
    return lines[:count]


def run(cmd: list[str]) -> tuple[float, int, bytes]:
    """(wall seconds, peak resident KiB, stdout) of one process."""
    # GNU time between: a child's own peak would include this process's, from before its exec
    with tempfile.TemporaryFile() as out, tempfile.NamedTemporaryFile("r") as peak:
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak.name, *cmd], stdout=out,
                              stderr=subprocess.PIPE)
        wall = time.perf_counter() - start
        if proc.returncode != 0:
            sys.exit(f"{cmd[:3]}... failed: {proc.stderr.decode(errors='replace').strip()}")
        out.seek(0)
        return wall, int(peak.read().split()[-1]), out.read()


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--files", type=int, default=10_000)
    p.add_argument("--lines-per-file", type=int, default=1)
    p.add_argument("--nofile", type=int, default=256, help="open-descriptor limit for the many-files run")
    p.add_argument("--reps", type=int, default=3)
    a = p.parse_args()

    work = tempfile.mkdtemp(prefix="zolvar-many-")
    try:
        lines = lines_of(a.files * a.lines_per_file, work)
        one = os.path.join(work, "one.jsonl")
        with open(one, "wb") as f:
            f.writelines(lines)
        many_dir = os.path.join(work, "many")
        os.mkdir(many_dir)
        many = []
        for i in range(a.files):
            path = os.path.join(many_dir, f"{i:06d}.jsonl")
            with open(path, "wb") as f:
                f.writelines(lines[i * a.lines_per_file:(i + 1) * a.lines_per_file])
            many.append(path)
        radar = [sys.executable, "-m", "zolvar_radar", "scan", "--json"]
        runs = {"one file": radar + [one], f"{a.files} files": radar + many}
        # Both runs inherit the limit: the one file needs few descriptors anyway.
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (a.nofile, hard))
        samples: dict[str, list[tuple[float, int]]] = {name: [] for name in runs}
        texts = {}
        for rep in range(a.reps):
            order = list(runs.items())
            order = order[rep % 2:] + order[:rep % 2]
            for name, cmd in order:
                wall, rss, text = run(cmd)
                samples[name].append((wall, rss))
                texts[name] = text
        if len(set(texts.values())) != 1:
            print("the outputs differ", file=sys.stderr)
            return 2
        print(f"{len(lines)} lines, {sum(map(len, lines))} bytes; under ulimit -n {a.nofile}")
        print(f"{'':>14} {'wall s':>8} {'peak MB':>8}")
        medians = {}
        for name, values in samples.items():
            wall = sorted(v[0] for v in values)[len(values) // 2]
            rss = sorted(v[1] for v in values)[len(values) // 2] / 1024
            medians[name] = (wall, rss)
            print(f"{name:>14} {wall:8.3f} {rss:8.1f}")
        (w1, r1), (wn, rn) = medians.values()
        print(f"{'ratio':>14} {wn / w1:7.2f}x {rn / r1:7.2f}x")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
