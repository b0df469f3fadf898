#!/usr/bin/env python3
"""Run the bench's "scan" command in a loop, for a profiler to watch.

    python bench/profile_scan.py [--seconds 30] [--size medium] [--cache PATH] [--reuse-text]

    perf record -g -- python bench/profile_scan.py --seconds 20
    valgrind --tool=callgrind --instr-atstart=no python bench/profile_scan.py --seconds 1 --size small
        (then: callgrind_control -i on <pid> once "looping" is printed)

Building the medium workload takes a few seconds; --cache keeps the scan text
in a file so later runs skip that. Each iteration hands the radar a new str
object, as the bench does, so the text's UTF-8 conversion is part of every
iteration; --reuse-text passes the same object every time (converted once).
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import workloads  # noqa: E402
from zolvar_radar import Radar  # noqa: E402


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=30.0)
    ap.add_argument("--size", choices=list(workloads.SIZES), default="medium")
    ap.add_argument("--cache", type=Path, help="file holding the scan text (written if missing)")
    ap.add_argument("--reuse-text", action="store_true", help="pass the same str object every iteration")
    args = ap.parse_args()

    if args.cache and args.cache.exists():
        data = args.cache.read_bytes()
    else:
        data = workloads.build(args.size).scan_text.encode("utf-8")
        if args.cache:
            args.cache.write_bytes(data)
    text = data.decode("utf-8")
    radar = Radar(workloads.SPEC_TEXT)
    first = radar.command(text)
    if not first.startswith('{"alerts":'):
        print(first[:500], file=sys.stderr)
        return 1

    print(f"pid {os.getpid()}: looping over a {len(data) / 1e6:.1f} MB scan for {args.seconds:g} s",
          file=sys.stderr, flush=True)
    iterations = 0
    busy = 0.0
    deadline = time.perf_counter() + args.seconds
    while time.perf_counter() < deadline:
        if not args.reuse_text:
            text = data.decode("utf-8")
        t0 = time.perf_counter()
        out = radar.command(text)
        busy += time.perf_counter() - t0
        iterations += 1
        if out != first:
            print("the scan answered differently from its first run", file=sys.stderr)
            return 1
    print(f"{iterations} scans, {busy / max(iterations, 1) * 1e3:.1f} ms each, "
          f"{len(data) * iterations / busy / 1e6:.1f} MB/s", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
