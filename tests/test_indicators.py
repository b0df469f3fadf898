"""Each indicator's strength on a symbol's events, read back as its printed factor."""
import json
import re

import pytest

from zolvar_radar import Radar

FACTOR = re.compile(r'"factors":\{"[^"]*":([^,]+),"severity"')


def d(oi, fr=0.0, px=1.0):
    return ["derivatives", 0, oi, fr, px]


def book(bid, ask):
    return ["orderbook", 0, bid, ask, 1, 2]


def liq(qty):
    return ["liquidation", 0, "sell", qty, 1]


def factor_text(kind, params, events):
    spec = {"signals": [{"kind": kind, "params": params}], "threshold": -1}
    out = Radar(json.dumps(spec)).command(json.dumps({"cmd": "scan", "events": {"S": events}}))
    return FACTOR.search(out).group(1)


CASES = [
    # oi_delta: needs more than p0 values; absolute relative change over p1
    ("oi_delta", [3, 1], [d(100), d(7), d(7), d(150)], "0.5"),
    ("oi_delta", [3, 1], [d(7), d(7), d(150)], "0.0"),
    ("oi_delta", [1, 0.2], [d(100), d(110)], "0.5"),
    ("oi_delta", [1, 0.2], [d(100), d(90)], "0.5"),
    ("oi_delta", [0.5, 1], [d(100), d(110)], "0.0"),
    ("oi_delta", [-2, 1], [d(100), d(110)], "0.0"),
    ("oi_delta", [1, 1], [d(0), d(5)], "1.0"),
    ("oi_delta", [1, 0], [d(100), d(110)], "0.0"),
    ("oi_delta", [1, 0], [d(100), d(100)], "0.0"),
    ("oi_delta", [1, -1], [d(100), d(100)], "-0.0"),
    # the window keeps the 4 newest of 15: compares 15 with 12
    ("oi_delta", [3, 1], [d(v) for v in range(1, 16)], "0.25"),
    ("oi_delta", [2.9, 1], [d(100), d(1), d(150)], "0.5"),
    # funding_flip: doubled on a strict sign change of the last two
    ("funding_flip", [0.5], [d(1, 0.2), d(1, -0.1)], "0.4"),
    ("funding_flip", [0.5], [d(1, 0.0), d(1, 0.1)], "0.2"),
    ("funding_flip", [0.5], [d(1, 0.1)], "0.0"),
    ("funding_flip", [4e-200], [d(1, 1e-200), d(1, -1e-200)], "0.25"),
    ("funding_flip", [0.5], [d(1, -0.9), d(1, 0.5), d(1, -0.2)], "0.8"),
    # book_imbalance
    ("book_imbalance", [0.8], [book(300, 100)], "0.625"),
    ("book_imbalance", [0.8], [book(0, 0)], "0.0"),
    ("book_imbalance", [-0.8], [book(0, 0)], "-0.0"),
    ("book_imbalance", [0.8], [d(1)], "0.0"),
    ("book_imbalance", [0.5], [book(30, 10), book(10, 10)], "0.0"),
    # liq_cluster: signed sum of the newest count(p0), starting from -0.0
    ("liq_cluster", [2, 100], [liq(5), liq(10), liq(20)], "0.3"),
    ("liq_cluster", [10, 100], [liq(5), liq(10), liq(20)], "0.35000000000000003"),
    ("liq_cluster", [0.5, 100], [liq(5)], "-0.0"),
    ("liq_cluster", [2, 100], [d(1)], "0.0"),
    ("liq_cluster", [2, 1], [liq(0.9), liq(0.5), liq(-0.25)], "0.25"),
    # oi_price_divergence: open interest against price
    ("oi_price_divergence", [1, 0.1], [d(100, 0, 50), d(110, 0, 45)], "1.0"),
    ("oi_price_divergence", [1, 0.1], [d(100, 0, 50), d(110, 0, 55)], "0.0"),
    ("oi_price_divergence", [1, 0.1], [d(100, 0, 50), d(100, 0, 40)], "0.0"),
    ("oi_price_divergence", [1, 0], [d(100, 0, 50), d(110, 0, 45)], "0.0"),
    ("oi_price_divergence", [2, 0.1], [d(100, 0, 50), d(110, 0, 45)], "0.0"),
    # the clamp keeps a -0.0 raw value and clears a negative one to +0.0
    ("oi_delta", [1, -1], [d(100), d(110)], "0.0"),
    ("funding_flip", [-1], [d(1, 0.0), d(1, -0.0)], "-0.0"),
    ("funding_flip", [-1], [d(1, 0.5), d(1, -0.25)], "0.0"),
    ("book_imbalance", [-0.8], [book(300, 100)], "0.0"),
    ("liq_cluster", [2, 100], [liq(-0.0), liq(-0.0)], "-0.0"),
    ("liq_cluster", [2, 100], [liq(-0.0), liq(0.0)], "0.0"),
    ("liq_cluster", [2, -100], [liq(0.0), liq(0.0)], "-0.0"),
    ("liq_cluster", [2, 100], [liq(-5), liq(-7)], "0.0"),
    ("oi_price_divergence", [1, -0.1], [d(100, 0, 50), d(100, 0, 50)], "0.0"),
    # a denominator below 1e-12 counts as 1e-12; one above it as itself
    ("oi_delta", [1, 1], [d(0), d(1e-13)], "0.1"),
    ("oi_delta", [1, 1], [d(1e-10), d(1.5e-10)], "0.5"),
    ("book_imbalance", [1], [book(1e-13, 0)], "0.1"),
]


@pytest.mark.parametrize("kind,params,events,expected", CASES)
def test_strength(kind, params, events, expected):
    assert factor_text(kind, params, events) == expected
