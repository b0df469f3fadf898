"""`zolvar-radar evaluate` end to end: against the replay it rides on and a pandas peer.

    python bench/bench_evaluate.py                          # 1m, 5m and the week set, 3 repetitions
    python bench/bench_evaluate.py --size 1m,7d --reps 5 --json out.json

Per set of files (gen_files.py: the 1M and 5M sets, 8 files of a few
hundred symbols, and the week set, `--days 7`: a snapshot a minute for 300
symbols, a file a day), each a whole separate process, its output thrown
away:

- evaluate:    zolvar-radar evaluate --horizons 5m,1h,4h,1d --every-ts 1m --json --onsets OUT.csv FILES
- replay:      zolvar-radar replay --every-ts 1m --no-progress FILES
- pandas peer: peer_pandas_evaluate.py: the same per-onset returns from evaluate's onsets file and the
               events, with merge_asof

Before timing, the peer's returns must equal the onsets file's (every one
present on both sides or neither, the largest difference printed), or the
bench stops. Repetitions run every contender once, round-robin, the order
rotated each time; figures are medians, peak resident the largest seen
(GNU time's %M, as in bench_files.py).

Targets: evaluate at most 1.3 times replay's wall time; evaluate's peak
resident at most 100 MB plus 300 bytes per onset; evaluate at least 10
times faster than the pandas peer.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import gen_files  # noqa: E402
from _scan_text import radar_command  # noqa: E402
from bench_files import run_once, status  # noqa: E402

HORIZONS = "5m,1h,4h,1d"
SETS = {"1m": dict(events=1_000_000), "5m": dict(events=5_000_000), "7d": dict(days=7)}


def files_of(size: str, form: str, root: str | None) -> tuple[dict, list[str]]:
    spec = SETS[size]
    seed = gen_files.DEFAULT_SEED
    if "days" in spec:
        directory = os.path.join(root, size) if root else gen_files.days_dir(spec["days"], seed)
        info = gen_files.ensure(directory, 0, 300, seed, days=spec["days"])
    else:
        directory = os.path.join(root, size) if root else gen_files.default_dir(spec["events"], seed)
        info = gen_files.ensure(directory, spec["events"], 300, seed)
    return info, info[form]


def commands(files: list[str], scratch: str) -> dict[str, list[str]]:
    radar = radar_command()
    return {
        "evaluate": radar + ["evaluate", "--horizons", HORIZONS, "--every-ts", "1m", "--json",
                             "--onsets", os.path.join(scratch, "onsets.csv")] + files,
        "replay": radar + ["replay", "--every-ts", "1m", "--no-progress"] + files,
        "pandas peer": [sys.executable, os.path.join(HERE, "peer_pandas_evaluate.py"), "--onsets",
                        os.path.join(scratch, "checked-onsets.csv"), "--horizons", HORIZONS,
                        os.path.join(scratch, "peer.csv")] + files,
    }


def check(cmds: dict[str, list[str]], scratch: str, label: str) -> dict:
    """Runs evaluate once for its figures and onsets file, then the peer over that file; they must agree."""
    import pandas as pd

    import peer_pandas_evaluate as peer

    t0 = time.perf_counter()
    onsets_path = os.path.join(scratch, "checked-onsets.csv")
    argv = [a if not a.endswith("onsets.csv") else onsets_path for a in cmds["evaluate"]]
    stats = json.loads(subprocess.run(argv, check=True, stdout=subprocess.PIPE).stdout)
    subprocess.run(cmds["pandas peer"], check=True)
    onsets = pd.read_csv(onsets_path, keep_default_na=False, na_values=[""], dtype={"symbol": str})
    mine = pd.read_csv(os.path.join(scratch, "peer.csv"), keep_default_na=False, na_values=[""], dtype={"symbol": str})
    labels = HORIZONS.split(",")
    try:
        compared, worst = peer.same_returns(mine, onsets, labels)
    except AssertionError as exc:
        raise SystemExit(f"{label}: the pandas peer differs from evaluate: {exc}")
    if worst > 1e-12:
        raise SystemExit(f"{label}: the pandas peer's returns differ from evaluate's by up to {worst:g}")
    print(f"{label}: {stats['onsets']:,} onsets, {stats['baseline_draws']:,} baseline draws over "
          f"{stats['checkpoints']:,} checkpoints; the pandas peer gives the same {compared:,} prices and returns "
          f"(largest difference {worst:g}) [{time.perf_counter() - t0:.0f} s]", flush=True)
    return stats


def measure(cmds: dict[str, list[str]], reps: int, label: str, scratch: str) -> dict[str, dict]:
    names = list(cmds)
    runs: dict[str, list[tuple[float, float, float]]] = {n: [] for n in names}
    rusage = os.path.join(scratch, "rusage")
    for rep in range(reps):
        k = rep % len(names)
        for name in names[k:] + names[:k]:
            wall, rss, cpu = run_once(cmds[name], rusage)
            runs[name].append((wall, rss, cpu))
            print(f"  {label} rep {rep + 1}/{reps}  {name:<12} {wall:8.2f} s {cpu:8.2f} CPU s {rss:8.0f} MB  "
                  f"load {os.getloadavg()[0]:.1f}", flush=True)
    return {n: {"wall": statistics.median(w for w, _, _ in r), "walls": [w for w, _, _ in r],
                "cpu": statistics.median(c for _, _, c in r), "rss_max": max(m for _, m, _ in r)}
            for n, r in runs.items()}


def report(size: str, info: dict, stats: dict, res: dict) -> list[str]:
    n = info["events"]
    span = f"{info['days']} days" if info.get("days") else f"{len(info['plain'])} files"
    out = [f"{size}: {n:,} events, {info['symbols']} symbols, {span}; {info['plain_bytes'] / 1e6:.1f} MB plain; "
           f"{stats['onsets']:,} onsets, {stats['baseline_draws']:,} baseline draws, {stats['checkpoints']:,} checkpoints"]
    head = f"{'contender':<12} {'wall s':>8} {'(min-max)':>15} {'CPU s':>7} {'Mevents/s':>10} {'peak MB':>8}"
    out += [head, "-" * len(head)]
    for name, r in res.items():
        spread = f"({min(r['walls']):.2f}-{max(r['walls']):.2f})"
        out.append(f"{name:<12} {r['wall']:8.2f} {spread:>15} {r['cpu']:7.2f} {n / r['wall'] / 1e6:10.2f} "
                   f"{r['rss_max']:8.0f}")
    ev = res["evaluate"]
    budget = 100 + 300 * stats["onsets"] / 1e6
    v = ev["wall"] / res["replay"]["wall"]
    out.append(f"{'evaluate / replay':<28} {v:10.2f}x {'<= 1.3x':>12}  {status(v, 1.3, True)}")
    v = ev["cpu"] / res["replay"]["cpu"]  # steadier than wall time on a shared machine
    out.append(f"{'evaluate / replay, CPU s':<28} {v:10.2f}x {'(<= 1.3x)':>12}  {status(v, 1.3, True)}")
    out.append(f"{'evaluate peak resident':<28} {ev['rss_max']:8.0f} MB {f'<= {budget:.0f} MB':>12}  "
               f"{status(ev['rss_max'], budget, True)}")
    if "pandas peer" in res:
        v = res["pandas peer"]["wall"] / ev["wall"]
        out.append(f"{'pandas peer / evaluate':<28} {v:10.1f}x {'>= 10x':>12}  {status(v, 10, False)}")
    return out


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--size", default="1m,5m,7d", help="sets: 1m, 5m, 7d (default all three)")
    p.add_argument("--reps", type=int, default=3, help="repetitions, at least 3 for a median (default 3)")
    p.add_argument("--form", default="plain", choices=("plain", "gzip"))
    p.add_argument("--no-peer", default="", help="sets to time without the pandas peer (it is slow): 5m,...")
    p.add_argument("--dir", help="where the generated files live (default: $TMPDIR/zolvar-bench-files)")
    p.add_argument("--json", metavar="OUT", help="also write the figures to OUT as JSON")
    a = p.parse_args(argv)

    from importlib.metadata import version

    print(f"zolvar_radar {version('zolvar_radar')} evaluate bench  python {platform.python_version()}  "
          f"pandas {version('pandas')}  nproc {os.cpu_count()}  load {os.getloadavg()[0]:.1f}  "
          f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}", flush=True)
    scratch = tempfile.mkdtemp(prefix="zolvar-bench-evaluate-")
    lines, everything = [], {}
    for size in a.size.split(","):
        info, files = files_of(size, a.form, a.dir)
        cmds = commands(files, scratch)
        stats = check(cmds, scratch, f"{size} {a.form}")
        if size in a.no_peer.split(","):
            del cmds["pandas peer"]
        res = measure(cmds, a.reps, f"{size} {a.form}", scratch)
        everything[size] = {"events": info["events"], "onsets": stats["onsets"], "results": res}
        lines += report(size, info, stats, res) + [""]
    print()
    print("\n".join(lines))
    print(f"load at the end {os.getloadavg()[0]:.1f}")
    if a.json:
        with open(a.json, "w") as f:
            json.dump(everything, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
