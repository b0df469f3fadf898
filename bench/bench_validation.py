#!/usr/bin/env python3
"""Specification validation with very many signals.

    python bench/bench_validation.py [--sizes 100000,200000] [--reps N]

Every "alerts" and "scan" validates the specification in use again, so the
time to check the signals for duplicates is paid on each of them, and the
constructor and "set_spec" pay it once. For each size the specification has
that many distinct oi_delta signals, their look-backs descending (each label
sorts before every earlier one, the worst order for a sorted insertion).
Reported: building a `Radar` from the text, and one "alerts" on the empty
radar (validation, then nothing to score but the labels written nowhere),
medians in seconds.
"""

from __future__ import annotations

import argparse
import json
import statistics
import time

from zolvar_radar import Radar


def spec_text(n: int) -> str:
    return json.dumps({"signals": [{"kind": "oi_delta", "params": [n - i, 0.5]} for i in range(n)]})


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="100000,200000")
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    print(f"{'signals':>8}  {'construction':>12}  {'alerts':>8}")
    for n in (int(s) for s in args.sizes.split(",")):
        text = spec_text(n)
        built, alerts = [], []
        for _ in range(args.reps):
            start = time.perf_counter()
            radar = Radar(text)
            built.append(time.perf_counter() - start)
            start = time.perf_counter()
            answer = radar.command('{"cmd":"alerts"}')
            alerts.append(time.perf_counter() - start)
            assert answer.endswith('"scanned":0}'), answer[:200]
        print(f"{n:>8}  {statistics.median(built):>11.3f}s  {statistics.median(alerts):>7.3f}s")


if __name__ == "__main__":
    main()
