#!/usr/bin/env python3
"""One process against a Dask cluster, scanning the same JSON Lines files.

    python bench/bench_dask.py                     # 1M and 5M events, 3 repetitions
    python bench/bench_dask.py --size 1m --reps 5 --json out.json

The files come from gen_files.py (8 plain files, generated once into
$TMPDIR/zolvar-bench-files/<size>, reused while their manifest matches).
Contenders, all with the bundled specification:

- cli scan:         `zolvar-radar scan --json FILES` as a subprocess
- cli scan --dask:  `zolvar-radar scan --dask --json FILES` as a subprocess,
                    starting (and stopping) its own local cluster
- scan_files:       `zolvar_radar.scan_files` in a fresh subprocess, the
                    call alone timed
- dask, N worker(s): `zolvar_radar.distributed.scan` on a LocalCluster of N
                    worker processes with one thread each, started before
                    the clock and reused across repetitions

Wall time is median over the repetitions; CPU time is user plus system time
of the child (subprocesses) or of this process and the workers (clusters).
"moved" is what Dask's own transfer accounting says moved between workers
during the call (each worker's `transfer_incoming_log`), per file read;
"outgoing" is the workers' `transfer_outgoing_bytes_total`, which also counts
what the client gathered. Peak resident is the child's (GNU time's %M when
/usr/bin/time is there, else ru_maxrss), or for a cluster the highest of
each worker's resident size sampled every 20 ms. The load average is printed
with every repetition: the figures mean little on a busy machine.

Every contender's result text must be byte-identical to the first one's,
else the bench exits with status 2 before printing figures.
"""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import gen_files  # noqa: E402
from _scan_text import bundled_spec_path, radar_command  # noqa: E402

SIZES = {"1m": 1_000_000, "5m": 5_000_000}
TIME = "/usr/bin/time"


def log(msg: str) -> None:
    print(msg, flush=True)


def load() -> str:
    return "load " + " ".join(f"{x:.1f}" for x in os.getloadavg())


# ------------------------------------------------------------ subprocesses

def run_child(cmd: list[str], scratch: str, reports: bool = False) -> dict:
    """Wall, CPU and peak resident of one child and its stdout's digest, or what it reports."""
    use_time = os.access(TIME, os.X_OK)
    argv = [TIME, "-f", "%M", "-o", scratch] + cmd if use_time else cmd
    with tempfile.TemporaryFile() as out:
        t0 = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=out)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - t0
        if os.waitstatus_to_exitcode(status) != 0:
            raise SystemExit(f"{' '.join(cmd[:4])} ... exited with status {os.waitstatus_to_exitcode(status)}")
        out.seek(0)
        printed = out.read()
    rss = usage.ru_maxrss * 1024
    if use_time:
        with open(scratch) as f:
            rss = int(f.read().split()[-1]) * 1024
    row = {"wall": wall, "cpu": usage.ru_utime + usage.ru_stime, "rss": rss}
    if reports:
        return json.loads(printed)
    row["digest"] = hashlib.sha256(printed.rstrip(b"\n")).hexdigest()
    return row


def scan_files_child(paths: list[str]) -> None:
    """In a fresh process: scan_files timed alone, figures as JSON on stdout."""
    from zolvar_radar import scan_files

    spec = open(bundled_spec_path()).read()
    before = resource.getrusage(resource.RUSAGE_SELF)
    t0 = time.perf_counter()
    text = scan_files(paths, spec).text
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_SELF)
    print(json.dumps({"wall": wall, "cpu": after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime,
                      "rss": after.ru_maxrss * 1024, "digest": hashlib.sha256(text.encode()).hexdigest()}))


# ---------------------------------------------------------------- clusters

class PeakRss:
    """Samples the resident size of the given processes until stopped."""

    def __init__(self, pids: list[int]):
        import psutil

        self.procs = [psutil.Process(pid) for pid in pids]
        self.peaks = [0] * len(pids)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stop.wait(0.02):
            for k, proc in enumerate(self.procs):
                with contextlib.suppress(Exception):  # a worker may be restarting
                    self.peaks[k] = max(self.peaks[k], proc.memory_info().rss)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def _transfers(dask_worker) -> tuple[int, int]:
    incoming = sum(entry["total"] for entry in dask_worker.transfer_incoming_log)
    return incoming, dask_worker.transfer_outgoing_bytes_total


def _cpu(pids: list[int]) -> float:
    import psutil

    usage = resource.getrusage(resource.RUSAGE_SELF)
    total = usage.ru_utime + usage.ru_stime
    for pid in pids:
        times = psutil.Process(pid).cpu_times()
        total += times.user + times.system
    return total


class Cluster:
    """A local cluster of n worker processes with one thread each, started before any clock."""

    def __init__(self, n_workers: int):
        from distributed import Client
        from zolvar_radar import distributed as zd

        self.zd = zd
        t0 = time.perf_counter()
        self.cluster = zd.local_cluster(processes=True, n_workers=n_workers)
        self.client = Client(self.cluster)
        self.client.wait_for_workers(n_workers)
        self.startup = time.perf_counter() - t0
        self.pids = sorted(self.client.run(os.getpid).values())

    def scan(self, paths: list[str], spec: str) -> dict:
        before = self.client.run(_transfers)
        cpu0 = _cpu(self.pids)
        with PeakRss(self.pids) as peak:
            t0 = time.perf_counter()
            text = self.zd.scan(paths, spec, client=self.client)
            wall = time.perf_counter() - t0
        cpu = _cpu(self.pids) - cpu0
        after = self.client.run(_transfers)
        moved = sum(after[w][0] - before[w][0] for w in after)
        outgoing = sum(after[w][1] - before[w][1] for w in after)
        return {"wall": wall, "cpu": cpu, "rss": max(peak.peaks), "rss_workers": peak.peaks, "moved": moved,
                "outgoing": outgoing, "digest": hashlib.sha256(text.encode()).hexdigest()}

    def close(self) -> None:
        self.client.close()
        self.cluster.close()


# -------------------------------------------------------------------- main

def window_of(spec_text: str) -> int:
    from zolvar_radar.cli import signal_fields, spec_fields, window_length

    signals, _, _ = spec_fields(json.loads(spec_text))
    return window_length(signal_fields(s)[:2] for s in signals)[0]


def state_bytes(paths: list[str], spec: str) -> list[int]:
    """The size of each file's partial state: what a read task hands on."""
    from zolvar_radar._engine import engine

    sizes = []
    for path in paths:
        native = engine.FileScan([path], spec, threads=1)
        native.run()
        sizes.append(len(native.partial_state()))
    return sizes


def summary(samples: list[dict]) -> dict:
    row = {key: statistics.median(s[key] for s in samples) for key in ("wall", "cpu", "rss")}
    row["walls"] = [s["wall"] for s in samples]
    row["rss_max"] = max(s["rss"] for s in samples)
    for key in ("moved", "outgoing"):
        if key in samples[0]:
            row[key] = statistics.median(s[key] for s in samples)
    row["digest"] = samples[0]["digest"]
    if any(s["digest"] != row["digest"] for s in samples):
        row["digest"] = "differs between repetitions"
    return row


def status(ok: bool) -> str:
    return "PASS" if ok else "MISS"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", default="1m,5m", help="1m, 5m or both (default 1m,5m)")
    parser.add_argument("--reps", type=int, default=3, help="repetitions per contender (default 3)")
    parser.add_argument("--workers", default="1,2", help="cluster sizes in worker processes (default 1,2)")
    parser.add_argument("--dir", help="where the generated files live (default: $TMPDIR/zolvar-bench-files)")
    parser.add_argument("--json", metavar="OUT", help="also write the figures to OUT as JSON")
    parser.add_argument("--scan-files-child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.scan_files_child:
        scan_files_child(args.scan_files_child)
        return 0

    from importlib.metadata import version

    spec = open(bundled_spec_path()).read()
    window = window_of(spec)
    scratch = os.path.join(tempfile.mkdtemp(prefix="zolvar-bench-"), "rusage")
    log(f"zolvar_radar {version('zolvar_radar')} dask bench  dask {version('distributed')}  "
        f"python {platform.python_version()}  nproc {os.cpu_count()}  {load()}  "
        f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}")
    worker_counts = [int(n) for n in args.workers.split(",")]
    clusters = {}
    for n in worker_counts:
        clusters[n] = Cluster(n)
        log(f"cluster of {n} worker process(es) x 1 thread started in {clusters[n].startup:.2f} s")
    report = {}
    try:
        for size in args.size.split(","):
            n_events = SIZES.get(size) or gen_files.parse_count(size)
            directory = os.path.join(args.dir, size) if args.dir else gen_files.default_dir(n_events, gen_files.DEFAULT_SEED)
            info = gen_files.ensure(directory, n_events, 300, gen_files.DEFAULT_SEED)
            paths = info["plain"]
            radar = radar_command()
            children = {
                "cli scan": radar + ["scan", "--json"] + paths,
                "cli scan --dask": radar + ["scan", "--dask", "--json"] + paths,
                "scan_files": [sys.executable, os.path.abspath(__file__), "--scan-files-child", *paths],
            }
            runs: dict[str, list[dict]] = {name: [] for name in [*children, *(f"dask, {n} worker" for n in clusters)]}
            for rep in range(args.reps):
                names = list(runs)
                k = rep % len(names)
                for name in names[k:] + names[:k]:  # the order rotated each repetition
                    if name in children:
                        sample = run_child(children[name], scratch, reports=name == "scan_files")
                    else:
                        sample = clusters[int(name.split()[1])].scan(paths, spec)
                    runs[name].append(sample)
                    extra = f"  moved {sample['moved'] / 1e6:7.2f} MB" if "moved" in sample else ""
                    log(f"  {size} rep {rep + 1}/{args.reps}  {name:<16} {sample['wall']:7.2f} s "
                        f"{sample['cpu']:7.2f} CPU s {sample['rss'] / 1e6:7.0f} MB{extra}  {load()}")
            rows = {name: summary(samples) for name, samples in runs.items()}
            digests = {row["digest"] for row in rows.values()}
            if len(digests) != 1:
                for name, row in rows.items():
                    log(f"  {name}: {row['digest'][:16]}")
                log("the result texts differ")
                return 2
            report[size] = {"events": n_events, "symbols": info["symbols"], "files": len(paths), "window": window,
                            "megabytes": info["plain_bytes"] / 1e6, "state_bytes": state_bytes(paths, spec),
                            "rows": rows, "load_end": os.getloadavg()}
    finally:
        for cluster in clusters.values():
            cluster.close()

    log("")
    for size, entry in report.items():
        n, rows = entry["events"], entry["rows"]
        log(f"{size}: {n:,} events, {entry['symbols']} symbols, {entry['files']} plain files, "
            f"{entry['megabytes']:.0f} MB; identical results, sha256 {next(iter(rows.values()))['digest'][:16]}; "
            f"partial state per file {statistics.mean(entry['state_bytes']) / 1e3:.0f} kB")
        head = f"{'contender':<18}{'wall s':>8}{'(min-max)':>15}{'CPU s':>8}{'Mevents/s':>11}{'peak MB':>9}{'moved/file kB':>15}"
        log(head)
        log("-" * len(head))
        for name, row in rows.items():
            spread = f"({min(row['walls']):.2f}-{max(row['walls']):.2f})"
            moved = f"{row['moved'] / entry['files'] / 1e3:15.0f}" if "moved" in row else f"{'':>15}"
            per = "/worker" if "moved" in row else ""
            log(f"{name:<18}{row['wall']:8.2f}{spread:>15}{row['cpu']:8.2f}{n / row['wall'] / 1e6:11.2f}"
                f"{row['rss_max'] / 1e6:9.0f}{moved} {per}")
        log("")
        budget = entry["symbols"] * window * 64 + 64 * 1024
        if "dask, 1 worker" in rows and "dask, 2 worker" in rows:
            ratio = rows["dask, 2 worker"]["wall"] / rows["dask, 1 worker"]["wall"]
            log(f"  2 workers / 1 worker wall          {ratio:8.2f}x   goal <= 0.6x   {status(ratio <= 0.6)}")
        worst = max(rows[name]["moved"] for name in rows if "moved" in rows[name]) / entry["files"]
        log(f"  moved between workers per file    {worst / 1e3:8.0f} kB  goal <= {budget / 1e3:.0f} kB "
            f"({entry['symbols']} symbols x window {window} x 64 B + 64 KB)   {status(worst <= budget)}")
        ratio = rows["cli scan --dask"]["wall"] / rows["cli scan"]["wall"]
        log(f"  cli scan --dask / cli scan wall    {ratio:8.2f}x   goal <= 1.5x   {status(ratio <= 1.5)}")
        log("")
    log(f"at the end: {load()}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
