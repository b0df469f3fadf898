"""Bars: one snapshot of each kind per symbol and interval, for live pairs and through the adapters."""

import json
from collections import defaultdict

import pytest
from hypothesis import given, settings, strategies as st
from zolvar_radar import Radar
from zolvar_radar.adapters.ccxt import CcxtAdapter
from zolvar_radar.adapters.cryptofeed import CryptofeedAdapter
from zolvar_radar.bars import Bars, bar_width


def d(ts, tag, symbol="A"):
    return symbol, {"kind": "derivatives", "ts": ts, "open_interest": 100, "funding_rate": 0.0, "mark_price": 1.5,
                    "tag": tag}


def b(ts, tag, symbol="A"):
    return symbol, {"kind": "orderbook", "ts": ts, "bid_volume": 1, "ask_volume": 2.0, "best_bid": 1, "best_ask": 2,
                    "tag": tag}


def liq(ts, tag, symbol="A"):
    return symbol, {"kind": "liquidation", "ts": ts, "side": "sell", "qty": 1.0, "price": 1.0, "tag": tag}


def bad(tag, **changes):
    symbol, event = d(0, tag)
    return symbol, {key: value for key, value in {**event, **changes}.items() if value is not ...}


BAD = [bad("trade", kind="trade"), bad("str ts", ts="5"), bad("float ts", ts=5.0), bad("bool ts", ts=True),
       bad("huge ts", ts=2**63), bad("no oi", open_interest=...), bad("nan", mark_price=float("nan")),
       bad("bool oi", open_interest=False), (5, d(0, "int symbol")[1]), ("A", ["derivatives", 0, 1, 2, 3])]


def tags(pairs):
    return [event["tag"] if isinstance(event, dict) and "tag" in event else pair for pair in pairs
            for event in [pair[1]]]


# width, steps ("push", pairs) | ("close", now) | ("flush",), what each step returns (by tag), dropped
CASES = {
    "same interval replaced": (10, [("push", [d(0, "a"), d(9, "b")]), ("flush",)], [[], ["b"]], 1),
    "next interval releases": (10, [("push", [d(0, "a"), d(9, "b"), d(10, "c")]), ("flush",)], [["b"], ["c"]], 1),
    "liquidations at once, in place": (10, [("push", [d(0, "a"), liq(1, "L1"), d(12, "b"), liq(0, "L2")])],
                                       [["L1", "a", "L2"]], 0),
    "negative ts floors": (10, [("push", [d(-10, "a"), d(-1, "b"), d(0, "c"), d(-11, "e")])], [["b", "c"]], 1),
    "close one before the end": (10, [("push", [d(-5, "a"), d(5, "b", "B")]), ("close", -1), ("close", 9)],
                                 [[], [], ["a"]], 0),
    "close at the end": (10, [("push", [d(5, "a")]), ("close", 10), ("flush",)], [[], ["a"], []], 0),
    "closed interval reopens": (10, [("push", [d(5, "a")]), ("close", 30), ("push", [d(7, "b"), d(8, "c")]),
                                     ("flush",)], [[], ["a"], [], ["c"]], 1),
    "earlier interval releases too": (10, [("push", [d(15, "a"), d(5, "b")]), ("flush",)], [["a"], ["b"]], 0),
    "flush in the order read": (10, [("push", [d(3, "a"), b(1, "x", "B"), d(2, "y", "B"), d(4, "c")]), ("flush",)],
                                [[], ["x", "y", "c"]], 1),
    "close in the order read": (10, [("push", [d(13, "a"), b(1, "x", "B"), d(2, "y", "B")]), ("close", 20)],
                                [[], ["a", "x", "y"]], 0),
    "kinds and symbols apart": (60_000, [("push", [d(0, "a"), b(1, "x"), d(2, "c", "B"), b(3, "y"), d(4, "e")]),
                                         ("flush",)], [[], ["c", "y", "e"]], 2),
    "what is not thinned passes at once": (10, [("push", [d(0, "a"), *BAD, d(1, "c")]), ("flush",)],
                                [tags(BAD), ["c"]], 1),
    "duration width": ("1s", [("push", [d(999, "a"), d(1000, "b"), d(1999, "c")]), ("flush",)], [["a"], ["c"]], 1),
}


@pytest.mark.parametrize("width, steps, expected, dropped", CASES.values(), ids=CASES)
def test_bars(width, steps, expected, dropped):
    bars = Bars(width)
    got = [tags(getattr(bars, step[0])(*step[1:])) for step in steps]
    assert (got, bars.dropped) == (expected, dropped)


def test_a_failing_iterable_changes_nothing():
    bars = Bars(10)
    bars.push([d(0, "a")])

    def broken():
        yield d(12, "b")
        raise OSError("stream cut")

    with pytest.raises(OSError):
        bars.push(broken())
    assert (bars.held, tags(bars.flush())) == (1, ["a"])
    with pytest.raises(TypeError, match="not 1.5"):
        bars.close(1.5)


@pytest.mark.parametrize("value, width", [
    (1, 1), (60000, 60000), ("60000", 60000), ("500ms", 500), (" 15 s ", 15_000), ("1m", 60_000), ("4h", 14_400_000),
    ("1d", 86_400_000), (2**63 - 1, 2**63 - 1),
])
def test_bar_width_accepts(value, width):
    assert bar_width(value) == width


@pytest.mark.parametrize("value", [0, -1, "0s", "-1m", True, 1.5, "1.5m", "1w", "m", "", None, 2**63, "9999999999999d"])
def test_bar_width_refuses(value):
    with pytest.raises(ValueError, match="bar width"):
        bar_width(value)


# --- against a plain reference: the last of each run of one interval, per symbol and kind --------------------


def reference(pairs, width):
    kept, last = [], {}
    for symbol, event in pairs:
        if event["kind"] == "liquidation":
            kept.append((symbol, event))
            continue
        key = symbol, event["kind"]
        if key in last and last[key][0] == event["ts"] // width:
            kept[last[key][1]] = None
        last[key] = event["ts"] // width, len(kept)
        kept.append((symbol, event))
    return [pair for pair in kept if pair is not None]


def by_key(pairs):
    """Each symbol's events of each kind, in order: what the radar's state depends on."""
    keyed = defaultdict(list)
    for symbol, event in pairs:
        keyed[symbol, event["kind"]].append(event)
    return dict(keyed)


SPEC = json.dumps({"signals": [{"kind": "oi_delta", "params": [2, 0.1]}, {"kind": "funding_flip", "params": [0.001]},
                               {"kind": "oi_price_divergence", "params": [2, 0.05]},
                               {"kind": "liq_cluster", "params": [3, 5]}, {"kind": "book_imbalance", "params": [0.2]}],
                   "threshold": 0, "limit": 100})


def alerts(pairs):
    radar = Radar(SPEC)
    for symbol, events in by_symbol(pairs).items():
        assert radar.command(json.dumps({"cmd": "feed_batch", "symbol": symbol, "events": events})) == '{"ok":true}'
    return radar.command('{"cmd":"alerts"}')


def by_symbol(pairs):
    events = defaultdict(list)
    for symbol, event in pairs:
        events[symbol].append(event)
    return events


numbers = st.integers(-5, 5).map(lambda n: n / 4)


@st.composite
def streams(draw):
    """Events of non-decreasing ts, and after which of them a checkpoint closes bars at the largest ts read."""
    ts, pairs = draw(st.integers(-50, 50)), []
    for _ in range(draw(st.integers(0, 40))):
        ts += draw(st.integers(0, 7))
        symbol, kind = draw(st.sampled_from("AB")), draw(st.sampled_from(["derivatives", "orderbook", "liquidation"]))
        values = {"derivatives": {"open_interest": 100 + draw(numbers), "funding_rate": draw(numbers) / 1000,
                                  "mark_price": 10 + draw(numbers)},
                  "orderbook": {"bid_volume": 1 + draw(numbers), "ask_volume": 1 + draw(numbers), "best_bid": 1,
                                "best_ask": 2},
                  "liquidation": {"side": "buy", "qty": 1 + draw(numbers), "price": 10}}[kind]
        pairs.append((symbol, {"kind": kind, "ts": ts, **values}))
    return pairs, draw(st.sets(st.integers(0, 40)))


@settings(max_examples=300, deadline=None)
@given(streams(), st.sampled_from([1, 3, 10]))
def test_bars_keep_what_the_reference_keeps_and_alert_alike(stream, width):
    pairs, checkpoints = stream
    bars, fed = Bars(width), []
    for index, pair in enumerate(pairs):
        fed += bars.push([pair])
        if index in checkpoints:
            fed += bars.close(pair[1]["ts"])
    fed += bars.flush()
    expected = reference(pairs, width)
    assert by_key(fed) == by_key(expected)
    assert bars.dropped == len(pairs) - len(expected)
    assert alerts(fed) == alerts(expected)


# --- through the adapters ----------------------------------------------------------------------------------


def test_ccxt_rounds_thinned_like_the_reference():
    from test_adapters import CLOCK, replay_rounds

    for width in ["1m", "2m", "3m", "1h"]:
        adapter = CcxtAdapter(clock=lambda: CLOCK, bar=width)
        pairs = replay_rounds(adapter) + adapter.flush_bars()
        assert by_key(pairs) == by_key(reference(replay_rounds(CcxtAdapter(clock=lambda: CLOCK)), bar_width(width)))
    assert CcxtAdapter().close_bars(0) == CcxtAdapter().flush_bars() == []


def ccxt_oi(ts, amount, symbol="X"):
    return {"symbol": symbol, "timestamp": ts, "openInterestAmount": amount}


def test_ccxt_bars_close_on_the_clock_and_liquidations_pass():
    now = [0]
    adapter = CcxtAdapter(clock=lambda: now[0], bar="1m")
    rates = adapter.funding_rates({s: {"symbol": s, "fundingRate": 0.0001, "markPrice": 10.0} for s in "XY"})
    opened = adapter.open_interest(ccxt_oi(60_000, 1)) + adapter.open_interest(ccxt_oi(61_000, 2, "Y"))
    replaced = adapter.open_interest(ccxt_oi(119_999, 3))
    liquidated = adapter.liquidations([{"symbol": "Y", "timestamp": 62_000, "side": "sell", "price": 10,
                                        "contracts": 1}])
    now[0] = 119_999
    early = adapter.close_bars()
    now[0] = 120_000
    assert (rates, opened, replaced, early) == ([], [], [], [])
    assert [event["kind"] for _, event in liquidated] == ["liquidation"]
    assert [(s, e["open_interest"]) for s, e in adapter.close_bars()] == [("Y", 2), ("X", 3)]
    assert (adapter.bars.dropped, adapter.bars.held, adapter.flush_bars()) == (1, 0, [])


def test_cryptofeed_stream_through_bars():
    from decimal import Decimal as D

    types = pytest.importorskip("cryptofeed.types")
    symbol = "BTC-USDT-PERP"
    adapter = CryptofeedAdapter(bar="1m", clock=lambda: 240_000)

    def book(bid):
        return types.OrderBook("BYBIT", symbol, bids={D(bid): D(1)}, asks={D(bid + 1): D(1)})

    assert adapter.funding(types.Funding("BYBIT", symbol, D(10), D("0.0001"), None, 1.0, raw={})) == []
    steps = [adapter.open_interest(types.OpenInterest("BYBIT", symbol, D(oi), ts, raw={}))
             for oi, ts in [(1, 60.0), (2, 119.0), (3, 120.0)]]
    steps += [adapter.book(book(bid), ts) for bid, ts in [(100, 60.5), (101, 61.0)]]
    steps.append(adapter.liquidation(types.Liquidation("BYBIT", symbol, "sell", D(1), D(100), None, None, 62.0,
                                                       raw={})))
    opens = [[e.get("open_interest", e["kind"]) for _, e in pairs] for pairs in steps]
    assert opens == [[], [], [2.0], [], [], ["liquidation"]]
    assert [e.get("best_bid", e.get("open_interest")) for _, e in adapter.close_bars()] == [3.0, 101.0]
    assert adapter.close_bars(10**15) == adapter.flush_bars() == []
