#!/usr/bin/env python3
"""Generate python/zolvar_radar/data/sample.jsonl.gz, the synthetic market day
that `zolvar-radar` scans when it is given no files.

Fifty perpetual swaps over one UTC day: a derivatives snapshot per symbol every
minute, an order book snapshot every five minutes, and liquidation prints.
Prices and open interest are random walks around made-up levels; on top of
them a handful of scripted episodes (open interest building against a falling
price, a funding flip, liquidation cascades, a short squeeze, lopsided books),
some during the day for `replay` and some still running at the close so that
the default scan has something to rank.

Liquidation "qty" is in USD, so one liquidation scale fits every symbol.

The output is deterministic byte for byte for a given Python/zlib: fixed seed,
fixed iteration order, numbers written with fixed precision and a gzip header
without a name or a time.

Usage:
    python3 tools/gen_sample.py [--out PATH]
"""

import argparse
import gzip
import math
import random
from datetime import datetime, timezone
from pathlib import Path

SEED = 20240514
DAY_START_MS = int(datetime(2024, 5, 14, tzinfo=timezone.utc).timestamp()) * 1000
MINUTES = 24 * 60
BOOK_EVERY = 5  # minutes
DEFAULT_OUT = Path(__file__).resolve().parent.parent / "python/zolvar_radar/data/sample.jsonl.gz"

# symbol, price, open interest in USD millions, tier (1 = majors ... 3 = small
# caps: sets idiosyncratic volatility, liquidation rate and print size)
SYMBOLS = [
    ("BTCUSDT", 61800.0, 9000, 1), ("ETHUSDT", 2930.0, 5200, 1),
    ("SOLUSDT", 146.2, 1900, 1), ("BNBUSDT", 588.4, 600, 1),
    ("XRPUSDT", 0.5121, 700, 1), ("DOGEUSDT", 0.1487, 900, 2),
    ("ADAUSDT", 0.4532, 320, 2), ("AVAXUSDT", 35.41, 380, 2),
    ("LINKUSDT", 13.92, 330, 2), ("DOTUSDT", 6.912, 210, 2),
    ("MATICUSDT", 0.6904, 190, 2), ("LTCUSDT", 81.36, 300, 2),
    ("TRXUSDT", 0.1241, 90, 3), ("BCHUSDT", 462.7, 330, 2),
    ("NEARUSDT", 6.584, 270, 2), ("UNIUSDT", 7.482, 150, 2),
    ("ATOMUSDT", 8.331, 140, 2), ("APTUSDT", 8.918, 180, 2),
    ("ARBUSDT", 1.0394, 260, 2), ("OPUSDT", 2.4135, 190, 2),
    ("FILUSDT", 5.563, 170, 2), ("ETCUSDT", 26.84, 190, 2),
    ("INJUSDT", 23.71, 160, 2), ("SUIUSDT", 1.0052, 190, 2),
    ("SEIUSDT", 0.4783, 110, 3), ("TIAUSDT", 9.104, 160, 2),
    ("LDOUSDT", 1.7681, 80, 3), ("RNDRUSDT", 9.352, 150, 2),
    ("WIFUSDT", 2.6472, 300, 2), ("1000PEPEUSDT", 0.009732, 420, 2),
    ("1000SHIBUSDT", 0.02341, 170, 2), ("1000BONKUSDT", 0.02472, 90, 3),
    ("FETUSDT", 2.0815, 200, 2), ("AAVEUSDT", 89.62, 110, 3),
    ("MKRUSDT", 2634.0, 70, 3), ("STXUSDT", 1.9627, 80, 3),
    ("IMXUSDT", 2.0713, 60, 3), ("ORDIUSDT", 36.52, 150, 2),
    ("JUPUSDT", 1.0621, 90, 3), ("PYTHUSDT", 0.4405, 80, 3),
    ("ENAUSDT", 0.6924, 160, 2), ("WLDUSDT", 5.132, 190, 2),
    ("GALAUSDT", 0.04187, 70, 3), ("SANDUSDT", 0.4418, 60, 3),
    ("AXSUSDT", 7.215, 50, 3), ("CRVUSDT", 0.4462, 70, 3),
    ("DYDXUSDT", 1.8046, 60, 3), ("GRTUSDT", 0.2713, 60, 3),
    ("ALGOUSDT", 0.1813, 50, 3), ("HBARUSDT", 0.1052, 60, 3),
]

# tier -> (idiosyncratic volatility per minute, liquidations per minute,
#          median liquidation in USD, book depth at the touch in USD)
TIERS = {
    1: (0.0006, 0.10, 9000.0, 900000.0),
    2: (0.0010, 0.05, 4000.0, 150000.0),
    3: (0.0014, 0.03, 2500.0, 60000.0),
}
MARKET_VOL = 0.0007  # common factor, per minute
OI_NOISE = 0.0007  # per minute, log
FUNDING_BASE = 0.0001  # the usual 0.01 % per period

# Scripted episodes: (symbol, kind, start minute, end minute, options).
#   build:    open interest changes by `oi` and price by `px` (fractions),
#             spread over the episode; `funding` drifts to that rate.
#   cascade:  a sharp price move with `prints` forced liquidations of about
#             `size` USD on side `side`; open interest falls by `oi`.
#   funding:  the funding rate drifts to `to` by the end of the episode.
#   book:     bid (or ask, `side`="ask") volume at the touch multiplied by `x`.
#   liqs:     `prints` extra liquidations of about `size` USD on `side`.
EPISODES = [
    # --- during the day: seen by replay, faded by the close -------------
    ("SUIUSDT", "build", 170, 260, {"oi": 0.16, "px": -0.055}),
    ("SUIUSDT", "build", 300, 420, {"oi": -0.13, "px": 0.01}),
    ("TIAUSDT", "funding", 400, 480, {"to": -0.0016}),
    ("TIAUSDT", "build", 410, 480, {"oi": 0.08, "px": -0.02}),
    ("TIAUSDT", "funding", 600, 720, {"to": 0.0001}),
    ("XRPUSDT", "book", 540, 580, {"x": 6.0}),
    ("XRPUSDT", "build", 530, 580, {"oi": 0.06, "px": 0.01}),
    ("BTCUSDT", "cascade", 810, 822, {"px": -0.028, "oi": -0.05, "prints": 60, "size": 90000, "side": "sell"}),
    ("ETHUSDT", "cascade", 811, 824, {"px": -0.034, "oi": -0.06, "prints": 45, "size": 60000, "side": "sell"}),
    ("ORDIUSDT", "build", 1020, 1060, {"oi": -0.14, "px": 0.09}),
    ("ORDIUSDT", "liqs", 1020, 1060, {"prints": 30, "size": 60000, "side": "buy"}),
    ("ENAUSDT", "funding", 900, 960, {"to": -0.0013}),
    ("ENAUSDT", "build", 910, 960, {"oi": 0.09, "px": -0.025}),
    ("ENAUSDT", "funding", 1080, 1200, {"to": 0.00005}),
    # --- still running at the close: what the default scan ranks --------
    ("AVAXUSDT", "build", 1370, 1440, {"oi": 0.17, "px": -0.055}),
    ("SOLUSDT", "cascade", 1395, 1412, {"px": -0.052, "oi": -0.085, "prints": 55, "size": 70000, "side": "sell"}),
    ("DOGEUSDT", "funding", 1290, 1439, {"to": -0.0012}),
    ("DOGEUSDT", "build", 1330, 1440, {"oi": 0.07, "px": -0.012}),
    ("ARBUSDT", "build", 1385, 1440, {"oi": -0.11, "px": 0.085}),
    ("ARBUSDT", "liqs", 1390, 1440, {"prints": 35, "size": 45000, "side": "buy"}),
    ("1000PEPEUSDT", "build", 1360, 1440, {"oi": 0.15, "px": 0.06, "funding": 0.0009}),
    ("LINKUSDT", "book", 1395, 1440, {"x": 5.5}),
    ("LINKUSDT", "build", 1380, 1440, {"oi": 0.05, "px": -0.02}),
    ("WIFUSDT", "book", 1400, 1440, {"x": 4.5, "side": "ask"}),
    ("WIFUSDT", "liqs", 1405, 1440, {"prints": 25, "size": 40000, "side": "sell"}),
    ("INJUSDT", "build", 1380, 1440, {"oi": 0.09, "px": -0.033}),
    ("OPUSDT", "build", 1385, 1440, {"oi": 0.045, "px": 0.004}),
]


def fixed(x, decimals):
    """x with at most `decimals` decimals, trailing zeros dropped."""
    text = f"{x:.{decimals}f}"
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return "0" if text in ("-0", "") else text


def sig(x, digits):
    """x rounded to about `digits` significant digits."""
    if x == 0:
        return "0"
    return fixed(x, max(0, digits - 1 - math.floor(math.log10(abs(x)))))


def ramp(minute, start, end):
    """Fraction of an episode done by `minute`: 0 before, 1 after, smooth between."""
    if minute <= start:
        return 0.0
    if minute >= end:
        return 1.0
    t = (minute - start) / (end - start)
    return t * t * (3 - 2 * t)


class SymbolDay:
    """One symbol's day, minute by minute."""

    def __init__(self, rng, name, price, oi_musd, tier, market):
        vol, liq_rate, liq_size, depth = TIERS[tier]
        self.name, self.tier = name, tier
        episodes = [e for e in EPISODES if e[0] == name]
        beta = 0.6 + 0.8 * rng.random()
        funding_base = FUNDING_BASE * (0.5 + 1.5 * rng.random())

        self.price, self.oi, self.funding = [], [], []
        log_px, log_oi, funding = math.log(price), math.log(oi_musd * 1e6 / price), funding_base
        oi_anchor = log_oi
        prev_shift_px = prev_shift_oi = 0.0
        funding_target = funding_base
        for m in range(MINUTES):
            log_px += beta * market[m] + vol * rng.gauss(0, 1)
            log_oi += OI_NOISE * rng.gauss(0, 1) + 0.02 * (oi_anchor - log_oi)
            # episodes shift the paths by their cumulative effect
            shift_px = shift_oi = 0.0
            for _, kind, start, end, opt in episodes:
                done = ramp(m, start, end)
                if kind in ("build", "cascade"):
                    shift_px += math.log1p(opt["px"]) * done
                    shift_oi += math.log1p(opt["oi"]) * done
                if kind == "funding" and start <= m:
                    funding_target = funding_base + (opt["to"] - funding_base) * done
                if kind == "build" and "funding" in opt and start <= m:
                    funding_target = funding_base + (opt["funding"] - funding_base) * done
            log_px += shift_px - prev_shift_px
            log_oi += shift_oi - prev_shift_oi
            oi_anchor += shift_oi - prev_shift_oi
            prev_shift_px, prev_shift_oi = shift_px, shift_oi
            funding += 0.15 * (funding_target - funding) + 0.000008 * rng.gauss(0, 1)
            self.price.append(math.exp(log_px))
            self.oi.append(math.exp(log_oi))
            self.funding.append(funding)

        # order book every BOOK_EVERY minutes, 30 s after the snapshot
        self.books = []
        for m in range(0, MINUTES, BOOK_EVERY):
            px = self.price[m]
            bid = depth / px * math.exp(0.35 * rng.gauss(0, 1))
            ask = depth / px * math.exp(0.35 * rng.gauss(0, 1))
            for _, kind, start, end, opt in episodes:
                if kind == "book" and start <= m < end:
                    if opt.get("side", "bid") == "bid":
                        bid *= opt["x"]
                    else:
                        ask *= opt["x"]
            tick = px * 0.0001
            self.books.append((m * 60_000 + 30_000, bid, ask, px - tick / 2, px + tick / 2))

        # liquidations: a Poisson stream, busier when the price moves, plus
        # the scripted prints of cascades and clusters
        self.liqs = []
        for m in range(1, MINUTES):
            move = math.log(self.price[m] / self.price[m - 1])
            rate = liq_rate * (1 + 400 * abs(move))
            count = poisson(rng, rate)
            for _ in range(count):
                side = "sell" if (move < 0) == (rng.random() < 0.75) else "buy"
                qty = liq_size * math.exp(0.9 * rng.gauss(0, 1))
                self.liqs.append(self.liq(rng, m, side, qty))
        for _, kind, start, end, opt in episodes:
            if kind in ("cascade", "liqs"):
                for _ in range(opt["prints"]):
                    m = start + min(int((end - start) * rng.random() ** 1.5), end - start - 1)
                    qty = opt["size"] * math.exp(0.6 * rng.gauss(0, 1))
                    self.liqs.append(self.liq(rng, m, opt["side"], qty))

    def liq(self, rng, minute, side, qty):
        ms = minute * 60_000 + int(rng.random() * 60_000)
        px = self.price[minute] * (1 + (0.001 if side == "buy" else -0.001) * rng.random())
        return (ms, side, qty, px)

    def lines(self):
        """(time, order, text) for every event of the symbol."""
        sym = f'{{"symbol":"{self.name}",'
        offset = 200 + 7 * (sum(map(ord, self.name)) % 97)  # collectors never line up exactly
        for m in range(MINUTES):
            ts = DAY_START_MS + m * 60_000 + offset
            yield ts, 0, (
                f'{sym}"kind":"derivatives","ts":{ts},"open_interest":{sig(self.oi[m], 7)},'
                f'"funding_rate":{fixed(self.funding[m], 6)},"mark_price":{sig(self.price[m], 5)}}}'
            )
        for ms, bid, ask, best_bid, best_ask in self.books:
            ts = DAY_START_MS + ms + offset
            yield ts, 1, (
                f'{sym}"kind":"orderbook","ts":{ts},"bid_volume":{sig(bid, 4)},"ask_volume":{sig(ask, 4)},'
                f'"best_bid":{sig(best_bid, 6)},"best_ask":{sig(best_ask, 6)}}}'
            )
        for ms, side, qty, px in self.liqs:
            ts = DAY_START_MS + ms
            yield ts, 2, (
                f'{sym}"kind":"liquidation","ts":{ts},"side":"{side}","qty":{fixed(qty, 0)},"price":{sig(px, 5)}}}'
            )


def poisson(rng, lam):
    """Knuth's method; lam stays small here."""
    limit, k, p = math.exp(-lam), 0, rng.random()
    while p > limit:
        k += 1
        p *= rng.random()
    return k


def generate():
    rng = random.Random(SEED)
    market = [MARKET_VOL * rng.gauss(0, 1) for _ in range(MINUTES)]
    # the whole market sags a little into the US open and recovers
    for m in range(780, 830):
        market[m] -= 0.0004
    events = []
    for index, (name, price, oi, tier) in enumerate(SYMBOLS):
        for ts, order, text in SymbolDay(rng, name, price, oi, tier, market).lines():
            events.append((ts, index, order, text))
    events.sort()
    return "".join(text + "\n" for *_, text in events).encode()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT)
    args = parser.parse_args()
    data = generate()
    args.out.parent.mkdir(parents=True, exist_ok=True)
    # no name and no time in the gzip header, so equal data gives equal bytes
    with open(args.out, "wb") as raw, gzip.GzipFile("", "wb", 9, raw, mtime=0) as out:
        out.write(data)
    events = data.count(b"\n")
    print(f"{args.out}: {events} events, {len(data)} bytes, {args.out.stat().st_size} gzipped")


if __name__ == "__main__":
    main()
