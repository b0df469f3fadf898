"""The native live feed: (symbol, event) pairs as Python objects, each taken as the "feed" command
of it would be (fed, or refused in the same words), thinned by bars as the Python `Bars` thins them."""

import decimal
import json
import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from zolvar_radar import Radar
from zolvar_radar._engine import engine, save_state
from zolvar_radar.bars import Bars

from test_bars_native import event_of

SPEC = json.dumps({"signals": [{"kind": "oi_delta", "params": [2, 0.1]}, {"kind": "book_imbalance", "params": [0.5]},
                               {"kind": "liq_cluster", "params": [3, 100]}], "threshold": 0.1})
_encode = json.JSONEncoder(allow_nan=False, separators=(",", ":"), ensure_ascii=False).encode


def command_feed(radar, symbol, event):
    """What the "feed" command says of the pair: None when taken, else its error (or "not JSON")."""
    try:
        text = _encode({"cmd": "feed", "symbol": symbol, "event": event})
        answer = radar.command(text)
    except (TypeError, ValueError):
        return "not JSON"
    return None if answer == '{"ok":true}' else json.loads(answer)["error"]


BAD = [{"kind": "derivatives", "ts": 5, "open_interest": "1"}, {"kind": "orderbook", "ts": 5.0}, {"kind": "x"},
       {"ts": 1}, ["liquidation", 3, "buy", 1, 2], {"kind": "liquidation", "ts": 2**64, "side": "buy"}]
pairs_strategy = st.lists(st.one_of(
    st.tuples(st.sampled_from(["BTC", "ETH", "é"]),
              st.builds(event_of, st.sampled_from(["derivatives", "orderbook", "liquidation"]),
                        st.integers(-40, 40), st.integers(1, 9).map(float), st.integers(1, 9).map(float))),
    st.tuples(st.just("BTC"), st.sampled_from(BAD))), max_size=40)


@settings(max_examples=40, deadline=None)
@given(pairs=pairs_strategy, width=st.sampled_from([0, 1, 10]), cuts=st.lists(st.integers(0, 40), max_size=3),
       clocks=st.lists(st.integers(-50, 50), min_size=3, max_size=3))
def test_the_native_feed_is_the_python_bars_and_feed_commands(pairs, width, cuts, clocks):
    native, python = Radar(SPEC), Radar(SPEC)
    live = engine.LiveFeed(native, width)
    bars = Bars(width) if width else None
    bounds = sorted({0, len(pairs), *(min(c, len(pairs)) for c in cuts)})
    for (a, b), clock in zip(zip(bounds, bounds[1:]), clocks):
        chunk = pairs[a:b]
        fed, refused = live.feed(chunk)
        ready = bars.push(chunk) + bars.close(clock) if bars else chunk
        said = [(symbol, event, command_feed(python, symbol, event)) for symbol, event in ready]
        fed += live.close_until(clock)
        assert fed == sum(1 for *_, error in said if error is None)
        assert [(chunk[i], message) for i, message in refused] == [((s, e), error) for s, e, error in said if error]
    assert save_state(native) == save_state(python)
    assert native.command('{"cmd":"alerts"}') == python.command('{"cmd":"alerts"}')
    held = bars.flush() if bars else []
    assert live.held() == held
    again = engine.LiveFeed(Radar(SPEC), width)
    again.feed(held)  # a saved watch's bars, put back
    assert again.held() == held


@pytest.mark.parametrize("symbol, event", [
    ("S", {"kind": "liquidation", "ts": 1, "side": "buy", "qty": math.nan, "price": 1}),
    ("S", {"kind": "liquidation", "ts": 1, "side": "buy", "qty": decimal.Decimal(1), "price": 1}),
    ("S", {"kind": "liquidation", "ts": 1.0, "side": "buy", "qty": 1, "price": 1}),
    ("S", {"kind": "liquidation", "ts": 10**30, "side": "buy", "qty": 1, "price": 1}),
    ("S", {"kind": "liquidation", "ts": 1, "side": True, "qty": 1, "price": 1}),
    ("S", {"kind": "liquidation", "ts": 1, "side": "buy", "qty": 1, "price": 1, 7: None, (1,): 2}),
    ("S", {"kind": "liquidation", "ts": 1, "side": "buy", "qty": 1, "price": 1, "deep": [[[[[]]]]] * 2}),
    ("S", {"kind": "orderbook", "ts": 1, "bid_volume": 1, "ask_volume": 1, "best_bid": 1, "best_ask": 1,
           "deep": json.loads("[" * 130 + "]" * 130)}),
    ('S"\n\x01é', {"floats": [1e16, 1e-5, 123456789012345680.0, 0.1, -0.0, 5e-324, 1e300],
                     "deep": json.loads("[" * 130 + "]" * 130)}),  # an error's position: the text as json writes it
    ("S", ("liquidation", 1, "sell", 2, 3)),
    ("S", "liquidation"),
    (5, {"kind": "liquidation", "ts": 1, "side": "buy", "qty": 1, "price": 1}),
    (None, {}),
    ("S\ud800", {"kind": "liquidation", "ts": 1, "side": "buy", "qty": 1, "price": 1}),
])
@pytest.mark.parametrize("prefix", [None, "bybit:"])
def test_odd_values_are_taken_or_refused_as_the_feed_command_takes_them(symbol, event, prefix):
    native, python = Radar(SPEC), Radar(SPEC)
    fed, refused = engine.LiveFeed(native).feed([(symbol, event)], prefix)
    expected = command_feed(python, symbol if prefix is None else f"{prefix}{symbol}", event)
    assert (fed, refused) == ((1, []) if expected is None else (0, [(0, expected)]))
    assert save_state(native) == save_state(python)


def test_misuse_feeds_nothing():
    from concurrent.futures import ThreadPoolExecutor

    radar = Radar(SPEC)
    live = engine.LiveFeed(radar, 10)
    pairs = [("S", event_of("liquidation", 1)), ("S", event_of("orderbook", 2))]
    with pytest.raises(TypeError, match=r"pairs\[2\] is not a \(symbol, event\) pair"):
        live.feed(pairs + ["S"])
    with ThreadPoolExecutor(1) as pool:  # the radar's thread only, as for its commands
        for call in (lambda: live.feed(pairs), live.held, lambda: live.close_until(100)):
            with pytest.raises(RuntimeError):
                pool.submit(call).result()
    assert live.status() == (0, 0) and save_state(radar) == save_state(Radar(SPEC))
