"""Market data with a known answer, for judging `evaluate`.

    python tests/planted.py OUT.jsonl [--symbols 40 --hours 24 --delay 30 --seed 7 --placebo]

Every symbol has a derivatives snapshot a minute: open interest and mark
price wander by small random steps. In `planted` of them, at a few random
minutes, open interest jumps by `surge` (an alert for `SPEC`) and `delay`
minutes later the price jumps by `jump`, up or down at random. A horizon
shorter than the delay sees only noise after those alerts; a longer one sees
the jump. `placebo=True` gives every symbol another symbol's price path (a
random derangement), so the surges say nothing about the price that follows.
"""

from __future__ import annotations

import json
import math
import sys
from random import Random

MINUTE = 60_000
BASE_TS = 1_715_731_200_000  # 2024-05-15 00:00 UTC

# alerts on open interest rising 5 % or more in one snapshot; noise never gets near
SPEC = {"signals": [{"kind": "oi_delta", "params": [1, 0.1]}], "threshold": 0.5}


def derangement(n: int, r: Random) -> list[int]:
    while True:
        order = list(range(n))
        r.shuffle(order)
        if all(i != j for i, j in enumerate(order)):
            return order


def generate(symbols: int = 40, hours: int = 24, *, planted: int = 20, episodes: int = 4, delay: int = 30,
             surge: float = 0.12, jump: float = 0.03, vol: float = 0.002, seed: int = 7,
             placebo: bool = False) -> list[tuple[str, dict]]:
    """(symbol, event) pairs in time order."""
    r = Random(seed)
    minutes = hours * 60
    names = [f"S{k:03d}USDT" for k in range(symbols)]
    prices, interest = [], []
    for k in range(symbols):
        starts = set()
        if k < planted:
            while len(starts) < episodes:
                starts.add(r.randrange(5, minutes - delay - 5))
        oi, px = 1e6 * (1 + r.random()), 10.0 * (1 + 9 * r.random())
        ois, pxs = [], []
        jumps = {s + delay: (1 if r.random() < 0.5 else -1) for s in starts}
        for m in range(minutes):
            oi *= 1 + 0.002 * (r.random() - 0.5) + (surge if m in starts else 0.0)
            px *= math.exp(vol * r.gauss(0, 1)) * (1 + jump * jumps.get(m, 0))
            ois.append(oi)
            pxs.append(px)
        interest.append(ois)
        prices.append(pxs)
    if placebo:
        order = derangement(symbols, r)
        prices = [prices[j] for j in order]
    pairs = []
    for m in range(minutes):
        for k, name in enumerate(names):
            pairs.append((name, {"kind": "derivatives", "ts": BASE_TS + m * MINUTE, "open_interest": interest[k][m],
                                 "funding_rate": 0.0001, "mark_price": prices[k][m]}))
    return pairs


def write(path: str, pairs) -> str:
    with open(path, "w") as f:
        for symbol, event in pairs:
            f.write(json.dumps({"symbol": symbol, **event}) + "\n")
    return path


if __name__ == "__main__":
    import argparse

    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("out")
    p.add_argument("--symbols", type=int, default=40)
    p.add_argument("--hours", type=int, default=24)
    p.add_argument("--delay", type=int, default=30, help="minutes from the surge to the jump")
    p.add_argument("--seed", type=int, default=7)
    p.add_argument("--placebo", action="store_true")
    a = p.parse_args()
    write(a.out, generate(a.symbols, a.hours, delay=a.delay, seed=a.seed, placebo=a.placebo))
    print(json.dumps(SPEC), file=sys.stderr)
