#!/usr/bin/env python3
"""One process against a Dask cluster, scanning the same JSON Lines files.

    python bench/bench_dask.py [--sizes 100x500,1000x500,10000x500] [--files 8] [--reps N] [--json]

The events of workloads.py (seeded, byte for byte the same on every run) are
written once as JSON Lines files, all symbols interleaved in timestamp order
and cut into consecutive files, so every symbol has events in every file, as
in a set of daily files. They are kept in --dir for later runs.

Contenders, all on the same files with the bench's specification:

- one process, read_events: what `zolvar_radar.distributed` does, in a
  single process: read every file with `zolvar_radar.adapters.read_events`,
  group the events by symbol, one "scan" command.
- one process, CLI reader: what `zolvar-radar scan` does (`inputs.Reader`,
  event texts taken from the lines without parsing them in Python).
- dask processes: `distributed.scan` on a LocalCluster of 2 worker processes
  with one thread each, started before the clock (its start-up is reported
  on its own), shards = worker threads unless --partitions says otherwise.
- dask threads: the same on one in-process worker with 2 threads, the
  default `scan` picks for small inputs.

Each single-process run happens in a fresh subprocess, so its peak resident
size (ru_maxrss) is its own. For the clusters, the resident size of every
worker process is sampled every 50 ms and the peak reported. Every
contender's result text must be byte-identical to the first one's, else the
bench exits with status 2 before printing figures.
"""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import json
import os
import platform
import resource
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import workloads  # noqa: E402

DEFAULT_SIZES = "100x500,1000x500,10000x500"
DEFAULT_DIR = Path(os.environ.get("TMPDIR", "/tmp")) / "zolvar-bench-dask"


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


# --------------------------------------------------------------- the files

def write_files(n_symbols: int, n_per: int, n_files: int, root: Path) -> list[Path]:
    """The workload as n_files JSON Lines files; reused when already written."""
    where = root / f"{n_symbols}x{n_per}-{n_files}files-seed{workloads.SEED}"
    paths = [where / f"part{k:03d}.jsonl" for k in range(n_files)]
    done = where / "complete"
    if done.exists():
        return paths
    where.mkdir(parents=True, exist_ok=True)
    log(f"writing {n_symbols * n_per:,} events to {where} ...")
    names = workloads.symbol_names(n_symbols)
    lines, stamps = [], []
    for i, name in enumerate(names):
        stream = workloads.make_stream(name, i, n_per)
        prefix = '{"symbol":' + workloads.dumps(name) + ","
        lines.append([
            prefix + workloads.dumps(ev)[1:] if isinstance(ev, dict)
            else prefix + '"event":' + workloads.dumps(ev) + "}"
            for ev in stream.events
        ])
        stamps.append(stream.ts)
    # all symbols interleaved by timestamp; (ts, symbol index) is unique
    keys = sorted((t << 16) | i for i, ts in enumerate(stamps) for t in ts)
    cursor = [0] * n_symbols
    per_file = -(-len(keys) // n_files)
    for k, path in enumerate(paths):
        with open(path, "w", encoding="utf-8") as out:
            for key in keys[k * per_file:(k + 1) * per_file]:
                i = key & 0xFFFF
                out.write(lines[i][cursor[i]] + "\n")
                cursor[i] += 1
    done.write_text("")
    return paths


# ------------------------------------------------------ one process (child)

def single_child(mode: str, paths: list[str]) -> None:
    """Runs in a fresh process: one scan over the files, figures on stdout."""
    from zolvar_radar import Radar

    t0 = time.perf_counter()
    if mode == "read_events":
        from zolvar_radar.adapters import read_events
        from zolvar_radar.distributed import _ENCODE

        groups: dict[str, list[str]] = {}
        for path in paths:
            for symbol, event in read_events(path):
                group = groups.get(symbol)
                if group is None:
                    groups[symbol] = group = []
                group.append(_ENCODE(event))
        command = '{"cmd":"scan","events":{' + ",".join(
            json.dumps(symbol) + ":[" + ",".join(texts) + "]" for symbol, texts in groups.items()) + "}}"
        del groups
    else:
        from zolvar_radar.inputs import Checker, Reader, open_sources, scan_command

        records = list(Reader(open_sources(paths), Checker(), stop_at_bad=True))
        command = scan_command(records)
        del records
    t1 = time.perf_counter()
    text = Radar(workloads.SPEC_TEXT).command(command)
    t2 = time.perf_counter()
    usage = resource.getrusage(resource.RUSAGE_SELF)
    print(json.dumps({"read": t1 - t0, "scan": t2 - t1, "total": t2 - t0, "cpu": usage.ru_utime + usage.ru_stime,
                      "peak_rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
                      "digest": hashlib.sha256(text.encode()).hexdigest(), "head": text[:200]}))


def run_single(mode: str, paths: list[Path]) -> dict:
    proc = subprocess.run([sys.executable, str(Path(__file__).resolve()), "--single-child", mode,
                           *map(str, paths)], capture_output=True, text=True, check=False)
    if proc.returncode != 0:
        raise SystemExit(f"single-process run ({mode}) failed:\n{proc.stderr}")
    return json.loads(proc.stdout)


# --------------------------------------------------------------- the cluster

def cpu_seconds(worker_pids: list[int]) -> float:
    """CPU time of this process (client and scheduler; the worker too when in-process) and of the workers."""
    import psutil

    usage = resource.getrusage(resource.RUSAGE_SELF)
    total = usage.ru_utime + usage.ru_stime
    for pid in worker_pids:
        times = psutil.Process(pid).cpu_times()
        total += times.user + times.system
    return total


class PeakRss:
    """Samples the resident size of the given processes until stopped."""

    def __init__(self, pids: list[int]):
        import psutil

        self.procs = [psutil.Process(pid) for pid in pids]
        self.peaks = [0] * len(pids)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stop.wait(0.05):
            for k, proc in enumerate(self.procs):
                with contextlib.suppress(Exception):  # a worker may be restarting
                    self.peaks[k] = max(self.peaks[k], proc.memory_info().rss)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def run_dask(processes: bool, paths: list[Path], reps: int, partitions: int | None) -> dict:
    from distributed import Client
    from zolvar_radar import distributed as zd

    t0 = time.perf_counter()
    cluster = zd.local_cluster(processes, n_workers=2 if processes else 1)
    client = Client(cluster)
    client.wait_for_workers(2 if processes else 1)
    startup = time.perf_counter() - t0
    try:
        workers = sorted(set(client.run(os.getpid).values()) - {os.getpid()})
        times, cpu, text = [], [], None
        # an in-process worker: this process is the one to watch
        with PeakRss(workers or [os.getpid()]) as peak:
            for _ in range(reps):
                before = cpu_seconds(workers)
                t = time.perf_counter()
                text = zd.scan([str(p) for p in paths], workloads.SPEC_TEXT, client=client, partitions=partitions)
                times.append(time.perf_counter() - t)
                cpu.append(cpu_seconds(workers) - before)
        worker_peaks = peak.peaks
    finally:
        client.close()
        cluster.close()
    middle = sorted(range(reps), key=times.__getitem__)[reps // 2]
    return {"startup": startup, "total": times[middle], "cpu": cpu[middle], "samples": times,
            "peak_rss_per_worker": max(worker_peaks), "peak_rss_workers": worker_peaks,
            "digest": hashlib.sha256(text.encode()).hexdigest(), "head": text[:200]}


# ---------------------------------------------------------------------- main

def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default=DEFAULT_SIZES, help=f"SYMBOLSxEVENTS,... (default {DEFAULT_SIZES})")
    parser.add_argument("--files", type=int, default=8, help="files the events are cut into (default 8)")
    parser.add_argument("--partitions", type=int, default=None, help="shards (default: worker threads)")
    parser.add_argument("--reps", type=int, default=None, help="repetitions per contender (default 3, 1 for 1M+ events)")
    parser.add_argument("--dir", type=Path, default=DEFAULT_DIR, help=f"where the files are kept (default {DEFAULT_DIR})")
    parser.add_argument("--json", action="store_true", help="one JSON document on stdout instead of the table")
    parser.add_argument("--single-child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.single_child:
        single_child(args.single_child[0], args.single_child[1:])
        return 0

    report = {"machine": {"nproc": os.cpu_count(), "python": platform.python_version(),
                          "platform": platform.platform()}, "sizes": []}
    for size in args.sizes.split(","):
        n_symbols, n_per = map(int, size.lower().split("x"))
        paths = write_files(n_symbols, n_per, args.files, args.dir)
        n_events = n_symbols * n_per
        reps = args.reps or (1 if n_events >= 1_000_000 else 3)
        megabytes = sum(p.stat().st_size for p in paths) / 1e6
        rows = {}
        for mode in ("read_events", "cli"):
            log(f"{size}: one process, {mode} ({reps}x) ...")
            samples = [run_single(mode, paths) for _ in range(reps)]
            best = sorted(samples, key=lambda s: s["total"])[len(samples) // 2]  # the median run
            rows[f"one process, {mode}"] = best
        for processes in (True, False):
            name = "dask, 2 processes x 1 thread" if processes else "dask, 1 process x 2 threads"
            log(f"{size}: {name} ({reps}x) ...")
            rows[name] = run_dask(processes, paths, reps, args.partitions)
        digests = {name: row["digest"] for name, row in rows.items()}
        if len(set(digests.values())) != 1:
            for name, row in rows.items():
                log(f"  {name}: {row['digest'][:16]} {row['head'][:120]}")
            log("the result texts differ")
            return 2
        report["sizes"].append({"size": size, "events": n_events, "files": args.files, "megabytes": megabytes,
                                "reps": reps, "result_sha256": next(iter(digests.values())), "rows": rows})

    if args.json:
        print(json.dumps(report, indent=1))
        return 0
    print(f"zolvar_radar dask bench  nproc={os.cpu_count()}  python {platform.python_version()}  "
          f"partitions={args.partitions or 'worker threads'}")
    for entry in report["sizes"]:
        base = entry["rows"]["one process, read_events"]["total"]
        print(f"\n{entry['size']}: {entry['events']:,} events in {entry['files']} files, {entry['megabytes']:.1f} MB, "
              f"reps={entry['reps']} (median); identical results, sha256 {entry['result_sha256'][:16]}")
        print(f"{'contender':<32}{'seconds':>9}{'read':>8}{'scan':>8}{'start-up':>10}{'CPU s':>8}{'Mevents/s':>11}"
              f"{'vs 1 proc':>10}{'peak RSS MB':>13}")
        for name, row in entry["rows"].items():
            rss = row.get("peak_rss") or row.get("peak_rss_per_worker")
            read = f"{row['read']:8.2f}" if "read" in row else f"{'':>8}"
            scan = f"{row['scan']:8.2f}" if "scan" in row else f"{'':>8}"
            start = f"{row['startup']:10.2f}" if "startup" in row else f"{'':>10}"
            per_worker = " /worker" if "peak_rss_per_worker" in row else ""
            print(f"{name:<32}{row['total']:9.2f}{read}{scan}{start}{row['cpu']:8.2f}"
                  f"{entry['events'] / row['total'] / 1e6:11.2f}"
                  f"{base / row['total']:9.2f}x{rss / 1e6:13.0f}{per_worker}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
