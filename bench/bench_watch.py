"""`zolvar-radar watch` keeping up: throughput, checkpoint-to-sink latency, memory over a run.

    python bench/bench_watch.py                       # all three, a 120 s memory run
    python bench/bench_watch.py --only throughput --seconds 600

- throughput: a scripted source (`PairsSource`, the live path: Python pairs
  through the native `LiveFeed` and its bars) of 500 symbols on the
  events' clock, checkpoints every second of that clock; events absorbed
  per second of wall time, generation of the pairs included. The same
  events written to a file and played by `--source file:` (the native
  `Replay`) for comparison.
- latency: the scripted source on the local clock (as exchanges are),
  events stamped as sent at a steady rate, checkpoints every second; for
  each change, the time from its checkpoint's clock to the sink that got
  it (median, p99, max).
- feed: the cost per event of feeding a minute of pairs made beforehand,
  bars of 1 s: the native `LiveFeed` against the Python way it replaced
  (`Bars` in Python, one "feed_batch" text per symbol); best of 5.
- memory: the throughput source for --memory-seconds of wall time (each
  checkpoint a second of event time, so hours of market in minutes);
  resident memory sampled, growth from the first tenth to the end.

Targets: >= 200,000 events/s absorbed; median latency <= 50 ms.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import resource
import statistics
import sys
import tempfile
import time

from zolvar_radar.watch import FileSource, PairsSource, Watcher

SYMBOLS = [f"S{i:03d}USDT" for i in range(500)]
SPEC = json.dumps({"signals": [{"kind": "oi_delta", "params": [5, 0.05]}, {"kind": "book_imbalance", "params": [0.6]},
                               {"kind": "liq_cluster", "params": [10, 50_000]}], "threshold": 0.45})
T0 = 1_715_731_200_000


def second_of_events(second: int, ts0: int, books: int = 2):
    """One second of market for every symbol: a derivatives snapshot, ``books`` order books and a
    liquidation for one symbol in ten; a few symbols' books turn lopsided for a while, so alerts
    start, move and clear."""
    pairs = []
    append = pairs.append
    for i, symbol in enumerate(SYMBOLS):
        ts = ts0 + second * 1000 + i
        lopsided = (second // 7 + i) % 50 == 0
        append((symbol, {"kind": "derivatives", "ts": ts, "open_interest": 1000.0 + (second % 13) * (i % 7),
                         "funding_rate": 0.0001, "mark_price": 100.0 + i}))
        for b in range(books):
            append((symbol, {"kind": "orderbook", "ts": ts + 100 * (b + 1), "bid_volume": 95.0 if lopsided else 50.0,
                             "ask_volume": 5.0 if lopsided else 50.0, "best_bid": 99.9 + i, "best_ask": 100.1 + i}))
        if i % 10 == second % 10:
            append((symbol, {"kind": "liquidation", "ts": ts + 50, "side": "sell", "qty": 8_000.0,
                             "price": 100.0 + i}))
    return pairs


def rss_mb() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


async def scripted(seconds: int | None, deadline: float | None, ts0: int, per_batch_symbols: int = 100):
    """Batches of ~100 symbols' events, second after second of event time."""
    second = 0
    while (seconds is None or second < seconds) and (deadline is None or time.monotonic() < deadline):
        pairs = second_of_events(second, ts0)
        step = len(pairs) * per_batch_symbols // len(SYMBOLS)
        for k in range(0, len(pairs), step):
            yield "bench", pairs[k:k + step]
        second += 1
        if second % 20 == 0:
            await asyncio.sleep(0)


async def run_watch(source, every_ts="1s", bar="1s", on_checkpoint=None, sink=None):
    watcher = Watcher(source, SPEC, bar=bar, every_ts=every_ts, stall=0)
    changes = 0
    async for checkpoint in watcher.checkpoints():
        for change in checkpoint.changes:
            if sink is not None:
                sink(change, checkpoint)
        changes += len(checkpoint.changes)
        if on_checkpoint is not None:
            on_checkpoint(watcher, checkpoint)
    return watcher, changes


def throughput(seconds: int) -> dict:
    started = time.perf_counter()
    watcher, changes = asyncio.run(run_watch(PairsSource(scripted(seconds, None, T0), exchanges=["bench"])))
    wall = time.perf_counter() - started
    out = {"events": watcher.events, "checkpoints": watcher.checkpoints_done, "changes": changes, "wall_s": wall,
           "events_per_s": watcher.events / wall}
    # absorbed alone: the pairs made before the clock starts, as a client library hands them over
    made = []
    for second in range(seconds):
        pairs = second_of_events(second, T0)
        step = len(pairs) // 5
        made += [("bench", pairs[k:k + step]) for k in range(0, len(pairs), step)]
    started = time.perf_counter()
    pwatcher, pchanges = asyncio.run(run_watch(PairsSource(made, exchanges=["bench"])))
    pwall = time.perf_counter() - started
    assert pchanges == changes
    out.update(absorbed_wall_s=pwall, absorbed_per_s=pwatcher.events / pwall)
    del made
    # the same events from a file, through the native replay
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "bench.jsonl")
        with open(path, "w") as f:
            for second in range(seconds):
                for symbol, event in second_of_events(second, T0):
                    f.write(json.dumps({"symbol": symbol, "event": event}, separators=(",", ":")) + "\n")
        started = time.perf_counter()
        fwatcher, fchanges = asyncio.run(run_watch(FileSource(path)))
        fwall = time.perf_counter() - started
    out.update(file_events=fwatcher.events, file_changes=fchanges, file_wall_s=fwall,
               file_events_per_s=fwatcher.events / fwall)
    return out


def latency(seconds: float, rate: int) -> dict:
    """Events stamped now at ``rate`` a second; every change's delay from its clock to the sink."""
    delays = []

    async def wall_source():
        start = time.monotonic()
        sent, second = 0, 0
        while time.monotonic() - start < seconds:
            now = int(time.time() * 1000)
            pairs = second_of_events(second, 0)
            second += 1
            step = max(1, rate // 20)  # twenty sends a second
            for k in range(0, len(pairs), step):
                batch = [(s, dict(e, ts=now)) for s, e in pairs[k:k + step]]
                yield "bench", batch
                sent += len(batch)
                ahead = sent / rate - (time.monotonic() - start)
                if ahead > 0:
                    await asyncio.sleep(ahead)
                now = int(time.time() * 1000)

    def sink(change, checkpoint):
        delays.append(time.time() * 1000 - change["clock"])

    watcher, changes = asyncio.run(run_watch(PairsSource(wall_source(), ["bench"], clock="wall"), sink=sink))
    delays.sort()
    return {"events": watcher.events, "checkpoints": watcher.checkpoints_done, "changes": changes,
            "median_ms": statistics.median(delays) if delays else None,
            "p99_ms": delays[int(0.99 * (len(delays) - 1))] if delays else None,
            "max_ms": delays[-1] if delays else None}


def feed_cost(seconds: int = 60) -> dict:
    from zolvar_radar import Radar
    from zolvar_radar._engine import engine
    from zolvar_radar.bars import Bars

    pairs = [p for second in range(seconds) for p in second_of_events(second, T0)]
    encode = json.JSONEncoder(allow_nan=False, separators=(",", ":"), ensure_ascii=False).encode

    def in_python(radar):
        bars = Bars(1000)
        by_symbol: dict = {}
        for key, event in bars.push(pairs) + bars.flush():
            by_symbol.setdefault(key, []).append(event)
        for key, events in by_symbol.items():
            assert radar.command(encode({"cmd": "feed_batch", "symbol": key, "events": events})) == '{"ok":true}'

    def native(radar):
        live = engine.LiveFeed(radar, 1000)
        assert not live.feed(pairs)[1]
        live.close_until(2**62)

    out = {"events": len(pairs)}
    for name, fn in (("python_us", in_python), ("native_us", native)):
        best = float("inf")
        for _ in range(5):
            radar = Radar(SPEC)
            started = time.perf_counter()
            fn(radar)
            best = min(best, time.perf_counter() - started)
        out[name] = best / len(pairs) * 1e6
    return out


def memory(seconds: float) -> dict:
    samples = []

    def sample(watcher, checkpoint):
        samples.append((time.monotonic(), rss_mb(), watcher.events))

    start = time.monotonic()
    asyncio.run(run_watch(PairsSource(scripted(None, start + seconds, T0), ["bench"]), on_checkpoint=sample))
    tenth = [s for s in samples if s[0] - start >= seconds / 10][0]
    last = samples[-1]
    return {"wall_s": last[0] - start, "event_seconds": len(samples), "events": last[2],
            "rss_mb_at_tenth": tenth[1], "rss_mb_end": last[1], "growth_mb": last[1] - tenth[1],
            "peak_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", choices=("throughput", "latency", "feed", "memory"))
    parser.add_argument("--seconds", type=int, default=300, help="seconds of event time for the throughput run")
    parser.add_argument("--latency-seconds", type=float, default=15)
    parser.add_argument("--rate", type=int, default=50_000, help="events a second for the latency run")
    parser.add_argument("--memory-seconds", type=float, default=120)
    parser.add_argument("--json", metavar="OUT")
    args = parser.parse_args(argv)
    results = {}
    if args.only in (None, "throughput"):
        results["throughput"] = r = throughput(args.seconds)
        print(f"throughput: {r['events']:,} events in {r['wall_s']:.2f} s = {r['events_per_s']:,.0f}/s made and "
              f"absorbed, {r['absorbed_per_s']:,.0f}/s absorbed ({r['checkpoints']} checkpoints, {r['changes']} "
              f"changes); from a file: "
              f"{r['file_events_per_s']:,.0f}/s ({r['file_changes']} changes)", flush=True)
    if args.only in (None, "latency"):
        results["latency"] = r = latency(args.latency_seconds, args.rate)
        print(f"latency: {r['changes']} changes over {r['checkpoints']} checkpoints at {args.rate:,} events/s: "
              f"median {r['median_ms']:.1f} ms, p99 {r['p99_ms']:.1f} ms, max {r['max_ms']:.1f} ms", flush=True)
    if args.only in (None, "feed"):
        results["feed"] = r = feed_cost()
        print(f"feed: {r['events']:,} events: {r['native_us']:.2f} us/event native (LiveFeed), "
              f"{r['python_us']:.2f} us/event in Python (Bars, feed_batch)", flush=True)
    if args.only in (None, "memory"):
        results["memory"] = r = memory(args.memory_seconds)
        print(f"memory: {r['events']:,} events, {r['event_seconds']} checkpoints in {r['wall_s']:.0f} s: "
              f"{r['rss_mb_at_tenth']:.1f} MB at a tenth, {r['rss_mb_end']:.1f} MB at the end "
              f"(growth {r['growth_mb']:+.1f} MB), peak {r['peak_mb']:.1f} MB", flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    sys.exit(main())
