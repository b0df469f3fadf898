"""The file scan's cost per event as the number of symbols grows.

    python bench/gen_files.py --events 5m --symbols 1000 --dir $TMPDIR/zolvar-bench-files/5m-1000   (and 10000, 100000)
    python bench/bench_symbols.py                         # 300, 1,000, 10,000 and 100,000 symbols, 3 reps
    python bench/bench_symbols.py --symbols 1000,100000 --pythonpath /tmp/before-pkg   # another build

Each set is 5M events in 8 plain files (gen_files.py, seed as there); each
run is a process of its own that scans them natively with a window of 21
(bench/workloads.py's specification) and prints its result's digest, CPU
seconds and peak resident. Sets are interleaved, medians of the reps. The
figures: CPU microseconds per event, peak resident, and the ratio of the
CPU per event to that at 1,000 symbols. Targets: at most 1.3x at 100,000
symbols and 1.15x at 10,000.
"""

from __future__ import annotations

import argparse
import glob
import hashlib
import json
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CHILD = r"""
import hashlib, json, resource, sys, time
sys.path.insert(0, sys.argv[1])
import workloads
from zolvar_radar._engine import engine
files = json.loads(sys.argv[2])
t0 = time.perf_counter()
c0 = time.process_time()
out = engine.FileScan(files, workloads.SPEC_TEXT, None, False, False).run()
cpu = time.process_time() - c0
wall = time.perf_counter() - t0
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(json.dumps({"digest": hashlib.sha256(out[0].encode()).hexdigest()[:16], "events": out[3], "cpu": cpu,
                  "wall": wall, "peak": peak}))
"""


def set_dir(root: str, symbols: int) -> str:
    return os.path.join(root, "5m" if symbols == 300 else f"5m-{symbols}")


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--symbols", default="300,1000,10000,100000")
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--dir", default=os.path.join(tempfile.gettempdir(), "zolvar-bench-files"))
    p.add_argument("--pythonpath", help="put this first on the children's path (another build)")
    a = p.parse_args(argv)
    sets = {}
    for n in (int(x) for x in a.symbols.split(",")):
        files = sorted(glob.glob(os.path.join(set_dir(a.dir, n), "events-*.jsonl")))
        if not files:
            raise SystemExit(f"no files for {n} symbols in {set_dir(a.dir, n)}: generate them (see --help)")
        sets[n] = files
    env = dict(os.environ)
    if a.pythonpath:
        env["PYTHONPATH"] = a.pythonpath + os.pathsep + env.get("PYTHONPATH", "")
    runs = {n: [] for n in sets}
    for rep in range(a.reps):
        for n, files in sets.items():
            done = subprocess.run([sys.executable, "-c", CHILD, HERE, json.dumps(files)], env=env, check=True,
                                  stdout=subprocess.PIPE, text=True)
            r = json.loads(done.stdout)
            runs[n].append(r)
            print(f"  rep {rep + 1}  {n:>7} symbols  {r['cpu']:6.2f} CPU s  {r['wall']:6.2f} s  {r['peak']:6.0f} MB  "
                  f"{r['digest']}", flush=True)
    print(f"\n{'symbols':>8} {'us CPU/event':>13} {'wall s':>7} {'peak MB':>8} {'vs 1,000':>9}")
    base = None
    rows = {}
    for n, rs in runs.items():
        events = rs[0]["events"]
        us = statistics.median(r["cpu"] for r in rs) / events * 1e6
        rows[n] = us
        if n == 1000:
            base = us
    for n, rs in runs.items():
        ratio = f"{rows[n] / base:.2f}x" if base else "-"
        print(f"{n:>8} {rows[n]:13.3f} {statistics.median(r['wall'] for r in rs):7.2f} "
              f"{max(r['peak'] for r in rs):8.0f} {ratio:>9}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
