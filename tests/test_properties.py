"""Random command sequences: a failed command never changes what the radar holds."""
import json

from hypothesis import given, settings, strategies as st

from zolvar_radar import Radar

SPEC = {"signals": [{"kind": "oi_delta", "params": [2, 0.05], "weight": 2},
                    {"kind": "funding_flip", "params": [0.0005]},
                    {"kind": "book_imbalance", "params": [0.6]},
                    {"kind": "liq_cluster", "params": [3, 100]},
                    {"kind": "oi_price_divergence", "params": [2, 0.02]}],
        "threshold": 0.0, "limit": 6}

numbers = st.one_of(st.integers(-10**6, 10**6), st.floats(-1e6, 1e6, allow_nan=False))
ts = st.integers(-2**63, 2**63 - 1)
good_events = st.one_of(
    st.tuples(st.just("derivatives"), ts, numbers, numbers, numbers).map(list),
    st.tuples(st.just("orderbook"), ts, numbers, numbers, numbers, numbers).map(list),
    st.tuples(st.just("liquidation"), ts, st.sampled_from(["buy", "sell"]), numbers, numbers).map(list),
    st.builds(lambda t, q: {"kind": "liquidation", "ts": t, "side": {"sell": None}, "qty": q, "price": 1,
                            "venue": "x"}, ts, numbers),
)
bad_events = st.one_of(
    st.just({"kind": "orderbook", "ts": 1}),
    st.just(["derivatives", 1.5, 1, 2, 3]),
    st.just(["liquidation", 1, "SELL", 1, 2]),
    st.just({"kind": "trade", "ts": 1}),
    st.just([]),
    st.just(None),
    st.builds(lambda t: ["derivatives", t, 1, 2, 3, 4], ts),
)
symbols = st.sampled_from(["BTC", "ETH", "btc", "", "é", "a\"b"])


@st.composite
def commands(draw):
    """A command text and whether it can succeed."""
    kind = draw(st.sampled_from(["feed", "feed_batch", "bad_feed", "bad_batch", "scan", "bad_scan",
                                 "text", "set_spec", "bad_spec", "reset", "alerts"]))
    sym = draw(symbols)
    if kind == "feed":
        return json.dumps({"cmd": "feed", "symbol": sym, "event": draw(good_events)})
    if kind == "feed_batch":
        return json.dumps({"cmd": "feed_batch", "symbol": sym, "events": draw(st.lists(good_events, max_size=5))})
    if kind == "bad_feed":
        return json.dumps({"cmd": "feed", "symbol": sym, "event": draw(bad_events)})
    if kind == "bad_batch":
        events = draw(st.lists(good_events, max_size=4))
        events.insert(draw(st.integers(0, len(events))), draw(bad_events))
        return json.dumps({"cmd": "feed_batch", "symbol": sym, "events": events})
    if kind == "scan":
        return json.dumps({"cmd": "scan", "events": {sym: draw(st.lists(good_events, max_size=4))}})
    if kind == "bad_scan":
        return json.dumps({"cmd": "scan", "events": {sym: [draw(bad_events)]}})
    if kind == "text":
        whole = json.dumps({"cmd": "feed", "symbol": sym, "event": draw(good_events)})
        return whole[: draw(st.integers(0, len(whole) - 1))]
    if kind == "set_spec":
        return json.dumps({"cmd": "set_spec", "spec": SPEC})
    if kind == "bad_spec":
        return json.dumps({"cmd": "set_spec", "spec": draw(st.sampled_from(
            [None, {"signals": []}, {"signals": [{"kind": "oi_delta"}]}, [[], []], "x"]))})
    return json.dumps({"cmd": kind})


@settings(max_examples=150, deadline=None)
@given(st.lists(commands(), max_size=25))
def test_failed_commands_change_nothing(sequence):
    r = Radar(json.dumps(SPEC))
    for text in sequence:
        before = r.command('{"cmd":"alerts"}')
        response = r.command(text)
        assert response.startswith("{")
        json.loads(response)
        if '"ok":false' in response or response.startswith('{"alerts"'):
            assert r.command('{"cmd":"alerts"}') == before, (text, response)
