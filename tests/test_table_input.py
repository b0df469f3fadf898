"""Arrow tables in: any table of events scans to the radar's own "scan" of the same events."""

import json
import math
import tempfile

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zolvar_radar import Radar, scan_table
from zolvar_radar.parquet_input import scan_parquet
from zolvar_radar.table_input import BadRow, BadRowError, MissingColumnError, TableReplay, evaluate_table

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")
pq = pytest.importorskip("pyarrow.parquet")

SPEC = json.dumps({
    "signals": [
        {"kind": "oi_delta", "params": [2, 0.1]},
        {"kind": "funding_flip", "params": [0.001]},
        {"kind": "book_imbalance", "params": [0.5]},
        {"kind": "liq_cluster", "params": [2, 50]},
        {"kind": "oi_price_divergence", "params": [2, 0.1]},
    ],
    "threshold": 0,
})
FIELDS = {
    "derivatives": ("open_interest", "funding_rate", "mark_price"),
    "orderbook": ("bid_volume", "ask_volume", "best_bid", "best_ask"),
    "liquidation": ("side", "qty", "price"),
}
COLUMNS = ["symbol", "kind", "ts", *(f for fields in FIELDS.values() for f in fields)]
# a timestamp unit: (Arrow type, units per millisecond as (multiply, divide))
UNITS = {"int": (pa.int64(), 1, 1), "s": (pa.timestamp("s"), 1000, 1), "ms": (pa.timestamp("ms", "UTC"), 1, 1),
         "us": (pa.timestamp("us"), 1, 1000), "ns": (pa.timestamp("ns"), 1, 10**6)}


def radar_scan(pairs):
    groups = {}
    for symbol, event in pairs:
        groups.setdefault(symbol, []).append(event)
    return Radar(SPEC).command(json.dumps({"cmd": "scan", "events": groups}))


number = st.one_of(st.floats(-1e6, 1e6, allow_nan=False), st.integers(-10**6, 10**6))


@st.composite
def events(draw):
    kind = draw(st.sampled_from(list(FIELDS)))
    event = {"kind": kind, "raw_ts": draw(st.integers(-10**9, 10**12))}
    for field in FIELDS[kind]:
        event[field] = draw(st.sampled_from(["buy", "sell"]) if field == "side" else st.floats(0.5, 1e4))
    return draw(st.sampled_from(["BTC", "ETH", "é-PERP", ""])), event


def table_of(rows, unit, chunks):
    """The rows as a table whose ts is of `unit`, in batches of `chunks` rows (nulls where a kind has no field)."""
    arrow_type, _, _ = UNITS[unit]
    data = {c: [] for c in COLUMNS}
    for symbol, event in rows:
        data["symbol"].append(symbol)
        data["kind"].append(event["kind"])
        data["ts"].append(event["raw_ts"])
        for c in COLUMNS[3:]:
            data[c].append(event.get(c))
    types = {"ts": arrow_type, "side": pa.string(), **{c: pa.float64() for c in COLUMNS[3:] if c != "side"}}
    table = pa.table({c: pa.array(v, type=types.get(c, pa.string())) for c, v in data.items()})
    if not rows:
        return table
    return pa.Table.from_batches(table.to_batches(max_chunksize=chunks), table.schema)


def expected(rows, unit):
    _, mul, div = UNITS[unit]
    pairs = []
    for symbol, event in rows:
        event = dict(event)
        event["ts"] = event.pop("raw_ts") * mul // div  # floored
        pairs.append((symbol, event))
    return radar_scan(pairs)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(events(), max_size=40), st.sampled_from(list(UNITS)), st.integers(1, 7))
def test_any_table_scans_as_the_radar_does(rows, unit, chunks):
    want = expected(rows, unit)
    table = table_of(rows, unit, chunks)
    assert scan_table(table, SPEC, threads=2).text == want
    if len(rows) > 2:  # a slice: its arrays start at an offset
        assert scan_table(table.slice(2), SPEC).text == expected(rows[2:], unit)
    frame = pl.from_arrow(table).with_columns(pl.col("kind").cast(pl.Categorical))  # views, a dictionary
    if unit != "s":  # polars keeps no seconds
        assert scan_table(frame, SPEC).text == want
    if rows:
        with tempfile.TemporaryDirectory() as where:
            for n, start in enumerate(range(0, len(table), 8)):
                pq.write_table(table.slice(start, 8), f"{where}/part-{n:03}.parquet", row_group_size=chunks)
            assert scan_parquet(where, SPEC).text == want


@pytest.mark.parametrize("kind_given", [False, True])
def test_one_kind_without_a_kind_column(kind_given):
    table = pa.table({"symbol": ["A", "A"], "ts": pa.array([1, 2], pa.int32()), "side": ["buy", "sell"],
                      "qty": pa.array([5, 7], pa.uint16()), "price": [1.5, 2.5]})
    want = radar_scan([("A", {"kind": "liquidation", "ts": 1, "side": "buy", "qty": 5, "price": 1.5}),
                       ("A", {"kind": "liquidation", "ts": 2, "side": "sell", "qty": 7, "price": 2.5})])
    if kind_given:
        assert scan_table(table, SPEC, kind="liquidation").text == want
    else:
        with pytest.raises(MissingColumnError, match='no column "kind", which every row needs'):
            scan_table(table, SPEC)


GOOD = {"kind": "liquidation", "ts": 5, "side": "buy", "qty": 2.0, "price": 3.0}
AROUND = {"kind": "derivatives", "ts": 4, "open_interest": 1.0, "funding_rate": 0.001, "mark_price": 2.0}
ROW_COLUMNS = ["symbol", "kind", "ts", "open_interest", "funding_rate", "mark_price", "side", "qty", "price"]


def feed(symbol, event):
    """None when the radar's "feed" command takes this symbol and event, else its error."""
    command = {"cmd": "feed", "event": event} if symbol is None else {"cmd": "feed", "symbol": symbol, "event": event}
    return json.loads(Radar(SPEC).command(json.dumps(command))).get("error")


# A liquidation between two derivatives rows, with some of its cells and column types changed: (cells,
# types, the error when no "feed" command can carry the row). The rows around share only the ts column.
@pytest.mark.parametrize("cells, types, error", [
    ({"kind": "liquidaton"}, {}, None),
    ({"side": "long"}, {}, None),
    ({"ts": None}, {}, None),
    ({"qty": None, "price": None}, {}, None),
    ({"ts": 1.5}, {"ts": pa.float64()}, None),
    ({"ts": 2**63}, {"ts": pa.uint64()}, None),
    ({"ts": 2**62}, {"ts": pa.timestamp("s")}, None),
    ({"ts": -(2**61)}, {"ts": pa.timestamp("s")}, None),
    ({"qty": True}, {"qty": pa.bool_()}, None),
    ({"price": "3"}, {"price": pa.string()}, None),
    ({"side": 1}, {"side": pa.int8()}, None),
    ({"qty": math.nan}, {}, "parse: invalid value: floating point `NaN`, expected f64"),
    ({"price": -math.inf}, {}, "parse: invalid value: floating point `-inf`, expected f64"),
    ({"symbol": None}, {}, None),
])
def test_a_refused_row_reads_as_the_feed_command_of_it(cells, types, error):
    rows = [dict(AROUND, symbol="A"), dict(GOOD, symbol="A", **{}), dict(AROUND, symbol="A")]
    rows[1].update(cells)
    table = pa.table({c: pa.array([r.get(c) for r in rows], types.get(c)) for c in ROW_COLUMNS})
    # the ts a "feed" command gets: in milliseconds, a float when the column holds floats
    as_ts = {pa.timestamp("s"): lambda v: v * 1000, pa.float64(): float}.get(types.get("ts"), lambda v: v)
    want_bad, taken = [], []
    for n, row in enumerate(rows, 1):
        event = {k: as_ts(v) if k == "ts" else v for k, v in row.items() if v is not None and k != "symbol"}
        said = (error if n == 2 else None) or feed(row.get("symbol"), event)
        if said is None:
            taken.append((row["symbol"], event))
        else:
            want_bad.append(BadRow(n, said))
    assert [b.number for b in want_bad] in ([2], [1, 2, 3])
    result = scan_table(table, SPEC, skip_bad=True)
    assert result.bad == want_bad and result.events == len(taken) and result.lines == 3
    assert result.text == radar_scan(taken)
    with pytest.raises(BadRowError) as caught:
        scan_table(table, SPEC)
    assert str(caught.value) == f"ROW {want_bad[0].number}: {want_bad[0].error}"


@pytest.mark.parametrize("table, options, line", [
    (pa.table({"symbol": ["A"], "timestamp": [1], "kind": ["derivatives"]}), {},
     'no column "ts", which every row needs; did you mean "timestamp"? (columns={"ts": "timestamp"}, '
     '--column ts=timestamp)'),
    (pa.table({"symbol": ["A"], "ts": [1], "kind": ["liquidation"], "side": ["buy"], "quantity": [1.0],
               "price": [1.0]}), {},
     'no column "qty", which liquidation rows need; did you mean "quantity"?'),
    (pa.table({"sym": ["A"], "ts": [1]}), {"kind": "orderbook", "columns": {"symbol": "ticker"}},
     'no column "ticker", which every row needs; did you mean "sym"?'),
    (pa.table({"symbol": ["A"], "ts": [1], "best_bid": [1.0]}), {"kind": "orderbook"},
     'no column "bid_volume", which orderbook rows need; it has "symbol", "ts", "best_bid"'),
])
def test_a_missing_column_is_one_line_naming_the_nearest(table, options, line):
    with pytest.raises(MissingColumnError) as caught:
        scan_table(table, SPEC, **options)
    assert line in str(caught.value) and "\n" not in str(caught.value)


def test_columns_mapping_and_a_derivatives_table_needs_no_other_kind():
    table = pa.table({"ticker": pa.array(["B", "B"]).dictionary_encode(), "time": pa.array([1, 2], pa.timestamp("ms")),
                      "kind": pa.array(["derivatives"] * 2, pa.large_string()), "oi": [1.0, 2.0],
                      "funding_rate": [0.1, -0.1], "mark_price": [1.0, 1.0]})
    got = scan_table(table, SPEC, columns={"symbol": "ticker", "ts": "time", "open_interest": "oi"})
    assert got.text == radar_scan([("B", {"kind": "derivatives", "ts": t, "open_interest": oi, "funding_rate": f,
                                          "mark_price": 1.0}) for t, oi, f in [(1, 1.0, 0.1), (2, 2.0, -0.1)]])
    assert got.to_arrow().column("symbol").to_pylist() == ["B"]


@pytest.mark.parametrize("data, error", [
    ([1, 2], TypeError),
    (pa.table({"symbol": ["A"], "ts": [[1]], "kind": ["derivatives"]}), ValueError),
    (pa.table({"symbol": ["A"], "ts": [1], "ts ": [1]}).rename_columns(["symbol", "ts", "ts"]), ValueError),
])
def test_what_is_no_table_of_events_is_refused_whole(data, error):
    with pytest.raises(error):
        scan_table(data, SPEC, kind="derivatives")


@pytest.mark.parametrize("read", [
    lambda t: scan_table(t, SPEC),
    lambda t: list(TableReplay(Radar(SPEC), t)),
    lambda t: evaluate_table(t, SPEC),
])
def test_a_column_only_some_rows_need_is_missing_alike_everywhere(read):
    table = pa.Table.from_pylist([
        {"symbol": "A", "kind": "derivatives", "ts": 1, "open_interest": 1.0, "funding_rate": 0.0, "mark_price": 1.0},
        {"symbol": "A", "kind": "orderbook", "ts": 2, "open_interest": None, "funding_rate": None, "mark_price": None},
    ])
    with pytest.raises(MissingColumnError, match='no column "bid_volume", which orderbook rows need; it has "symbol"'):
        read(table)


class _Capsule:
    """A stream straight from its capsule, past the reader's own check."""

    def __init__(self, reader):
        self.reader = reader

    def __arrow_c_stream__(self, requested_schema=None):
        return self.reader.__arrow_c_stream__()


@pytest.mark.parametrize("column, wrap, message", [
    (pa.array(["1", "2"]), lambda r: r, "are not those of the reader's schema"),
    (pa.array([1, 2], pa.int32()), lambda r: r, "are not those of the reader's schema"),
    (pa.array(["1", "2"]), _Capsule, 'column "ts" of a batch does not match its type'),
])
def test_batches_not_of_their_schema_are_refused_not_read(column, wrap, message):
    table = pa.table({"symbol": ["A", "A"], "kind": ["derivatives"] * 2, "ts": [1, 2], "open_interest": [1.0, 2.0],
                      "funding_rate": [0.0, 0.0], "mark_price": [1.0, 1.0]})
    lying = pa.RecordBatchReader.from_batches(table.schema, table.set_column(2, "ts", column).to_batches())
    with pytest.raises(OSError) as refused:
        scan_table(wrap(lying), SPEC)
    assert message in str(refused.value) and "\n" not in str(refused.value)


def test_pandas_and_a_batch_reader_and_the_lock_released():
    pd = pytest.importorskip("pandas")
    rows = [("E", {"kind": "orderbook", "ts": i, "bid_volume": 1.0 + i, "ask_volume": 2.0, "best_bid": 1.0,
                   "best_ask": 2.0}) for i in range(50)]
    frame = pd.DataFrame([{"symbol": s, **e} for s, e in rows])
    want = radar_scan(rows)
    assert scan_table(frame, SPEC).text == want
    table = pa.Table.from_pandas(frame)
    reader = pa.RecordBatchReader.from_batches(table.schema, iter(table.to_batches(max_chunksize=7)))
    seen = []
    assert scan_table(reader, SPEC, progress=seen.append, keep_radar=True).radar is not None


@pytest.mark.parametrize("texts, precision, scale", [
    (["0.1", "-12.345", "1234567890123456789.012", "5.000", "0.000"], 38, 3),
    (["7", "-3", "18446744073709551615", "99999999999999999999"], 20, 0),
    (["0.30", "1.05"], 9, 2),
])
def test_decimals_read_as_their_json_text(texts, precision, scale):
    from decimal import Decimal

    values = [Decimal(t) for t in texts]
    table = pa.table({"symbol": ["D"] * len(values), "ts": list(range(len(values))),
                      "open_interest": pa.array(values, pa.decimal128(precision, scale)),
                      "funding_rate": [0.5] * len(values), "mark_price": [1.0] * len(values)})
    # the "scan" command of the same events, each number written as the table holds it
    events = ",".join(f'{{"kind":"derivatives","ts":{i},"open_interest":{v},"funding_rate":0.5,"mark_price":1.0}}'
                      for i, v in enumerate(f"{d:f}" for d in values))
    want = Radar(SPEC).command(f'{{"cmd":"scan","events":{{"D":[{events}]}}}}')
    assert scan_table(table, SPEC, kind="derivatives").text == want
    ts = table.set_column(1, "ts", pa.array(values, pa.decimal128(precision, scale)))
    refused = scan_table(ts, SPEC, kind="derivatives", skip_bad=True).bad
    assert [b.number for b in refused] == [i + 1 for i, d in enumerate(values)
                                           if scale or not -(2**63) <= d < 2**63]
