"""The typed layer answers exactly what the raw commands answer, and refuses with RadarError."""

import json
import math
import pickle

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from zolvar_radar import (
    Derivatives,
    Liquidation,
    Orderbook,
    Radar,
    RadarError,
    RadarSpec,
    Signal,
    TypedRadar,
)

SPEC = (RadarSpec(threshold=0.2).oi_delta(2, 0.05).funding_flip(0.0005).book_imbalance(0.6)
        .liq_cluster(3, 100.0, weight=1.5).oi_price_divergence(2, 0.02, weight=2))

# mostly market-like magnitudes, so strengths land inside (0, 1) where a wrong value shows
numbers = st.floats(1, 200) | st.floats(allow_nan=False, allow_infinity=False) | st.integers(-9, 9).map(float)
stamps = st.integers(-(2**63), 2**63 - 1)
events = st.one_of(
    st.builds(Derivatives, stamps, numbers, numbers, numbers),
    st.builds(Orderbook, stamps, numbers, numbers, numbers, numbers),
    st.builds(Liquidation, stamps, st.sampled_from(["buy", "sell"]), numbers, numbers),
)
# few symbols, so their series fill up; a few that need escaping
symbols = st.sampled_from(["BTC", "ETH", "BTC", "ETH", "", 'a"b', "é\n\\"]) | st.text(max_size=3)
operations = st.lists(st.one_of(
    st.tuples(st.just("feed"), symbols, events),
    st.tuples(st.just("feed_batch"), symbols, st.lists(events, max_size=6)),
    st.tuples(st.just("scan"), st.dictionaries(symbols, st.lists(events, max_size=6), max_size=3)),
    st.tuples(st.just("alerts")),
    st.tuples(st.just("reset")),
), max_size=30)


def as_tuples(result):
    return [(a.symbol, a.severity, a.factors, a.ts) for a in result.alerts], result.scanned


def raw_tuples(answer):
    value = json.loads(answer)
    return [(a["symbol"], a["severity"], a["factors"], a["ts"]) for a in value["alerts"]], value["scanned"]


@settings(max_examples=60, deadline=None)
@given(operations, st.floats(0, 0.6), st.none() | st.integers(1, 4))
def test_same_answers_as_raw_commands(ops, threshold, limit):
    spec = SPEC.with_threshold(threshold).with_limit(limit)
    typed, raw = TypedRadar(spec), Radar(json.dumps(spec.to_dict()))
    for op, *args in ops:
        if op == "feed":
            symbol, event = args
            typed.feed(symbol, event)
            raw.command(json.dumps({"cmd": "feed", "symbol": symbol, "event": event.to_dict()}))
        elif op == "feed_batch":
            symbol, batch = args
            typed.feed_batch(symbol, batch)
            raw.command(json.dumps({"cmd": "feed_batch", "symbol": symbol, "events": [e.to_dict() for e in batch]}))
        elif op == "scan":
            (groups,) = args
            groups_raw = {s: [e.to_dict() for e in evs] for s, evs in groups.items()}
            answer = raw.command(json.dumps({"cmd": "scan", "events": groups_raw}))
            assert as_tuples(typed.scan(groups)) == raw_tuples(answer)
        elif op == "alerts":
            assert as_tuples(typed.alerts()) == raw_tuples(raw.command('{"cmd":"alerts"}'))
        else:
            typed.reset()
            raw.command('{"cmd":"reset"}')
    assert typed.radar.command('{"cmd":"alerts"}') == raw.command('{"cmd":"alerts"}')


@given(events)
def test_record_text_is_the_json_of_its_dict(event):
    assert json.loads(event.to_json()) == event.to_dict()
    assert pickle.loads(pickle.dumps(event)) == event


def test_dict_events_go_through_too():
    typed = TypedRadar(SPEC.with_threshold(0))
    typed.feed("A", {"kind": "orderbook", "ts": 1, "bid_volume": 3, "ask_volume": 1, "best_bid": 1, "best_ask": 2})
    typed.feed_batch("A", [Liquidation(2, "sell", 500.0, 1.0), {"kind": "liquidation", "ts": 3, "side": "buy",
                                                                  "qty": 1, "price": 1}])
    (alert,) = typed.alerts()
    assert (alert.symbol, alert.ts, alert.factors["liq_cluster(3,100)"]) == ("A", 3, 1.0)


# --- refusals -------------------------------------------------------------------------

GOOD = Orderbook(1, 1.0, 1.0, 1.0, 2.0)


@pytest.mark.parametrize("call, command, error", [
    (lambda r: r.feed("A", {"kind": "liquidation", "ts": 1, "side": "sell", "price": 1}), "feed",
     "parse: missing field `qty`"),
    (lambda r: r.feed_batch("A", [GOOD, {"kind": "trade", "ts": 1}]), "feed_batch",
     "parse: unknown variant `trade`, expected one of `derivatives`, `orderbook`, `liquidation`"),
    (lambda r: r.scan({"A": [{"kind": "orderbook", "ts": 1.5}]}), "scan",
     "parse: invalid type: floating point `1.5`, expected i64"),
    (lambda r: r.feed("A", Derivatives(2**63, 1.0, 1.0, 1.0)), "feed",
     "parse: invalid value: integer `9223372036854775808`, expected i64"),
    (lambda r: r.set_spec(RadarSpec().with_signal(Signal("funding_flip", (0.2, 0.4)))), "set_spec",
     "bad spec: funding_flip takes 1 parameter(s), got 2"),
    (lambda r: r.set_spec(RadarSpec().oi_delta(1, 2).oi_delta(1.000000001, 2, weight=3)), "set_spec",
     "bad spec: duplicate signal: oi_delta(1,2)"),
])
def test_refused_commands_raise_the_radars_text_and_change_nothing(call, command, error):
    radar = TypedRadar(SPEC)
    with pytest.raises(RadarError) as caught:
        call(radar)
    assert (str(caught.value), caught.value.error, caught.value.command) == (error, error, command)
    assert radar.alerts().scanned == 0


@pytest.mark.parametrize("spec, error", [
    (RadarSpec(), "bad spec: at least one signal is required"),
    ('{"signals":', "parse: EOF while parsing a value at line 1 column 11"),
    (RadarSpec(limit=0).book_imbalance(1), "bad spec: limit must be greater than zero"),
])
def test_refused_specs_raise_radar_error(spec, error):
    with pytest.raises(RadarError, match=f"^{error}$".replace("(", r"\(").replace(")", r"\)")):
        TypedRadar(spec)


@pytest.mark.parametrize("cls, index", [(Derivatives, i) for i in (1, 2, 3)] + [(Orderbook, i) for i in (1, 4)]
                         + [(Liquidation, i) for i in (2, 3)])
@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf, 10**400])
def test_non_finite_numbers_are_refused_before_sending(cls, index, bad):
    values = [1, 1.0, 1.0, 1.0, 1.0][: len(cls.__match_args__)]
    if cls is Liquidation:
        values[1] = "buy"
    values[index] = bad
    with pytest.raises(RadarError, match=f"{cls.__match_args__[index]} must be finite"):
        cls(*values)


@pytest.mark.parametrize("make, error", [
    (lambda: Derivatives(1, "1.5", 1.0, 1.0), TypeError),
    (lambda: Derivatives(True, 1.0, 1.0, 1.0), TypeError),
    (lambda: Orderbook(1.0, 1.0, 1.0, 1.0, 1.0), TypeError),
    (lambda: Orderbook(1, 1.0, False, 1.0, 1.0), TypeError),
    (lambda: Liquidation(1, "SELL", 1.0, 1.0), RadarError),
])
def test_wrong_types_are_refused(make, error):
    with pytest.raises(error):
        make()


class Price(float):
    pass


class Stamp:
    def __index__(self):
        return 7


def test_numbers_are_coerced_to_plain_floats_and_ints():
    event = Derivatives(Stamp(), 5, Price(1.5), -0.0)
    assert event.to_json() == '{"kind":"derivatives","ts":7,"open_interest":5.0,"funding_rate":1.5,"mark_price":-0.0}'
    assert type(event.funding_rate) is float and type(event.ts) is int


def test_spec_builder_writes_the_radars_spec_format():
    spec = RadarSpec(threshold=0.25, limit=3, symbols=["BTC"]).oi_delta(60, 0.1).funding_flip(0.001, weight=2)
    assert spec.to_dict() == {
        "signals": [{"kind": "oi_delta", "params": [60, 0.1], "weight": 1.0},
                    {"kind": "funding_flip", "params": [0.001], "weight": 2}],
        "threshold": 0.25, "limit": 3, "symbols": ["BTC"],
    }
    assert RadarSpec.from_json(spec.to_json()) == spec
    with pytest.raises(RadarError):
        spec.with_threshold(math.nan).to_json()


def test_mix_ups_are_taken_or_refused_by_name():
    np = pytest.importorskip("numpy")
    from zolvar_radar import save_state

    typed = TypedRadar(SPEC)
    as_numpy = {"kind": "derivatives", "ts": np.int64(5), "open_interest": np.float64(1.5), "funding_rate": 0,
                "mark_price": 1}
    typed.feed("A", as_numpy)  # numpy scalars, as the event records take them
    assert typed.alerts() == TypedRadar(SPEC).scan({"A": [{**as_numpy, "ts": 5, "open_interest": 1.5}]})
    with pytest.raises(TypeError, match="scan\\(\\) takes a mapping of symbol to its events, not list"):
        typed.scan([("A", as_numpy)])
    with pytest.raises(TypeError, match="a TypedRadar's is its .radar"):
        save_state(typed)
