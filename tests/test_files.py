"""Reading event files natively: a file scan answers what one "scan" command
over the same events answers, however the files are written, split and read."""

import gzip
import json
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from zolvar_radar import Radar
from zolvar_radar._engine import engine
from zolvar_radar.files import BadLineError, Replay, scan_files

SPEC = json.dumps({
    "signals": [
        {"kind": "oi_delta", "params": [3, 0.05]},
        {"kind": "funding_flip", "params": [0.001]},
        {"kind": "book_imbalance", "params": [0.5]},
        {"kind": "liq_cluster", "params": [2, 1000]},
        {"kind": "oi_price_divergence", "params": [2, 0.1]},
    ],
    "threshold": 0,
})
FIELDS = {
    "derivatives": ("open_interest", "funding_rate", "mark_price"),
    "orderbook": ("bid_volume", "ask_volume", "best_bid", "best_ask"),
    "liquidation": ("side", "qty", "price"),
}

numbers = st.one_of(
    st.integers(-10**6, 10**6),
    st.floats(allow_nan=False, allow_infinity=False, width=64),
    st.sampled_from([0.0, -0.0, 1e-300, 123.456, 5e-324]),
)


@st.composite
def events(draw):
    kind = draw(st.sampled_from(list(FIELDS)))
    event = {"kind": kind, "ts": draw(st.integers(-2**63, 2**63 - 1))}
    for name in FIELDS[kind]:
        event[name] = draw(st.sampled_from(["buy", "sell"])) if name == "side" else draw(numbers)
    return event


symbols = st.sampled_from(["BTC", "ETH", "SOL", "é€", "A\u0000B", "x\"y"])


def radar_scan(pairs):
    """The radar's own "scan" over the same events, in line order per symbol."""
    groups = {}
    for symbol, event in pairs:
        groups.setdefault(symbol, []).append(event)
    return Radar(SPEC).command(json.dumps({"cmd": "scan", "events": groups}))


def line_of(symbol, event, style, rng):
    """One line in one of the shapes a file may hold, the same event in each."""
    items = list(event.items())
    if style == "flat":
        items.append(("symbol", symbol))
        rng.shuffle(items)
        return json.dumps(dict(items), ensure_ascii=rng.random() < 0.5)
    if style == "array":
        value = [event["kind"], event["ts"], *(event[n] for n in FIELDS[event["kind"]])]
    else:
        rng.shuffle(items)
        value = dict(items)
    members = [("symbol", symbol), ("event", value)]
    rng.shuffle(members)
    sep = rng.choice([",", " , ", ",\t"])
    return "{" + sep.join(f"{json.dumps(k)}:{json.dumps(v)}" for k, v in members) + "}"


def write_files(tmp_path, pairs, seed, files=3):
    """The lines spread over files in order, with blank lines, CRLF, a BOM and gzip members."""
    rng = random.Random(seed)
    lines = [line_of(s, e, rng.choice(["flat", "object", "array"]), rng) for s, e in pairs]
    cuts = sorted(rng.randint(0, len(lines)) for _ in range(files - 1))
    paths = []
    for i, (a, b) in enumerate(zip([0, *cuts], [*cuts, len(lines)])):
        chunk = lines[a:b]
        text = "".join(line + rng.choice(["\n", "\r\n", "\n\n", "\n  \n"]) for line in chunk)
        data = (("\ufeff" if rng.random() < 0.3 else "") + text).encode()
        path = tmp_path / f"part{i}.jsonl"
        if rng.random() < 0.5:
            half = len(data) // 2  # two gzip members, one stream
            data = gzip.compress(data[:half]) + gzip.compress(data[half:])
            path = path.with_suffix(".jsonl.gz")
        path.write_bytes(data)
        paths.append(str(path))
    return paths


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(pairs=st.lists(st.tuples(symbols, events()), max_size=40), seed=st.integers(0, 2**32))
def test_a_file_scan_is_the_radars_scan(tmp_path_factory, pairs, seed):
    tmp_path = tmp_path_factory.mktemp("scan")
    paths = write_files(tmp_path, pairs, seed)
    expected = radar_scan(pairs)
    result = scan_files(paths, SPEC)
    assert result.text == expected and result.events == len(pairs)
    # on one thread and two, whole files and ranges cut anywhere
    for threads, range_bytes in [(1, 0), (2, 0), (2, 64), (1, 97)]:
        assert engine.FileScan(paths, SPEC, None, False, False, threads, range_bytes).run()[0] == expected


TICKER_HEADER = b"exchange,symbol,timestamp,local_timestamp,funding_rate,open_interest,mark_price"
ticker_rows = st.lists(st.tuples(st.sampled_from(["BTCUSDT", "ETHUSDT", "é"]), st.integers(0, 10**16),
                                 st.integers(-999, 999), st.integers(0, 10**9), st.integers(1, 10**6)), max_size=12)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(rows=ticker_rows, lead=st.lists(st.sampled_from([b"", b" ", b"\t"]), max_size=3), bom=st.booleans(),
       seed=st.integers(0, 2**32))
def test_a_tardis_file_reads_the_same_in_any_ranges(tmp_path_factory, rows, lead, bom, seed):
    rng = random.Random(seed)
    lines = [*lead, TICKER_HEADER, *(f"x,{s},{ts},{ts + 7},{f / 10000},{oi / 1000},{px}".encode()
                                     for s, ts, f, oi, px in rows)]
    starts, data = [], b"\xef\xbb\xbf" if bom else b""
    for line in lines:
        starts.append(len(data))
        data += line + rng.choice([b"\n", b"\r\n"])
    path = str(tmp_path_factory.mktemp("tardis") / "ticker.csv")
    open(path, "wb").write(data)
    whole = engine.FileScan([path], SPEC, None, True, False, 1, 0).run()
    assert (whole[1], whole[3]) == ([], len(rows))
    for threads, range_bytes in [(2, 16), (1, 37)]:
        assert engine.FileScan([path], SPEC, None, True, False, threads, range_bytes).run()[:5] == whole[:5]
    # two ranges cut where a line starts: the header's own start among them
    for cut in starts[1:len(lead) + 2]:
        ranged = engine.FileScan([(path, 0, cut), (path, cut, len(data))], SPEC, None, True, False, 1).run()
        assert ranged[:2] + ranged[3:5] == whole[:2] + whole[3:5]


@settings(max_examples=30, deadline=None)
@given(pairs=st.lists(st.tuples(symbols, events()), min_size=1, max_size=60),
       cuts=st.lists(st.integers(0, 60), max_size=5))
def test_states_of_any_split_merge_into_the_whole(pairs, cuts):
    """The state of events A then B is merge(state(A), state(B)), wherever the cut falls."""
    import tempfile
    from pathlib import Path

    with tempfile.TemporaryDirectory() as tmp:
        rng = random.Random(len(pairs))
        bounds = sorted({0, len(pairs), *(min(c, len(pairs)) for c in cuts)})
        paths = []
        for i, (a, b) in enumerate(zip(bounds, bounds[1:])):
            path = Path(tmp) / f"{i}.jsonl"
            path.write_text("".join(line_of(s, e, "flat", rng) + "\n" for s, e in pairs[a:b]))
            paths.append(str(path))
        texts = {engine.FileScan(paths, SPEC, None, False, False, threads).run()[0] for threads in (1, 2)}
        assert texts == {radar_scan(pairs)}


BAD_LINES = [
    # (line, error): the same words the "feed" command of that line gives
    ('{"symbol":"A","kind":"orderbook","ts":1}', "parse: missing field `bid_volume`"),
    ('{"kind":"orderbook","ts":1}', 'bad spec: missing string "symbol"'),
    ('[1,2]', 'bad spec: missing string "symbol"'),
    ('{"symbol":"A",', "parse: EOF while parsing a value at line 1 column 14"),
    ('{"symbol":"A","event":{"kind":"liquidation","ts":1,"side":"up","qty":1,"price":1}}',
     "parse: unknown variant `up`, expected `buy` or `sell`"),
    ('{"symbol":"A","kind":"derivatives","ts":-0,"open_interest":1,"funding_rate":1,"mark_price":1,"x":1e400}',
     "parse: number out of range at line 1 column 102"),
    ('{"symbol":"A","kind":"derivatives","ts":1,"open_interest":1,"funding_rate":1,"mark_price":1,"x":"\\ud800"}',
     None),  # a lone surrogate: worded by the radar, whatever it says
]


@pytest.mark.parametrize("line, error", BAD_LINES)
@pytest.mark.parametrize("threads, range_bytes", [(1, 0), (2, 40)])
def test_bad_lines_are_reported_in_the_radars_words(tmp_path, line, error, threads, range_bytes):
    good = '{"symbol":"OK","kind":"orderbook","ts":1,"bid_volume":1,"ask_volume":2,"best_bid":1,"best_ask":2}'
    path = tmp_path / "events.jsonl"
    path.write_text("\n".join([good] * 5 + [line] + [good] * 5 + [line]) + "\n")
    _, bad, _, events, *_ = engine.FileScan([str(path)], SPEC, None, True, False, threads, range_bytes).run()
    assert [(b[1]) for b in bad] == [6, 12]
    if error is not None:
        assert bad[0][2] == error
    assert events == 10
    with pytest.raises(BadLineError, match=r":6: "):
        scan_files([str(path)], SPEC)


@pytest.mark.parametrize("data, error", [
    (b'{"symbol":"A\xff","kind":"orderbook"}', "line is not valid UTF-8 (column 13)"),
    (b'{"symbol":"\xed\xa0\x80"}', "line is not valid UTF-8 (column 12)"),  # an encoded surrogate
    (b'{"symbol":"A\x00","kind":"orderbook"}', "parse: control character (\\u0000-\\u001F) found while parsing a string at line 1 column 13"),
    (b'\x00', "parse: expected value at line 1 column 1"),
])
def test_bytes_the_radar_cannot_take_are_refused_for_that_line_alone(tmp_path, data, error):
    good = b'{"symbol":"B","kind":"orderbook","ts":1,"bid_volume":1,"ask_volume":2,"best_bid":1,"best_ask":2}'
    path = tmp_path / "events.jsonl"
    path.write_bytes(good + b"\n" + data + b"\n" + good + b"\n")
    result = scan_files([str(path)], SPEC, skip_bad=True)
    assert [(b.number, b.error) for b in result.bad] == [(2, error)]
    assert result.events == 2


def test_symbols_that_differ_only_in_invalid_bytes_are_not_merged(tmp_path):
    path = tmp_path / "events.jsonl"
    ev = ',"kind":"orderbook","ts":1,"bid_volume":1,"ask_volume":2,"best_bid":1,"best_ask":2}'
    path.write_bytes(b'{"symbol":"A\xff"' + ev.encode() + b'\n{"symbol":"A\xfe"' + ev.encode() + b"\n")
    with pytest.raises(BadLineError, match="events.jsonl:1: line is not valid UTF-8"):
        scan_files([str(path)], SPEC)


def test_a_line_too_long_to_hold_is_refused_and_reading_goes_on(tmp_path):
    good = '{"symbol":"B","kind":"orderbook","ts":1,"bid_volume":1,"ask_volume":2,"best_bid":1,"best_ask":2}'
    path = tmp_path / "events.jsonl"
    with open(path, "w") as f:
        f.write(good + "\n" + '{"symbol":"' + "x" * (17 << 20) + '"}\n' + good + "\n")
    result = scan_files([str(path)], SPEC, skip_bad=True)
    assert [(b.number, b.error) for b in result.bad] == [(2, "line is longer than 16777216 bytes")]
    assert (result.events, result.lines) == (2, 3)


@pytest.mark.parametrize("size, end, read", [
    # (bytes before the line end, the end, read or refused): a CR before the end does not count
    (16 << 20, b"\n", True),
    ((16 << 20) - 1, b"\r\n", True),
    (16 << 20, b"\r\n", True),
    (16 << 20, b"", True),
    ((16 << 20) + 1, b"\n", False),
    ((16 << 20) + 1, b"\r\r\n", False),
])
def test_a_line_of_16_mib_is_the_longest_read(tmp_path, size, end, read):
    good = b'{"symbol":"B","kind":"orderbook","ts":1,"bid_volume":1,"ask_volume":2,"best_bid":1,"best_ask":2}'
    path = tmp_path / "events.jsonl"
    with open(path, "wb") as f:
        f.write(good + b"\n" + good + b" " * (size - len(good)) + end + (good + b"\n" if end else b""))
    result = scan_files([str(path)], SPEC, skip_bad=True)
    assert [b.number for b in result.bad] == ([] if read else [2])
    assert result.events == (2 if end else 1) + read


BOOK = b'{"symbol":"B","kind":"orderbook","ts":1,"bid_volume":1,"ask_volume":2,"best_bid":1,"best_ask":2}'
TICKER = (b"exchange,symbol,timestamp,local_timestamp,funding_rate,open_interest,mark_price\n"
          + b"x,BTCUSDT,1715644800123456,1715644800125001,0.0001,71234.5,61528.3\n" * 3)


@pytest.mark.parametrize("name, data, events", [
    # the last line has no line end: it is read all the same
    ("e.jsonl", BOOK + b"\n" + BOOK, 2),
    ("e.jsonl", BOOK + b"\r\n" + BOOK + b"\r", 2),
    ("e.jsonl.gz", gzip.compress(BOOK + b"\n" + BOOK), 2),
    ("ticker.csv", TICKER[:-1], 3),
])
def test_the_last_line_needs_no_line_end(tmp_path, name, data, events):
    path = tmp_path / name
    path.write_bytes(data)
    assert scan_files([str(path)], SPEC).events == events
    if not name.endswith(".gz"):
        assert engine.FileScan([str(path)], SPEC, None, False, False, 2, 16).run()[3] == events
    replay = Replay(Radar(SPEC), [str(path)])
    list(replay)
    assert (replay.stop, replay.fed) == ("end", events)


def test_replay_feeds_a_radar_to_the_same_state(tmp_path):
    rng = random.Random(7)
    pairs = [(rng.choice(["A", "B", "C"]), {"kind": "derivatives", "ts": i, "open_interest": rng.random(),
                                            "funding_rate": rng.random() - 0.5, "mark_price": 1 + rng.random()})
             for i in range(2500)]
    paths = write_files(tmp_path, pairs, 3)
    radar = Radar(SPEC)
    replay = Replay(radar, paths, every=1000)
    stops = [(r.fed, r.at_end) for r in replay]
    assert stops == [(1000, False), (2000, False), (2500, True)] and replay.stop == "end"
    assert radar.command('{"cmd":"alerts"}') == radar_scan(pairs)
    by_ts = Replay(Radar(SPEC), paths, every_ts=1000)
    assert [r.clock for r in by_ts] == [999, 1999, 2499]


def test_unreadable_files_raise_before_anything_is_read(tmp_path):
    (tmp_path / "ok.jsonl").write_text("")
    with pytest.raises(OSError, match="nosuch.jsonl: No such file or directory"):
        scan_files([str(tmp_path / "ok.jsonl"), str(tmp_path / "nosuch.jsonl")], SPEC)
    with pytest.raises(ValueError, match="^bad spec: at least one signal is required$"):
        scan_files([str(tmp_path / "ok.jsonl")], '{"signals":[]}')


@pytest.mark.parametrize("depth", [125, 126])
@pytest.mark.parametrize("form", ["flat", "wrapped"])
def test_nesting_counts_as_inside_the_feed_command(tmp_path, depth, form):
    deep = "[" * depth + "]" * depth
    event = '{"kind":"orderbook","ts":1,"bid_volume":1,"ask_volume":2,"best_bid":1,"best_ask":2,"x":' + deep + "}"
    line = '{"symbol":"A",' + event[1:] if form == "flat" else '{"symbol":"A","event":' + event + "}"
    (tmp_path / "e.jsonl").write_text(line + "\n")
    fed = json.loads(Radar(SPEC).command('{"cmd":"feed","symbol":"A","event":' + event + "}"))
    result = scan_files([str(tmp_path / "e.jsonl")], SPEC, skip_bad=True)
    assert (result.events == 1) == fed["ok"]
    if result.bad:
        assert result.bad[0].error.startswith("parse: recursion limit exceeded at line 1 column ")


@pytest.mark.parametrize("damage", ["none", "two members", "cut short", "flipped byte"])
def test_a_gzip_file_inflated_ahead_reads_as_one_inflated_here(tmp_path, damage):
    """One gzip file on two threads inflates on a thread of its own: the same
    events, the same failure, and a replay (which also inflates ahead) agrees."""
    rng = random.Random(7)
    pairs = [(rng.choice(["A", "B", "C"]), {"kind": "derivatives", "ts": i, "open_interest": rng.uniform(1, 9),
                                            "funding_rate": 0.0001, "mark_price": 100.0}) for i in range(30_000)]
    text = "".join(line_of(s, e, "flat", rng) + "\n" for s, e in pairs).encode()
    data = gzip.compress(text)
    if damage == "two members":
        data = gzip.compress(text[:len(text) // 3]) + gzip.compress(text[len(text) // 3:])
    elif damage == "cut short":
        data = data[:len(data) * 2 // 3]
    elif damage == "flipped byte":
        data = data[:len(data) // 2] + bytes([data[len(data) // 2] ^ 0x40]) + data[len(data) // 2 + 1:]
    path = tmp_path / "one.jsonl.gz"
    path.write_bytes(data)

    def outcome(threads):
        try:
            text, bad = engine.FileScan([str(path)], SPEC, None, False, False, threads).run()[:2]
            return text, bad
        except OSError as exc:
            return str(exc)

    here, ahead = outcome(1), outcome(2)
    assert here == ahead
    radar = Radar(SPEC)
    replay = Replay(radar, [str(path)], every=5000)
    try:
        for _ in replay:
            pass
        replayed = (radar.command('{"cmd":"alerts"}'), [tuple(b[1:]) for b in replay.bad])
    except OSError as exc:
        replayed = str(exc)
    if damage in ("none", "two members"):
        assert here == (radar_scan(pairs), [])
        assert replayed[0].replace('"scanned"', '"x"') == here[0].replace('"scanned"', '"x"')
    elif isinstance(here, str):  # the stream ended early or failed its check
        assert replayed == here and here.startswith(str(path))
    else:  # inflated garbage before the check fails: a bad line, the same for the replay
        assert here[1] and replayed[1] == [tuple(b[1:]) for b in here[1]]


@pytest.mark.parametrize("threads, range_bytes, skip_bad", [(1, 0, True), (2, 0, True), (2, 4096, True), (2, 4096, False)])
def test_many_symbols_read_in_batches_as_the_radar_reads_them(tmp_path, threads, range_bytes, skip_bad):
    # past a few thousand symbols a reader batches its events; a bad line and the end flush the batch in order
    rng = random.Random(5)
    pairs = [(f"S{i if i < 4600 else rng.randrange(4600)}", {"kind": "derivatives", "ts": i, "open_interest": rng.random(),
                                                           "funding_rate": 0.0001, "mark_price": 1 + rng.random()})
             for i in range(9000)]
    lines = [json.dumps({"symbol": s, **e}) for s, e in pairs]
    lines.insert(7003, '{"symbol":"S1","kind":"derivatives","ts":"x"}')
    path = tmp_path / "many.jsonl"
    path.write_text("\n".join(lines) + "\n")
    text, bad, _, events, *_ = engine.FileScan([str(path)], SPEC, None, skip_bad, False, threads, range_bytes).run()
    assert [b[1] for b in bad] == [7004]
    if skip_bad:
        assert events == len(pairs) and text == radar_scan(pairs)
