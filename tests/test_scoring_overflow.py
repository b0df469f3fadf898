"""Severities with weights so large that the weighted sums overflow."""
import json

import pytest

from zolvar_radar import Radar

BIG = 1e308
MAX = 1.7976931348623157e308


def events(bid, ask, funding):
    """book_imbalance(1) reads |bid - ask| / (bid + ask); funding_flip(1) reads |funding|."""
    return [["orderbook", 1, bid, ask, 1, 2], ["derivatives", 2, 1, funding, 1], ["derivatives", 3, 1, funding, 1]]


def scan(weights, symbols, threshold=0):
    spec = {"signals": [{"kind": "book_imbalance", "params": [1], "weight": weights[0]},
                        {"kind": "funding_flip", "params": [1], "weight": weights[1]}],
            "threshold": threshold}
    out = Radar(json.dumps(spec)).command(json.dumps({"cmd": "scan", "events": symbols}))
    return json.loads(out)


@pytest.mark.parametrize("weights,bid,ask,funding,severity", [
    # The sum of the weights overflows: the mean of the weights over the largest.
    ((BIG, BIG), 1, 0, 1.0, 1.0),
    ((BIG, BIG), 1, 0, 0.0, 0.5),
    ((BIG, BIG), 1, 1, 1.0, 0.5),
    ((BIG, BIG), 1, 0, 0.3, 0.65),
    ((1.5 * BIG, 0.5 * BIG), 1, 0, 0.0, 0.75),
    ((MAX, MAX), 3, 1, 0.25, 0.375),
    ((MAX, 0.0), 3, 1, 1.0, 0.5),
    # The largest finite sums: no overflow, the plain computation.
    ((MAX, 1.0), 1, 0, 1.0, 1.0),
    # Finite sums keep the plain computation's bits, even where the weights
    # over the largest would round the other way (0.04407561).
    ((1e300, 3e299), 491357606193, 448041781825, 0.03729391087833622, 0.04407562),
    ((1e307, 1e307), 1, 0, 0.0, 0.5),
    ((BIG, 7e307), 1, 0, 0.0, 0.58823529),
])
def test_severity(weights, bid, ask, funding, severity):
    result = scan(weights, {"S": events(bid, ask, funding)})
    assert [a["severity"] for a in result["alerts"]] == [severity]


def test_overflowing_symbols_rank_with_the_rest():
    result = scan((BIG, BIG), {
        "HALF": events(1, 0, 0.0),
        "NONE": events(1, 1, 0.0),
        "FULL": events(1, 0, 1.0),
    }, threshold=-5)
    assert [(a["symbol"], a["severity"]) for a in result["alerts"]] == [("FULL", 1.0), ("HALF", 0.5), ("NONE", 0.0)]
    assert result["alerts"][0]["factors"] == {"book_imbalance(1)": 1.0, "funding_flip(1)": 1.0, "severity": 1.0}
    assert result["scanned"] == 3
