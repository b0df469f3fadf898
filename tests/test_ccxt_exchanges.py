"""The ccxt adapter on what ccxt's own parsers make of documented exchange payloads, offline."""

import copy
import importlib.util
import json
import subprocess
import sys
import warnings
from pathlib import Path

import pytest
from zolvar_radar import TypedRadar
from zolvar_radar.adapters.ccxt import AdapterWarning, CcxtAdapter

ccxt = pytest.importorskip("ccxt")
ccxtpro = pytest.importorskip("ccxt.pro")

FIXTURES = Path(__file__).parent / "fixtures" / "exchanges"
CLOCK = 1_800_000_000_000
LINEAR, INVERSE = "BTC/USDT:USDT", "BTC/USD:BTC"


class StubClient:
    """Collects what a ccxt.pro message handler resolves."""

    def __init__(self):
        self.resolved = {}

    def resolve(self, result, message_hash):
        self.resolved.setdefault(message_hash, []).extend(result)


def offline(name, pro=False):
    """The ccxt exchange, its markets set from the fixture, answering HTTP from the fixture's responses."""
    fixture = json.loads((FIXTURES / f"{name}.json").read_text())
    exchange = getattr(ccxtpro if pro else ccxt, name)()
    exchange.set_markets(fixture["markets"])

    def fetch(url, method="GET", headers=None, body=None):
        for path, response in fixture["rest"].items():
            if path in url:
                return copy.deepcopy(response)
        raise AssertionError(f"no canned response for {url}")

    exchange.fetch = fetch
    return exchange, fixture


def streamed(name):
    """Liquidations as ccxt.pro's handler parses the fixture's websocket messages."""
    exchange, fixture = offline(name, pro=True)
    client = StubClient()
    for message in fixture["ws_liquidations"]:
        exchange.handle_liquidation(client, copy.deepcopy(message))
    return exchange, client.resolved["liquidations"]


def adapter_for(exchange, **options):
    return CcxtAdapter(exchange, clock=lambda: CLOCK, **options)


def deriv(ts, oi, fr, px):
    return {"kind": "derivatives", "ts": ts, "open_interest": pytest.approx(oi), "funding_rate": fr, "mark_price": px}


def liq(ts, side, qty, price):
    return {"kind": "liquidation", "ts": ts, "side": side, "qty": pytest.approx(qty), "price": price}


# --- derivatives: funding rate, mark price, open interest ---------------------------

# (exchange, symbol, unit, open interest in that unit, ts, funding rate, mark price)
DERIVATIVES = [
    ("binanceusdm", LINEAR, "contracts", 10659.509, 1589437530011, 0.00038246, 11793.63104562),
    ("binanceusdm", LINEAR, "quote", 10659.509 * 11793.63104562, 1589437530011, 0.00038246, 11793.63104562),
    ("binancecoinm", INVERSE, "contracts", 15004, 1591261042378, 0.0001, 10000.0),
    ("binancecoinm", INVERSE, "base", 15004 * 100 / 10000.0, 1591261042378, 0.0001, 10000.0),
    ("binancecoinm", INVERSE, "quote", 15004 * 100, 1591261042378, 0.0001, 10000.0),
    # Bybit's inverse open interest is only openInterestValue (USD; a contract is 1 USD)
    ("bybit", INVERSE, "contracts", 461134384, 1669571400000, -0.001034, 16596.0),
    ("bybit", INVERSE, "base", 461134384 / 16596.0, 1669571400000, -0.001034, 16596.0),
    # OKX's funding rate has no mark price: it comes from fetch_mark_price
    ("okx", LINEAR, "contracts", 2216113.01, 1709800000000, 0.0001515, 67957.3),
    ("okx", LINEAR, "base", 22161.1301, 1709800000000, 0.0001515, 67957.3),
    ("okx", LINEAR, "quote", 22161.1301 * 67957.3, 1709800000000, 0.0001515, 67957.3),
    # Deribit's: from fetch_ticker; its open interest is USD, 10 USD a contract
    ("deribit", INVERSE, "contracts", 111336015, 1709800000123, 0.00012, 67011.0),
    ("deribit", INVERSE, "quote", 1113360150, 1709800000123, 0.00012, 67011.0),
]


@pytest.mark.parametrize("name, symbol, unit, oi, ts, rate, mark", DERIVATIVES,
                         ids=[f"{r[0]}-{r[2]}" for r in DERIVATIVES])
def test_derivatives_event_from_ccxt_structures(name, symbol, unit, oi, ts, rate, mark):
    exchange, _ = offline(name)
    adapter = adapter_for(exchange, open_interest=unit)
    pairs = adapter.open_interest(exchange.fetch_open_interest(symbol))
    funding = exchange.fetch_funding_rate(symbol)
    pairs += adapter.funding_rate(funding)
    if funding["markPrice"] is None:
        assert pairs == []  # held until the mark price is known
        fetch = exchange.fetch_mark_price if exchange.has.get("fetchMarkPrice") else exchange.fetch_ticker
        pairs += adapter.ticker(fetch(symbol))
    assert pairs == [(symbol, deriv(ts, oi, rate, mark))]
    assert not adapter.skipped


def test_okx_funding_without_mark_price_keeps_the_last_known_one():
    exchange, _ = offline("okx")
    adapter = adapter_for(exchange)
    adapter.ticker(exchange.fetch_mark_price(LINEAR))
    assert adapter.funding_rate(exchange.fetch_funding_rate(LINEAR)) == []
    assert adapter.open_interest(exchange.fetch_open_interest(LINEAR)) == [
        (LINEAR, deriv(1709800000000, 2216113.01, 0.0001515, 67957.3))]


def test_funding_without_mark_price_warns_once_when_none_is_known():
    exchange, _ = offline("okx")
    adapter = adapter_for(exchange)
    with pytest.warns(AdapterWarning, match=r"ccxt okx: funding rates carry no markPrice"):
        adapter.funding_rate(exchange.fetch_funding_rate(LINEAR))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        adapter.funding_rate(exchange.fetch_funding_rate(LINEAR))


def test_open_interest_within_one_bybit_interval_is_not_a_repeat():
    # Bybit stamps open interest with the start of its interval: new readings keep the timestamp
    exchange, _ = offline("bybit")
    clock = iter([CLOCK, CLOCK + 60_000])
    adapter = CcxtAdapter(exchange, clock=lambda: next(clock))
    adapter.funding_rate(exchange.fetch_funding_rate(INVERSE))
    first = exchange.fetch_open_interest(INVERSE)
    second = {**first, "openInterestValue": first["openInterestValue"] + 1000}
    pairs = [adapter.open_interest(s) for s in (first, second, dict(second))]
    assert [[e["ts"] for _, e in p] for p in pairs] == [[1669571400000], [CLOCK], []]
    assert pairs[1][0][1]["open_interest"] == 461135384
    assert adapter.skipped == {"repeated open interest": 1}


# --- order books --------------------------------------------------------------------


@pytest.mark.parametrize("name, symbol, event", [
    ("binanceusdm", LINEAR, (1589436922959, 431.0, 12.0, 11793.5, 11793.6)),
    ("binancecoinm", INVERSE, (1591250106368, 431.0, 12.0, 9638.0, 9638.2)),
    ("bybit", INVERSE, (1669571621100, 54000.0, 2000.0, 16596.0, 16597.5)),
    ("okx", LINEAR, (1709800003000, 87.0, 120.0, 67957.3, 67957.4)),
    ("gate", LINEAR, (1696736200000, 800.0, 1200.0, 28060.5, 28061.0)),
    ("deribit", INVERSE, (1709800000400, 25000.0, 13000.0, 67010.0, 67010.5)),
])
def test_order_book_top_level(name, symbol, event):
    exchange, _ = offline(name)
    keys = ("ts", "bid_volume", "ask_volume", "best_bid", "best_ask")
    assert adapter_for(exchange).order_book(exchange.fetch_order_book(symbol, 5)) == [
        (symbol, {"kind": "orderbook", **dict(zip(keys, event))})]


# --- liquidations -------------------------------------------------------------------

# (exchange, unit, expected (symbol, ts, side, qty, price) in order)
STREAMED = [
    ("binanceusdm", "contracts", [(LINEAR, 1568014460893, "sell", 0.014, 9910.0)]),
    ("binanceusdm", "quote", [(LINEAR, 1568014460893, "sell", 0.014 * 9910.0, 9910.0)]),
    ("binancecoinm", "quote", [(INVERSE, 1591154240949, "sell", 300, 9500.0)]),  # 3 contracts of 100 USD
    ("binancecoinm", "base", [(INVERSE, 1591154240949, "sell", 300 / 9500.0, 9500.0)]),
    # Bybit sends the liquidated position's side: "Sell" is a short, closed by a buy order
    ("bybit", "contracts", [(LINEAR, 1703485237953, "buy", 0.003, 43511.7),
                            (LINEAR, 1739502302929, "sell", 0.2, 96000.5),
                            (LINEAR, 1739502302929, "sell", 0.2, 96000.5)]),  # two equal fills in one message
    ("bybit", "quote", [(LINEAR, 1703485237953, "buy", 0.003 * 43511.7, 43511.7),
                        (LINEAR, 1739502302929, "sell", 0.2 * 96000.5, 96000.5),
                        (LINEAR, 1739502302929, "sell", 0.2 * 96000.5, 96000.5)]),
    # ccxt keeps the first of OKX's details; a contract is 0.01 BTC (linear) or 100 USD (inverse)
    ("okx", "contracts", [(LINEAR, 1709800010000, "sell", 25, 67900.1), (LINEAR, 1709800010500, "sell", 40, 67880.0),
                          (INVERSE, 1709800020000, "buy", 7, 68100.0)]),
    ("okx", "quote", [(LINEAR, 1709800010000, "sell", 0.25 * 67900.1, 67900.1),
                      (LINEAR, 1709800010500, "sell", 0.4 * 67880.0, 67880.0),
                      (INVERSE, 1709800020000, "buy", 700, 68100.0)]),
    ("okx", "base", [(LINEAR, 1709800010000, "sell", 0.25, 67900.1), (LINEAR, 1709800010500, "sell", 0.4, 67880.0),
                     (INVERSE, 1709800020000, "buy", 700 / 68100.0, 68100.0)]),
]


@pytest.mark.parametrize("name, unit, expected", STREAMED, ids=[f"{r[0]}-{r[1]}" for r in STREAMED])
def test_streamed_liquidations(name, unit, expected):
    exchange, items = streamed(name)
    adapter = adapter_for(exchange, liquidation_qty=unit)
    assert adapter.liquidations(items) == [(s, liq(ts, side, qty, px)) for s, ts, side, qty, px in expected]
    assert not adapter.skipped


def test_gate_streamed_liquidation_side_from_position_size():
    # ccxt.pro's gate handler fails on its own cache, so its parser is called directly
    exchange, fixture = offline("gate", pro=True)
    raw = fixture["ws_liquidations"][0]["result"][0]
    item = exchange.parse_ws_liquidation(copy.deepcopy(raw))
    assert item.get("side") is None
    pairs = adapter_for(exchange, liquidation_qty="quote").liquidations([item])
    assert pairs == [(LINEAR, liq(1696736199456, "sell", 300 * 0.0001 * 28000.5, 28000.5))]  # a long of 300


def test_gate_polled_liquidations_sides_and_overlap():
    exchange, _ = offline("gate")
    adapter = adapter_for(exchange, liquidation_qty="base")
    polled = exchange.fetch_liquidations(LINEAR)
    assert [i["side"] for i in polled] == ["buy", "sell", "sell"]  # ccxt's, from the sign of the position
    expected = [(LINEAR, liq(1696736132000, "sell", 0.0165, 28070.0)),
                (LINEAR, liq(1696736140000, "buy", 0.008, 28210.0)),
                (LINEAR, liq(1696736140000, "buy", 0.008, 28210.0))]
    assert adapter.liquidations(polled) == expected
    assert adapter.liquidations(exchange.fetch_liquidations(LINEAR)) == []


def test_deribit_settlements_are_no_liquidations_but_its_flagged_trades_are():
    exchange, _ = offline("deribit")
    adapter = adapter_for(exchange, liquidation_qty="contracts")
    with pytest.warns(AdapterWarning, match="ccxt deribit: fetch_liquidations gives bankruptcy settlements"):
        assert adapter.liquidations(exchange.fetch_liquidations(INVERSE)) == []
    assert adapter.skipped == {"bankruptcy settlement (no side, price or size)": 1}
    # "T": the taker (a seller) was liquidated; "M": the maker, buying; "MT": both. 10 USD a contract
    assert adapter.liquidation_trades(exchange.fetch_trades(INVERSE)) == [
        (INVERSE, liq(1709800001000, "sell", 500, 67000.0)),
        (INVERSE, liq(1709800002000, "buy", 120, 67100.0)),
        (INVERSE, liq(1709800003000, "buy", 30, 67200.0)),
        (INVERSE, liq(1709800003000, "sell", 30, 67200.0)),
    ]
    assert adapter.liquidation_trades(exchange.fetch_trades(INVERSE)) == []


def item(ts, qty=1.0, price=100.0, side="sell", symbol=LINEAR):
    return {"symbol": symbol, "timestamp": ts, "side": side, "contracts": qty, "price": price, "info": {}}


def test_overlapping_polls_keep_equal_fills_once_each():
    a, b, c = item(1), item(2, qty=3), item(3)
    adapter = CcxtAdapter()
    polls = [[a, dict(a), b], [a, dict(a), b, c], [b, c], [a, b, c, dict(c)]]
    assert [[e["ts"] for _, e in adapter.liquidations(p)] for p in polls] == [[1, 1, 2], [3], [], [3]]


def test_streamed_equal_fills_are_all_new():
    adapter = CcxtAdapter()
    assert len(adapter.liquidations([item(1)], fresh=True) + adapter.liquidations([item(1)], fresh=True)) == 2


def test_liquidations_older_than_the_window_are_not_taken_again():
    adapter = CcxtAdapter(dedup_window_ms=10)
    assert len(adapter.liquidations([item(1), item(50)])) == 2
    assert adapter.liquidations([item(1), item(50), item(60)]) == [(LINEAR, liq(60, "sell", 1.0, 100.0))]


# --- bad input: counted, warned once, never raised ---------------------------------

BAD = [
    ("liquidations", [item(None)], "liquidation without timestamp", "liquidation without timestamp"),
    ("liquidations", [item(float("nan"))], "liquidation without timestamp", "liquidation without timestamp"),
    ("liquidations", [{**item(5), "side": None}], "liquidation without side", "without side"),
    ("liquidations", [{**item(5), "price": None}], "liquidation without price", "without price"),
    ("liquidations", [None], "liquidation that is not a dict", "not a dict"),
    ("order_book", {"symbol": LINEAR, "bids": [[1]], "asks": [[2, 1]], "timestamp": 5},
     "order book without a number at the top", r"without \[price, amount\]"),
    ("order_book", {"symbol": LINEAR, "bids": [["x", 1]], "asks": [[2, 1]], "timestamp": 5},
     "order book without a number at the top", r"without \[price, amount\]"),
    ("open_interest", {"symbol": LINEAR, "timestamp": 5}, "open interest without openInterestAmount or "
     "openInterestValue", "openInterestAmount"),
    ("open_interest", {"symbol": LINEAR, "timestamp": 5, "openInterestAmount": 10**400}, "open interest without "
     "openInterestAmount or openInterestValue", "openInterestAmount"),
    ("liquidations", [item(2**64)], "liquidation without timestamp", "liquidation without timestamp"),
    ("funding_rate", {"markPrice": 1, "fundingRate": 0.1}, "funding rate without symbol", "without symbol"),
]


@pytest.mark.parametrize("method, structure, reason, warning", BAD, ids=[f"{r[0]}-{r[2]}" for r in BAD])
def test_bad_structures_are_counted_and_warned_once(method, structure, reason, warning):
    adapter = CcxtAdapter("binanceusdm")
    with pytest.warns(AdapterWarning, match=f"ccxt binanceusdm: .*{warning}") as caught:
        assert getattr(adapter, method)(structure) == []
        assert getattr(adapter, method)(structure) == []
    assert len([w for w in caught if issubclass(w.category, AdapterWarning)]) == 1
    assert adapter.skipped == {reason: 2}


def test_bad_timestamp_of_a_polled_structure_falls_back_to_the_clock():
    adapter = CcxtAdapter(clock=lambda: CLOCK)
    book = {"symbol": LINEAR, "bids": [[1, 2]], "asks": [[3, 4]], "timestamp": float("nan")}
    with pytest.warns(AdapterWarning, match="order book timestamp nan is not a number"):
        assert adapter.order_book(book)[0][1]["ts"] == CLOCK


def test_quantities_without_markets_warn_that_coin_margined_ones_are_wrong():
    adapter = CcxtAdapter(liquidation_qty="quote")
    with pytest.warns(AdapterWarning, match="no market for BTC/USDT:USDT: liquidation quote quantities"):
        pairs = adapter.liquidations([{**item(1, qty=2), "contractSize": 0.5}])
    assert pairs == [(LINEAR, liq(1, "sell", 100.0, 100.0))]


def test_module_does_not_import_ccxt():
    code = "import sys, zolvar_radar.adapters.ccxt, zolvar_radar.adapters.cryptofeed; print('ccxt' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout == "False\n"


# --- the polling example on offline exchanges ---------------------------------------


def load_example():
    path = Path(__file__).parents[1] / "examples" / "ccxt_poll.py"
    loaded = importlib.util.spec_from_file_location("ccxt_poll", path)
    example = importlib.util.module_from_spec(loaded)
    loaded.loader.exec_module(example)
    return example


@pytest.mark.parametrize("name, symbol, kinds", [
    ("binanceusdm", LINEAR, {"derivatives", "orderbook"}),
    ("binancecoinm", INVERSE, {"derivatives", "orderbook"}),
    ("bybit", INVERSE, {"derivatives", "orderbook"}),
    ("okx", LINEAR, {"derivatives", "orderbook"}),
    ("gate", LINEAR, {"orderbook", "liquidation"}),
    ("deribit", INVERSE, {"derivatives", "orderbook", "liquidation"}),
])
def test_polling_example_on_each_exchange(name, symbol, kinds, capsys):
    example = load_example()
    exchange, _ = offline(name)
    adapter = CcxtAdapter(exchange, liquidation_qty="quote", clock=lambda: CLOCK)
    radar, fed = TypedRadar(example.SPEC), []

    class Recorder:  # what reaches the radar
        def feed(self, symbol, event):
            radar.feed(symbol, event)
            fed.append(event["kind"])

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", AdapterWarning)
        example.poll_once(exchange, adapter, Recorder(), [symbol])
        example.poll_once(exchange, adapter, Recorder(), [symbol])
    assert set(fed) == kinds
    reported = example.Counter()
    adapter.skipped["liquidation without side"] += 1
    example.print_skipped(adapter, reported)
    example.print_skipped(adapter, reported)
    assert capsys.readouterr().out.count("liquidation without side x1") == 1
