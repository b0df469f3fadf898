"""`zolvar-radar sweep` end to end: against one evaluate of the same files, and 100 evaluate runs.

    python bench/bench_sweep.py                 # the 1M set, 3 repetitions
    python bench/bench_sweep.py --size 5m --reps 5 --json out.json

Contenders, each a whole separate process, output thrown away, on the
files of gen_files.py's 1M set (8 files, a few hundred symbols):

- evaluate:         zolvar-radar evaluate --horizons 5m,1h,4h,1d --every-ts 1m --json FILES
- sweep 100:        zolvar-radar sweep ... GRID FILES, a grid of 100 candidates around the bundled specification
- sweep 1000:       the same with 1,000 candidates
- 100 evaluates:    the peer a user would run instead: evaluate once per candidate of the 100, one after another

Before timing, the sweep's leading candidate's out-of-sample figures must
equal an `evaluate --judge-from` of its `--best` specification, or the bench
stops. Repetitions run every contender once, round-robin, the order rotated
each time; figures are medians, peak resident the largest seen.

Targets: sweep 100 at most 5 times one evaluate's wall time, sweep 1000 at
most 25 times; the 100 evaluates reported as a ratio to sweep 100.
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
from _scan_text import radar_command  # noqa: E402
from bench_evaluate import files_of  # noqa: E402
from bench_files import run_once, status  # noqa: E402

HORIZONS = "5m,1h,4h,1d"
COMMON = ["--horizons", HORIZONS, "--every-ts", "1m", "--json", "--no-progress"]


def grids(scratch: str) -> dict[str, str]:
    from importlib.resources import files

    base = json.loads((files("zolvar_radar") / "data" / "default_spec.json").read_text())
    vary = {"signals.0.params.0": [10, 20, 40, 60, 120], "signals.1.params.1": [0.02, 0.05],
            "threshold": [0.15, 0.2, 0.25, 0.3, 0.35], "limit": [10, 15]}
    out = {}
    for name, extra in (("100", {}), ("1000", {"signals.0.params.1": [0.05, 0.1, 0.2, 0.4, 0.8],
                                               "signals.3.weight": [1, 1.5]})):
        path = os.path.join(scratch, f"grid{name}.json")
        with open(path, "w") as f:
            json.dump({"base": base, "vary": {**vary, **extra}}, f)
        out[name] = path
    # the peer's candidates, one specification file each
    from zolvar_radar.grid import read_grid

    with open(out["100"]) as f:
        grid = read_grid(json.load(f))
    specs = []
    for j, spec in enumerate(grid.candidates):
        path = os.path.join(scratch, f"spec{j}.json")
        with open(path, "w") as f:
            json.dump(spec, f)
        specs.append(path)
    out["specs"] = specs
    return out


def peer_script(scratch: str, radar: list[str], specs: list[str], files: list[str]) -> list[str]:
    script = os.path.join(scratch, "peer.py")
    with open(script, "w") as f:
        f.write("import subprocess, sys\n"
                f"for spec in {specs!r}:\n"
                f"    subprocess.run({radar!r} + ['evaluate', '--spec', spec] + {COMMON!r} + {files!r}, check=True, "
                "stdout=subprocess.DEVNULL)\n")
    return [sys.executable, script]


def check(radar: list[str], grid: str, files: list[str], scratch: str) -> dict:
    best = os.path.join(scratch, "best.json")
    stats = json.loads(subprocess.run(radar + ["sweep", *COMMON, "--best", best, grid] + files, check=True,
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout)
    t = stats["out_of_sample"]["judge_from"]
    ev = json.loads(subprocess.run(radar + ["evaluate", "--spec", best, "--judge-from", str(t), *COMMON] + files,
                                   check=True, stdout=subprocess.PIPE).stdout)
    h = HORIZONS.split(",").index(stats["horizon"])
    if ev["horizons"][h] != stats["best"]["out_of_sample"]:
        raise SystemExit("the sweep's winner differs from evaluate of its --best out of sample")
    print(f"checked: the winner of {stats['candidates']} reproduces through evaluate; "
          f"{stats['checkpoints']:,} checkpoints, {stats['events']:,} events", flush=True)
    return stats


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--size", default="1m", help="set: 1m, 5m or 7d (default 1m)")
    p.add_argument("--reps", type=int, default=3, help="repetitions, at least 3 for a median (default 3)")
    p.add_argument("--no-peer", action="store_true", help="leave out the 100 evaluate runs")
    p.add_argument("--dir", help="where the generated files live (default: $TMPDIR/zolvar-bench-files)")
    p.add_argument("--json", metavar="OUT", help="also write the figures to OUT as JSON")
    a = p.parse_args(argv)
    from importlib.metadata import version

    print(f"zolvar_radar {version('zolvar_radar')} sweep bench  python {platform.python_version()}  "
          f"nproc {os.cpu_count()}  load {os.getloadavg()[0]:.1f}  {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}",
          flush=True)
    scratch = tempfile.mkdtemp(prefix="zolvar-bench-sweep-")
    info, files = files_of(a.size, "plain", a.dir)
    radar = radar_command()
    g = grids(scratch)
    check(radar, g["100"], files, scratch)
    cmds = {"evaluate": radar + ["evaluate", *COMMON] + files,
            "sweep 100": radar + ["sweep", *COMMON, g["100"]] + files,
            "sweep 1000": radar + ["sweep", *COMMON, g["1000"]] + files}
    if not a.no_peer:
        cmds["100 evaluates"] = peer_script(scratch, radar, g["specs"], files)
    names = list(cmds)
    runs: dict[str, list] = {n: [] for n in names}
    rusage = os.path.join(scratch, "rusage")
    for rep in range(a.reps):
        k = rep % len(names)
        for name in names[k:] + names[:k]:
            wall, rss, cpu = run_once(cmds[name], rusage)
            runs[name].append((wall, rss, cpu))
            print(f"  rep {rep + 1}/{a.reps}  {name:<14} {wall:8.2f} s {cpu:8.2f} CPU s {rss:8.0f} MB", flush=True)
    res = {n: {"wall": statistics.median(w for w, _, _ in r), "cpu": statistics.median(c for _, _, c in r),
               "rss_max": max(m for _, m, _ in r), "walls": [w for w, _, _ in r]} for n, r in runs.items()}
    n = info["events"]
    print(f"\n{a.size}: {n:,} events, {info['symbols']} symbols, {len(files)} files")
    head = f"{'contender':<14} {'wall s':>8} {'(min-max)':>15} {'CPU s':>7} {'peak MB':>8}"
    print(head + "\n" + "-" * len(head))
    for name, r in res.items():
        spread = f"({min(r['walls']):.2f}-{max(r['walls']):.2f})"
        print(f"{name:<14} {r['wall']:8.2f} {spread:>15} {r['cpu']:7.2f} {r['rss_max']:8.0f}")
    ev = res["evaluate"]["wall"]
    for name, target in (("sweep 100", 5), ("sweep 1000", 25)):
        v = res[name]["wall"] / ev
        print(f"{name + ' / evaluate':<28} {v:8.2f}x {f'<= {target}x':>10}  {status(v, target, True)}")
    if "100 evaluates" in res:
        print(f"{'100 evaluates / sweep 100':<28} {res['100 evaluates']['wall'] / res['sweep 100']['wall']:8.1f}x")
    extra = (res["sweep 1000"]["rss_max"] - res["sweep 100"]["rss_max"]) * 1024 / 900
    print(f"{'peak resident per candidate':<28} {extra:8.1f} KB (between 100 and 1,000 candidates)")
    if a.json:
        with open(a.json, "w") as f:
            json.dump({"events": n, "results": res}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
