"""End to end: `zolvar-radar scan` of JSON Lines files against the tools a
user would pick instead, each a whole separate process.

    python bench/bench_files.py                        # 1M events, plain and gzip, 3 repetitions
    python bench/bench_files.py --size 5m --reps 3
    python bench/bench_files.py --size 1m,5m --no-check --json out.json

The files come from gen_files.py (8 files, generated once into
$TMPDIR/zolvar-bench-files/<size>, reused while their manifest matches).
Contenders, per set of files (plain, then gzip):

- radar scan:   zolvar-radar scan --json FILES > /dev/null
- duckdb:       peer_duckdb.py FILES (one SQL query, result text in Python)
- polars:       peer_polars.py FILES (one lazy pipeline, result text in Python)
- orjson parse: _parse_lines.py FILES, orjson.loads on every line, nothing else
- gzip -dc:     gzip -dc FILES > /dev/null (gzip set only)
- radar replay: zolvar-radar replay --every 1000 --no-progress FILES > /dev/null
                (plain set only; reported as events per second)

Each repetition runs every contender once, round-robin, the order rotated by
one each repetition; figures are medians over the repetitions. Wall time is
taken around the child from start to reaping; peak resident is the child's
maximum resident set as GNU time reports it (`/usr/bin/time -f %M`: apt-get
install time). Without it the bench falls back to the child's ru_maxrss,
which Linux starts from the parent's peak at exec, so small figures there
read as this process's size. Before timing, the
outputs of the radar and of both peers on the files being timed must be
identical, byte for byte (--no-check skips that), or the bench stops.

"CPU s" is user plus system time of the child (and of the threads and
processes it ran): on a busy machine it moves much less than wall time.
"radar/this" is the radar scan's wall time over the contender's, the ratio
the targets are stated in.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import gen_files  # noqa: E402
from _scan_text import radar_command  # noqa: E402

SIZES = {"1m": 1_000_000, "5m": 5_000_000}

def contenders(files: list[str], gz: bool, spec: str | None) -> dict[str, list[str]]:
    radar = radar_command()
    spec_args = ["--spec", spec] if spec else []
    py = sys.executable
    c = {
        "radar scan": radar + ["scan", "--json"] + spec_args + files,
        "duckdb": [py, os.path.join(HERE, "peer_duckdb.py")] + spec_args + files,
        "polars": [py, os.path.join(HERE, "peer_polars.py")] + spec_args + files,
        "orjson parse": [py, os.path.join(HERE, "_parse_lines.py")] + files,
    }
    if gz:
        c["gzip -dc"] = [shutil.which("gzip") or "gzip", "-dc"] + files
    return c


def replay_command(files: list[str], spec: str | None) -> list[str]:
    return radar_command() + ["replay", "--every", "1000", "--no-progress"] + (
        ["--spec", spec] if spec else []) + files


TIME = "/usr/bin/time"  # GNU time: reports the peak resident of the command alone


def run_once(cmd: list[str], scratch: str) -> tuple[float, float, float]:
    """(wall seconds, peak resident MB, CPU seconds) of one child, its output thrown away."""
    use_time = os.access(TIME, os.X_OK)
    argv = [TIME, "-f", "%M", "-o", scratch] + cmd if use_time else cmd
    t0 = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    _pid, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit(f"{' '.join(cmd[:4])} ... exited with status {proc.returncode}")
    # user + system time of the child and whatever it waited for (time's child)
    cpu = usage.ru_utime + usage.ru_stime
    if use_time:
        with open(scratch) as f:
            return wall, int(f.read().split()[-1]) / 1024.0, cpu  # KiB
    # A child's ru_maxrss starts from its parent's peak at exec, so this
    # figure has this process's own peak as a floor.
    return wall, usage.ru_maxrss / 1024.0, cpu


def output_of(cmd: list[str]) -> bytes:
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE).stdout


def check(cmds: dict[str, list[str]], label: str) -> None:
    t0 = time.perf_counter()
    want = output_of(cmds["radar scan"])
    for name in ("duckdb", "polars"):
        got = output_of(cmds[name])
        if got != want:
            at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
            print(f"{label}: {name} differs from the radar at byte {at}:\n"
                  f"  radar: {want[max(0, at - 80):at + 80]!r}\n  {name}: {got[max(0, at - 80):at + 80]!r}",
                  file=sys.stderr)
            raise SystemExit(2)
    alerts = len(json.loads(want)["alerts"])
    print(f"{label}: radar, duckdb and polars print the same {len(want):,} bytes ({alerts} alerts) "
          f"[{time.perf_counter() - t0:.0f} s]", flush=True)


def measure(cmds: dict[str, list[str]], reps: int, label: str, scratch: str) -> dict[str, dict]:
    names = list(cmds)
    runs: dict[str, list[tuple[float, float, float]]] = {n: [] for n in names}
    for rep in range(reps):
        k = rep % len(names)
        for name in names[k:] + names[:k]:
            wall, rss, cpu = run_once(cmds[name], scratch)
            runs[name].append((wall, rss, cpu))
            print(f"  {label} rep {rep + 1}/{reps}  {name:<13} {wall:8.2f} s {cpu:8.2f} CPU s {rss:8.0f} MB  "
                  f"load {os.getloadavg()[0]:.1f}", flush=True)
    return {n: {"wall": statistics.median(w for w, _, _ in r), "walls": [w for w, _, _ in r],
                "cpu": statistics.median(c for _, _, c in r), "cpus": [c for _, _, c in r],
                "rss": statistics.median(m for _, m, _ in r), "rss_max": max(m for _, m, _ in r)}
            for n, r in runs.items()}


def status(value: float, goal: float, lower_is_better: bool) -> str:
    ok = value <= goal if lower_is_better else value >= goal
    if ok:
        return "PASS"
    need = value / goal if lower_is_better else goal / value
    return f"MISS  needs {need:.1f}x"


def report(size: str, info: dict, results: dict) -> list[str]:
    n = info["events"]
    out = [f"{size}: {n:,} events, {info['symbols']} symbols, 8 files; "
           f"{info['plain_bytes'] / 1e6:.1f} MB plain, {info['gzip_bytes'] / 1e6:.1f} MB gzip"]
    head = f"{'set':<6} {'contender':<13} {'wall s':>8} {'(min-max)':>15} {'CPU s':>7} {'Mevents/s':>10} " \
           f"{'MB/s':>8} {'peak MB':>8} {'radar/this':>10}"
    out += [head, "-" * len(head)]
    for form, res in results.items():
        nbytes = info["plain_bytes"] if form == "plain" else info["gzip_bytes"]
        base = res["radar scan"]["wall"]
        for name, r in res.items():
            ratio = "" if name in ("radar scan", "radar replay") else f"{base / r['wall']:.2f}x"
            spread = f"({min(r['walls']):.2f}-{max(r['walls']):.2f})"
            out.append(f"{form:<6} {name:<13} {r['wall']:8.2f} {spread:>15} {r['cpu']:7.2f} {n / r['wall'] / 1e6:10.2f} "
                       f"{nbytes / r['wall'] / 1e6:8.1f} {r['rss_max']:8.0f} {ratio:>10}")
    out.append("")
    out.append(f"{'target':<34} {'value':>14} {'goal':>14}  status")
    for form, res in results.items():
        scan = res["radar scan"]
        for peer, goal in (("duckdb", 0.33), ("orjson parse", 0.35)) + ((("gzip -dc", 1.2),) if form == "gzip" else ()):
            v = scan["wall"] / res[peer]["wall"]
            out.append(f"{f'{form}: scan / {peer}':<34} {v:13.2f}x {f'<= {goal}x':>14}  {status(v, goal, True)}")
        out.append(f"{f'{form}: scan peak resident':<34} {scan['rss_max']:11.0f} MB {'<= 100 MB':>14}  "
                   f"{status(scan['rss_max'], 100, True)}")
        if "radar replay" in res:
            eps = n / res["radar replay"]["wall"]
            out.append(f"{f'{form}: replay events/s':<34} {eps:14,.0f} {'>= 1,000,000':>14}  "
                       f"{status(eps, 1e6, False)}")
    return out


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--size", default="1m", help="1m, 5m or both (1m,5m); default 1m")
    p.add_argument("--reps", type=int, default=3, help="repetitions, at least 3 for a median (default 3)")
    p.add_argument("--no-check", action="store_true", help="skip comparing the outputs before timing")
    p.add_argument("--no-replay", action="store_true", help="leave the replay measurement out")
    p.add_argument("--sets", default="plain,gzip", help="plain, gzip or both (default)")
    p.add_argument("--spec", help="specification file (default: the bundled one)")
    p.add_argument("--dir", help="where the generated files live (default: $TMPDIR/zolvar-bench-files)")
    p.add_argument("--json", metavar="OUT", help="also write the figures to OUT as JSON")
    a = p.parse_args(argv)

    # versions from the metadata: importing the libraries would grow this process for nothing
    from importlib.metadata import version

    scratch = os.path.join(tempfile.mkdtemp(prefix="zolvar-bench-"), "rusage")
    print(f"zolvar_radar {version('zolvar_radar')} file bench  python {platform.python_version()}  "
          f"duckdb {version('duckdb')}  polars {version('polars')}  orjson {version('orjson')}  "
          f"nproc {os.cpu_count()}  load {os.getloadavg()[0]:.1f}  {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}",
          flush=True)
    everything = {}
    lines = []
    for size in a.size.split(","):
        n = SIZES.get(size) or gen_files.parse_count(size)
        directory = os.path.join(a.dir, size) if a.dir else gen_files.default_dir(n, gen_files.DEFAULT_SEED)
        info = gen_files.ensure(directory, n, 300, gen_files.DEFAULT_SEED)
        results = {}
        for form in a.sets.split(","):
            files = info[form]
            cmds = contenders(files, form == "gzip", a.spec)
            if not a.no_check:
                check(cmds, f"{size} {form}")
            if form == "plain" and not a.no_replay:
                cmds["radar replay"] = replay_command(files, a.spec)
            results[form] = measure(cmds, a.reps, f"{size} {form}", scratch)
        everything[size] = {"info": {k: v for k, v in info.items() if k not in ("plain", "gzip")},
                            "results": results}
        lines += report(size, info, results) + [""]
    print()
    print("\n".join(lines))
    print(f"load at the end {os.getloadavg()[0]:.1f}")
    if a.json:
        with open(a.json, "w") as f:
            json.dump(everything, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
