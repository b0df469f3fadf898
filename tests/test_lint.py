"""check's warnings: what they say, and that each claim holds on the radar itself."""

import json

import pytest
from zolvar_radar import Radar, cli
from zolvar_radar.cli.check import label_of
from zolvar_radar.lint import lint

T0 = 1715644800000


def sig(kind, *params, **extra):
    return {"kind": kind, "params": list(params), **extra}


def warnings_of(spec) -> list[str]:
    text = spec if isinstance(spec, str) else json.dumps(spec)
    Radar(text)  # only specifications the radar takes are linted
    return [str(w) for w in lint(text)]


@pytest.mark.parametrize(
    "spec, expected",
    [
        # a clean specification says nothing
        (json.loads(cli.DEFAULT_SPEC.read_text()), []),
        ({"signals": [sig("oi_delta", 60, 0.1)], "treshold": 0.3},
         ["treshold: unknown member, did you mean threshold?",
          "threshold: 0 (the default): every symbol is an alert, whatever its severity"]),
        ({"signals": [sig("oi_delta", 60, 0.1, wieght=2), sig("book_imbalance", 0.5, Weight=1)], "threshold": 0.3,
          "Limit": 5, "colour": "red", "weight": 2},
         ["Limit: unknown member, did you mean limit?", "colour: unknown member, ignored",
          "weight: unknown member, ignored here: weight belongs to a signal",
          "signal 1 (oi_delta): wieght: unknown member, did you mean weight?",
          "signal 2 (book_imbalance): Weight: unknown member, did you mean weight?"]),
        ({"signals": [sig("funding_flip", 0.001, threshold=0.5)], "threshold": 0.2},
         ["signal 1 (funding_flip): threshold: unknown member, ignored here: threshold belongs to the specification"]),
        # array forms have no member names; the threshold is the fourth element
        ('[[], [], [["oi_delta", [2.5, 0.1]], {"kind": {"book_imbalance": null}, "params": [0.5], "wheight": 1}], 0.3]',
         ["signal 1 (oi_delta): lookback 2.5 is not a whole number: it is cut to 2",
          "signal 2 (book_imbalance): wheight: unknown member, did you mean weight?"]),
        ({"signals": [sig("liq_cluster", 0.5, 1e6), sig("oi_delta", -3, 0.1)], "threshold": 0.1},
         ["signal 1 (liq_cluster): count 0.5 is not a whole number: it is cut to 0",
          "signal 1 (liq_cluster): always 0: a count of 0 sums no liquidation",
          "signal 2 (oi_delta): lookback -3 is negative: it counts as 0",
          "signal 2 (oi_delta): always 0: a lookback of 0 compares the newest snapshot with itself",
          "threshold: 0.1 is never reached: the highest severity these signals and weights allow is 0"]),
        ({"signals": [sig("oi_price_divergence", 60, -0.05), sig("book_imbalance", 4, weight=0)], "threshold": 0.5},
         ["signal 1 (oi_price_divergence): scale -0.05 is squared: it acts as 0.05",
          "signal 2 (book_imbalance): scale 4 is above 1, the largest imbalance a book shows (its volumes are never "
          "negative): it reaches at most 0.25",
          "signal 2 (book_imbalance): weight 0: listed among the factors but never moves the severity"]),
        ({"signals": [sig("oi_delta", 1e20, 0.1), sig("liq_cluster", 10, 1e6)], "threshold": 0.5},
         ["signal 1 (oi_delta): lookback 1e+20 is beyond 2^64 - 1: it counts as 18446744073709551615",
          "signal 1 (oi_delta): always 0: the series keep only 2 snapshots (the longest look-back plus one wrapped "
          "around), never the 18446744073709551616 it needs",
          "signal 2 (liq_cluster): the series keep only 2 values (the longest look-back plus one wrapped around): "
          "it sums at most 2 liquidations"]),
        ({"signals": [sig("oi_delta", 1, 0.1, weight=0)], "threshold": 0.01},
         ["signal 1 (oi_delta): weight 0: listed among the factors but never moves the severity",
          "threshold: 0.01 is never reached: every weight is 0, so every severity is 0"]),
        ({"signals": [sig("oi_delta", 1, 0.1), sig("book_imbalance", 2)], "threshold": 0.8},
         ["signal 2 (book_imbalance): scale 2 is above 1, the largest imbalance a book shows (its volumes are never "
          "negative): it reaches at most 0.5",
          "threshold: 0.8 is never reached: the highest severity these signals and weights allow is 0.75"]),
        ({"signals": [sig("oi_delta", 1, 0.1)], "threshold": -1},
         ["threshold: -1: every symbol is an alert, whatever its severity"]),
    ],
)
def test_warnings(spec, expected):
    assert warnings_of(spec) == expected


# --- every "always 0" claim, tried on the radar with the strongest market moves ------

def strong_events():
    """Open interest x10 while the price falls 99 %, funding flips, a one-sided book, big liquidations."""
    events = [{"kind": "derivatives", "ts": T0 + i, "open_interest": 100.0, "funding_rate": 0.01, "mark_price": 100.0}
              for i in range(5)]
    events.append({"kind": "derivatives", "ts": T0 + 5, "open_interest": 1000.0, "funding_rate": -0.01,
                   "mark_price": 1.0})
    events.append({"kind": "orderbook", "ts": T0 + 6, "bid_volume": 100.0, "ask_volume": 0.0, "best_bid": 1,
                   "best_ask": 1.01})
    events += [{"kind": "liquidation", "ts": T0 + 7 + i, "side": "sell", "qty": 1e6, "price": 1.0} for i in range(3)]
    return events


def factor(signals, position):
    radar = Radar(json.dumps({"signals": signals, "threshold": -1}))
    answer = json.loads(radar.command(json.dumps({"cmd": "scan", "events": {"X": strong_events()}})))
    return answer["alerts"][0]["factors"][label_of(signals[position])]


@pytest.mark.parametrize(
    "dead, alive",
    [
        ([sig("oi_delta", 0, 0.1)], [sig("oi_delta", 1, 0.1)]),
        ([sig("oi_delta", 0.99, 0.1)], [sig("oi_delta", 1, 0.1)]),
        ([sig("oi_delta", -5, 0.1)], [sig("oi_delta", 5, 0.1)]),
        ([sig("oi_delta", 1, 0)], [sig("oi_delta", 1, 0.1)]),
        ([sig("oi_delta", 1, -0.1)], [sig("oi_delta", 1, 0.1)]),
        ([sig("funding_flip", 0)], [sig("funding_flip", 0.001)]),
        ([sig("funding_flip", -0.001)], [sig("funding_flip", 0.001)]),
        ([sig("book_imbalance", 0)], [sig("book_imbalance", 0.5)]),
        ([sig("book_imbalance", -0.5)], [sig("book_imbalance", 0.5)]),
        ([sig("liq_cluster", 0, 1e6)], [sig("liq_cluster", 1, 1e6)]),
        ([sig("liq_cluster", 0.9, 1e6)], [sig("liq_cluster", 1, 1e6)]),
        ([sig("liq_cluster", 3, 0)], [sig("liq_cluster", 3, 1e6)]),
        ([sig("liq_cluster", 3, -1e6)], [sig("liq_cluster", 3, 1e6)]),
        ([sig("oi_price_divergence", 0, 0.1)], [sig("oi_price_divergence", 1, 0.1)]),
        ([sig("oi_price_divergence", 1, 0)], [sig("oi_price_divergence", 1, 0.1)]),
        ([sig("oi_price_divergence", 1, 1e-170)], [sig("oi_price_divergence", 1, 1e-3)]),
        ([sig("oi_price_divergence", 1, -1e-170)], [sig("oi_price_divergence", 1, -0.1)]),
        ([sig("oi_price_divergence", 1, 1e160)], [sig("oi_price_divergence", 1, 10)]),
        # a look-back of 2^64 or more wraps the window around to 2: longer look-backs see nothing
        ([sig("book_imbalance", 0.5), sig("oi_delta", 2e19, 0.1), sig("oi_price_divergence", 5, 0.1)],
         [sig("book_imbalance", 0.5), sig("oi_delta", 5, 0.1), sig("oi_price_divergence", 5, 0.1)]),
        ([sig("oi_delta", 2e19, 0.1)], [sig("oi_delta", 5, 0.1)]),
    ],
)
def test_always_zero_holds_on_the_radar(dead, alive):
    position = len(dead) - 1
    said = warnings_of({"signals": dead, "threshold": 0.5})
    assert any(w.startswith(f"signal {position + 1} (") and "always 0:" in w for w in said), said
    assert factor(dead, position) == 0
    # the same moves drive the signal once its parameters are sane, and lint is quiet about it
    assert factor(alive, position) > 0
    assert not [w for w in warnings_of({"signals": alive, "threshold": 0.5}) if "always 0" in w]


@pytest.mark.parametrize("lookback, counted", [(2.9, 2), (2.9999999999999996, 2), (3.0000001, 3), (1.5, 1)])
def test_cut_lookback_is_what_the_radar_counts(lookback, counted):
    assert f"lookback {lookback!r} is not a whole number: it is cut to {counted}" in \
        warnings_of({"signals": [sig("oi_delta", lookback, 1)], "threshold": 0.5})[0]
    # open interest 100, 110, 121, 133.1, ...: each look-back sees its own change
    series = [100.0 * 1.1**i for i in range(6)]
    events = [{"kind": "derivatives", "ts": i, "open_interest": v, "funding_rate": 0, "mark_price": 1}
              for i, v in enumerate(series)]
    radar = Radar(json.dumps({"signals": [sig("oi_delta", lookback, 1)], "threshold": -1}))
    got = json.loads(radar.command(json.dumps({"cmd": "scan", "events": {"X": events}})))["alerts"][0]["severity"]
    assert got == pytest.approx(1.1**counted - 1, abs=1e-8)


@pytest.mark.parametrize(
    "signals, highest",
    [
        ([sig("oi_delta", 1, 0.1), sig("book_imbalance", 2)], 0.75),
        ([sig("oi_delta", 1, 0.1), sig("funding_flip", 0, weight=3)], 0.25),
        ([sig("book_imbalance", 3, weight=2), sig("liq_cluster", 0, 1e6), sig("funding_flip", 0.001)], 0.41666667),
        ([sig("oi_price_divergence", 1, 0.1, weight=0.5), sig("book_imbalance", 0.5)], 1.0),
        ([sig("oi_delta", 1, 0.1, weight=0)], 0.0),
    ],
)
def test_highest_severity_is_reached_and_not_passed(signals, highest):
    radar = Radar(json.dumps({"signals": signals, "threshold": -1}))
    got = json.loads(radar.command(json.dumps({"cmd": "scan", "events": {"X": strong_events()}})))
    assert got["alerts"][0]["severity"] == highest  # the strongest moves reach it exactly
    above = highest + 1e-8
    said = warnings_of({"signals": signals, "threshold": above})
    assert said[-1].startswith(f"threshold: {above!r} is never reached: ")
    assert not any("never reached" in w for w in warnings_of({"signals": signals, "threshold": highest}))


# --- the command line --------------------------------------------------------------


@pytest.mark.parametrize(
    "spec, strict, code, warned",
    [
        ({"signals": [sig("oi_delta", 60, 0.1)], "threshold": 0.3}, False, 0, 0),
        ({"signals": [sig("oi_delta", 60, 0.1)], "threshold": 0.3}, True, 0, 0),
        ({"signals": [sig("oi_delta", 60, 0.1)], "treshold": 0.3}, False, 0, 2),
        ({"signals": [sig("oi_delta", 60, 0.1)], "treshold": 0.3}, True, 1, 2),
    ],
)
def test_check_prints_warnings_and_strict_fails_on_them(capsys, tmp_path, spec, strict, code, warned):
    path = tmp_path / "spec.json"
    path.write_text(json.dumps(spec))
    assert cli.main(["check", *(["--strict"] if strict else []), str(path)]) == code
    out, err = capsys.readouterr()
    assert err == ""
    lines = out.splitlines()
    assert lines[0] == f"{path}: ok, 1 signal"
    assert len([line for line in lines if line.startswith("warning: ")]) == warned
    if warned:
        assert "warning: treshold: unknown member, did you mean threshold?" in lines
        assert lines.index("limit      none") == len(lines) - warned - 1  # warnings come last


def test_refused_specification_is_still_an_error_not_a_warning(capsys, tmp_path):
    path = tmp_path / "spec.json"
    path.write_text('{"signals": [{"kind": "oi_delta", "params": [1]}], "treshold": 1}')
    assert cli.main(["check", "--strict", str(path)]) == 2
    assert capsys.readouterr().err == f"{path}: bad spec: oi_delta takes 2 parameter(s), got 1\n"


def test_radar_reads_misspelt_members_as_before():
    """Linting only talks: the radar skips unknown members, so a misspelt threshold is 0 and a weight 1."""
    misspelt = {"signals": [sig("oi_delta", 1, 0.1), sig("book_imbalance", 0.5, wieght=5)], "treshold": 0.9}
    meant = {"signals": [sig("oi_delta", 1, 0.1), sig("book_imbalance", 0.5)]}
    quiet = [{"kind": "orderbook", "ts": 1, "bid_volume": 1, "ask_volume": 1, "best_bid": 1, "best_ask": 2}]
    scan = json.dumps({"cmd": "scan", "events": {"X": strong_events(), "Q": quiet}})
    answer = Radar(json.dumps(misspelt)).command(scan)
    assert answer == Radar(json.dumps(meant)).command(scan)
    assert [a["symbol"] for a in json.loads(answer)["alerts"]] == ["X", "Q"]  # every symbol alerts
