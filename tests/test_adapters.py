"""Adapters: tardis CSV files, JSON Lines through read_events, ccxt structures and the polling example."""

import gzip
import importlib.util
import io
import json
from pathlib import Path

import pytest
from zolvar_radar import Radar, TypedRadar, cli
from zolvar_radar.adapters import FormatError, detect_format, read_events
from zolvar_radar.adapters.ccxt import CcxtAdapter

FIXTURES = Path(__file__).parent / "fixtures"
TARDIS = FIXTURES / "tardis"
TICKER = TARDIS / "binance-futures_derivative_ticker_2024-05-14.csv"
BOOK = TARDIS / "deribit_book_snapshot_5_2024-05-14.csv"
LIQUIDATIONS = TARDIS / "bybit_liquidations_2024-05-14.csv"
SPEC = {"signals": [{"kind": "oi_delta", "params": [1, 0.01]}, {"kind": "book_imbalance", "params": [0.5]},
                    {"kind": "liq_cluster", "params": [3, 2]}], "threshold": 0}


def deriv(ts, oi, fr, px):
    return {"kind": "derivatives", "ts": ts, "open_interest": oi, "funding_rate": fr, "mark_price": px}


def book(ts, bid_volume, ask_volume, best_bid, best_ask):
    return {"kind": "orderbook", "ts": ts, "bid_volume": bid_volume, "ask_volume": ask_volume,
            "best_bid": best_bid, "best_ask": best_ask}


def liq(ts, side, qty, price):
    return {"kind": "liquidation", "ts": ts, "side": side, "qty": qty, "price": price}


# microseconds become milliseconds, rounded down; rows with an empty field are counted, not zeroed
TARDIS_CASES = [
    (TICKER, "derivative_ticker", [
        ("BTCUSDT", deriv(1715644800123, 71234.512, 0.0001, 61528.3)),
        ("ETHUSDT", deriv(1715644800223, 1283451.2, 0.000085, 2901.4)),
        ("BTCUSDT", deriv(1715644802000, 73890.004, 0.00012, 61419.9)),
        ("ETHUSDT", deriv(1715644803000, 1290000.0, -0.00002, 2898.7)),  # no timestamp: local_timestamp
    ], {"no open_interest": 1, "no funding_rate": 1}),
    (BOOK, "book_snapshot", [
        ("BTC-PERPETUAL", book(1715644800050, 310000.0, 12000.0, 61530.0, 61530.5)),
        ("BTC-PERPETUAL", book(1715644800150, 15000.0, 9000.0, 61530.5, 61531.0)),
        ("ETH-PERPETUAL", book(1715644800260, 4100.0, 3900.0, 2901.2, 2901.3)),
    ], {"no asks[0].price": 1}),
    (LIQUIDATIONS, "liquidations", [
        ("BTCUSDT", liq(1715644860001, "sell", 0.75, 61210.5)),
        ("BTCUSDT", liq(1715644860002, "sell", 1.2, 61200.0)),
        ("SOLUSDT", liq(1715644870000, "buy", 400.0, 146.25)),
    ], {"no amount": 1}),
]


def gzipped(path, tmp_path):
    target = tmp_path / (path.name + ".gz")
    target.write_bytes(gzip.compress(path.read_bytes()))
    return target


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize("path, kind, expected, skipped", TARDIS_CASES, ids=lambda c: getattr(c, "stem", None))
def test_tardis_files_become_events(path, kind, expected, skipped, compressed, tmp_path):
    source = gzipped(path, tmp_path) if compressed else path
    assert detect_format(source) == "tardis"
    reader = read_events(source)
    assert (reader.format, reader.kind) == ("tardis", kind)
    assert list(reader) == expected
    assert reader.skipped == skipped


def test_notional_liquidations_are_amount_times_price():
    quantities = [event["qty"] for _, event in read_events(LIQUIDATIONS, notional=True)]
    assert quantities == [0.75 * 61210.5, 1.2 * 61200.0, 400 * 146.25]


HEADER = "exchange,symbol,timestamp,local_timestamp,id,side,price,amount"


@pytest.mark.parametrize("name, lines, error", [
    ("liquidations.csv", [HEADER, "bybit,BTCUSDT,1,1,,sell,abc,1"], "liquidations.csv:2: price: not a number: 'abc'"),
    ("liquidations.csv", [HEADER, "bybit,BTCUSDT,1,1,,sell,nan,1"], "liquidations.csv:2: price: not a finite number"),
    ("liquidations.csv", [HEADER, "", "bybit,BTCUSDT,1,1,,sell,1"], "liquidations.csv:3: expected 8 fields, got 7"),
    ("liquidations.csv", [HEADER, "bybit,BTCUSDT,1,1,,SELL,1,1"], "liquidations.csv:2: side: expected buy or sell"),
    ("liquidations.csv", [HEADER, "bybit,BTCUSDT,1.5,1,,sell,1,1"], "liquidations.csv:2: timestamp: not an integer"),
    ("bybit_trades_2024-05-14.csv", [HEADER], "bybit_trades_2024-05-14.csv:1: a trades file"),
])
def test_bad_tardis_rows_name_file_and_line(name, lines, error, tmp_path):
    path = tmp_path / name
    path.write_text("\n".join(lines) + "\n")
    with pytest.raises(FormatError) as caught:
        list(read_events(path))
    assert str(caught.value).startswith(str(tmp_path / error))
    assert isinstance(caught.value, ValueError)


@pytest.mark.parametrize("header, format, detected, error", [
    # "symbol" and "timestamp" make a CSV header: refused in CSV terms, not as bad JSON
    ("exchange,symbol,timestamp,price", None, "tardis",
     "x.csv:1: not a tardis CSV header: a liquidations file needs side, amount (missing)"),
    ("exchange,symbol,price", None, "jsonl", "x.csv:1: parse: expected value at line 1 column 1"),
    ("exchange,symbol,price", "tardis", "jsonl", "x.csv:1: not a tardis CSV header"),
])
def test_a_header_of_no_known_kind_fails_on_line_one(header, format, detected, error, tmp_path):
    path = tmp_path / "x.csv"
    path.write_text(header + "\n")
    assert detect_format(path) == detected
    reader = read_events(path, format)
    assert (reader.format, reader.kind) == (format or detected, None)
    with pytest.raises(FormatError) as caught:
        list(reader)
    assert str(caught.value).startswith(str(tmp_path / error))


@pytest.mark.parametrize("header, row, kind, event_kind", [
    ("symbol,timestamp,open_interest,funding_rate,mark_price", "A,5000,1,2,3", "derivative_ticker", "derivatives"),
    ("symbol,timestamp,asks[0].price,asks[0].amount,bids[0].price,bids[0].amount,side,price,amount",
     "A,5000,2,1,1,1,buy,1,1", "book_snapshot", "orderbook"),
    ("exchange,symbol,timestamp,local_timestamp,id,side,price,amount", "x,A,5000,5000,,buy,1,1",
     "liquidations", "liquidation"),
    # an incremental book has the columns of liquidations but "id": not a kind the core reads
    ("exchange,symbol,timestamp,local_timestamp,is_snapshot,side,price,amount", "x,A,5000,5000,false,bid,1,1",
     None, None),
])
def test_reader_kind_is_the_kind_the_core_reads(header, row, kind, event_kind, tmp_path):
    path = tmp_path / "data.csv"
    path.write_text(f"{header}\n{row}\n")
    reader = read_events(path)
    assert (reader.format, reader.kind) == ("tardis", kind)
    if kind is None:
        with pytest.raises(FormatError, match=r":1: not a tardis CSV header"):
            list(reader)
    else:
        assert [event["kind"] for _, event in reader] == [event_kind]


# --- JSON Lines through read_events -------------------------------------------------

EVENT = liq(5, "sell", 2.5, 100.0)


@pytest.mark.parametrize("line", [
    '{"symbol":"A","kind":"liquidation","ts":5,"side":"sell","qty":2.5,"price":100}',
    '{"symbol":"A","event":{"kind":"liquidation","ts":5,"side":{"sell":null},"qty":2.5,"price":100.0,"x":1}}',
    '{"event":["liquidation",5,"sell",2.5,100],"symbol":"A"}',
], ids=["flat", "wrapped", "array"])
def test_jsonl_forms_give_the_same_event(line, tmp_path):
    path = tmp_path / "e.jsonl"
    path.write_text(f"\n{line}\n")
    assert list(read_events(path)) == [("A", EVENT)]


@pytest.mark.parametrize("line, reason", [
    ('{"symbol":"A","kind":"liquidation","ts":5,"side":"sell","price":1}', "parse: missing field `qty`"),
    ('{"symbol":"A","kind":"orderbook","ts":1.0,"bid_volume":1,"ask_volume":1,"best_bid":1,"best_ask":1}',
     "parse: invalid type: floating point `1.0`, expected i64"),
    ('{"symbol":5,"kind":"liquidation"}', 'bad spec: missing string "symbol"'),
    ('{"symbol":"A","event":["liquidation",5,"sell",2.5]}', "parse: invalid length 3"),
    ('{"symbol":"A",', "parse: EOF while parsing"),
])
def test_bad_jsonl_lines_are_worded_by_the_radar(line, reason, tmp_path):
    path = tmp_path / "bad.jsonl"
    path.write_text(json.dumps({"symbol": "A", "event": EVENT}) + "\n" + line + "\n")
    events = read_events(path)
    assert next(events) == ("A", EVENT)
    with pytest.raises(FormatError) as caught:
        next(events)
    assert str(caught.value).startswith(f"{path}:2: {reason}")


def test_events_come_in_file_order_across_batches_then_the_bad_line(tmp_path):
    kinds = [deriv(1, 2.0, 0.5, 3.0), book(2, 1.0, 2.0, 3.0, 4.0), liq(3, "buy", 1.5, 2.5)]
    expected = [(f"S{i % 7}", {**kinds[i % 3], "ts": i}) for i in range(10_000)]
    lines = [json.dumps({"symbol": symbol, "event": event}) for symbol, event in expected]
    path = tmp_path / "many.jsonl.gz"
    path.write_bytes(gzip.compress(("\n".join(lines) + "\n{\n").encode()))
    given = []
    with pytest.raises(FormatError) as caught:
        for pair in read_events(path):
            given.append(pair)
    assert given == expected
    # the fields in the radar's order, as json.dumps of an event writes them
    assert [list(event) for _, event in given[:3]] == [list(event) for event in kinds]
    assert (caught.value.line, caught.value.reason) == (10_001, "parse: EOF while parsing an object at line 1 column 1")


def test_unreadable_files_raise_os_errors(tmp_path):
    missing = tmp_path / "nosuch.jsonl"
    with pytest.raises(OSError) as caught:
        read_events(missing)
    assert (str(caught.value), caught.value.strerror) == (f"{missing}: No such file or directory",
                                                          "No such file or directory")
    cut = tmp_path / "cut.jsonl.gz"
    cut.write_bytes(gzip.compress(b'{"symbol":"A","kind":"liquidation","ts":5,"side":"sell","qty":1,"price":1}\n'
                                  * 1000)[:60])
    with pytest.raises(OSError, match=r"cut\.jsonl\.gz: Compressed file ended before the end-of-stream marker"):
        list(read_events(cut))


def test_standard_input_is_read_without_knowing_its_format(monkeypatch):
    monkeypatch.setattr("sys.stdin", io.TextIOWrapper(io.BytesIO(LIQUIDATIONS.read_bytes())))
    reader = read_events("-")
    assert (reader.format, reader.kind) == (None, None)
    assert list(reader) == TARDIS_CASES[2][2]
    assert reader.skipped == {"no amount": 1}


def test_bundled_sample_gives_what_the_cli_scans(capsys):
    groups = {}
    for symbol, event in read_events(cli.SAMPLE):
        groups.setdefault(symbol, []).append(event)
    assert sum(map(len, groups.values())) == 91382
    assert cli.main(["scan", "--json"]) == 0
    spec = cli.DEFAULT_SPEC.read_text()
    assert Radar(spec).command(json.dumps({"cmd": "scan", "events": groups})) == capsys.readouterr().out.strip()


# --- the command line on tardis files ---------------------------------------------


def test_cli_scan_of_tardis_files_equals_the_scan_of_their_events(tmp_path, capsys):
    spec = tmp_path / "spec.json"
    spec.write_text(json.dumps(SPEC))
    files = [str(TICKER), str(gzipped(BOOK, tmp_path)), str(LIQUIDATIONS)]
    assert cli.main(["scan", "--json", "--spec", str(spec), *files]) == 0
    out, err = capsys.readouterr()
    groups = {}
    for _, _, expected, _ in TARDIS_CASES:
        for symbol, event in expected:
            groups.setdefault(symbol, []).append(event)
    assert out.strip() == Radar(json.dumps(SPEC)).command(json.dumps({"cmd": "scan", "events": groups}))
    assert f"{TICKER}: skipped 2 rows (no open_interest: 1, no funding_rate: 1)" in err


def test_cli_format_option_overrides_detection(capsys):
    assert cli.main(["scan", "--format", "jsonl", str(TICKER)]) == 2
    assert capsys.readouterr().err.startswith(f"{TICKER}:1: parse: ")
    assert cli.main(["replay", "--format", "tardis", "--no-progress", str(LIQUIDATIONS)]) == 0
    assert "replayed 3 events for 2 symbols" in capsys.readouterr().out


# --- ccxt structures ---------------------------------------------------------------

ROUNDS = json.loads((FIXTURES / "ccxt" / "rounds.json").read_text())
CLOCK = 1715644999999  # what the adapter stamps structures without a timestamp with


def replay_rounds(adapter):
    pairs = []
    for round_ in ROUNDS:
        for fetched in round_.values():
            pairs += adapter.open_interest(fetched["open_interest"])
            pairs += adapter.funding_rate(fetched["funding_rate"])
            pairs += adapter.order_book(fetched["order_book"])
            pairs += adapter.liquidations(fetched["liquidations"])
    return pairs


def test_ccxt_rounds_become_events():
    adapter = CcxtAdapter(clock=lambda: CLOCK)
    pairs = replay_rounds(adapter)
    btc, eth = "BTC/USDT:USDT", "ETH/USDT:USDT"
    assert pairs == [
        (btc, deriv(1715644800000, 80872.801, 0.0001, 61529.0)),  # open interest held until the funding rate
        (btc, book(1715644800150, 4.2, 3.9, 61528.9, 61529.0)),
        (eth, deriv(1715644800000, 1283451.2, 0.000085, 2901.4)),
        (eth, book(CLOCK, 120.5, 98.0, 2901.3, 2901.4)),
        (btc, deriv(1715644860000, 84110.5, 0.0001, 61529.0)),  # latest funding known when it came
        (btc, book(1715644860150, 1.2, 9.8, 61150.0, 61150.5)),
        (btc, liq(1715644850001, "sell", 750.0, 61210.5)),
        (btc, liq(1715644855002, "sell", 1200.0, 61200.0)),
        (btc, deriv(1715644920000, 88042.0, 0.00012, 61150.5)),
        (btc, book(1715644920150, 0.8, 11.5, 60980.0, 60980.2)),
        (btc, liq(1715644915000, "sell", 2500.0, 61010.0)),  # "long" liquidated: a sell; the repeat is gone
        (eth, deriv(1715644920000, 1291000.0, 0.00008, 2899.0)),
        (eth, book(1715644920150, 60.0, 55.0, 2897.9, 2898.0)),
    ]
    assert adapter.skipped == {"repeated open interest": 1, "order book with an empty side": 1}


@pytest.mark.parametrize("options, key, values", [
    ({"liquidation_qty": "base"}, "qty", [0.75, 1.2, 2.5]),
    ({"liquidation_qty": "quote"}, "qty", [45907.875, 73440.0, 152525.0]),
    ({"open_interest": "value"}, "open_interest", [4976034127.5, 5143286062.0, 5368804524.0]),
])
def test_ccxt_quantity_choices(options, key, values):
    pairs = replay_rounds(CcxtAdapter(clock=lambda: CLOCK, **options))
    assert [e[key] for s, e in pairs if key in e and s.startswith("BTC")] == values


def test_ccxt_base_quantity_from_contract_size_when_no_base_value():
    item = {"symbol": "X", "contracts": 3, "contractSize": 0.5, "price": 10, "side": "short", "timestamp": 1}
    assert CcxtAdapter(liquidation_qty="quote").liquidations([item]) == [("X", liq(1, "buy", 15.0, 10.0))]


class RecordedExchange:
    """Answers the fetch_* calls of one polling round from the recorded dicts."""

    has = {"fetchOpenInterest": True, "fetchFundingRate": True, "fetchLiquidations": True}

    def __init__(self, round_):
        self.round = round_

    def fetch_open_interest(self, symbol):
        return self.round[symbol]["open_interest"]

    def fetch_funding_rate(self, symbol):
        return self.round[symbol]["funding_rate"]

    def fetch_order_book(self, symbol, limit=None):
        return self.round[symbol]["order_book"]

    def fetch_liquidations(self, symbol):
        return self.round[symbol]["liquidations"]


def test_polling_example_feeds_what_the_adapter_makes():
    spec = Path(__file__).parents[1] / "examples" / "ccxt_poll.py"
    loaded = importlib.util.spec_from_file_location("ccxt_poll", spec)
    example = importlib.util.module_from_spec(loaded)
    loaded.loader.exec_module(example)

    radar = TypedRadar(example.SPEC)
    adapter = CcxtAdapter(clock=lambda: CLOCK)
    fed = sum(example.poll_once(RecordedExchange(r), adapter, radar, list(r)) for r in ROUNDS)
    assert fed == 13

    raw = Radar(example.SPEC.to_json())
    for symbol, event in replay_rounds(CcxtAdapter(clock=lambda: CLOCK)):
        raw.command(json.dumps({"cmd": "feed", "symbol": symbol, "event": event}))
    assert radar.radar.command('{"cmd":"alerts"}') == raw.command('{"cmd":"alerts"}')
