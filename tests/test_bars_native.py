"""Bars in the native reader: a scan, a replay, partial states and read_events
thinned to one snapshot and one book per symbol per interval keep exactly
the events the rule keeps, however the files are split and read."""

import json
import random
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from zolvar_radar import Radar
from zolvar_radar._engine import engine
from zolvar_radar.adapters import read_events
from zolvar_radar.files import Replay, scan_files

from test_files import SPEC, line_of, radar_scan
from test_state import crc32c

WINDOW = 4  # the window SPEC implies


def event_of(kind, ts, a=1.0, b=2.0):
    if kind == "derivatives":
        return {"kind": kind, "ts": ts, "open_interest": a, "funding_rate": b / 1000, "mark_price": 100.0 + a}
    if kind == "orderbook":
        return {"kind": kind, "ts": ts, "bid_volume": a, "ask_volume": b, "best_bid": 1.0, "best_ask": 2.0}
    return {"kind": kind, "ts": ts, "side": "buy" if a > b else "sell", "qty": a * 500, "price": b}


def kept_by_rule(pairs, width):
    """The events bars keep, in read order: every liquidation, and of each run of a
    symbol's snapshots of one kind in one interval, the last one read."""
    keep = [True] * len(pairs)
    last = {}
    for i, (symbol, event) in enumerate(pairs):
        if event["kind"] == "liquidation":
            continue
        key = (symbol, event["kind"])
        if key in last:
            j, interval = last[key]
            if interval == event["ts"] // width:
                keep[j] = False
        last[key] = (i, event["ts"] // width)
    return [p for p, k in zip(pairs, keep) if k]


def write_lines(path, pairs, seed=0):
    rng = random.Random(seed)
    path.write_text("".join(line_of(s, e, rng.choice(["flat", "object", "array"]), rng) + "\n" for s, e in pairs))
    return str(path)


def split_files(tmp_path, pairs, cuts, seed=0):
    bounds = sorted({0, len(pairs), *(min(c, len(pairs)) for c in cuts)})
    return [write_lines(tmp_path / f"{i}.jsonl", pairs[a:b], seed + i) for i, (a, b) in enumerate(zip(bounds, bounds[1:]))]


pair_lists = st.lists(
    st.tuples(
        st.sampled_from(["BTC", "ETH", "é"]),
        st.builds(event_of, st.sampled_from(["derivatives", "derivatives", "orderbook", "liquidation"]),
                  st.integers(-40, 40), st.integers(1, 9).map(float), st.integers(1, 9).map(float)),
    ),
    max_size=50,
)


@settings(max_examples=40, deadline=None)
@given(pairs=pair_lists, width=st.sampled_from([1, 3, 10, 1000]), cuts=st.lists(st.integers(0, 50), max_size=3))
def test_a_barred_scan_is_the_scan_of_the_events_the_rule_keeps(tmp_path_factory, pairs, width, cuts):
    tmp_path = tmp_path_factory.mktemp("bars")
    paths = split_files(tmp_path, pairs, cuts)
    kept = kept_by_rule(pairs, width)
    expected = radar_scan(kept)
    result = scan_files(paths, SPEC, bar=width)
    assert (result.text, result.events, result.dropped) == (expected, len(pairs), len(pairs) - len(kept))
    # parts read apart, on two threads and in ranges cut anywhere, join at their bars
    for threads, range_bytes in [(2, 0), (1, 61), (2, 97)]:
        assert engine.FileScan(paths, SPEC, None, False, False, threads, range_bytes, bar=width).run()[0] == expected
    # partial states of the files, merged in order, hold the same
    partials = []
    for path in paths:
        scan = engine.FileScan([path], SPEC, bar=width, score=False)
        assert scan.run()[0] is None
        partials.append(scan.partial_state())
    if partials:
        merged = engine.merge_partial_states(partials)
        radar = engine.radar_from_partial_state(SPEC, merged)
        assert radar.command('{"cmd":"alerts"}').replace('"scanned"', '"x"') == expected.replace('"scanned"', '"x"')
        # a merged state's bytes come back unchanged through loading and saving
        again = engine.FileScan([], SPEC, state=merged, bar=width, score=False)
        again.run()
        assert again.partial_state() == merged


@pytest.mark.parametrize("width", [700, 3000])
def test_bars_join_across_files_ranges_and_saved_states(tmp_path, width):
    # many events per symbol and interval, in no time order, split many ways
    rng = random.Random(width)
    kinds = ["derivatives", "derivatives", "orderbook", "liquidation"]
    pairs = [(f"S{rng.randrange(10)}", event_of(rng.choice(kinds), rng.randrange(10_000), rng.randint(1, 9),
                                                  rng.randint(1, 9))) for _ in range(600)]
    paths = split_files(tmp_path, pairs, [150, 300, 450])
    whole = scan_files([write_lines(tmp_path / "all.jsonl", pairs)], SPEC, bar=width, keep_state=True)
    assert whole.dropped > 0
    for threads, range_bytes in [(1, 97), (2, 97), (2, 0)]:
        text, *_, dropped, _ = engine.FileScan(paths, SPEC, None, False, False, threads, range_bytes, bar=width).run()
        assert (text, dropped) == (whole.text, whole.dropped)
    # a stretch saved with its bars open, then continued (read in ranges) from its state, twice over
    state = scan_files(paths[:1], SPEC, bar=width, keep_state=True).saved_state
    for stretch in (paths[1:3], paths[3:]):
        scan = engine.FileScan(stretch, SPEC, None, False, False, 2, 97, state=state, bar=width, save=True)
        text, *_, dropped, _ = scan.run()
        state = scan.saved_state()
    assert (text, dropped, state) == (whole.text, whole.dropped, whole.saved_state)


@settings(max_examples=30, deadline=None)
@given(pairs=pair_lists, width=st.sampled_from([1, 4, 25]), every=st.integers(1, 7), seed=st.integers(0, 99))
def test_a_barred_replay_of_ordered_events_ends_where_the_scan_does(tmp_path_factory, pairs, width, every, seed):
    pairs = sorted(pairs, key=lambda p: p[1]["ts"])
    path = write_lines(tmp_path_factory.mktemp("replay") / "a.jsonl", pairs, seed)
    kept = kept_by_rule(pairs, width)
    expected = radar_scan(kept)
    for options in ({"every": every}, {"every_ts": every * 3}):
        radar = Radar(SPEC)
        replay = Replay(radar, [path], bar=width, keep_events=True, **options)
        taken = []
        for _ in replay:
            taken += replay.take_events()
            # a checkpoint has seen every bar that ended by the latest time read
            closed = [p for p in kept if replay.clock is not None and p[1]["ts"] // width < replay.clock // width]
            assert all(p in taken for p in closed)
        taken += replay.take_events()
        assert (replay.fed, replay.kept, replay.dropped) == (len(pairs), len(kept), len(pairs) - len(kept))
        assert sorted(map(json.dumps, taken)) == sorted(map(json.dumps, kept))
        assert radar.command('{"cmd":"alerts"}').replace('"scanned"', '"x"') == expected.replace('"scanned"', '"x"')


def test_read_events_with_a_bar_gives_the_kept_events(tmp_path):
    pairs = [("A", event_of("derivatives", ts, float(ts))) for ts in range(0, 300, 7)]
    pairs += [("A", event_of("liquidation", 5)), ("B", event_of("orderbook", 1)), ("B", event_of("orderbook", 59))]
    path = write_lines(tmp_path / "a.jsonl", pairs)
    reader = read_events(path, bar="60ms")
    got = list(reader)
    kept = kept_by_rule(pairs, 60)
    assert sorted(map(json.dumps, got)) == sorted(map(json.dumps, kept))
    assert reader.dropped == len(pairs) - len(kept)
    # the last derivatives snapshot of each interval: 56, 119, 175, 238, 294
    assert [e["ts"] for s, e in got if e["kind"] == "derivatives"] == [56, 119, 175, 238, 294]


CASES = [
    # (events of one symbol in read order, width, ts of what is kept)
    ([("derivatives", 0), ("derivatives", 5), ("derivatives", 10)], 10, [5, 10]),
    ([("derivatives", -1), ("derivatives", -10), ("derivatives", 0)], 10, [-10, 0]),  # floored intervals
    ([("derivatives", 1), ("orderbook", 2), ("derivatives", 3), ("orderbook", 4)], 10, [3, 4]),  # kinds apart
    ([("liquidation", 1), ("liquidation", 1), ("derivatives", 2)], 10, [1, 1, 2]),  # liquidations all pass
    ([("derivatives", 1), ("derivatives", 15), ("derivatives", 2)], 10, [1, 15, 2]),  # a reopened interval
    ([("derivatives", 2**63 - 1), ("derivatives", -2**63)], 2**62, [2**63 - 1, -2**63]),  # the ends of time
]


@pytest.mark.parametrize("kinds, width, kept", CASES)
def test_which_events_a_bar_keeps(tmp_path, kinds, width, kept):
    pairs = [("S", event_of(kind, ts)) for kind, ts in kinds]
    path = write_lines(tmp_path / "a.jsonl", pairs)
    assert sorted(e["ts"] for _, e in read_events(path, bar=width)) == sorted(kept)
    assert scan_files([path], SPEC, bar=width).dropped == len(pairs) - len(kept)


def test_without_a_bar_nothing_changes(tmp_path):
    pairs = [("A", event_of("derivatives", ts, float(ts % 5 + 1))) for ts in range(40)]
    path = write_lines(tmp_path / "a.jsonl", pairs)
    plain = scan_files([path], SPEC)
    assert plain.text == radar_scan(pairs) and plain.dropped == 0
    assert scan_files([path], SPEC, bar=1).text == plain.text  # one ts unit: every distinct ts is its own bar


def barred_partial(tmp_path):
    pairs = [("A", event_of("derivatives", 3)), ("A", event_of("orderbook", 4)), ("B", event_of("derivatives", 9))]
    scan = engine.FileScan([write_lines(tmp_path / "p.jsonl", pairs)], SPEC, bar=10, score=False)
    scan.run()
    return scan.partial_state()


def rewrite(state, change):
    """The state with its bars section changed and its checksum made right again."""
    data_len = struct.unpack_from("<Q", state, 20)[0]
    at = 28 + data_len
    bars = change(bytearray(state[at:-4]))
    body = state[:at] + bytes(bars)
    return body + struct.pack("<I", crc32c(body))


@pytest.mark.parametrize("change, message", [
    (lambda b: b[:-1], "bars section ends early"),
    (lambda b: b + b"\0", "unread bytes in the bars section"),
    (lambda b: struct.pack("<q", 0) + b[8:], "bar width 0"),
    (lambda b: b[:24 + 9] + b"\x07" + b[24 + 10:], "bar byte 7"),
    (lambda b: b[:24 + 9 + 1 + 8 + 8] + struct.pack("<q", 99) + b[24 + 9 + 1 + 8 + 8 + 8:],
     "a held snapshot outside its bar"),
    # symbol A's two kinds (a held snapshot and a held book) both left unseen
    (lambda b: b[:24 + 9] + b"\0\0" + b[24 + 9 + 49 + 57:], "a symbol without bars"),
])
def test_damaged_bars_are_refused(tmp_path, change, message):
    state = barred_partial(tmp_path)
    with pytest.raises(ValueError, match=message):
        engine.merge_partial_states([rewrite(state, change)])


def test_unknown_flags_are_refused(tmp_path):
    state = bytearray(barred_partial(tmp_path))
    state[11] = 3  # flags: open bars and a bit nothing sets
    body = bytes(state[:-4])
    with pytest.raises(ValueError, match="flags 3"):
        engine.merge_partial_states([body + struct.pack("<I", crc32c(body))])


@settings(max_examples=30, deadline=None)
@given(pairs=pair_lists, width=st.sampled_from([1, 3, 10]))
def test_live_bars_pass_on_what_the_file_reader_passes_on_in_the_same_order(tmp_path_factory, pairs, width):
    from zolvar_radar.bars import Bars

    path = write_lines(tmp_path_factory.mktemp("live") / "a.jsonl", pairs)
    bars = Bars(width)
    live = bars.push(pairs) + bars.flush()
    reader = read_events(path, bar=width)
    assert list(map(json.dumps, reader)) == list(map(json.dumps, live))
    assert reader.dropped == bars.dropped


@pytest.mark.parametrize("args, status, said", [
    (["scan", "--bar", "5m", "--json"], 0, "--bar 5m: 57,600 of the 91,382 events read left out"),
    (["replay", "--bar", "300000", "--every-ts", "3600000"], 0, "--bar 300000: 57,600 of the 91,382 events"),
    (["replay", "--bar", "5m", "--every-ts", "1h"], 0, "--bar 5m: 57,600 of the 91,382 events"),
    (["replay", "--every-ts", "0"], 2, "argument --every-ts: must be a positive whole number"),
    (["scan", "--bar", "0"], 2, "argument --bar: must be a positive whole number"),
    (["replay", "--bar", "1w"], 2, "duration like 500ms, 15s, 1m, 4h, 1d: 1w"),
])
def test_the_command_line_bar_option(capsys, args, status, said):
    from zolvar_radar import cli

    try:
        code = cli.main(args)
    except SystemExit as exc:
        code = exc.code
    out, err = capsys.readouterr()
    assert code == status and said in err
    if args[0] == "scan" and status == 0:
        from zolvar_radar.cli import DEFAULT_SPEC, SAMPLE

        assert out == scan_files([str(SAMPLE)], DEFAULT_SPEC.read_text(), bar="5m").text + "\n"


def test_a_saved_state_keeps_its_bars_open_for_the_next_run(tmp_path, capsys):
    from zolvar_radar import cli, load_state

    # the day's last snapshots and the next day's first share their intervals
    day1 = [("A", event_of("derivatives", ts, float(ts % 7 + 1))) for ts in range(0, 100, 3)]
    day2 = [("A", event_of("derivatives", ts, float(ts % 5 + 1))) for ts in range(100, 200, 3)]
    day1 += [("B", event_of("orderbook", 95, 9.0, 1.0))]
    day2 += [("B", event_of("orderbook", 96, 1.0, 9.0))]
    paths = [write_lines(tmp_path / "d1.jsonl", day1), write_lines(tmp_path / "d2.jsonl", day2)]
    state = str(tmp_path / "d1.state")
    spec = tmp_path / "spec.json"
    spec.write_text(SPEC)

    def scan(*args):
        assert cli.main(["scan", "--json", "--spec", str(spec), "--bar", "40", *args]) == 0
        return capsys.readouterr().out

    first = scan("--save-state", state, paths[0])
    assert scan("--state", state, paths[1]) == scan(*paths) != scan(paths[1])
    # as a radar, the state holds what its scan scored: the open bars taken in
    radar = load_state(open(state, "rb").read())
    assert radar.command('{"cmd":"alerts"}') + "\n" == first
    # continued without bars, or with others, the saved bars close first
    plain = scan_files([paths[1]], SPEC, state=open(state, "rb").read())
    assert plain.text == radar_scan(kept_by_rule(day1, 40) + day2)


def test_a_second_by_second_source_and_a_minute_by_minute_one_agree_on_minute_bars(tmp_path):
    """The point of bars: a tardis ticker a second and JSON Lines a minute,
    carrying the same last value of each minute, give the same alerts."""
    header = ("exchange,symbol,timestamp,local_timestamp,funding_timestamp,funding_rate,predicted_funding_rate,"
              "open_interest,last_price,index_price,mark_price")
    rows, lines = [header], []
    for minute in range(12):
        for second in range(60):
            ts_ms = 1_715_644_800_000 + (minute * 60 + second) * 1000
            oi, rate, mark = 1000.0 * 1.02 ** minute + second, (-1) ** minute * 0.0004, 100.0 - minute + second / 100
            rows.append(f"binance-futures,BTCUSDT,{ts_ms * 1000},{ts_ms * 1000},0,{rate},,{oi},1,1,{mark}")
        event = {"kind": "derivatives", "ts": ts_ms, "open_interest": oi, "funding_rate": rate, "mark_price": mark}
        lines.append(json.dumps({"symbol": "BTCUSDT", **event}))
    ticker = tmp_path / "binance-futures_derivative_ticker.csv"
    ticker.write_text("\n".join(rows) + "\n")
    minutes = tmp_path / "minutes.jsonl"
    minutes.write_text("\n".join(lines) + "\n")
    by_second = scan_files([str(ticker)], SPEC, bar="1m")
    by_minute = scan_files([str(minutes)], SPEC, bar="1m")
    assert by_second.text == by_minute.text == scan_files([str(minutes)], SPEC).text
    assert (by_second.dropped, by_minute.dropped) == (12 * 59, 0)
    assert scan_files([str(ticker)], SPEC).text != by_minute.text  # without bars, a look-back is 3 seconds
