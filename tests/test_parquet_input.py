"""Parquet files and hive-partitioned directories in: `zolvar-radar scan` reads them as it reads
the same events as JSON Lines, --from/--to given to the reader."""

import json
import sys

import pytest

from zolvar_radar import cli, scan_files
from zolvar_radar.parquet_input import scan_parquet

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

SPEC = {"signals": [{"kind": "oi_delta", "params": [2, 0.1]}, {"kind": "liq_cluster", "params": [2, 10]}],
        "threshold": 0}
DAY = 86_400_000
T0 = 1_715_731_200_000  # 2024-05-14 00:00 UTC


def events():
    out = []
    for i in range(60):
        ts = T0 + i * DAY // 20  # three days
        out.append({"symbol": "BTC" if i % 3 else "ETH", "kind": "derivatives", "ts": ts, "open_interest": 100.0 + i,
                    "funding_rate": 0.001, "mark_price": 50.0 - i % 7})
        if i % 4 == 0:
            out.append({"symbol": "ETH", "kind": "liquidation", "ts": ts + 1, "side": "sell", "qty": 1.0 + i,
                        "price": 49.0})
    return out


@pytest.fixture
def day_files(tmp_path):
    """The events as JSON Lines and as a hive dataset by day, each day's kinds in files of their own columns."""
    rows = events()
    jsonl = tmp_path / "events.jsonl"
    jsonl.write_text("".join(json.dumps(r) + "\n" for r in rows))
    root = tmp_path / "dataset"
    for day in range(3):
        part = root / f"date=2024-05-{14 + day:02}"
        part.mkdir(parents=True)
        mine = [r for r in rows if (r["ts"] - T0) // DAY == day]
        # one file per day, ts as a timestamp: the kinds mixed, as they came
        keys = list(dict.fromkeys(k for r in mine for k in r))
        table = pa.table({k: [r.get(k) for r in mine] for k in keys})
        table = table.set_column(table.schema.get_field_index("ts"), "ts",
                                 pa.array([r["ts"] * 1000 for r in mine], pa.timestamp("us", "UTC")))
        pq.write_table(table, part / "part-0.parquet", row_group_size=8)
    return jsonl, root


def run(capsys, *args):
    code = cli.main(list(args))
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def test_a_hive_dataset_scans_as_its_json_lines(day_files, tmp_path, capsys):
    jsonl, root = day_files
    spec = tmp_path / "spec.json"
    spec.write_text(json.dumps(SPEC))
    want = run(capsys, "scan", "--json", "--spec", str(spec), str(jsonl))
    assert want[0] == 0
    assert run(capsys, "scan", "--json", "--spec", str(spec), str(root)) == want
    days = sorted(str(p) for p in root.glob("*/*.parquet"))
    assert run(capsys, "scan", "--json", "--spec", str(spec), *days) == want


@pytest.mark.parametrize("start, end", [("2024-05-15", None), (None, "2024-05-15T12:00"), (str(T0 + 7), str(T0 + DAY)),
                                        ("2030-01-01", None)])
def test_from_and_to_keep_what_a_filtered_file_would(day_files, tmp_path, start, end):
    from zolvar_radar.parquet_input import time_bound

    jsonl, root = day_files
    lo = time_bound(start) if start else None
    hi = time_bound(end) if end else None
    kept = [r for r in events() if (lo is None or r["ts"] >= lo) and (hi is None or r["ts"] < hi)]
    part = tmp_path / "kept.jsonl"
    part.write_text("".join(json.dumps(r) + "\n" for r in kept))
    got = scan_parquet(str(root), json.dumps(SPEC), start=lo, end=hi)
    assert got.text == scan_files([str(part)], json.dumps(SPEC)).text and got.events == len(kept)


def test_a_refused_row_names_its_file_and_row(tmp_path, capsys):
    table = pa.table({"symbol": ["A", "A", "A"], "kind": ["derivatives", "derivatve", "derivatives"], "ts": [1, 2, 3],
                      "open_interest": [1.0, 2.0, 3.0], "funding_rate": [0.0] * 3, "mark_price": [1.0] * 3})
    (tmp_path / "d").mkdir()
    pq.write_table(table.slice(0, 1), tmp_path / "d" / "a.parquet")
    pq.write_table(table.slice(1), tmp_path / "d" / "b.parquet")
    code, out, err = run(capsys, "scan", str(tmp_path / "d"))
    assert code == 2 and out == ""
    assert err.startswith(f"{tmp_path / 'd' / 'b.parquet'}: ROW 1: parse: unknown variant `derivatve`")
    code, out, err = run(capsys, "scan", "--skip-bad", str(tmp_path / "d"))
    assert code == 0 and "skipped 1 bad line" in err


@pytest.mark.parametrize("args, line", [
    (["--from", "2024-05-14", "JSONL"], "--from and --to are for Parquet inputs"),
    (["--from", "yesterday", "PARQUET"], "must be whole timestamp units or an ISO date or time"),
    (["--from", "5", "--to", "5", "PARQUET"], "--from 5 is not before --to 5"),
    (["PARQUET", "JSONL"], "Parquet inputs cannot be mixed with JSON Lines or CSV files"),
    (["--notional", "PARQUET"], "--notional cannot be used with Parquet inputs"),
    (["MISSING.parquet"], "MISSING.parquet: No such file or directory"),
    (["--dask", "PARQUET"], "--dask reads JSON Lines and CSV files; Parquet inputs are read without it"),
])
def test_what_parquet_inputs_refuse_is_one_line(day_files, capsys, args, line):
    jsonl, root = day_files
    args = [str(root) if a == "PARQUET" else str(jsonl) if a == "JSONL" else a for a in args]
    try:
        code, _out, err = run(capsys, "scan", *args)
    except SystemExit as exc:  # an option's own usage error
        code, err = exc.code, capsys.readouterr().err
    assert code == 2 and line in err and err.strip().splitlines()[-1].count(line) == 1


def test_a_saved_state_rolls_forward_day_by_day(day_files, tmp_path, capsys):
    jsonl, root = day_files
    days = sorted(str(p) for p in root.glob("*/*.parquet"))
    spec = tmp_path / "spec.json"
    spec.write_text(json.dumps(SPEC))
    common = ["--json", "--spec", str(spec), "--bar", "3h"]
    assert cli.main(["scan", *common, str(jsonl)]) == 0
    want = capsys.readouterr().out
    state = tmp_path / "s.state"
    assert cli.main(["scan", *common, "--save-state", str(state), days[0]]) == 0
    assert cli.main(["scan", *common, "--state", str(state), "--save-state", str(state), days[1]]) == 0
    capsys.readouterr()
    assert cli.main(["scan", *common, "--state", str(state), days[2]]) == 0
    assert capsys.readouterr().out == want


def test_columns_and_kind_on_the_command_line(tmp_path, capsys):
    table = pa.table({"ticker": ["A", "A"], "time": pa.array([T0, T0 + 60_000], pa.timestamp("ms")),
                      "side": ["buy", "sell"], "amount": [5.0, 7.0], "price": [1.0, 1.0]})
    pq.write_table(table, tmp_path / "liq.parquet")
    (tmp_path / "liq.jsonl").write_text("".join(
        json.dumps({"symbol": "A", "kind": "liquidation", "ts": ts, "side": s, "qty": q, "price": 1.0}) + "\n"
        for ts, s, q in [(T0, "buy", 5.0), (T0 + 60_000, "sell", 7.0)]))
    args = ["scan", "--json", "--threshold", "0"]
    assert cli.main([*args, str(tmp_path / "liq.jsonl")]) == 0
    want = capsys.readouterr().out
    mapped = ["--kind", "liquidation", "--column", "symbol=ticker", "--column", "ts=time", "--column", "qty=amount"]
    assert cli.main([*args, *mapped, str(tmp_path / "liq.parquet")]) == 0
    assert capsys.readouterr().out == want
    assert cli.main([*args, "--kind", "liquidation", str(tmp_path / "liq.parquet")]) == 2
    assert "--column symbol=ticker" in capsys.readouterr().err


@pytest.mark.parametrize("module, path, line", [
    ("pyarrow.parquet", "day.parquet", "reading Parquet needs pyarrow: pip install 'zolvar_radar[parquet]'"),
    ("fsspec", "s3://bucket/day.jsonl", "reading URLs needs fsspec: pip install 'zolvar_radar[cloud]'"),
])
def test_a_missing_extra_is_named_in_one_line(tmp_path, capsys, monkeypatch, module, path, line):
    if path.endswith(".parquet"):
        pq.write_table(pa.table({"x": [1]}), tmp_path / path)
        path = str(tmp_path / path)
    monkeypatch.setitem(sys.modules, module, None)  # its import fails, as when it is not installed
    assert cli.main(["scan", path]) == 2
    assert capsys.readouterr().err.strip().splitlines()[-1] == line


@pytest.mark.parametrize("args, line", [
    (["scan", "--save-state", "{root}/date=2024-05-14/part-0.parquet", "{root}"],
     "--save-state {root}/date=2024-05-14/part-0.parquet: a file inside the input directory {root}; writing there "
     "would overwrite it"),
    (["scan", "{mixed}"], "{mixed}: holds both Parquet files and JSON Lines or CSV files (such as b.jsonl), which are "
                          "not read together"),
    (["scan", "{twice}"], '{twice}: the table has two columns named "ts"'),
    (["sweep", "{grid}", "{root}"], "{root}: sweep reads JSON Lines and CSV files, not Parquet (scan, replay and "
                                    "evaluate do)"),
    (["scan", "--format-out", "parquet", "--output", "{tmp}/alerts.csv", "{root}"],
     "--output {tmp}/alerts.csv names a .csv file, but --format-out is parquet"),
])
def test_parquet_inputs_refused_in_one_line_and_left_whole(day_files, tmp_path, capsys, args, line):
    jsonl, root = day_files
    mixed, twice, grid = tmp_path / "mixed", tmp_path / "twice.parquet", tmp_path / "grid.json"
    mixed.mkdir()
    pq.write_table(pa.table({"symbol": ["A"]}), mixed / "a.parquet")
    (mixed / "b.jsonl").write_text(jsonl.read_text())
    pq.write_table(pa.table([pa.array([1]), pa.array([2])], names=["ts", "ts"]), twice)
    grid.write_text(json.dumps([dict(SPEC, threshold=0.5)]))
    before = sorted((p, p.read_bytes()) for p in root.rglob("*.parquet"))
    names = dict(root=root, mixed=mixed, twice=twice, grid=grid, tmp=tmp_path)
    code, out, err = run(capsys, *[a.format(**names) for a in args])
    assert (code, out, err) == (2, "", line.format(**names) + "\n")
    assert sorted((p, p.read_bytes()) for p in root.rglob("*.parquet")) == before


@pytest.mark.parametrize("command", ["replay", "evaluate"])
def test_parquet_read_out_of_time_order_is_named_once(day_files, tmp_path, capsys, command):
    jsonl, root = day_files
    bykind = tmp_path / "bykind"
    bykind.mkdir()
    rows = events()
    for kind in ("derivatives", "liquidation"):  # each kind in a file of its own: the second starts back in time
        mine = [r for r in rows if r["kind"] == kind]
        keys = list(dict.fromkeys(k for r in mine for k in r))
        pq.write_table(pa.table({k: [r.get(k) for r in mine] for k in keys}), bykind / f"{kind}.parquet")
    last = max(r["ts"] for r in rows if r["kind"] == "derivatives")
    code, _, err = run(capsys, command, "--every", "5", str(bykind))
    assert code == 0 and err.count("time goes back") == 1
    assert (f"warning: {bykind / 'liquidation.parquet'}:1: time goes back from {last} to {T0 + 1}; Parquet inputs "
            "are read in path order, not merged by time") in err
    assert "time goes back" not in run(capsys, command, "--every", "5", str(root))[2]  # by day: in order
