"""Alerts as tables: the same values as the result text, in every form and file format."""

import csv
import io
import json
import math
import struct
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zolvar_radar import Radar, cli, scan_files
from zolvar_radar.tables import alerts_table

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pl = pytest.importorskip("polars")
pd = pytest.importorskip("pandas")

SPEC = {"signals": [{"kind": "oi_delta", "params": [1, 0.1]}, {"kind": "book_imbalance", "params": [0.5]}],
        "threshold": 0.3}
LABELS = ["book_imbalance(0.5)", "oi_delta(1,0.1)"]
ODD_SYMBOLS = ["BTC", "a,b", 'q"uote', "é-PERP", "比特币", "", "new\nline", " pad "]


def same(a, b):
    """Equal as the radar means it: floats bit for bit (-0.0 is not 0.0), NaN equal to NaN."""
    if isinstance(a, float) or isinstance(b, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    return type(a) is type(b) and a == b


def expected_rows(text):
    """The rows the JSON result gives, read with Python's own reader."""
    alerts = json.loads(text)["alerts"]
    nan = float("nan")
    return [(rank, a["symbol"], nan if a["severity"] is None else float(a["severity"]), a["ts"],
             *(float(v) for k, v in a["factors"].items() if k != "severity"))
            for rank, a in enumerate(alerts, 1)]


def assert_rows(rows, want):
    assert len(rows) == len(want)
    for got, row in zip(rows, want):
        assert len(got) == len(row) and all(same(g, w) for g, w in zip(got, row)), (got, row)


def scan_text(spec, events):
    groups = {}
    for symbol, event in events:
        groups.setdefault(symbol, []).append(event)
    return Radar(json.dumps(spec)).command(json.dumps({"cmd": "scan", "events": groups}))


event = st.one_of(
    st.builds(lambda ts, oi: {"kind": "derivatives", "ts": ts, "open_interest": oi, "funding_rate": 0.0001,
                              "mark_price": 100.0},
              st.integers(0, 50), st.floats(1, 200)),
    st.builds(lambda ts, bid, ask: {"kind": "orderbook", "ts": ts, "bid_volume": bid, "ask_volume": ask,
                                    "best_bid": 99.9, "best_ask": 100.1},
              st.integers(0, 50), st.floats(0.5, 50), st.floats(0.5, 50)),
)


@settings(max_examples=20, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(ODD_SYMBOLS) | st.text(max_size=4), event), max_size=20),
       st.sampled_from([-1.0, 0.0, 0.3, 0.9]))
def test_table_is_the_result_field_for_field(events, threshold):
    text = scan_text({**SPEC, "threshold": threshold}, events)
    table = alerts_table(text)
    assert list(table.columns)[:4] == ["rank", "symbol", "severity", "ts"]
    assert_rows(list(table.rows()), expected_rows(text))
    if len(table):
        assert table.factor_keys == LABELS
    assert table.scanned == json.loads(text)["scanned"]


# Values no small scan is likely to make, written as the radar writes them.
EDGES = [
    ('a,b', "-0.0", "0.0", -(2**63)),
    ('q\\"uote', "null", "1e-8", 2**63 - 1),
    ("比特币 é", "1.5e-7", "-0.0", 0),
    ("new\\nline", "0.1", "0.30000000000000004", -1),
]


def edge_text():
    alerts = ",".join(f'{{"symbol":"{s}","severity":{sev},"factors":{{"b(1)":{f},"severity":{sev}}},"ts":{ts}}}'
                      for s, sev, f, ts in EDGES)
    return f'{{"alerts":[{alerts}],"scanned":9}}'


@pytest.fixture(params=["random", "edges"])
def text(request):
    if request.param == "edges":
        return edge_text()
    events = [(s, {"kind": "orderbook", "ts": 10**12 + i, "bid_volume": 1 + i, "ask_volume": 40 - i,
                   "best_bid": 99.9, "best_ask": 100.1}) for i, s in enumerate(ODD_SYMBOLS)]
    return scan_text({**SPEC, "threshold": 0.0}, events)


def test_arrow_pandas_and_polars_agree(text):
    want = expected_rows(text)
    arrow, frame, polars = (alerts_table(text).to_arrow(), alerts_table(text).to_pandas(),
                            alerts_table(text).to_polars())
    assert [str(t) for t in arrow.schema.types[:4]] == ["int64", "string", "double", "int64"]
    assert all(str(t) == "double" for t in arrow.schema.types[4:])
    assert arrow.column_names == list(frame.columns) == polars.columns
    assert_rows([tuple(r.values()) for r in arrow.to_pylist()], want)
    assert_rows([tuple(r) for r in polars.iter_rows()], want)
    assert_rows([(int(r[0]), r[1], float(r[2]), int(r[3]), *map(float, r[4:]))
                 for r in frame.itertuples(index=False)], want)


def test_file_formats_read_back_the_same_values(text):
    table = alerts_table(text)
    want = expected_rows(text)
    read = list(csv.reader(io.StringIO(table.to_csv())))
    assert read[0] == list(table.columns)
    assert_rows([(int(r[0]), r[1], float(r[2]), int(r[3]), *map(float, r[4:])) for r in read[1:]], want)
    lines = [json.loads(line) for line in table.to_jsonl().splitlines()]
    nan = float("nan")
    assert_rows([tuple(nan if v is None else v for v in line.values()) for line in lines], want)
    assert_rows([tuple(r.values()) for r in pq.read_table(io.BytesIO(table.to_parquet())).to_pylist()], want)


@pytest.mark.parametrize("spec, columns", [
    (SPEC, ["rank", "symbol", "severity", "ts", *LABELS]),
    (None, ["rank", "symbol", "severity", "ts"]),
])
def test_an_empty_result_keeps_the_columns(spec, columns):
    table = alerts_table('{"alerts":[],"scanned":3}', None if spec is None else json.dumps(spec))
    arrow = table.to_arrow()
    assert arrow.num_rows == 0 and arrow.column_names == columns
    assert table.to_polars().schema == pl.Schema(dict(zip(columns, [pl.Int64, pl.Utf8] + [pl.Float64, pl.Int64]
                                                          + [pl.Float64] * (len(columns) - 4))))
    assert list(table.to_pandas().columns) == columns and table.to_pandas()["ts"].dtype == "int64"
    assert list(csv.reader(io.StringIO(table.to_csv()))) == [columns]
    assert table.to_jsonl() == ""


def test_file_scan_result_gives_the_table(tmp_path):
    path = tmp_path / "e.jsonl"
    path.write_text(json.dumps({"symbol": "ETH", "kind": "orderbook", "ts": 5, "bid_volume": 30, "ask_volume": 10,
                                "best_bid": 99.9, "best_ask": 100.1}) + "\n")
    found = scan_files(path, json.dumps(SPEC))
    assert found.to_arrow().equals(alerts_table(found.text).to_arrow()) and found.to_arrow().num_rows == 1
    assert found.to_polars().equals(alerts_table(found.text).to_polars())
    empty = scan_files(path, json.dumps({**SPEC, "threshold": 2}))
    assert empty.to_pandas().columns.tolist() == ["rank", "symbol", "severity", "ts", *LABELS]


@pytest.mark.parametrize("text, error", [
    ("{", "parse: EOF while parsing an object at line 1 column 1"),
    ('{"error":"bad spec: no signals","ok":false}', "bad spec: no signals"),
    ('{"alerts":[{"symbol":"A","severity":1,"factors":{},"ts":1.5}],"scanned":1}',
     'parse: not a scan result: alert 1 has no integer "ts"'),
    ('{"alerts":[{"symbol":"A","severity":1,"factors":{"x(1)":1},"ts":1},'
     '{"symbol":"B","severity":1,"factors":{},"ts":1}],"scanned":2}',
     "parse: not a scan result: alert 2 has other factors than alert 1"),
    ('{"ok":true}', 'parse: not a scan result: no "alerts" list'),
])
def test_a_text_that_is_no_scan_result_is_refused_in_one_line(text, error):
    with pytest.raises(ValueError) as caught:
        alerts_table(text)
    assert str(caught.value) == error


@pytest.mark.parametrize("method, package", [("to_arrow", "pyarrow"), ("to_pandas", "pandas"),
                                             ("to_polars", "polars"), ("to_parquet", "pyarrow")])
def test_a_missing_package_is_named(monkeypatch, method, package):
    monkeypatch.setitem(sys.modules, package, None)
    with pytest.raises(ImportError, match=rf"^{method}\(\) needs {package}: pip install 'zolvar_radar\[\w+\]'$"):
        getattr(alerts_table(edge_text()), method)()


# --- the command line -----------------------------------------------------------


@pytest.fixture
def files(tmp_path):
    spec = tmp_path / "spec.json"
    spec.write_text(json.dumps(SPEC))
    events = tmp_path / "e.jsonl"
    events.write_text("".join(json.dumps({"symbol": s, "kind": "orderbook", "ts": 7 + i, "bid_volume": 30,
                                          "ask_volume": 1 + i, "best_bid": 99.9, "best_ask": 100.1}) + "\n"
                              for i, s in enumerate(ODD_SYMBOLS)))
    return str(spec), str(events)


def run(capsys, *args):
    code = cli.main([str(a) for a in args])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
def test_scan_writes_the_table(capsys, tmp_path, files, fmt):
    spec, events = files
    table = scan_files(events, open(spec).read()).table()
    want = table.to_parquet() if fmt == "parquet" else table.to_csv() if fmt == "csv" else table.to_jsonl()
    target = tmp_path / f"alerts.{fmt}"
    code, out, err = run(capsys, "scan", "--spec", spec, "--format-out", fmt, "--output", target, events)
    assert (code, out, err) == (0, "", "")
    if fmt == "parquet":
        assert pq.read_table(target).equals(table.to_arrow())
    else:
        assert target.read_bytes() == want.encode()
        assert run(capsys, "scan", "--spec", spec, "--format-out", fmt, events) == (0, want, "")


@pytest.mark.parametrize("args, error", [
    (["--json", "--format-out", "csv"], "--json and --format-out cannot be used together"),
    (["--format-out", "parquet"], "--format-out parquet needs --output FILE"),
    (["--output", "x.csv"], "--output needs --format-out parquet, csv or jsonl"),
])
def test_scan_refuses_a_table_it_cannot_write(capsys, tmp_path, files, args, error):
    spec, events = files
    assert run(capsys, "scan", "--spec", spec, *args, events) == (2, "", error + "\n")
    assert not (tmp_path / "x.csv").exists()

