"""Replay and evaluate read their files merged by time: a tardis day split by data type reads as one time-ordered file."""

import json
import random

import pytest

from zolvar_radar import Radar, Replay, scan_files
from zolvar_radar.cli import main

SPEC = json.dumps({"signals": [{"kind": "oi_delta", "params": [3, 0.01]}, {"kind": "book_imbalance", "params": [0.2]},
                               {"kind": "liq_cluster", "params": [3, 5]}], "threshold": 0.3})
BASE_US = 1_715_644_800_000_000
TICKER = "exchange,symbol,timestamp,local_timestamp,funding_rate,open_interest,mark_price"
BOOK = "exchange,symbol,timestamp,local_timestamp,asks[0].price,asks[0].amount,bids[0].price,bids[0].amount"
LIQS = "exchange,symbol,timestamp,local_timestamp,id,side,price,amount"


def tardis_day(rng: random.Random, tmp_path):
    """Three type-split files and the same events as one JSON Lines file sorted by time (ties: ticker, book, liquidations)."""
    rows = {"ticker": [], "book": [], "liqs": []}
    events = []  # (ts ms, file rank, order, line)
    for symbol in ("BTCUSDT", "ETHUSDT", "SOLUSDT"):
        oi, price = 1000.0, 100.0
        for i in range(60):
            us = BASE_US + i * 20_000_000 + rng.randrange(0, 19_000_000)
            oi *= 1 + rng.uniform(-0.02, 0.04)
            price *= 1 + rng.uniform(-0.01, 0.01)
            p, o = round(price, 2), round(oi, 3)
            rows["ticker"].append((us, f"x,{symbol},{us},{us},0.0001,{o},{p}"))
            events.append((us // 1000, 0, us, {"symbol": symbol, "kind": "derivatives", "ts": us // 1000,
                                              "open_interest": o, "funding_rate": 0.0001, "mark_price": p}))
            bus = us + rng.randrange(0, 3000)  # often the same millisecond as the ticker
            bid, ask = rng.randint(1, 50), rng.randint(1, 50)
            rows["book"].append((bus, f"x,{symbol},{bus},{bus},{p + 0.01},{ask},{p},{bid}"))
            events.append((bus // 1000, 1, bus, {"symbol": symbol, "kind": "orderbook", "ts": bus // 1000,
                                                "bid_volume": float(bid), "ask_volume": float(ask),
                                                "best_bid": p, "best_ask": round(p + 0.01, 2)}))
            if rng.random() < 0.3:
                side = rng.choice(["buy", "sell"])
                rows["liqs"].append((us, f"x,{symbol},{us},{us},,{side},{p},{rng.randint(1, 9)}"))
                events.append((us // 1000, 2, us, {"symbol": symbol, "kind": "liquidation", "ts": us // 1000,
                                                  "side": side, "qty": float(rows["liqs"][-1][1].rsplit(",", 1)[1]),
                                                  "price": p}))
    paths = []
    for name, header in (("ticker", TICKER), ("book", BOOK), ("liqs", LIQS)):
        ordered = sorted(rows[name], key=lambda r: r[0])  # a tardis file is in time order
        path = tmp_path / f"x_{name}.csv"
        path.write_text("\n".join([header] + [line for _, line in ordered]) + "\n")
        paths.append(str(path))
    # each file is read in time order, and files break ties in the order given
    events.sort(key=lambda e: (e[0], e[1], e[2]))
    one = tmp_path / "one.jsonl"
    one.write_text("".join(json.dumps(e[3]) + "\n" for e in events))
    return paths, str(one)


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("command", [["replay", "--every-ts", "60000"], ["replay", "--every", "7"],
                                     ["evaluate", "--every-ts", "60000", "--horizons", "60000,300000", "--json"]])
def test_split_tardis_files_read_as_one_time_ordered_file(capsys, tmp_path, seed, command):
    paths, one = tardis_day(random.Random(seed), tmp_path)
    spec = tmp_path / "spec.json"
    spec.write_text(SPEC)
    assert main([*command, "--spec", str(spec), *paths]) == 0
    split = capsys.readouterr().out
    assert main([*command, "--spec", str(spec), one]) == 0
    assert split == capsys.readouterr().out
    if command[0] == "replay":
        assert split.count("\n") > 3  # checkpoints all through the day, not one at the end of a file


def test_file_order_keeps_the_old_reading_and_scan_ignores_order(tmp_path):
    paths, one = tardis_day(random.Random(3), tmp_path)
    seen = {}
    for file_order in (False, True):
        replay = Replay(Radar(SPEC), paths, every_ts=60_000, file_order=file_order)
        seen[file_order] = [replay.fed for _ in replay if not getattr(replay, "at_end", False)]
        total = replay.fed
    # in file order the clock runs through the first file, then jumps back and no mark comes again
    assert seen[True][-1] < total / 2 < total * 0.8 < seen[False][-1]
    # a scan's result does not depend on the order of different kinds
    assert scan_files(paths, SPEC).text == scan_files([one], SPEC).text == scan_files(paths[::-1], SPEC).text


def test_a_file_going_back_in_time_is_named_once(tmp_path):
    lines = [{"symbol": "A", "kind": "derivatives", "ts": ts, "open_interest": 1, "funding_rate": 0, "mark_price": 1}
             for ts in (1000, 2000, 3000, 1500, 2500, 900)]
    path = tmp_path / "a.jsonl"
    path.write_text("".join(json.dumps(e) + "\n" for e in lines))
    for every_ts, expected in ((100, (str(path), 4, 3000, 1500)), (5000, None)):
        replay = Replay(Radar(SPEC), [str(path)], every_ts=every_ts)
        for _ in replay:
            pass
        assert replay.disorder == expected
        assert replay.fed == len(lines)  # merged as it stands, nothing dropped
