"""The file scan against a floor: a harness around simdjson's on-demand parser (bench/floor/floor_scan.cpp).

    python bench/bench_floor.py                      # 1,000, 10,000 and 100,000 symbols, 3 reps
    python bench/bench_floor.py --symbols 300,1000

The floor parses each line with simdjson and keeps each symbol's rings in a
flat hash table: nothing judged, nothing scored, one thread. simdjson's
amalgamated source is taken from the pysimdjson source package on PyPI (for
measuring only; nothing of it ships) and compiled with g++ -O3 once, into
$TMPDIR/zolvar-floor. The radar's side is `FileScan` on one reader thread
over the same 5M-event sets as bench_symbols.py, window 21; both report CPU
seconds, interleaved, medians. The figure: the scan's CPU per event over the
floor's.
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import statistics
import subprocess
import sys
import tarfile
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CHILD = r"""
import json, sys, time
sys.path.insert(0, sys.argv[1])
import workloads
from zolvar_radar._engine import engine
c0 = time.process_time()
out = engine.FileScan(json.loads(sys.argv[2]), workloads.SPEC_TEXT, None, False, False, 1).run()
print(json.dumps({"events": out[3], "cpu": time.process_time() - c0}))
"""


def floor_binary() -> str:
    work = os.path.join(tempfile.gettempdir(), "zolvar-floor")
    binary = os.path.join(work, "floor_scan")
    source = os.path.join(HERE, "floor", "floor_scan.cpp")
    if os.path.exists(binary) and os.path.getmtime(binary) > os.path.getmtime(source):
        return binary
    os.makedirs(work, exist_ok=True)
    found = glob.glob(os.path.join(work, "pysimdjson-*.tar.gz"))
    if not found:
        subprocess.run([sys.executable, "-m", "pip", "download", "-q", "pysimdjson==7.0.2", "--no-deps",
                        "--no-binary", ":all:", "-d", work], check=True)
        found = glob.glob(os.path.join(work, "pysimdjson-*.tar.gz"))
    with tarfile.open(found[0]) as tar:
        members = [m for m in tar.getmembers() if m.name.endswith(("simdjson/simdjson.h", "simdjson/simdjson.cpp"))]
        tar.extractall(work, members=members)  # noqa: S202 - a package we just fetched, two known files
    inc = os.path.dirname(os.path.join(work, members[0].name))
    subprocess.run(["g++", "-O3", "-std=c++20", "-I", inc, source, os.path.join(inc, "simdjson.cpp"), "-o", binary],
                   check=True)
    return binary


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--symbols", default="1000,10000,100000")
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--dir", default=os.path.join(tempfile.gettempdir(), "zolvar-bench-files"))
    a = p.parse_args(argv)
    binary = floor_binary()
    rows = []
    for n in (int(x) for x in a.symbols.split(",")):
        files = sorted(glob.glob(os.path.join(a.dir, "5m" if n == 300 else f"5m-{n}", "events-*.jsonl")))
        if not files:
            raise SystemExit(f"no set of {n} symbols: see bench_symbols.py for how to make it")
        floor, scan = [], []
        for _ in range(a.reps):
            f = json.loads(subprocess.run([binary, "21", *files], check=True, stdout=subprocess.PIPE).stdout)
            s = json.loads(subprocess.run([sys.executable, "-c", CHILD, HERE, json.dumps(files)], check=True,
                                          stdout=subprocess.PIPE).stdout)
            if f["refused"] or f["events"] != s["events"]:
                raise SystemExit(f"{n} symbols: the floor read {f['events']} events, the scan {s['events']}")
            floor.append(f["cpu"] / f["events"] * 1e6)
            scan.append(s["cpu"] / s["events"] * 1e6)
        rows.append((n, statistics.median(floor), statistics.median(scan)))
        print(f"  {n:>7} symbols: floor {rows[-1][1]:.3f} us, scan {rows[-1][2]:.3f} us CPU per event", flush=True)
    print(f"\n{'symbols':>8} {'floor us':>9} {'scan us':>8} {'scan/floor':>11}")
    for n, f, s in rows:
        print(f"{n:>8} {f:9.3f} {s:8.3f} {s / f:10.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
