#!/usr/bin/env python3
"""Writes tests/crossarch/corpus.txt: command texts whose responses must be
the same bytes on every build of the core (.ci/crossarch compares them).

Deterministic: a fixed seed, and only Python's own float arithmetic (which
rounds every operation on its own, as the core must). Run it again after
changing it and commit both files.

Lines: "# name", "spec TEXT" (a new radar), "cmd TEXT" (one command to it).
"""
import argparse
import json
import math
import random
from fractions import Fraction
from pathlib import Path

SEED = 20240515
OUT = Path(__file__).resolve().parent.parent / "tests" / "crossarch" / "corpus.txt"

# The two cases that told the builds apart, verbatim.
FMA_SPEC = ('{"signals":[{"kind":"book_imbalance","params":[1]},'
            '{"kind":"funding_flip","params":[1],"weight":0.1}],"threshold":0}')
FMA_CMD = ('{"cmd":"scan","events":{"FMA":[["orderbook",1,1167875805367,1031147450185,1,1],'
           '["derivatives",2,1,0.6104576418992196,1],["derivatives",3,1,0.6104576418992196,1]]}}')
LIQ_SPEC = '{"signals":[{"kind":"liq_cluster","params":[0.5,100]}],"threshold":-1}'
LIQ_CMD = '{"cmd":"scan","events":{"S":[["liquidation",1,"sell",5,1]]}}'


def c_round(x):
    """C's round(): halves away from zero."""
    a = abs(x)
    r = math.floor(a)
    if a - r >= 0.5:
        r += 1
    return math.copysign(r, x)


def grid(x):
    return c_round(x / 1e-8) * 1e-8


def plain_mean(strengths, weights):
    acc = 0.0
    wsum = 0.0
    for s, w in zip(strengths, weights):
        acc = acc + s * w
        wsum = wsum + w
    return acc / wsum


def fused_mean(strengths, weights):
    """The mean a compiler that contracts acc + s * w into one FMA computes."""
    acc = 0.0
    wsum = 0.0
    for s, w in zip(strengths, weights):
        acc = float(Fraction(s) * Fraction(w) + Fraction(acc))  # one rounding
        wsum = wsum + w
    return acc / wsum


def book_strength(bid, ask):
    """book_imbalance with scale 1 on whole-number volumes."""
    return abs((bid - ask) / max(bid + ask, 1e-12))


def num(x):
    """The shortest text that reads back as x."""
    return repr(float(x))


class Corpus:
    def __init__(self):
        self.lines = []

    def case(self, name):
        self.lines.append("# " + name)

    def spec(self, text):
        assert "\n" not in text
        self.lines.append("spec " + text)

    def cmd(self, text):
        assert "\n" not in text
        self.lines.append("cmd " + text)

    def text(self):
        return "\n".join(self.lines) + "\n"


def spec_text(signals, threshold=0, limit=None):
    parts = []
    for kind, params, weight in signals:
        p = ",".join(params if isinstance(params[0], str) else (num(v) for v in params))
        w = "" if weight is None else ',"weight":' + (weight if isinstance(weight, str) else num(weight))
        parts.append('{"kind":"%s","params":[%s]%s}' % (kind, p, w))
    limit_text = "" if limit is None else ',"limit":%d' % limit
    return '{"signals":[%s],"threshold":%s%s}' % (",".join(parts), threshold, limit_text)


def scan_text(symbols):
    """symbols: list of (name, [event texts])"""
    body = ",".join("%s:[%s]" % (json.dumps(name), ",".join(events)) for name, events in symbols)
    return '{"cmd":"scan","events":{%s}}' % body


# Near ties -----------------------------------------------------------------


def near_tie(rng, weights, fixed=()):
    """Volumes and a funding rate for book_imbalance(1) and funding_flip(1)
    (then the fixed strengths) whose plain weighted mean, divided by 1e-8,
    is exactly an integer and a half, and whose fused mean rounds to
    another grid value. None when this draw has none nearby."""
    bid = float(rng.randint(1, 10**12))
    ask = float(rng.randint(1, 10**12))
    s1 = book_strength(bid, ask)
    total = sum(weights)
    k = rng.randint(1, 10**8 - 1)
    target = (k + 0.5) * 1e-8
    rest = sum(s * w for s, w in zip(fixed, weights[2:]))
    guess = (target * total - s1 * weights[0] - rest) / weights[1]
    if not 0.0 < guess < 1.0:
        return None
    for step in range(400):
        for f in (guess + step * 2.0**-53 * 2.0**math.frexp(guess)[1], guess - step * 2.0**-53 * 2.0**math.frexp(guess)[1]):
            if not 0.0 < f <= 1.0:
                continue
            strengths = [s1, f, *fixed]
            x = plain_mean(strengths, weights)
            if x / 1e-8 != math.floor(x / 1e-8) + 0.5:
                continue
            if grid(fused_mean(strengths, weights)) == grid(x):
                continue
            return bid, ask, f
    return None


def tie_events(bid, ask, f, extra=()):
    fr = num(f)
    return ['["orderbook",1,%s,%s,1,1]' % (num(bid), num(ask)),
            '["derivatives",2,1,%s,1]' % fr, '["derivatives",3,1,%s,1]' % fr, *extra]


# The second weight times a strength must round: with an exact product
# (a weight of 1 or 0.25) the fused and the plain sum agree.
WEIGHT_PAIRS = [(1.0, 0.1), (1.0, 1.1), (2.0, 3.0), (0.7, 0.3), (5.0, 0.35), (0.001, 1.3), (1.0, 0.3),
                (3.0, 0.1), (0.1, 0.2), (1e-5, 7.0), (10.0, 0.9)]


def near_ties(corpus, rng):
    for w1, w2 in WEIGHT_PAIRS:
        corpus.case("near ties, weights %r and %r" % (w1, w2))
        corpus.spec(spec_text([("book_imbalance", [1], w1), ("funding_flip", [1], w2)]))
        symbols = []
        while len(symbols) < 12:
            found = near_tie(rng, [w1, w2])
            if found:
                symbols.append(("T%02d" % len(symbols), tie_events(*found)))
        corpus.cmd(scan_text(symbols))
        # The same ties fed one event at a time, then ranked by "alerts".
        for name, events in symbols[:4]:
            corpus.cmd('{"cmd":"feed_batch","symbol":%s,"events":[%s]}' % (json.dumps(name), ",".join(events)))
        corpus.cmd('{"cmd":"alerts"}')
    # Three signals: a liquidation of 1 against scale 4 adds a fixed 0.25.
    weights = [1.0, 0.1, 0.6]
    corpus.case("near ties, three signals")
    corpus.spec(spec_text([("book_imbalance", [1], weights[0]), ("funding_flip", [1], weights[1]),
                           ("liq_cluster", [1, 4], weights[2])]))
    symbols = []
    while len(symbols) < 12:
        found = near_tie(rng, weights, fixed=(0.25,))
        if found:
            symbols.append(("L%02d" % len(symbols), tie_events(*found, extra=['["liquidation",4,"buy",1,1]'])))
    corpus.cmd(scan_text(symbols))


# Signed zeros --------------------------------------------------------------


def d(ts, oi, fr, px):
    return '["derivatives",%d,%s,%s,%s]' % (ts, oi, fr, px)


def book(ts, bid, ask):
    return '["orderbook",%d,%s,%s,1,2]' % (ts, bid, ask)


def liq(ts, qty, side="sell"):
    return '["liquidation",%d,"%s",%s,1]' % (ts, side, qty)


SIGNED_ZERO = [
    # (signal, params, events): raw values of -0.0 (kept) and below zero (cleared to +0.0)
    ("oi_delta", ["1", "-1"], [d(1, "100", "0", "1"), d(2, "100", "0", "1")]),
    ("oi_delta", ["1", "-1"], [d(1, "100", "0", "1"), d(2, "110", "0", "1")]),
    ("oi_delta", ["1", "-0.0"], [d(1, "100", "0", "1"), d(2, "100", "0", "1")]),
    ("oi_delta", ["1", "1"], [d(1, "-0.0", "0", "1"), d(2, "-0.0", "0", "1")]),
    ("oi_delta", ["1", "-1e-300"], [d(1, "1", "0", "1"), d(2, "1", "0", "1")]),
    ("funding_flip", ["-1"], [d(1, "1", "0", "1"), d(2, "1", "-0.0", "1")]),
    ("funding_flip", ["-1"], [d(1, "1", "0.5", "1"), d(2, "1", "-0.25", "1")]),
    ("funding_flip", ["1"], [d(1, "1", "-0.0", "1"), d(2, "1", "-0", "1")]),
    ("funding_flip", ["-1e-320"], [d(1, "1", "0", "1"), d(2, "1", "0", "1")]),
    ("book_imbalance", ["-0.8"], [book(1, "0", "0")]),
    ("book_imbalance", ["-0.8"], [book(1, "3", "1")]),
    ("book_imbalance", ["-0.0"], [book(1, "5", "5")]),
    ("book_imbalance", ["1"], [book(1, "-0.0", "-0.0")]),
    ("liq_cluster", ["0.5", "100"], [liq(1, "5")]),
    ("liq_cluster", ["1", "100"], [liq(1, "-0.0")]),
    ("liq_cluster", ["1", "100"], [liq(1, "0")]),
    ("liq_cluster", ["2", "100"], [liq(1, "-0.0"), liq(2, "-0.0", "buy")]),
    ("liq_cluster", ["2", "-100"], [liq(1, "0"), liq(2, "0")]),
    ("liq_cluster", ["2", "100"], [liq(1, "-5"), liq(2, "-7")]),
    ("liq_cluster", ["-1", "100"], [liq(1, "5")]),
    ("oi_price_divergence", ["1", "0.1"], [d(1, "100", "0", "50"), d(2, "100", "0", "50")]),
    ("oi_price_divergence", ["1", "-0.1"], [d(1, "100", "0", "50"), d(2, "110", "0", "45")]),
    ("oi_price_divergence", ["1", "0.1"], [d(1, "-0.0", "0", "-0.0"), d(2, "-0.0", "0", "-0.0")]),
    ("oi_price_divergence", ["1", "-0.0"], [d(1, "100", "0", "50"), d(2, "110", "0", "45")]),
]


def signed_zeros(corpus):
    for kind, params, events in SIGNED_ZERO:
        corpus.case("signed zero: %s [%s]" % (kind, ",".join(params)))
        corpus.spec(spec_text([(kind, params, None)], threshold=-1))
        corpus.cmd(scan_text([("Z", events), ("EMPTY", [])]))
    corpus.case("signed zero: every indicator at once, weights -0.0 and 0")
    for weights in (["-0.0", "-0.0"], ["0", "-0.0"], ["-0.0", "1"]):
        corpus.spec(spec_text([("liq_cluster", ["0.5", "100"], weights[0]), ("book_imbalance", ["-1"], weights[1])],
                              threshold="-0.0"))
        corpus.cmd(scan_text([("Z", [liq(1, "5"), book(2, "0", "0")])]))


# Number spellings ----------------------------------------------------------

FIXED_NUMBERS = [
    "0", "-0", "0.0", "-0.0", "0e0", "-0e-0", "0E+5", "-0.000e-999", "1", "-1", "1.0", "1e0", "1E0", "1e+0",
    "1e-0", "1.5e3", "1.5E3", "1.5e+3", "1.5E-3", "15e-4", "0.0015", "1e22", "1e23", "9.999999999999999e22",
    "1e308", "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308", "1e309",
    "2.2250738585072014e-308", "2.2250738585072011e-308", "4.9e-324", "5e-324", "2.4703282292062327e-324",
    "2.4703282292062328e-324", "3e-324", "1e-400", "-1e-400", "9007199254740993", "9007199254740992.5",
    "18446744073709551615", "18446744073709551616", "-9223372036854775808", "-9223372036854775809",
    "123456789012345678901234567890", "0.1", "0.2", "0.3", "0.30000000000000004", "0.1000000000000000055511151231257827021181583404541015625",
    "1.00000000000000011102230246251565404236316680908203125",
    "1.000000000000000111022302462515654042363166809082031250000000001",
    "1.00000000000000011102230246251565404236316680908203124999999999",
    "7.2057594037927933e16", "3.14159265358979323846264338327950288419716939937510", "1e-8", "5e-9", "4.999999999e-9",
    "0.000012", "0.35", "0.57", "0.00000003", "12345678.123456789", "1." , ".5", "01", "-", "1e", "1e+", "+1",
    "0x10", "1_000", "NaN", "Infinity", "-Infinity", "1e99999999999999999999", "1e-99999999999999999999",
    "0." + "0" * 400 + "1", "1" + "0" * 400, "1" + "0" * 330 + "e-331", "0.00000000000000000000000000001e29",
]


def random_number(rng):
    digits = rng.randint(1, 25)
    mantissa = str(rng.randint(10 ** (digits - 1), 10**digits - 1))
    style = rng.randrange(4)
    sign = "-" if rng.random() < 0.3 else ""
    if style == 0:
        return sign + mantissa
    if style == 1:
        point = rng.randint(1, len(mantissa))
        frac = mantissa[point:] or "0"
        return sign + mantissa[:point] + "." + frac
    exp = rng.randint(-345, 310)
    e = rng.choice("eE") + rng.choice(["", "+"] if exp >= 0 else [""]) + str(exp)
    if style == 2:
        return sign + mantissa + e
    return sign + mantissa[0] + "." + (mantissa[1:] or "0") + e


def numbers(corpus, rng):
    corpus.case("number spellings, echoed by the error of a float where an integer belongs")
    corpus.spec(spec_text([("funding_flip", [1], None)]))
    spellings = FIXED_NUMBERS + [random_number(rng) for _ in range(2500)]
    for text in spellings:
        corpus.cmd('{"cmd":"feed","symbol":"N","event":["derivatives",%s,1,1,1]}' % text)
    corpus.case("number spellings as strengths: funding rates against scale 1e-300")
    corpus.spec(spec_text([("funding_flip", ["1e-300"], None), ("oi_delta", ["1", "1e-3"], "2.5e-1")], threshold=-1))
    for text in FIXED_NUMBERS:  # one scan each: a refused number fails only its own
        corpus.cmd(scan_text([("F", [d(1, text, "1e-301", "1"), d(2, "1", text, text)])]))
    corpus.case("number spellings in specifications: labels and refusals")
    for text in FIXED_NUMBERS[:40] + [random_number(rng) for _ in range(40)]:
        corpus.spec(spec_text([("oi_delta", ["2", text], text)], threshold=text))
        corpus.spec('{"signals":[{"kind":"liq_cluster","params":[%s,1]}],"threshold":0,"limit":%s}' % (text, text))


# Large scans, read from both ends -----------------------------------------


def large_scan(rng, spec_weights, n_symbols, escapes):
    symbols = []
    for i in range(n_symbols):
        name = "S%05d" % i
        if escapes and i % 97 == 0:
            name += rng.choice(["\u00e9", "\"q\"", "\\", "\u20ac", "\t"])
        if rng.random() < 0.2:
            found = near_tie(rng, list(spec_weights))
            if found:
                symbols.append((name, tie_events(*found)))
                continue
        events = []
        ts = rng.randint(0, 10**13)
        oi, px = rng.uniform(1e3, 1e9), rng.uniform(0.01, 7e4)
        for _ in range(rng.randint(1, 7)):
            ts += rng.randint(0, 5000)
            kind = rng.randrange(3)
            if kind == 0:
                oi *= rng.uniform(0.9, 1.1)
                px *= rng.uniform(0.95, 1.05)
                fr = rng.choice([num(rng.uniform(-1e-3, 1e-3)), random_number(rng) + "e-9", "-0.0", "0"])
                events.append(d(ts, num(oi), fr, num(px)))
            elif kind == 1:
                events.append(book(ts, random_number(rng).lstrip("-"), num(rng.uniform(0, 1e6))))
            else:
                events.append(liq(ts, num(rng.uniform(0, 5e5)), rng.choice(["buy", "sell"])))
        symbols.append((name, events))
    return scan_text(symbols)


def large_scans(corpus, rng):
    weights = (1.0, 0.1)
    signals = [("book_imbalance", [1], weights[0]), ("funding_flip", [1], weights[1]),
               ("oi_delta", [3, 0.05], 0.5), ("liq_cluster", [4, 1e6], 0.25), ("oi_price_divergence", [2, 0.1], 2)]
    for i, (n, escapes, limit) in enumerate([(5200, False, None), (5200, True, 300)]):
        corpus.case("large scan %d" % (i + 1))
        corpus.spec(spec_text(signals, threshold=0, limit=limit))
        text = large_scan(rng, weights, n, escapes)
        assert len(text) >= 1 << 20, len(text)
        corpus.cmd(text)


def other_commands(corpus):
    corpus.case("the other commands")
    corpus.spec(FMA_SPEC)
    corpus.cmd('{"cmd":"version"}')
    corpus.cmd('{"cmd":"feed","symbol":"FMA","event":{"kind":"orderbook","ts":1,"bid_volume":1167875805367,'
               '"ask_volume":1031147450185,"best_bid":1,"best_ask":1}}')
    corpus.cmd('{"cmd":"feed","symbol":"FMA","event":["derivatives",2,1,0.6104576418992196,1]}')
    corpus.cmd('{"cmd":"feed","symbol":"FMA","event":["derivatives",3,1,6104576418992196e-16,1]}')
    corpus.cmd('{"cmd":"alerts"}')
    corpus.cmd('{"cmd":"set_spec","spec":%s}' % LIQ_SPEC)
    corpus.cmd('{"cmd":"alerts"}')
    corpus.cmd('{"cmd":"reset"}')
    corpus.cmd('{"cmd":"alerts"}')
    corpus.cmd('{"cmd":"nope"}')
    corpus.cmd('{"cmd":"scan","events":{"A":[["derivatives",1,1,1,1]],"A":[]}}')


def build():
    rng = random.Random(SEED)
    corpus = Corpus()
    corpus.case("fused multiply-add near tie: severity 0.11202057 everywhere")
    corpus.spec(FMA_SPEC)
    corpus.cmd(FMA_CMD)
    corpus.case("liq_cluster [0.5,100] with one liquidation: -0.0 everywhere")
    corpus.spec(LIQ_SPEC)
    corpus.cmd(LIQ_CMD)
    near_ties(corpus, rng)
    signed_zeros(corpus)
    numbers(corpus, rng)
    other_commands(corpus)
    large_scans(corpus, rng)
    return corpus.text()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", type=Path, default=OUT)
    args = ap.parse_args()
    text = build()
    args.out.write_text(text, encoding="utf-8", newline="\n")
    print("%s: %d lines, %d bytes" % (args.out, text.count("\n"), len(text.encode())))


if __name__ == "__main__":
    main()
