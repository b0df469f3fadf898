#!/usr/bin/env python3
"""Throughput and memory bench for zolvar_radar.

    python bench/run.py [--size small|medium|large] [--json] [--reps N]

Times the radar, a pure-Python peer (bench/peer_python.py) and the parse-only
floors (orjson.loads, json.loads, str.encode) on the very same command texts.
Contenders run round-robin, one repetition of each in turn with the order
rotated every repetition, so a burst of load from elsewhere on the machine
hits all of them alike; every figure is the median over the repetitions.

Before printing any figure the bench checks that the radar and the peer rank
the same symbols in the same order with the same severities (within 1e-9),
factors and timestamps; it exits with status 2 if they differ. Targets that
are missed are reported as MISS and do not change the exit status.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import workloads  # noqa: E402
from peer_python import PeerRadar  # noqa: E402

DEFAULT_REPS = {"small": 9, "medium": 3, "large": 3}
MEMORY_SYMBOLS = 20_000
ALERTS_MIN_SECONDS = 0.1
SEVERITY_TOLERANCE = 1e-9
OK = '{"ok":true}'

try:
    import orjson
except ImportError:  # pragma: no cover - the bench needs it, say so plainly
    sys.exit("the bench needs orjson: pip install orjson (or pip install '.[bench]')")

from zolvar_radar import Radar  # noqa: E402


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def fresh_texts(texts: list[str]) -> list[str]:
    # CPython caches the UTF-8 form of a non-ASCII str the first time a C
    # extension asks for it, so reusing one object would make every later
    # repetition skip the conversion. Give every run new objects for those.
    return [t if t.isascii() else t.encode().decode() for t in texts]


class paused_gc:
    """Collect, then keep the cyclic collector off for the timed region.

    That is the best case for the contenders that build Python objects
    (orjson, json, the peer) and so the strictest comparison for the radar,
    which builds none.
    """

    def __enter__(self):
        gc.collect()
        gc.disable()

    def __exit__(self, *exc):
        gc.enable()


def timed_loop(fn, texts) -> int:
    with paused_gc():
        t0 = time.perf_counter_ns()
        for t in texts:
            fn(t)
        return time.perf_counter_ns() - t0


def timed_once(fn, text) -> int:
    with paused_gc():
        t0 = time.perf_counter_ns()
        fn(text)
        return time.perf_counter_ns() - t0


def encode_and_pass(text: str) -> int:
    return text.encode("utf-8").count(b'"')


def alerts_per_call(handle) -> float:
    """Seconds per "alerts" call, repeated until at least ALERTS_MIN_SECONDS."""
    cmd = handle.command
    first = timed_once(cmd, '{"cmd":"alerts"}')
    calls = max(1, int(ALERTS_MIN_SECONDS * 1e9 / max(first, 1)))
    return timed_loop(cmd, ['{"cmd":"alerts"}'] * calls) / calls / 1e9


# ----------------------------------------------------------------- checking

def compare_results(name: str, radar_text: str, peer_text: str) -> list[str]:
    a, b = json.loads(radar_text), json.loads(peer_text)
    problems = []
    if a.get("scanned") != b.get("scanned"):
        problems.append(f"{name}: scanned {a.get('scanned')} (radar) vs {b.get('scanned')} (peer)")
    ra, pa = a.get("alerts", []), b.get("alerts", [])
    if [x["symbol"] for x in ra] != [x["symbol"] for x in pa]:
        problems.append(f"{name}: ranked symbols differ: radar {[x['symbol'] for x in ra][:8]}... "
                        f"peer {[x['symbol'] for x in pa][:8]}...")
        return problems
    for x, y in zip(ra, pa):
        sym = x["symbol"]
        if abs(x["severity"] - y["severity"]) > SEVERITY_TOLERANCE:
            problems.append(f"{name}: {sym} severity {x['severity']!r} vs {y['severity']!r}")
        if x["ts"] != y["ts"]:
            problems.append(f"{name}: {sym} ts {x['ts']} vs {y['ts']}")
        if list(x["factors"]) != list(y["factors"]):
            problems.append(f"{name}: {sym} factor keys {list(x['factors'])} vs {list(y['factors'])}")
        else:
            for k in x["factors"]:
                if abs(x["factors"][k] - y["factors"][k]) > SEVERITY_TOLERANCE:
                    problems.append(f"{name}: {sym} factor {k} {x['factors'][k]!r} vs {y['factors'][k]!r}")
    return problems


# ------------------------------------------------------------------ memory

def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(which: str, n: int) -> None:
    texts = workloads.memory_texts(n)
    handle = Radar(workloads.SPEC_TEXT) if which == "radar" else PeerRadar(workloads.SPEC_TEXT)
    cmd = handle.command
    gc.collect()
    before = rss_bytes()
    for t in texts:
        cmd(t)
    gc.collect()
    after = rss_bytes()
    scanned = json.loads(cmd('{"cmd":"alerts"}'))["scanned"]
    print(json.dumps({"which": which, "symbols": n, "scanned": scanned, "rss_before": before,
                      "rss_after": after, "bytes_per_symbol": (after - before) / n}))


def measure_memory(n: int) -> dict:
    out = {}
    for which in ("radar", "peer"):
        proc = subprocess.run([sys.executable, str(Path(__file__).resolve()), "--memory-child", which, str(n)],
                              capture_output=True, text=True, check=True)
        out[which] = json.loads(proc.stdout)
        if out[which]["scanned"] != n:
            raise SystemExit(f"memory run for {which} holds {out[which]['scanned']} symbols, expected {n}")
    return out


# ------------------------------------------------------------------- timing

class Bench:
    def __init__(self, w: workloads.Workload, reps: int):
        self.w = w
        self.reps = reps
        self.samples: dict[tuple[str, str], list[float]] = {}
        self.outputs: dict[str, str] = {}
        # Only the UTF-8 bytes are kept; every scan run decodes its own str
        # from them (see fresh_texts), which also halves what "large" holds.
        self.scan_bytes = w.scan_text.encode("utf-8")
        self.scan_ascii = w.scan_text.isascii()
        w.scan_text = None
        self.batch_handles = {}

    def record(self, group: str, name: str, ns: float) -> None:
        self.samples.setdefault((group, name), []).append(ns / 1e9)

    # Each contender does its untimed setup, then returns nanoseconds.
    def feed_radar(self, rep):
        texts = fresh_texts(self.w.feed_texts)
        r = Radar(workloads.SPEC_TEXT)
        ns = timed_loop(r.command, texts)
        if rep == 0:
            self.outputs["radar feed"] = r.command('{"cmd":"alerts"}')
        return ns

    def feed_peer(self, rep):
        texts = fresh_texts(self.w.feed_texts)
        p = PeerRadar(workloads.SPEC_TEXT)
        ns = timed_loop(p.command, texts)
        if rep == 0:
            self.outputs["peer feed"] = p.command('{"cmd":"alerts"}')
        return ns

    def batch_radar(self, rep):
        texts = fresh_texts(self.w.batch_texts)
        r = Radar(workloads.SPEC_TEXT)
        ns = timed_loop(r.command, texts)
        self.batch_handles["radar"] = r
        if rep == 0:
            self.outputs["radar feed_batch"] = r.command('{"cmd":"alerts"}')
        return ns

    def batch_peer(self, rep):
        texts = fresh_texts(self.w.batch_texts)
        p = PeerRadar(workloads.SPEC_TEXT)
        ns = timed_loop(p.command, texts)
        self.batch_handles["peer"] = p
        if rep == 0:
            self.outputs["peer feed_batch"] = p.command('{"cmd":"alerts"}')
        return ns

    def scan_with(self, fn, key=None):
        def run(rep):
            text = self.scan_bytes.decode("utf-8")
            if key is not None and rep == 0:
                with paused_gc():
                    t0 = time.perf_counter_ns()
                    self.outputs[key] = fn(text)
                    return time.perf_counter_ns() - t0
            return timed_once(fn, text)
        return run

    def loop_with(self, fn, texts_attr):
        def run(rep):
            return timed_loop(fn, fresh_texts(getattr(self.w, texts_attr)))
        return run

    def run(self) -> None:
        radar_for_scan = Radar(workloads.SPEC_TEXT)
        peer_for_scan = PeerRadar(workloads.SPEC_TEXT)
        groups = [
            ("feed", [
                ("radar", self.feed_radar),
                ("peer (python)", self.feed_peer),
                ("orjson.loads", self.loop_with(orjson.loads, "feed_texts")),
                ("json.loads", self.loop_with(json.loads, "feed_texts")),
                ("str.encode", self.loop_with(str.encode, "feed_texts")),
            ]),
            ("feed_batch", [
                ("radar", self.batch_radar),
                ("peer (python)", self.batch_peer),
                ("orjson.loads", self.loop_with(orjson.loads, "batch_texts")),
                ("json.loads", self.loop_with(json.loads, "batch_texts")),
                ("str.encode", self.loop_with(str.encode, "batch_texts")),
            ]),
            ("scan", [
                ("radar", self.scan_with(radar_for_scan.command, "radar scan")),
                ("peer (python)", self.scan_with(peer_for_scan.command, "peer scan")),
                ("orjson.loads", self.scan_with(orjson.loads)),
                ("json.loads", self.scan_with(json.loads)),
                ("str.encode", self.scan_with(str.encode)),
                ("str.encode + pass", self.scan_with(encode_and_pass)),
            ]),
        ]
        for rep in range(self.reps):
            t_rep = time.perf_counter()
            for group, contenders in groups:
                k = rep % len(contenders)
                for name, fn in contenders[k:] + contenders[:k]:
                    self.record(group, name, fn(rep))
            # "alerts" over the datasets this repetition's feed_batch runs left.
            pair = [("radar", self.batch_handles["radar"]), ("peer (python)", self.batch_handles["peer"])]
            for name, handle in pair[rep % 2:] + pair[:rep % 2]:
                self.samples.setdefault(("alerts", name), []).append(alerts_per_call(handle))
            self.batch_handles.clear()
            if rep == 0:
                self.check()
            log(f"repetition {rep + 1}/{self.reps} done in {time.perf_counter() - t_rep:.1f} s")

    def check(self) -> None:
        problems = []
        for what in ("feed", "feed_batch", "scan"):
            problems += compare_results(what, self.outputs[f"radar {what}"], self.outputs[f"peer {what}"])
        result = json.loads(self.outputs["radar scan"])
        if problems:
            print("radar and peer disagree; no figures are printed:", file=sys.stderr)
            for p in problems[:40]:
                print("  " + p, file=sys.stderr)
            if len(problems) > 40:
                print(f"  ... and {len(problems) - 40} more", file=sys.stderr)
            sys.exit(2)
        self.verified = {
            "alerts": len(result["alerts"]),
            "scanned": result["scanned"],
            "top": [(a["symbol"], a["severity"]) for a in result["alerts"][:3]],
        }
        log(f"radar and peer agree on feed, feed_batch and scan: {len(result['alerts'])} alerts "
            f"out of {result['scanned']} symbols")

    def median(self, group: str, name: str) -> float:
        return statistics.median(self.samples[(group, name)])


# ------------------------------------------------------------------ report

def machine() -> dict:
    info = {"nproc": os.cpu_count(), "python": platform.python_version(), "platform": platform.platform()}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return info


def build_report(b: Bench, mem: dict | None) -> dict:
    w = b.w
    scan_mb = len(b.scan_bytes) / 1e6
    rows = []
    for (group, name), samples in b.samples.items():
        t = statistics.median(samples)
        row = {"group": group, "contender": name, "median_s": t, "samples_s": samples}
        if group == "feed":
            row["events_per_s"] = w.n_events / t
            row["us_per_cmd"] = t / len(w.feed_texts) * 1e6
        elif group == "feed_batch":
            row["events_per_s"] = w.n_events / t
            row["us_per_cmd"] = t / len(w.batch_texts) * 1e6
        elif group == "scan":
            row["events_per_s"] = w.n_events / t
            row["mb_per_s"] = scan_mb / t
        elif group == "alerts":
            row["symbols_per_s"] = w.n_symbols / t
            row["us_per_cmd"] = t * 1e6
        rows.append(row)

    def ratio(group, slow, fast):
        return b.median(group, slow) / b.median(group, fast)

    targets = []

    def target(name, value, goal, higher_is_better=True, applies=True):
        if not applies:
            status = "n/a"
        elif higher_is_better:
            status = "PASS" if value >= goal else "MISS"
        else:
            status = "PASS" if value <= goal else "MISS"
        # How far off: the factor by which the radar has to improve.
        gap = (goal / value if higher_is_better else value / goal) if status == "MISS" else None
        targets.append({"target": name, "value": value, "goal": goal,
                        "op": ">=" if higher_is_better else "<=", "status": status, "gap": gap})

    target("feed: speed vs orjson.loads", ratio("feed", "orjson.loads", "radar"), 1.5)
    target("feed: speed vs peer", ratio("feed", "peer (python)", "radar"), 15)
    target("feed_batch: speed vs orjson.loads", ratio("feed_batch", "orjson.loads", "radar"), 2)
    target("feed_batch: speed vs peer", ratio("feed_batch", "peer (python)", "radar"), 5)
    scan_applies = w.size in ("small", "medium")
    target("scan: speed vs orjson.loads", ratio("scan", "orjson.loads", "radar"), 3, applies=scan_applies)
    target("scan: speed vs peer", ratio("scan", "peer (python)", "radar"), 4, applies=scan_applies)
    target("scan: time / (str.encode + pass)", ratio("scan", "radar", "str.encode + pass"), 1.5,
           higher_is_better=False, applies=w.size == "medium")
    target("alerts: speed vs peer", ratio("alerts", "peer (python)", "radar"), 50)
    doubles = 4 * workloads.WINDOW * 8
    if mem is not None:
        target("memory: bytes per full symbol state", mem["radar"]["bytes_per_symbol"], 1.3 * doubles + 200,
               higher_is_better=False)

    return {
        "size": w.size, "symbols": w.n_symbols, "events_per_symbol": w.n_per_symbol, "events": w.n_events,
        "feed_commands": len(w.feed_texts), "scan_text_bytes": len(b.scan_bytes),
        "scan_text_ascii": b.scan_ascii, "workload_digest": w.digest, "reps": b.reps,
        "window": workloads.WINDOW, "state_doubles_bytes": doubles,
        "verified": b.verified, "rows": rows, "memory": mem, "targets": targets,
        "machine": machine(), "date": time.strftime("%Y-%m-%d %H:%M:%S %Z"),
        "command": "python bench/run.py " + " ".join(sys.argv[1:]),
    }


def fmt_num(x: float | None, digits: int = 0) -> str:
    if x is None:
        return ""
    if digits == 0:
        return f"{x:,.0f}"
    return f"{x:,.{digits}f}"


def print_table(rep: dict) -> None:
    print(f"zolvar_radar bench  size={rep['size']}  {rep['symbols']:,} symbols x {rep['events_per_symbol']:,} "
          f"events = {rep['events']:,} events  reps={rep['reps']} (median)")
    print(f"scan text {rep['scan_text_bytes'] / 1e6:.1f} MB ({'ASCII' if rep['scan_text_ascii'] else 'non-ASCII'})"
          f"  workload digest {rep['workload_digest']}  {rep['date']}")
    v = rep["verified"]
    print(f"check: radar and peer agree ({v['alerts']} alerts of {v['scanned']} symbols)")
    print()
    header = f"{'group':<11} {'contender':<18} {'median ms':>10} {'events/s':>13} {'us/cmd':>9} {'MB/s':>8} {'symbols/s':>11}"
    print(header)
    print("-" * len(header))
    for r in rep["rows"]:
        print(f"{r['group']:<11} {r['contender']:<18} {r['median_s'] * 1e3:>10.3f} {fmt_num(r.get('events_per_s')):>13} "
              f"{fmt_num(r.get('us_per_cmd'), 2):>9} {fmt_num(r.get('mb_per_s'), 1):>8} "
              f"{fmt_num(r.get('symbols_per_s')):>11}")
    mem = rep["memory"]
    if mem:
        print()
        print(f"memory: {mem['radar']['symbols']:,} symbols with full windows (W={rep['window']}), "
              f"state doubles {rep['state_doubles_bytes']} B/symbol")
        for which in ("radar", "peer"):
            m = mem[which]
            print(f"  {which:<6} resident {m['bytes_per_symbol']:,.0f} B/symbol "
                  f"({(m['rss_after'] - m['rss_before']) / 1e6:.1f} MB)")
    print()
    print(f"{'target':<40} {'value':>9}   {'goal':<11} {'status':<6} {'gap'}")
    for t in rep["targets"]:
        suffix = "x" if not t["target"].startswith("memory") else " B"
        value = f"{t['value']:.2f}{suffix}" if suffix == "x" else f"{t['value']:,.0f}{suffix}"
        goal = f"{t['op']} {t['goal']:g}{suffix}" if suffix == "x" else f"{t['op']} {t['goal']:,.0f}{suffix}"
        gap = f"needs {t['gap']:.2f}x" if t["gap"] else ""
        print(f"{t['target']:<40} {value:>9}   {goal:<11} {t['status']:<6} {gap}")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", choices=list(workloads.SIZES), default="small")
    ap.add_argument("--json", action="store_true", help="print one JSON document instead of the table")
    ap.add_argument("--reps", type=int, default=None, help="repetitions (default: small 9, medium 3, large 3)")
    ap.add_argument("--memory-symbols", type=int, default=MEMORY_SYMBOLS,
                    help="symbols fed for the memory figure (0 skips it)")
    ap.add_argument("--memory-child", nargs=2, metavar=("WHICH", "N"), help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.memory_child:
        memory_child(args.memory_child[0], int(args.memory_child[1]))
        return 0

    reps = args.reps or DEFAULT_REPS[args.size]
    if reps < 1:
        ap.error("--reps must be at least 1")
    t0 = time.perf_counter()
    log(f"building the {args.size} workload ...")
    w = workloads.build(args.size)
    log(f"  {w.n_events:,} events, {len(w.feed_texts):,} feed texts, scan text {len(w.scan_text):,} chars "
        f"({time.perf_counter() - t0:.1f} s)")

    bench = Bench(w, reps)
    bench.run()
    mem = None
    if args.memory_symbols > 0:
        log(f"memory: {args.memory_symbols:,} symbols in fresh subprocesses ...")
        mem = measure_memory(args.memory_symbols)
    report = build_report(bench, mem)
    log(f"total {time.perf_counter() - t0:.1f} s")
    if args.json:
        print(json.dumps(report, indent=2, ensure_ascii=False))
    else:
        print_table(report)
    return 0


if __name__ == "__main__":
    sys.exit(main())
