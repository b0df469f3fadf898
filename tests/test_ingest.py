"""feed and feed_batch: what reaches each symbol's state, and what a failure leaves behind."""
import json

import pytest

from zolvar_radar import Radar

OK = '{"ok":true}'
ALL = {"signals": [{"kind": "oi_delta", "params": [2, 0.05]}, {"kind": "funding_flip", "params": [0.001]},
                   {"kind": "book_imbalance", "params": [0.5]}, {"kind": "liq_cluster", "params": [3, 10]},
                   {"kind": "oi_price_divergence", "params": [1, 0.2]}],
       "threshold": -1}


def radar(signals, threshold=-1):
    return Radar(json.dumps({"signals": signals, "threshold": threshold}))


def feed(r, symbol, event):
    return r.command(json.dumps({"cmd": "feed", "symbol": symbol, "event": event}))


def alerts(r):
    return json.loads(r.command('{"cmd":"alerts"}'))


def d(oi, ts=0, px=1.0):
    return ["derivatives", ts, oi, 0, px]


def book(bid, ask, ts=0):
    return ["orderbook", ts, bid, ask, 1, 2]


LIQ = {"kind": "liquidation", "ts": 1, "side": "buy", "qty": 1, "price": 2}


@pytest.mark.parametrize("cmd,error", [
    ({"cmd": "feed", "symbol": 5}, 'bad spec: missing string \\"symbol\\"'),
    ({"cmd": "feed", "symbol": "X"}, 'bad spec: missing \\"event\\"'),
    ({"cmd": "feed_batch", "symbol": "X", "event": LIQ}, 'bad spec: missing \\"events\\"'),
    ({"cmd": "feed", "symbol": "X", "event": {"kind": "orderbook", "ts": 1}}, "parse: missing field `bid_volume`"),
    ({"cmd": "feed_batch", "symbol": "X", "events": LIQ}, "parse: invalid type: map, expected a sequence"),
    ({"cmd": "feed_batch", "symbol": "X", "events": [LIQ, dict(LIQ, qty=None)]},
     "parse: invalid type: null, expected f64"),
])
def test_failed_feed_changes_nothing(cmd, error):
    r = Radar(json.dumps(ALL))
    assert feed(r, "X", book(3, 1)) == OK
    before = r.command('{"cmd":"alerts"}')
    assert r.command(json.dumps(cmd)) == '{"error":"%s","ok":false}' % error
    assert r.command('{"cmd":"alerts"}') == before


def test_symbols_are_exact_bytes_and_empty_batches_create_nothing():
    r = radar([{"kind": "book_imbalance", "params": [1]}])
    for symbol in ["btc", "BTC", "", "btc"]:
        assert feed(r, symbol, book(1, 1)) == OK
    assert r.command('{"cmd":"feed_batch","symbol":"Z","events":[]}') == OK
    out = alerts(r)
    assert [a["symbol"] for a in out["alerts"]] == ["", "BTC", "btc"]
    assert out["scanned"] == 3


def test_late_events_are_applied_in_arrival_order():
    r = radar([{"kind": "book_imbalance", "params": [1]}, {"kind": "oi_delta", "params": [1, 1]}])
    for event in [book(30, 10, 10), d(100, 5), book(10, 10, 3), d(150, 7)]:
        assert feed(r, "S", event) == OK
    (alert,) = alerts(r)["alerts"]
    assert alert["ts"] == 10
    assert alert["factors"] == {"book_imbalance(1)": 0.0, "oi_delta(1,1)": 0.5, "severity": 0.25}


@pytest.mark.parametrize("signals,events,factor,value", [
    # the longest look-back sets the window, so it can still see its past value
    ([{"kind": "oi_delta", "params": [2.9, 1]}], [d(100), d(1), d(150)], "oi_delta(2.9,1)", 0.5),
    ([{"kind": "oi_delta", "params": [1, 1]}, {"kind": "oi_price_divergence", "params": [4, 0.1]}],
     [d(100, px=50), d(1), d(1), d(1), d(110, px=45)], "oi_price_divergence(4,0.1)", 1.0),
    # a saturated look-back wraps the window round to 2 ...
    ([{"kind": "oi_delta", "params": [2 ** 64, 1]}, {"kind": "oi_price_divergence", "params": [1, 0.1]}],
     [d(1, px=1), d(100, px=50), d(110, px=45)], "oi_price_divergence(1,0.1)", 1.0),
    ([{"kind": "liq_cluster", "params": [1e30, 1]}, {"kind": "oi_price_divergence", "params": [1, 0.1]}],
     [d(100, px=50), d(110, px=45)], "oi_price_divergence(1,0.1)", 1.0),
    # ... while the largest count below it asks for a huge window that fills lazily
    ([{"kind": "oi_delta", "params": [18446744073709549568, 1]}, {"kind": "oi_delta", "params": [3, 1]}],
     [d(v) for v in [100, 9, 9, 150] * 50 + [100, 9, 9, 150]], "oi_delta(3,1)", 0.5),
])
def test_window_follows_the_longest_look_back(signals, events, factor, value):
    r = radar(signals)
    assert r.command(json.dumps({"cmd": "feed_batch", "symbol": "S", "events": events})) == OK
    assert alerts(r)["alerts"][0]["factors"][factor] == value


def test_window_comes_from_the_spec_in_use():
    r = radar([{"kind": "oi_delta", "params": [1, 1]}])
    assert r.command(json.dumps({"cmd": "set_spec", "spec": {
        "signals": [{"kind": "oi_delta", "params": [3, 1]}], "threshold": -1}})) == OK
    for oi in [100, 9, 9, 150]:
        feed(r, "S", d(oi))
    assert alerts(r)["alerts"][0]["factors"]["oi_delta(3,1)"] == 0.5
