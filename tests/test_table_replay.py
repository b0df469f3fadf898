"""Replay and evaluate over tables and Parquet: the same steps and figures as over the same events
read from a JSON Lines file."""

import json

import pytest

from zolvar_radar import Radar, cli, evaluate
from zolvar_radar.files import Replay
from zolvar_radar.table_input import BadRow, MissingColumnError, TableReplay, evaluate_table

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

SPEC = json.dumps({"signals": [{"kind": "oi_delta", "params": [2, 0.02]}, {"kind": "book_imbalance", "params": [0.5]}],
                   "threshold": 0.3})
T0 = 1_715_731_200_000


def rows(n=400):
    out = []
    for i in range(n):
        ts = T0 + i * 15_000
        if i % 3:
            out.append({"symbol": f"S{i % 5}", "kind": "derivatives", "ts": ts, "open_interest": 100.0 + (i * 7) % 13,
                        "funding_rate": 0.0001, "mark_price": 10.0 + (i % 9) / 10})
        else:
            out.append({"symbol": f"S{i % 5}", "kind": "orderbook", "ts": ts, "bid_volume": 1.0 + i % 4,
                        "ask_volume": 2.0, "best_bid": 9.9, "best_ask": 10.1})
    return out


def table_of(events):
    keys = list(dict.fromkeys(k for e in events for k in e))
    return pa.table({k: [e.get(k) for e in events] for k in keys})


def steps(replay, radar):
    return [(step.fed, step.clock, step.stop, radar.command('{"cmd":"alerts"}')) for step in replay]


@pytest.mark.parametrize("options", [{"every": 37}, {"every_ts": 600_000}, {"every": 50, "bar": "1m"}])
def test_a_table_replays_as_its_json_lines(tmp_path, options):
    events = rows()
    path = tmp_path / "e.jsonl"
    path.write_text("".join(json.dumps(e) + "\n" for e in events))
    want = steps(Replay(radar := Radar(SPEC), [str(path)], **options), radar)
    got = steps(TableReplay(radar := Radar(SPEC), table_of(events), **options), radar)
    assert got == want and len(want) > 3


def test_a_refused_row_stops_the_replay_where_it_stands():
    events = rows(10)
    events[6] = {**events[6], "mark_price": None, "best_ask": None}
    replay = TableReplay(radar := Radar(SPEC), table_of(events), every=4)
    last = steps(replay, radar)[-1]
    assert last[:3] == (6, events[5]["ts"], "bad")
    assert replay.bad == [BadRow(7, replay.bad[0].error)] and "missing field" in replay.bad[0].error
    with pytest.raises(MissingColumnError, match='no column "bid_volume", which orderbook rows need'):
        TableReplay(Radar(SPEC), pa.table({"symbol": ["A"], "ts": [1]}), kind="orderbook")


def test_evaluate_over_a_table_is_evaluate_over_its_file(tmp_path):
    events = rows(2000)
    path = tmp_path / "e.jsonl"
    path.write_text("".join(json.dumps(e) + "\n" for e in events))
    options = dict(horizons=["5m", "1h"], every_ts="10m", baseline=3, bootstrap=50)
    want = evaluate([str(path)], SPEC, **options)
    got = evaluate_table(table_of(events), SPEC, **options)
    assert got.stats == want.stats and got.rows() == want.rows()


@pytest.mark.parametrize("command", [["replay", "--every", "90"], ["evaluate", "--every-ts", "15m", "--baseline", "2",
                                                                    "--horizons", "5m,1h", "--bootstrap", "20"]])
def test_the_commands_read_a_parquet_directory_as_its_json_lines(tmp_path, capsys, command):
    events = rows(1200)
    path = tmp_path / "e.jsonl"
    path.write_text("".join(json.dumps(e) + "\n" for e in events))
    (tmp_path / "spec.json").write_text(SPEC)
    folder = tmp_path / "pq"
    for part in range(3):
        (folder / f"part={part}").mkdir(parents=True)
        pq.write_table(table_of(events[part * 400:(part + 1) * 400]), folder / f"part={part}" / "x.parquet")
    base = [*command, "--spec", str(tmp_path / "spec.json"), "--no-progress"]
    assert cli.main([*base, str(path)]) == 0
    want = capsys.readouterr()
    assert cli.main([*base, str(folder)]) == 0
    got = capsys.readouterr()
    assert got.out == want.out and want.out
