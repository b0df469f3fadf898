"""Parquet peers: `zolvar-radar scan --json DATASET` against DuckDB and polars
computing the same result text from the same Parquet dataset.

    python bench/bench_parquet_peers.py                 # 5M events, 3 repetitions
    python bench/bench_parquet_peers.py --size 1m --reps 5

The dataset is bench_tables_in.py's (made once from the JSON Lines set, one
file per JSON Lines file). The peers are peer_duckdb.py and peer_polars.py
given the dataset's directory (read_parquet / scan_parquet of its flat
columns). Every contender is a whole process; its result text must equal
the radar's before timing. Runs interleaved, the order rotated each
repetition; medians, and peak resident by GNU time.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import gen_files  # noqa: E402
from _scan_text import radar_command  # noqa: E402
from bench_tables_in import SIZES, make_parquet, run_command  # noqa: E402


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--size", default="5m", help="1m or 5m (default 5m)")
    p.add_argument("--reps", type=int, default=3)
    a = p.parse_args(argv)
    n = SIZES.get(a.size) or gen_files.parse_count(a.size)
    info = gen_files.ensure(gen_files.default_dir(n, gen_files.DEFAULT_SEED), n, 300, gen_files.DEFAULT_SEED)
    dataset = make_parquet(info)
    scratch = os.path.join(dataset, "_rusage")
    py = sys.executable
    commands = {
        "zolvar-radar scan": radar_command() + ["scan", "--json", dataset],
        "duckdb": [py, os.path.join(HERE, "peer_duckdb.py"), dataset],
        "polars": [py, os.path.join(HERE, "peer_polars.py"), dataset],
    }
    print(f"zolvar_radar Parquet peers  python {platform.python_version()}  nproc {os.cpu_count()}  "
          f"load {os.getloadavg()[0]:.1f}  {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}", flush=True)
    want = None
    for name, cmd in commands.items():
        got = run_command(cmd, scratch)[2]
        want = got if want is None else want
        assert got == want, f"{name} differs from the radar's result text"
    print(f"every contender gives the same {len(want):,} bytes", flush=True)
    walls: dict[str, list[float]] = {k: [] for k in commands}
    peaks: dict[str, list[float]] = {k: [] for k in commands}
    names = list(commands)
    for rep in range(a.reps):
        k = rep % len(names)
        for name in names[k:] + names[:k]:
            wall, rss, _ = run_command(commands[name], scratch)
            walls[name].append(wall)
            peaks[name].append(rss)
            print(f"  rep {rep + 1}/{a.reps}  {name:<18} {wall:7.3f} s {rss:6.0f} MB  load {os.getloadavg()[0]:.1f}",
                  flush=True)
    print()
    ours = statistics.median(walls[names[0]])
    for name in names:
        med = statistics.median(walls[name])
        print(f"{name:<18} {med:7.3f} s  ({min(walls[name]):.3f}-{max(walls[name]):.3f})  "
              f"peak {max(peaks[name]):5.0f} MB  {med / ours:5.2f}x the radar")
    return 0


if __name__ == "__main__":
    sys.exit(main())
