"""The cryptofeed adapter on cryptofeed's own callback types, built as its exchange handlers build them."""

import warnings
from decimal import Decimal as D

import pytest
from types import SimpleNamespace
from zolvar_radar.adapters.cryptofeed import AdapterWarning, CryptofeedAdapter

types = pytest.importorskip("cryptofeed.types")

LINEAR, INVERSE = "BTC-USDT-PERP", "BTC-USD-PERP"
MARKETS = {
    "BINANCE_FUTURES": {LINEAR: {"contractSize": 1, "inverse": False}},
    "BYBIT": {INVERSE: {"contractSize": 1, "inverse": True}, LINEAR: {"contractSize": 1, "inverse": False}},
    "OKX": {LINEAR: {"contractSize": 0.01, "inverse": False}, INVERSE: {"contractSize": 100, "inverse": True}},
    "DERIBIT": {INVERSE: {"contractSize": 10, "inverse": True}},
}


def deriv(ts, oi, fr, px):
    return {"kind": "derivatives", "ts": ts, "open_interest": pytest.approx(oi), "funding_rate": fr, "mark_price": px}


def liq(ts, side, qty, price):
    return {"kind": "liquidation", "ts": ts, "side": side, "qty": pytest.approx(qty), "price": price}


# (exchange, symbol, unit, with markets, open interest, its timestamp, funding mark, rate, ticker, expected event)
# Bybit's timestamps are milliseconds in cryptofeed, everyone else's seconds
DERIVATIVES = [
    ("BINANCE_FUTURES", LINEAR, "contracts", False, "10659.509", 1589437530.011, "11793.63", "0.00038246", None,
     deriv(1589437530011, 10659.509, 0.00038246, 11793.63)),
    ("BINANCE_FUTURES", LINEAR, "quote", True, "10659.509", 1589437530.011, "11793.63", "0.00038246", None,
     deriv(1589437530011, 10659.509 * 11793.63, 0.00038246, 11793.63)),
    ("BYBIT", INVERSE, "base", True, "461134384", 1669571400000, "16596", "-0.001034", None,
     deriv(1669571400000, 461134384 / 16596, -0.001034, 16596.0)),
    # OKX's funding has no mark price: the ticker's mid stands in
    ("OKX", LINEAR, "quote", True, "2216113.01", 1709800000.0, None, "0.0001515", ("67957.3", "67957.5"),
     deriv(1709800000000, 22161.1301 * 67957.4, 0.0001515, 67957.4)),
    # Deribit's open interest is USD, 10 USD a contract
    ("DERIBIT", INVERSE, "contracts", True, "1113360150", 1709800000.123, "67011", "0.00012", None,
     deriv(1709800000123, 111336015, 0.00012, 67011.0)),
    ("DERIBIT", INVERSE, "quote", False, "1113360150", 1709800000.123, "67011", "0.00012", None,
     deriv(1709800000123, 1113360150, 0.00012, 67011.0)),
]


@pytest.mark.parametrize("exchange, symbol, unit, markets, oi, ts, mark, rate, ticker, expected", DERIVATIVES,
                         ids=[f"{r[0]}-{r[2]}" for r in DERIVATIVES])
def test_derivatives(exchange, symbol, unit, markets, oi, ts, mark, rate, ticker, expected):
    adapter = CryptofeedAdapter(markets=MARKETS[exchange] if markets else None, open_interest=unit)
    pairs = adapter.open_interest(types.OpenInterest(exchange, symbol, D(oi), ts, raw={}))
    if ticker:
        pairs += adapter.ticker(types.Ticker(exchange, symbol, D(ticker[0]), D(ticker[1]), ts, raw={}))
    with pytest.warns(AdapterWarning, match="funding has no mark price") if mark is None else warnings.catch_warnings():
        if mark is not None:
            warnings.simplefilter("error", AdapterWarning)
        pairs += adapter.funding(types.Funding(exchange, symbol, D(mark) if mark else None, D(rate), None, ts,
                                               raw={}))
    assert pairs == [(symbol, expected)]


def test_units_that_need_a_contract_size_warn_without_markets():
    adapter = CryptofeedAdapter(open_interest="base")
    adapter.funding(types.Funding("OKX", LINEAR, D(100), D("0.0001"), None, 1.0, raw={}))
    with pytest.warns(AdapterWarning, match="OKX BTC-USDT-PERP: open interest in base needs the contract size"):
        assert adapter.open_interest(types.OpenInterest("OKX", LINEAR, D(5), 2.0, raw={})) == []
    assert adapter.skipped == {"open interest in base without market": 1}


BINANCE_RAW = {"e": "forceOrder", "E": 1568014460893, "o": {"s": "BTCUSDT", "S": "SELL", "q": "0.014", "p": "9900",
                                                           "ap": "9910", "X": "FILLED", "l": "0.014", "z": "0.014"}}


def deribit_trade(trade_id, flag, direction, amount, price, ts):
    raw = {"trade_id": trade_id, "timestamp": ts, "price": price, "instrument_name": "BTC-PERPETUAL",
           "direction": direction, "amount": amount, **({"liquidation": flag} if flag else {})}
    return types.Liquidation("DERIBIT", INVERSE, direction, D(amount), D(price), trade_id, "filled", ts / 1000,
                             raw=raw)


# (exchange, unit, liquidations as cryptofeed builds them, expected events)
LIQUIDATIONS = [
    # the order's side; price and quantity from the raw fill where it has them
    ("BINANCE_FUTURES", "quote", [types.Liquidation("BINANCE_FUTURES", LINEAR, "sell", D("0.014"), D("9900"), None,
                                                    "filled", 1568014460.893, raw=BINANCE_RAW)],
     [liq(1568014460893, "sell", 0.014 * 9910, 9910.0)]),
    # Bybit's side is the position's; its timestamps are milliseconds; equal fills are two
    ("BYBIT", "contracts", [types.Liquidation("BYBIT", LINEAR, "sell", D("0.003"), D("43511.7"), None, None,
                                              1703485237953, raw={})] * 2,
     [liq(1703485237953, "buy", 0.003, 43511.7)] * 2),
    ("OKX", "base", [types.Liquidation("OKX", LINEAR, "sell", D(25), D("67900.1"), None, "filled", 1709800010.0,
                                       raw={}),
                     types.Liquidation("OKX", INVERSE, "buy", D(7), D(68100), None, "filled", 1709800020.0, raw={})],
     [liq(1709800010000, "sell", 0.25, 67900.1), liq(1709800020000, "buy", 700 / 68100, 68100.0)]),
    # Deribit: the flag says who was liquidated; amounts in USD, 10 a contract; a replayed id is dropped
    ("DERIBIT", "contracts", [deribit_trade("1", "T", "sell", 5000, 67000.0, 1709800001000),
                              deribit_trade("2", "M", "sell", 1200, 67100.0, 1709800002000),
                              deribit_trade("3", "MT", "buy", 300, 67200.0, 1709800003000),
                              deribit_trade("1", "T", "sell", 5000, 67000.0, 1709800001000)],
     [liq(1709800001000, "sell", 500, 67000.0), liq(1709800002000, "buy", 120, 67100.0),
      liq(1709800003000, "buy", 30, 67200.0), liq(1709800003000, "sell", 30, 67200.0)]),
]


@pytest.mark.parametrize("exchange, unit, items, expected", LIQUIDATIONS, ids=[r[0] for r in LIQUIDATIONS])
def test_liquidations(exchange, unit, items, expected):
    adapter = CryptofeedAdapter(markets=MARKETS[exchange], liquidation_qty=unit)
    pairs = [pair for item in items for pair in adapter.liquidation(item, 1.0)]
    assert [event for _, event in pairs] == expected
    assert not adapter.skipped


@pytest.mark.parametrize("item, reason", [
    (deribit_trade("9", None, "sell", 10, 1.0, 5), "liquidation without side"),
    (types.Liquidation("BYBIT", LINEAR, "sell", D(1), D(1), None, None, None, raw={}), "liquidation without timestamp"),
    (types.Liquidation("BYBIT", LINEAR, "sell", D(1), D("NaN"), None, None, 5.0, raw={}),
     "liquidation without quantity or price"),
])
def test_unmappable_liquidations_are_counted_and_warned(item, reason):
    adapter = CryptofeedAdapter()
    with pytest.warns(AdapterWarning, match="^cryptofeed: "):
        assert adapter.liquidation(item) == adapter.liquidation(item) == []
    assert adapter.skipped == {reason: 2}


def test_book_top_level_and_receipt_time():
    book = types.OrderBook("BINANCE_FUTURES", LINEAR, bids={D(100): D(2), D(99): D(5)}, asks={D(101): D(1)})
    adapter = CryptofeedAdapter()
    assert adapter.book(book, 1700000000.25) == [(LINEAR, {"kind": "orderbook", "ts": 1700000000250, "bid_volume": 2.0,
                                                            "ask_volume": 1.0, "best_bid": 100.0, "best_ask": 101.0})]
    assert adapter.book(types.OrderBook("OKX", LINEAR, bids={D(1): D(1)}, asks={}), 1.0) == []
    assert adapter.skipped == {"order book with an empty side": 1}
    # sides as plain dicts of price to size (hand-built books), then sides that are no such thing
    plain = SimpleNamespace(symbol=LINEAR, book=SimpleNamespace(bids={99: 5, 100: 2}, asks={102: 7, 101: 1}))
    assert adapter.book(plain, 1700000000.25) == adapter.book(book, 1700000000.25)
    assert adapter.book(SimpleNamespace(symbol=LINEAR, book=SimpleNamespace(bids=5, asks={1: 1})), 1.0) == []


def test_streaming_example_callbacks_feed_the_radar(monkeypatch, capsys):
    import asyncio
    import importlib.util
    from pathlib import Path

    examples = Path(__file__).parents[1] / "examples"
    monkeypatch.syspath_prepend(str(examples))
    loaded = importlib.util.spec_from_file_location("cryptofeed_stream", examples / "cryptofeed_stream.py")
    example = importlib.util.module_from_spec(loaded)
    loaded.loader.exec_module(example)
    from zolvar_radar import TypedRadar

    class Recorder(list):
        def feed(self, symbol, event):
            self.append((symbol, event))

        def alerts(self):
            radar = TypedRadar(example.SPEC)
            for pair in self:
                radar.feed(*pair)
            return radar.alerts()

    radar, adapter = Recorder(), CryptofeedAdapter()
    handlers = example.callbacks(adapter, radar, every=0)
    item = types.Liquidation("BYBIT", LINEAR, "sell", D(1), D(100), None, None, 1703485237953, raw={})
    asyncio.run(handlers["liquidations"](item, 1.0))
    asyncio.run(handlers["liquidations"](types.Liquidation("BYBIT", LINEAR, "x", D(1), D(1), None, None, 5, raw={}),
                                         1.0))
    assert "skipped: liquidation without side x1" in capsys.readouterr().out
    assert radar == [(LINEAR, liq(1703485237953, "buy", 1.0, 100.0))]
