"""Tables in: the 5M-event bench set as an Arrow table in memory and as a
Parquet dataset, against `scan` of the same events as JSON Lines files.

    python bench/bench_tables_in.py                 # 5M events, 3 repetitions
    python bench/bench_tables_in.py --size 1m --reps 5

The JSON Lines files come from gen_files.py (as for bench_files.py); the
Parquet dataset is made from them once, next to them (<set>-parquet/, one
file per JSON Lines file, pyarrow's default writer settings), by pyarrow's
own JSON reader. Contenders, run interleaved, the order rotated each
repetition, figures the medians:

- in process: scan_table(table) of the whole set held as a pyarrow Table,
  against scan_files(JSON Lines files), both in this process;
- whole commands: `zolvar-radar scan --json DATASET` against `zolvar-radar
  scan --json FILES`, wall time and peak resident (GNU time's %M).

Before timing, every contender's result text must equal the JSON Lines
scan's, byte for byte. Targets: scan_table <= 0.5x the in-process file scan;
the Parquet command <= 0.7x the JSON Lines command, peak <= 150 MB.
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import gen_files  # noqa: E402
from _scan_text import radar_command  # noqa: E402

SIZES = {"1m": 1_000_000, "5m": 5_000_000}
FIELDS = ["open_interest", "funding_rate", "mark_price", "bid_volume", "ask_volume", "best_bid", "best_ask", "side",
          "qty", "price"]
TIME = "/usr/bin/time"


def make_parquet(info: dict) -> str:
    """The set as a Parquet dataset, made once from its JSON Lines files (both line forms)."""
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.json as pj
    import pyarrow.parquet as pq

    out = info["dir"].rstrip("/") + "-parquet"
    stamp = os.path.join(out, "_made_from.json")
    made = {"events": info["events"], "plain_bytes": info["plain_bytes"]}
    try:
        with open(stamp) as f:
            if json.load(f) == made:
                return out
    except (OSError, ValueError):
        pass
    os.makedirs(out, exist_ok=True)
    kind = pa.string()
    fields = [(f, pa.string() if f == "side" else pa.float64()) for f in FIELDS]
    event = pa.struct([("kind", kind), ("ts", pa.int64()), *fields])
    schema = pa.schema([("symbol", pa.string()), ("kind", kind), ("ts", pa.int64()), *fields, ("event", event)])
    t0 = time.perf_counter()
    for k, path in enumerate(info["plain"]):
        t = pj.read_json(path, parse_options=pj.ParseOptions(explicit_schema=schema,
                                                             unexpected_field_behavior="ignore"))
        e = t.column("event")
        columns = {"symbol": t.column("symbol")}
        for name in ["kind", "ts", *FIELDS]:
            columns[name] = pc.coalesce(t.column(name), pc.struct_field(e, name))
        pq.write_table(pa.table(columns), os.path.join(out, f"part-{k}.parquet"))
    with open(stamp, "w") as f:
        json.dump(made, f)
    print(f"Parquet dataset made in {time.perf_counter() - t0:.1f} s -> {out}", file=sys.stderr)
    return out


def run_command(cmd: list[str], scratch: str) -> tuple[float, float, bytes]:
    argv = [TIME, "-f", "%M", "-o", scratch] + cmd if os.access(TIME, os.X_OK) else cmd
    t0 = time.perf_counter()
    proc = subprocess.run(argv, stdout=subprocess.PIPE, check=True)
    wall = time.perf_counter() - t0
    rss = float("nan")
    if argv[0] == TIME:
        with open(scratch) as f:
            rss = int(f.read().split()[-1]) / 1024.0
    return wall, rss, proc.stdout


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--size", default="5m", help="1m or 5m (default 5m)")
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--dir", help="where the generated files live (default: $TMPDIR/zolvar-bench-files)")
    a = p.parse_args(argv)

    import pyarrow.parquet as pq

    from zolvar_radar import scan_files, scan_table
    from zolvar_radar.cli.specs import DEFAULT_SPEC

    n = SIZES.get(a.size) or gen_files.parse_count(a.size)
    directory = os.path.join(a.dir, a.size) if a.dir else gen_files.default_dir(n, gen_files.DEFAULT_SEED)
    info = gen_files.ensure(directory, n, 300, gen_files.DEFAULT_SEED)
    dataset = make_parquet(info)
    spec = DEFAULT_SPEC.read_text()
    files = info["plain"]
    table = pq.read_table(dataset)
    scratch = os.path.join(dataset, "_rusage")
    print(f"zolvar_radar tables-in bench  python {platform.python_version()}  nproc {os.cpu_count()}  "
          f"load {os.getloadavg()[0]:.1f}  {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}", flush=True)

    want = scan_files(files, spec).text
    assert scan_table(table, spec).text == want, "scan_table differs from the JSON Lines scan"
    commands = {"scan JSON Lines": radar_command() + ["scan", "--json", *files],
                "scan Parquet": radar_command() + ["scan", "--json", dataset]}
    for name, cmd in commands.items():
        assert run_command(cmd, scratch)[2].decode().rstrip("\n") == want, f"{name} differs"
    print(f"every contender gives the same {len(want):,} bytes", flush=True)

    inproc = {"scan_files": lambda: scan_files(files, spec), "scan_table": lambda: scan_table(table, spec)}
    walls: dict[str, list[float]] = {k: [] for k in [*inproc, *commands]}
    peaks: dict[str, list[float]] = {k: [] for k in commands}
    names = list(walls)
    for rep in range(a.reps):
        k = rep % len(names)
        for name in names[k:] + names[:k]:
            if name in inproc:
                t0 = time.perf_counter()
                inproc[name]()
                walls[name].append(time.perf_counter() - t0)
                extra = ""
            else:
                wall, rss, _ = run_command(commands[name], scratch)
                walls[name].append(wall)
                peaks[name].append(rss)
                extra = f"{rss:8.0f} MB"
            print(f"  rep {rep + 1}/{a.reps}  {name:<16} {walls[name][-1]:7.3f} s {extra}  "
                  f"load {os.getloadavg()[0]:.1f}", flush=True)
    med = {k: statistics.median(v) for k, v in walls.items()}
    print()
    print(f"{info['events']:,} events, {info['symbols']} symbols; JSON Lines {info['plain_bytes'] / 1e6:.0f} MB, "
          f"Parquet {sum(os.path.getsize(f) for f in glob.glob(dataset + '/*.parquet')) / 1e6:.0f} MB")
    for name in names:
        peak = f"  peak {max(peaks[name]):.0f} MB" if name in peaks else ""
        print(f"{name:<16} {med[name]:7.3f} s  ({min(walls[name]):.3f}-{max(walls[name]):.3f}){peak}")
    print()
    ratio_t = med["scan_table"] / med["scan_files"]
    ratio_p = med["scan Parquet"] / med["scan JSON Lines"]
    peak = max(peaks["scan Parquet"])
    print(f"scan_table / scan_files          {ratio_t:5.2f}x  <= 0.5x   {'PASS' if ratio_t <= 0.5 else 'MISS'}")
    print(f"scan Parquet / scan JSON Lines   {ratio_p:5.2f}x  <= 0.7x   {'PASS' if ratio_p <= 0.7 else 'MISS'}")
    print(f"scan Parquet peak resident       {peak:5.0f} MB <= 150 MB {'PASS' if peak <= 150 else 'MISS'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
