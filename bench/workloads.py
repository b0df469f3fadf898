"""Seeded synthetic market data and the command texts the bench times.

Everything here is deterministic byte for byte: one fixed seed per symbol,
a fixed iteration order, and only operations that IEEE 754 rounds exactly
(+ - * /, sqrt, round) between the random draws and the numbers written, so
no libm difference can move a digit. Numbers are written by json.dumps, i.e.
with the shortest text that reads back to the same double.

Per stream: about 45 % derivatives snapshots (open interest and mark price as
random walks, funding around 1e-4 with occasional sign flips), 40 % book
snapshots, 15 % liquidations with heavy-tailed (Pareto, alpha 2) quantities;
about 5 % of the events use the array form. A quarter of the streams end with
an anomaly of random strength (open interest building against the price,
funding flips, a lopsided book, a liquidation cascade), so tens of symbols
alert and the ranking has something to order.
"""

from __future__ import annotations

import hashlib
import json
import math
from dataclasses import dataclass, field
from random import Random

SEED = 7_340_021

SIZES = {
    "small": (100, 200),
    "medium": (1_000, 1_000),
    "large": (10_000, 500),
}

SPEC = {
    "signals": [
        {"kind": "oi_delta", "params": [12, 0.05], "weight": 2},
        {"kind": "funding_flip", "params": [0.0005]},
        {"kind": "book_imbalance", "params": [0.6]},
        {"kind": "liq_cluster", "params": [20, 250000]},
        {"kind": "oi_price_divergence", "params": [12, 0.02]},
    ],
    "threshold": 0.4,
    "limit": 50,
}

# The longest look-back above is liq_cluster's 20, so every series keeps 21 values.
WINDOW = 21

_BASE_TS = 1_700_000_000_000

# Price levels and the decimals a quote at that level is written with.
_LEVELS = [(0.001, 7), (0.01, 6), (0.1, 5), (1.0, 4), (10.0, 3), (100.0, 2), (1000.0, 1), (10000.0, 1)]

# A handful of names that are not plain ASCII tickers, placed at fixed
# positions: they exercise UTF-8 text and byte-order ranking.
_ODD_NAMES = [
    "ÉCU-PERP",
    "ΔELTA-USDT",
    "比特币-USDT",
    "ЯБЛОКО-USDT",
    "LONG-" + "ABCDEFGHIJKLMNOPQRSTUVWXYZ" * 4 + "-PERP",
    "X" * 48 + "-QUARTERLY-" + "0" * 24,
    "ÑANDÚ-" + "Z" * 40,
]


def dumps(value) -> str:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


SPEC_TEXT = dumps(SPEC)


def symbol_names(count: int) -> list[str]:
    names = [f"TKN{i:05d}USDT" for i in range(count)]
    for j, odd in enumerate(_ODD_NAMES):
        pos = (j * 37 + 5) % count
        names[pos] = f"{odd}{pos}"
    return names


class _Draw:
    """Random draws built only from exactly rounded operations."""

    def __init__(self, seed: int):
        self.rng = Random(seed)
        self.r = self.rng.random

    def uniform(self, a: float, b: float) -> float:
        return a + (b - a) * self.r()

    def normal(self) -> float:
        # Irwin-Hall with four terms: mean 0, variance 1, no transcendental calls.
        return (self.r() + self.r() + self.r() + self.r() - 2.0) * 1.7320508075688772

    def pareto2(self) -> float:
        # Pareto with alpha 2: infinite variance, rare very large prints.
        return 1.0 / math.sqrt(1.0 - self.r())


@dataclass
class Stream:
    symbol: str
    events: list  # JSON-ready values (dicts or arrays)
    ts: list[int]
    anomalous: bool


def make_stream(symbol: str, index: int, n_events: int, seed: int = SEED) -> Stream:
    d = _Draw(seed * 1_000_003 + index)
    level, decimals = _LEVELS[int(d.r() * len(_LEVELS))]
    price = level * d.uniform(1.0, 9.9)
    oi = d.uniform(1e4, 5e6)
    funding_sign = 1.0
    volume = d.uniform(5.0, 500.0) * 1000.0 / (price if price > 1.0 else 1.0)
    liq_scale = d.uniform(800.0, 3000.0)
    anomalous = d.r() < 0.25
    onset = n_events - int(d.uniform(15.0, 45.0)) if anomalous else n_events
    strength = d.uniform(0.2, 1.6)
    # Which effects this anomaly has: each one on or off, at least one on.
    effects = [d.r() < 0.7 for _ in range(4)]
    if not any(effects):
        effects[0] = True
    oi_build, flip_funding, lopsided, cascade = effects

    ts = _BASE_TS + index * 7
    events, stamps = [], []
    for k in range(n_events):
        ts += 200 + int(d.r() * 800)
        hot = k >= onset
        u = d.r()
        p_liq = 0.30 if hot and cascade else 0.15
        if u < 0.45:
            kind = "derivatives"
        elif u < 1.0 - p_liq:
            kind = "orderbook"
        else:
            kind = "liquidation"

        if kind == "derivatives":
            drift_oi, drift_px = 0.0, 0.0
            if hot and oi_build:
                drift_oi = 0.006 * strength
                drift_px = -0.003 * strength
            oi *= 1.0 + drift_oi + 0.002 * d.normal()
            price *= 1.0 + drift_px + 0.001 * d.normal()
            if d.r() < (0.25 if hot and flip_funding else 0.02):
                funding_sign = -funding_sign
            size = 1e-4 * (1.0 + 0.5 * d.normal())
            if hot and flip_funding:
                size *= 1.0 + 2.0 * strength
            values = [round(oi, 1), round(funding_sign * size, 8), round(price, decimals)]
            if d.r() < 0.05:
                ev = ["derivatives", ts, *values]
            else:
                ev = {"kind": "derivatives", "ts": ts, "open_interest": values[0],
                      "funding_rate": values[1], "mark_price": values[2]}
        elif kind == "orderbook":
            bid = volume * d.uniform(0.5, 1.5)
            ask = volume * d.uniform(0.5, 1.5)
            if hot and lopsided:
                bid *= 1.0 + 4.0 * strength
            tick = 1.0 / 10**decimals
            best_bid = round(price - tick * (1 + int(d.r() * 3)), decimals)
            best_ask = round(price + tick * (1 + int(d.r() * 3)), decimals)
            values = [round(bid, 3), round(ask, 3), best_bid, best_ask]
            if d.r() < 0.05:
                ev = ["orderbook", ts, *values]
            else:
                ev = {"kind": "orderbook", "ts": ts, "bid_volume": values[0], "ask_volume": values[1],
                      "best_bid": values[2], "best_ask": values[3]}
        else:
            side = "buy" if d.r() < 0.5 else "sell"
            qty = liq_scale * d.pareto2()
            if hot and cascade:
                qty *= 1.0 + 10.0 * strength
            qty = round(qty, 2)
            px = round(price, decimals)
            if d.r() < 0.05:
                ev = ["liquidation", ts, side, qty, px]
            else:
                ev = {"kind": "liquidation", "ts": ts, "side": side, "qty": qty, "price": px}
        events.append(ev)
        stamps.append(ts)
    return Stream(symbol, events, stamps, anomalous)


@dataclass
class Workload:
    size: str
    n_symbols: int
    n_per_symbol: int
    symbols: list[str]
    n_events: int
    n_anomalous: int
    feed_texts: list[str] = field(repr=False)
    batch_texts: list[str] = field(repr=False)
    scan_text: str = field(repr=False)
    digest: str = ""


def build(size: str, seed: int = SEED) -> Workload:
    n_symbols, n_per = SIZES[size]
    names = symbol_names(n_symbols)
    sym_json = [dumps(s) for s in names]
    per_symbol_texts: list[list[str]] = []
    per_symbol_ts: list[list[int]] = []
    n_anom = 0
    for i, name in enumerate(names):
        st = make_stream(name, i, n_per, seed)
        n_anom += st.anomalous
        per_symbol_texts.append([dumps(e) for e in st.events])
        per_symbol_ts.append(st.ts)

    # Feed order: all symbols interleaved by timestamp. Every stream's stamps
    # rise strictly, so (ts, symbol index) is unique and keeps each stream's order.
    assert n_symbols < (1 << 16)
    keys = [(t << 16) | i for i, stamps in enumerate(per_symbol_ts) for t in stamps]
    keys.sort()
    cursor = [0] * n_symbols
    feed_texts = []
    for key in keys:
        i = key & 0xFFFF
        k = cursor[i]
        cursor[i] = k + 1
        feed_texts.append('{"cmd":"feed","symbol":' + sym_json[i] + ',"event":' + per_symbol_texts[i][k] + "}")
    del keys

    batch_texts = [
        '{"cmd":"feed_batch","symbol":' + sym_json[i] + ',"events":[' + ",".join(per_symbol_texts[i]) + "]}"
        for i in range(n_symbols)
    ]
    scan_text = (
        '{"cmd":"scan","events":{'
        + ",".join(sym_json[i] + ":[" + ",".join(per_symbol_texts[i]) + "]" for i in range(n_symbols))
        + "}}"
    )

    h = hashlib.sha256()
    for t in feed_texts:
        h.update(t.encode())
    for t in batch_texts:
        h.update(t.encode())
    h.update(scan_text.encode())
    return Workload(size, n_symbols, n_per, names, n_symbols * n_per, n_anom,
                    feed_texts, batch_texts, scan_text, h.hexdigest()[:16])


def memory_texts(n_symbols: int, window: int = WINDOW) -> list[str]:
    """feed_batch texts that fill every series of every symbol: 2W derivatives
    and 2W liquidations per symbol (so the windows have wrapped), and one book."""
    events = []
    ts = _BASE_TS
    for k in range(2 * window):
        ts += 500
        events.append({"kind": "derivatives", "ts": ts, "open_interest": 1e6 + k * 10.5,
                       "funding_rate": 0.0001, "mark_price": 100.0 + k * 0.25})
        ts += 500
        events.append({"kind": "liquidation", "ts": ts, "side": "sell", "qty": 1000.0 + k, "price": 100.0})
    events.append({"kind": "orderbook", "ts": ts + 1, "bid_volume": 30.5, "ask_volume": 10.25,
                   "best_bid": 99.9, "best_ask": 100.1})
    body = dumps(events)
    return ['{"cmd":"feed_batch","symbol":' + dumps(f"MEM{i:07d}USDT") + ',"events":' + body + "}"
            for i in range(n_symbols)]


if __name__ == "__main__":
    import sys

    w = build(sys.argv[1] if len(sys.argv) > 1 else "small")
    print(w.size, w.n_symbols, w.n_events, "anomalous", w.n_anomalous, "scan bytes",
          len(w.scan_text.encode()), "digest", w.digest)
