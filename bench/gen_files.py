"""JSON Lines market-data files for the end-to-end file bench.

    python bench/gen_files.py --events 1000000                # into $TMPDIR/zolvar-bench-files/1m
    python bench/gen_files.py --events 20000 --dir /tmp/small --seed 3
    python bench/gen_files.py --days 7                        # into $TMPDIR/zolvar-bench-files/7d

N events over a few hundred perpetual swaps, split into 8 consecutive files
(each file a stretch of time, every symbol in every file), written twice:
plain (`events-K.jsonl`) and gzip (`events-K.jsonl.gz`, level 6, no name or
time in the header, so the bytes depend on the seed alone).

What a line looks like: about 45 % derivatives snapshots, 42 % top-of-book
snapshots, 13 % liquidations (quantities in USD, heavy-tailed); a quarter of
the lines in the nested form `{"symbol":S,"event":{...}}`, the rest flat
`{"symbol":S,"kind":...}`. Timestamps are epoch milliseconds and rise with
every line, so each symbol's events are in time order in line order. Prices
are written with the decimals their level would have on an exchange, funding
rates with eight, volumes with three, liquidation quantities with two (some
as whole numbers). About 140 bytes a line.

Each symbol has its own regime (open interest and price drifts, funding level
near or away from zero, a lopsided or balanced book, the size of its
liquidations) so the radar's ranking has a spread of severities to order.
`--days D` writes a set spanning days instead, one file a day: every symbol
has a derivatives snapshot each minute (stamped a few milliseconds apart
across symbols, the same offset every minute), an order book every five
minutes and now and then a liquidation, about 1.22 events per symbol-minute
(300 symbols over a week: 3.7 million events). Prices walk without drift;
now and then a symbol runs an hour-long episode of open interest building
against the price, so a radar on minute snapshots alerts at scattered times.

Everything comes from one `random.Random(seed)`, so the files are the same
bytes on every run (on one platform: a few powers go through libm).
"""

from __future__ import annotations

import argparse
import gzip
import itertools
import json
import os
import sys
import tempfile
import time
from bisect import bisect_left
from random import Random

FILES = 8
MANIFEST = "manifest.json"  # written last: its presence says the set is complete
DEFAULT_SEED = 20_260_514
BASE_TS = 1_715_731_200_000  # 2024-05-15 00:00 UTC

# price level -> decimals a quote at that level is written with
LEVELS = [(0.0001, 8), (0.001, 7), (0.01, 6), (0.1, 5), (1.0, 4), (10.0, 3), (100.0, 2), (1000.0, 1), (10000.0, 1)]

# names the way exchanges spell them, plus a few that sort unusually by bytes
ODD_NAMES = ["1000PEPEUSDT", "1000SHIBUSDT", "BTC-PERP", "ETH-USD-240628", "我踢你USDT", "BTCUSDT", "ETHUSDT",
             "SOLUSDT", "BTCUSD_PERP", "ETHBTC-PERP"]


def symbol_names(count: int) -> list[str]:
    names = dict.fromkeys(ODD_NAMES[:count])
    i = 0
    while len(names) < count:
        # three or four letters from a fixed walk: AAVE-like tickers
        a, b, c = i % 26, (i // 26) % 26, (i // 676) % 26
        base = chr(65 + a) + chr(65 + (b * 7 + 3) % 26) + chr(65 + (c * 11 + a) % 26)
        if i % 3 == 0:
            base += chr(65 + (a + b) % 26)
        # the walk gives about 70,000 names before it repeats: a round number after that
        if i >= 263_640:
            base += str(i // 263_640)
        names[base + ("USDT" if i % 5 else "USDC")] = None
        i += 1
    return list(names)


class Symbol:
    __slots__ = ("name", "json", "decimals", "price", "oi", "funding", "volume", "lopsided", "liq_scale",
                 "oi_drift", "px_drift", "flip_chance", "qty_whole")

    def __init__(self, name: str, r: Random):
        self.name = name
        # symbols and keys are written verbatim: names here need no escaping
        self.json = '"' + name + '"'
        level, self.decimals = LEVELS[int(r.random() * len(LEVELS))]
        self.price = level * (1.0 + 8.9 * r.random())
        self.oi = 1e4 + 5e6 * r.random()
        self.funding = (0.2 + 1.2 * r.random()) * 1e-4 * (1.0 if r.random() < 0.8 else -1.0)
        self.volume = (5.0 + 500.0 * r.random()) * 1000.0 / (self.price if self.price > 1.0 else 1.0)
        self.lopsided = 1.0 + (3.0 * r.random() if r.random() < 0.2 else 0.0)
        self.liq_scale = 2000.0 + 40000.0 * r.random() * r.random()
        # per derivatives snapshot; over the 60-snapshot look-back this is a
        # few per cent for most symbols and up to ~20 % for a few
        trend = r.random()
        self.oi_drift = (r.random() - 0.5) * (0.006 if trend < 0.15 else 0.001)
        self.px_drift = -self.oi_drift * r.random() * 0.8 if trend < 0.3 else (r.random() - 0.5) * 0.0005
        self.flip_chance = 0.15 if r.random() < 0.1 else 0.005
        self.qty_whole = r.random() < 0.3


def irwin_hall(r: Random) -> float:
    """Mean 0, variance 1, from four uniforms and no libm call."""
    return (r.random() + r.random() + r.random() + r.random() - 2.0) * 1.7320508075688772


def fmt(x: float, decimals: int) -> str:
    return f"{x:.{decimals}f}"


def generate(n_events: int, n_symbols: int, seed: int):
    """Yields (file index, line) for n_events lines in file order."""
    r = Random(seed)
    symbols = [Symbol(name, r) for name in symbol_names(n_symbols)]
    # activity: a few symbols take much of the flow, as on a real venue
    weights = [1.0 / (1.0 + k) ** 0.8 for k in range(n_symbols)]
    order = list(range(n_symbols))
    r.shuffle(order)
    cumulative, total = [], 0.0
    for k in order:
        total += weights[k]
        cumulative.append(total)
    ts = BASE_TS
    per_file = -(-n_events // FILES)
    rnd = r.random
    for n in range(n_events):
        ts += 1 + int(rnd() * 40)
        s = symbols[order[min(bisect_left(cumulative, rnd() * total), n_symbols - 1)]]
        u = rnd()
        if u < 0.45:
            s.oi *= 1.0 + s.oi_drift + 0.0015 * irwin_hall(r)
            s.price *= 1.0 + s.px_drift + 0.0008 * irwin_hall(r)
            if rnd() < s.flip_chance:
                s.funding = -s.funding
            f = s.funding * (1.0 + 0.3 * irwin_hall(r))
            fields = (f'"kind":"derivatives","ts":{ts},"open_interest":{fmt(s.oi, 2)},'
                      f'"funding_rate":{fmt(f, 8)},"mark_price":{fmt(s.price, s.decimals)}')
        elif u < 0.87:
            bid = s.volume * (0.5 + rnd()) * s.lopsided
            ask = s.volume * (0.5 + rnd())
            tick = 10.0 ** -s.decimals
            best_bid = s.price - tick * (1 + int(rnd() * 3))
            best_ask = s.price + tick * (1 + int(rnd() * 3))
            fields = (f'"kind":"orderbook","ts":{ts},"bid_volume":{fmt(bid, 3)},"ask_volume":{fmt(ask, 3)},'
                      f'"best_bid":{fmt(best_bid, s.decimals)},"best_ask":{fmt(best_ask, s.decimals)}')
        else:
            qty = s.liq_scale / (1.0 - rnd()) ** 0.5  # Pareto, alpha 2
            q = str(int(qty)) if s.qty_whole else fmt(qty, 2)
            side = "buy" if rnd() < 0.5 else "sell"
            fields = (f'"kind":"liquidation","ts":{ts},"side":"{side}","qty":{q},'
                      f'"price":{fmt(s.price, s.decimals)}')
        if rnd() < 0.25:
            line = '{"symbol":' + s.json + ',"event":{' + fields + "}}\n"
        else:
            line = '{"symbol":' + s.json + "," + fields + "}\n"
        yield n // per_file, line


MINUTE = 60_000


def generate_days(days: int, n_symbols: int, seed: int):
    """Yields (file index, line): a snapshot a minute per symbol, a file a day, in time order."""
    r = Random(seed)
    symbols = [Symbol(name, r) for name in symbol_names(n_symbols)]
    base_oi = [s.oi for s in symbols]
    episode = [0] * n_symbols  # minutes left of a symbol's episode
    rnd = r.random
    for m in range(days * 1440):
        day = m // 1440
        for k, s in enumerate(symbols):
            ts = BASE_TS + m * MINUTE + 40 * k
            if episode[k] == 0 and rnd() < 1 / 2000:
                episode[k] = 60
            drift = 0.003 if episode[k] else 0.0
            episode[k] -= episode[k] > 0
            # pulled back towards its starting level, so a week does not compound
            s.oi *= 1.0 + drift + 0.001 * irwin_hall(r) + 0.01 * (base_oi[k] / s.oi - 1.0)
            s.price *= 1.0 - 0.3 * drift + 0.0008 * irwin_hall(r)
            if rnd() < s.flip_chance / 10:
                s.funding = -s.funding
            f = s.funding * (1.0 + 0.3 * irwin_hall(r))
            yield day, (f'{{"symbol":{s.json},"kind":"derivatives","ts":{ts},"open_interest":{fmt(s.oi, 2)},'
                        f'"funding_rate":{fmt(f, 8)},"mark_price":{fmt(s.price, s.decimals)}}}\n')
            if (m + k) % 5 == 0:
                tick = 10.0 ** -s.decimals
                bid = s.volume * (0.5 + rnd()) * s.lopsided
                ask = s.volume * (0.5 + rnd())
                yield day, (f'{{"symbol":{s.json},"kind":"orderbook","ts":{ts + 20},"bid_volume":{fmt(bid, 3)},'
                            f'"ask_volume":{fmt(ask, 3)},"best_bid":{fmt(s.price - tick, s.decimals)},'
                            f'"best_ask":{fmt(s.price + tick, s.decimals)}}}\n')
            if rnd() < 0.02 + 0.2 * (episode[k] > 0):
                qty = s.liq_scale / (1.0 - rnd()) ** 0.5
                side = "buy" if rnd() < 0.5 else "sell"
                yield day, (f'{{"symbol":{s.json},"kind":"liquidation","ts":{ts + 30},"side":"{side}",'
                            f'"qty":{fmt(qty, 2)},"price":{fmt(s.price, s.decimals)}}}\n')


def _by_file(pairs):
    """Groups (file index, line) pairs, consecutive by file index, into (index, lines)."""
    for k, group in itertools.groupby(pairs, key=lambda kv: kv[0]):
        yield k, (line for _k, line in group)


def paths(directory: str, gz: bool, files: int = FILES) -> list[str]:
    suffix = ".jsonl.gz" if gz else ".jsonl"
    return [os.path.join(directory, f"events-{k}{suffix}") for k in range(files)]


def write(directory: str, n_events: int, n_symbols: int, seed: int, quiet: bool = False, days: int = 0) -> dict:
    """n_events lines in 8 files, or with `days` the set spanning days (n_events is then counted)."""
    os.makedirs(directory, exist_ok=True)
    try:
        os.remove(os.path.join(directory, MANIFEST))
    except FileNotFoundError:
        pass
    files = days or FILES
    plain, packed = paths(directory, False, files), paths(directory, True, files)
    t0 = time.perf_counter()
    counted = [0]

    def counting(pairs):
        for pair in pairs:
            counted[0] += 1
            yield pair

    source = counting(generate_days(days, n_symbols, seed)) if days else generate(n_events, n_symbols, seed)
    for k, lines in _by_file(source):
        with open(plain[k], "wb") as out, open(packed[k], "wb") as raw, \
                gzip.GzipFile(filename="", mode="wb", compresslevel=6, mtime=0, fileobj=raw) as gz:
            buf = []
            for line in lines:
                buf.append(line)
                if len(buf) >= 20_000:
                    data = "".join(buf).encode()
                    out.write(data)
                    gz.write(data)
                    buf.clear()
            data = "".join(buf).encode()
            out.write(data)
            gz.write(data)
    if days:
        n_events = counted[0]
    info = {
        "dir": directory, "events": n_events, "symbols": n_symbols, "seed": seed, "days": days,
        "plain": plain, "gzip": packed,
        "plain_bytes": sum(os.path.getsize(p) for p in plain),
        "gzip_bytes": sum(os.path.getsize(p) for p in packed),
    }
    with open(os.path.join(directory, MANIFEST), "w") as f:
        json.dump(info, f, indent=1)
    if not quiet:
        print(f"{n_events:,} events, {n_symbols} symbols, seed {seed} -> {directory}: "
              f"{info['plain_bytes'] / 1e6:.1f} MB plain, {info['gzip_bytes'] / 1e6:.1f} MB gzip "
              f"({time.perf_counter() - t0:.1f} s)", file=sys.stderr)
    return info


def ensure(directory: str, n_events: int, n_symbols: int, seed: int, days: int = 0) -> dict:
    """The set in directory, generated unless a complete one with these parameters is there
    (with `days`, n_events is not compared: the set's size follows from the days)."""
    try:
        with open(os.path.join(directory, MANIFEST)) as f:
            info = json.load(f)
        if (info.get("days", 0), info["symbols"], info["seed"]) == (days, n_symbols, seed) and (
                days or info["events"] == n_events) and all(os.path.exists(p) for p in info["plain"] + info["gzip"]):
            return info
    except (OSError, ValueError, KeyError):
        pass
    return write(directory, n_events, n_symbols, seed, days=days)


def default_dir(n_events: int, seed: int) -> str:
    label = f"{n_events // 1_000_000}m" if n_events % 1_000_000 == 0 else f"{n_events}"
    if seed != DEFAULT_SEED:
        label += f"-s{seed}"
    return os.path.join(tempfile.gettempdir(), "zolvar-bench-files", label)


def days_dir(days: int, seed: int) -> str:
    label = f"{days}d" + (f"-s{seed}" if seed != DEFAULT_SEED else "")
    return os.path.join(tempfile.gettempdir(), "zolvar-bench-files", label)


def parse_count(text: str) -> int:
    text = text.strip().lower().replace("_", "")
    scale = {"k": 1_000, "m": 1_000_000}.get(text[-1:], 1)
    return int(float(text[:-1] if scale > 1 else text) * scale)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--events", type=parse_count, default=1_000_000, help="events in all (1m, 5m, 20k ...)")
    p.add_argument("--symbols", type=int, default=300)
    p.add_argument("--seed", type=int, default=DEFAULT_SEED)
    p.add_argument("--days", type=int, default=0,
                   help="a set spanning this many days instead: a snapshot a minute per symbol, a file a day")
    p.add_argument("--dir", help="output directory (default: $TMPDIR/zolvar-bench-files/<size>)")
    a = p.parse_args(argv)
    if a.days:
        write(a.dir or days_dir(a.days, a.seed), 0, a.symbols, a.seed, days=a.days)
        return 0
    write(a.dir or default_dir(a.events, a.seed), a.events, a.symbols, a.seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
