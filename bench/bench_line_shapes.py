"""The cost of a JSON Lines line by its shape: the same events written seven ways.

    python bench/bench_line_shapes.py              # 1,000,000 lines per shape, 5 repetitions

Each shape is one plain file of the same events (the first N of the 1M
bench set); each is scanned natively on one thread (`FileScan`, one reader
thread, no byte ranges) in this process, the shapes interleaved, and the
median CPU time per line is compared with the flat line's. The results
must be the same text for every shape. Target: every shape within 1.2x of
the flat line.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import gen_files  # noqa: E402

SPEC = json.dumps({"signals": [{"kind": "oi_delta", "params": [20, 0.05]}, {"kind": "liq_cluster", "params": [5, 1e5]},
                               {"kind": "book_imbalance", "params": [0.5]}], "threshold": 0.2, "limit": 20})


def shapes(line: dict) -> dict[str, str]:
    symbol = json.dumps(line["symbol"])
    event = {k: v for k, v in line.items() if k != "symbol"}
    ev = json.dumps(event, separators=(",", ":"))
    members = ev[1:-1]
    kind_last = {k: v for k, v in event.items() if k != "kind"} | {"kind": event["kind"]}
    escaped = '"' + "".join(f"\\u{ord(c):04x}" if i == 0 else c for i, c in enumerate(line["symbol"])) + '"'
    return {
        "flat": f'{{"symbol":{symbol},{members}}}',
        "wrapped": f'{{"symbol":{symbol},"event":{ev}}}',
        "symbol last": f'{{{members},"symbol":{symbol}}}',
        "kind last": f'{{"symbol":{symbol},{json.dumps(kind_last, separators=(",", ":"))[1:-1]}}}',
        "unknown member": f'{{"exchange":"binance","symbol":{symbol},{members},"local_ts":{event["ts"] + 3}}}',
        "escaped symbol": f'{{"symbol":{escaped},{members}}}',
        "spaced": json.dumps(line),
    }


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--lines", type=int, default=1_000_000)
    p.add_argument("--reps", type=int, default=5)
    a = p.parse_args(argv)
    from zolvar_radar._engine import engine

    info = gen_files.ensure(gen_files.default_dir(1_000_000, gen_files.DEFAULT_SEED), 1_000_000, 300,
                            gen_files.DEFAULT_SEED)
    lines = []
    for path in info["plain"]:
        with open(path) as f:
            for text in f:
                lines.append(json.loads(text) if '"event"' not in text else
                             {"symbol": json.loads(text)["symbol"], **json.loads(text)["event"]})
                if len(lines) >= a.lines:
                    break
        if len(lines) >= a.lines:
            break
    work = tempfile.mkdtemp(prefix="zolvar-shapes-")
    files: dict[str, str] = {}
    outs: dict[str, list] = {}
    for line in lines:
        for name, text in shapes(line).items():
            outs.setdefault(name, []).append(text)
    for name, texts in outs.items():
        files[name] = os.path.join(work, name.replace(" ", "_") + ".jsonl")
        with open(files[name], "w") as f:
            f.write("\n".join(texts) + "\n")
    del outs
    results, times = {}, {name: [] for name in files}
    for rep in range(a.reps):
        names = list(files)
        k = rep % len(names)
        for name in names[k:] + names[:k]:
            t0 = time.process_time()
            out = engine.FileScan([files[name]], SPEC, None, False, False, 1, 0).run()
            times[name].append(time.process_time() - t0)
            results[name] = out[0]
    if len(set(results.values())) != 1:
        raise SystemExit("the shapes gave different results")
    flat = statistics.median(times["flat"])
    print(f"{len(lines):,} lines per shape, one reader thread, CPU ns per line (median of {a.reps})")
    for name, t in times.items():
        m = statistics.median(t)
        ratio = m / flat
        print(f"{name:<16} {m / len(lines) * 1e9:8.0f} ns  {ratio:5.2f}x  {'PASS' if ratio <= 1.2 else 'MISS'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
