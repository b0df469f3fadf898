"""Events from cryptofeed's callback objects, for a feed handler that streams exchanges.

Each method takes what one cryptofeed callback receives (``OpenInterest``,
``Funding``, ``Liquidation``, ``OrderBook``, ``Ticker`` from
``cryptofeed.types``, or anything with the same attributes) and gives back the
(symbol, event) pairs it makes; symbols are cryptofeed's (``"BTC-USDT-PERP"``).
cryptofeed itself is not imported here. Timestamps become milliseconds:
cryptofeed gives seconds, except for Bybit's, which are already milliseconds
(a number above 10^11 is taken as milliseconds).

What cryptofeed hands over as exchanges send it is corrected here by exchange:

- Bybit's liquidation side is the liquidated position's ("buy": a long, closed
  by a sell order): inverted.
- Deribit's liquidations are its trades flagged ``liquidation``; cryptofeed
  gives the taker's side whoever was liquidated. The raw trade's flag decides:
  "T" keeps the side, "M" turns it, "MT" makes one liquidation on each side.
  Deribit's amounts of inverse contracts are US dollars.
- Binance's liquidation quantity and price are the order's; the raw message's
  filled quantity and average price are used where present.

``markets`` (symbol -> ``{"contractSize": ..., "inverse": ...}``, the shape of
a ccxt market) gives the contract sizes that "base" and "quote" quantities
need. What cannot be mapped is counted in ``adapter.skipped`` and said once
per cause with an `AdapterWarning`.

``CryptofeedAdapter(bar="1m")`` thins what every callback returns to one
derivatives snapshot and one order book per symbol and minute (see
`zolvar_radar.bars`): a snapshot comes back once its minute has closed.
"""

from __future__ import annotations

import time
from typing import Any, Callable, Mapping

from ..bars import Bars
from ._bars import BarredAdapter, barred
from ._contracts import (
    AdapterWarning,
    LiquidationDedup,
    Reporter,
    Unit,
    check_unit,
    contract_spec,
    convert,
    finite,
)

__all__ = ["AdapterWarning", "CryptofeedAdapter"]

Pair = tuple[str, dict]
_TURN = {"buy": "sell", "sell": "buy"}
_MS_ABOVE = 1e11  # seconds this large would be in the 5th millennium


def _now_ms() -> int:
    return time.time_ns() // 1_000_000


def _ms(value: Any) -> int | None:
    number = finite(value)
    if number is None:
        return None
    return int(number) if abs(number) >= _MS_ABOVE else int(round(number * 1000))



def _best(side: Any, *, highest: bool) -> tuple[Any, Any]:
    """The top level of a book side: cryptofeed's sorted sides give it by position
    (best first); a plain mapping of price to size, by its best price."""
    if callable(getattr(side, "index", None)) and not isinstance(side, (list, tuple, str)):
        return side.index(0)
    if isinstance(side, Mapping):
        price = (max if highest else min)((p for p in side if finite(p) is not None), key=finite)
        return price, side[price]
    raise TypeError("not a book side")


class _Symbol:
    __slots__ = ("rate", "mark", "mid", "last_ts", "held")

    def __init__(self) -> None:
        self.rate: float | None = None
        self.mark: float | None = None
        self.mid: float | None = None  # the ticker's, standing in where funding has no mark price
        self.last_ts: int | None = None
        self.held: tuple[int, float] | None = None


class CryptofeedAdapter(BarredAdapter):
    """Turns cryptofeed callback objects into (symbol, event) pairs.

    ``open_interest`` and ``liquidation_qty`` pick the unit: "contracts",
    "base" or "quote". Every callback object is new data, so liquidations
    are deduplicated only by id (a replay after a reconnect), never by
    content: two equal fills are two liquidations.

    ``bar`` (a width such as "1m", 15000 or "15s": `zolvar_radar.bars`) gives
    every exchange one cadence, however often it streams: of a symbol's
    derivatives snapshots (and of its order books) in one interval of
    ``ts // width``, only the last one read is returned, when the next one
    lands in another interval or when `close_bars` (at the clock's time, or
    ``now``) finds its interval over; `flush_bars` returns all that is held.
    Liquidations come back at once. ``adapter.bars.dropped`` counts the
    snapshots replaced. Without ``bar`` every method returns its pairs at
    once and the two return nothing.
    """

    def __init__(
        self,
        *,
        markets: Mapping[str, Mapping[str, Any]] | None = None,
        open_interest: Unit = "contracts",
        liquidation_qty: Unit = "contracts",
        clock: Callable[[], int] = _now_ms,
        dedup_window_ms: int = 3_600_000,
        bar: int | str | None = None,
    ):
        self._bars = None if bar is None else Bars(bar)
        self._oi_unit = check_unit("open_interest", open_interest)
        self._liq_unit = check_unit("liquidation_qty", liquidation_qty)
        self._markets = markets or {}
        self._clock = clock
        self._symbols: dict[str, _Symbol] = {}
        self._seen_ids = LiquidationDedup(dedup_window_ms)
        self._report = Reporter("cryptofeed")

    @property
    def skipped(self):
        """What made no event, by reason (a Counter)."""
        return self._report.skipped

    def _state(self, symbol: str) -> _Symbol:
        state = self._symbols.get(symbol)
        if state is None:
            state = self._symbols[symbol] = _Symbol()
        return state

    def _ts(self, obj: Any, receipt_timestamp: float | None) -> int:
        ts = _ms(getattr(obj, "timestamp", None))
        if ts is None:
            ts = _ms(receipt_timestamp)
        return ts if ts is not None else self._clock()

    def _spec(self, exchange: str, symbol: str) -> tuple[float, bool] | None:
        return contract_spec(self._markets.get(symbol))

    def _deribit_usd(self, exchange: str, symbol: str) -> bool:
        """Deribit counts inverse contracts (and perpetuals quoted in USD) in US dollars."""
        if exchange != "DERIBIT":
            return False
        spec = self._spec(exchange, symbol)
        return spec[1] if spec is not None else symbol.split("-")[1:2] == ["USD"]

    def _in_unit(self, exchange: str, symbol: str, amount: float, price: float | None, unit: Unit,
                 what: str) -> float | None:
        """An exchange's own amount (contracts, or Deribit's dollars) in ``unit``."""
        spec = self._spec(exchange, symbol)
        if self._deribit_usd(exchange, symbol):
            if unit == "quote":
                return amount
            if unit == "base":
                return self._priced(amount / price if price else None, what, unit)
            if spec is None:
                self._report.skip(f"{what} in contracts without market",
                                  f"{exchange} {symbol}: {what} is in USD; contracts need the contract size "
                                  "(pass markets)")
                return None
            return amount / spec[0]
        if unit == "contracts":
            return amount
        if spec is None:
            self._report.skip(f"{what} in {unit} without market",
                              f"{exchange} {symbol}: {what} in {unit} needs the contract size (pass markets)")
            return None
        return self._priced(convert(amount, spec, price, unit), what, unit)

    def _priced(self, value: float | None, what: str, unit: Unit) -> float | None:
        if value is None:
            self._report.skip(f"{what} without a price to convert to {unit}")
        return value

    # --- derivatives ---------------------------------------------------------

    def _emit(self, exchange: str, symbol: str, state: _Symbol, ts: int, amount: float) -> list[Pair]:
        assert state.rate is not None and state.mark is not None
        oi = self._in_unit(exchange, symbol, amount, state.mark, self._oi_unit, "open interest")
        if oi is None:
            return []
        if state.last_ts is not None and ts <= state.last_ts:
            self._report.skip("repeated open interest")
            return []
        state.last_ts = ts
        return [(symbol, {"kind": "derivatives", "ts": ts, "open_interest": oi,
                          "funding_rate": state.rate, "mark_price": state.mark})]

    def _release(self, exchange: str, symbol: str, state: _Symbol) -> list[Pair]:
        if state.held is None or state.rate is None or state.mark is None:
            return []
        held, state.held = state.held, None
        return self._emit(exchange, symbol, state, *held)

    @barred
    def funding(self, obj: Any, receipt_timestamp: float | None = None) -> list[Pair]:
        """A ``Funding``: the symbol's funding rate and mark price (OKX's has none: the ticker's mid stands in)."""
        exchange, symbol = str(getattr(obj, "exchange", "")), getattr(obj, "symbol", None)
        rate = finite(getattr(obj, "rate", None))
        if not isinstance(symbol, str) or rate is None:
            self._report.skip("funding without symbol or rate", f"{exchange}: a funding without symbol or rate "
                              "was skipped")
            return []
        state = self._state(symbol)
        state.rate = rate
        mark = finite(getattr(obj, "mark_price", None))
        if mark is None and state.mid is not None:
            self._report.warn(f"{exchange} funding has no mark price: the ticker's mid price stands in")
            mark = state.mid
        elif mark is None and state.mark is None:
            self._report.warn(f"{exchange} funding has no mark price: subscribe to TICKER for a stand-in, or no "
                              "derivatives events come")
        if mark is not None:
            state.mark = mark
        return self._release(exchange, symbol, state)

    @barred
    def ticker(self, obj: Any, receipt_timestamp: float | None = None) -> list[Pair]:
        """A ``Ticker``: its mid price, kept as the mark price of symbols whose funding has none."""
        symbol = getattr(obj, "symbol", None)
        bid, ask = finite(getattr(obj, "bid", None)), finite(getattr(obj, "ask", None))
        if not isinstance(symbol, str) or bid is None or ask is None:
            self._report.skip("ticker without symbol, bid or ask")
            return []
        self._state(symbol).mid = (bid + ask) / 2
        return []

    @barred
    def open_interest(self, obj: Any, receipt_timestamp: float | None = None) -> list[Pair]:
        """An ``OpenInterest``: a derivatives event once funding rate and mark price are known."""
        exchange, symbol = str(getattr(obj, "exchange", "")), getattr(obj, "symbol", None)
        amount = finite(getattr(obj, "open_interest", None))
        if not isinstance(symbol, str) or amount is None:
            self._report.skip("open interest without symbol or value",
                              f"{exchange}: an open interest without symbol or value was skipped")
            return []
        state = self._state(symbol)
        ts = self._ts(obj, receipt_timestamp)
        if state.rate is None or state.mark is None:
            if state.held is not None:
                self._report.skip("open interest replaced while waiting for funding")
            state.held = (ts, amount)
            return []
        return self._emit(exchange, symbol, state, ts, amount)

    # --- order books ---------------------------------------------------------

    @barred
    def book(self, obj: Any, receipt_timestamp: float | None = None) -> list[Pair]:
        """An ``OrderBook`` (the L2_BOOK callback): one order-book event from the top level."""
        symbol = getattr(obj, "symbol", None)
        sides = getattr(getattr(obj, "book", None), "bids", None), getattr(getattr(obj, "book", None), "asks", None)
        if not isinstance(symbol, str) or any(side is None for side in sides):
            self._report.skip("order book without symbol or sides", "an order book without symbol or sides "
                              "was skipped")
            return []
        try:
            if any(len(side) == 0 for side in sides):
                self._report.skip("order book with an empty side", f"{symbol}: an order book with an empty side "
                                  "was skipped")
                return []
            (bid, bid_size), (ask, ask_size) = _best(sides[0], highest=True), _best(sides[1], highest=False)
        except (TypeError, ValueError, KeyError, IndexError):  # sides that are no price-to-size maps
            bid = bid_size = ask = ask_size = None
        numbers = [finite(x) for x in (bid, bid_size, ask, ask_size)]
        if any(x is None for x in numbers):
            self._report.skip("order book without a number at the top", f"{symbol}: an order book level "
                              "without a number was skipped")
            return []
        best_bid, bid_volume, best_ask, ask_volume = numbers
        return [(symbol, {"kind": "orderbook", "ts": self._ts(obj, receipt_timestamp), "bid_volume": bid_volume,
                          "ask_volume": ask_volume, "best_bid": best_bid, "best_ask": best_ask})]

    # --- liquidations --------------------------------------------------------

    def _sides(self, exchange: str, side: Any, raw: Any) -> list[str] | None:
        side = side.lower() if isinstance(side, str) else None
        if side not in _TURN:
            return None
        if exchange == "BYBIT":
            return [_TURN[side]]
        if exchange == "DERIBIT":
            flag = raw.get("liquidation") if isinstance(raw, Mapping) else None
            if not isinstance(flag, str) or not flag:
                return None
            taker = raw.get("direction", side)
            return ([taker] if "T" in flag else []) + ([_TURN.get(taker, "")] if "M" in flag else [])
        return [side]

    @barred
    def liquidation(self, obj: Any, receipt_timestamp: float | None = None) -> list[Pair]:
        """A ``Liquidation``: its events (Deribit's "MT" makes two), none if its id was seen."""
        exchange, symbol = str(getattr(obj, "exchange", "")), getattr(obj, "symbol", None)
        if not isinstance(symbol, str):
            self._report.skip("liquidation without symbol", f"{exchange}: a liquidation without symbol was skipped")
            return []
        raw = getattr(obj, "raw", None)
        ts = _ms(getattr(obj, "timestamp", None))
        if ts is None:
            self._report.skip("liquidation without timestamp", f"{exchange}: a liquidation without timestamp "
                              "was skipped")
            return []
        sides = self._sides(exchange, getattr(obj, "side", None), raw)
        if not sides:
            self._report.skip("liquidation without side", f"{exchange}: liquidation side unknown (Deribit's needs "
                              "the raw trade's liquidation flag)")
            return []
        qty, price = finite(getattr(obj, "quantity", None)), finite(getattr(obj, "price", None))
        order = raw.get("o") if isinstance(raw, Mapping) else None
        if exchange.startswith("BINANCE") and isinstance(order, Mapping):
            filled, average = finite(order.get("z")), finite(order.get("ap"))
            qty = filled if filled else qty
            price = average if average else price
        if qty is None or price is None:
            self._report.skip("liquidation without quantity or price",
                              f"{exchange}: a liquidation without quantity or price was skipped")
            return []
        qty = self._in_unit(exchange, symbol, qty, price, self._liq_unit, "liquidation quantity")
        if qty is None:
            return []
        events = [(symbol, {"kind": "liquidation", "ts": ts, "side": side, "qty": qty, "price": price})
                  for side in sides]
        liquidation_id = getattr(obj, "id", None)
        if liquidation_id is None:
            return events
        return self._seen_ids.new(symbol, [(ts, (liquidation_id, e["side"]), (symbol, e)) for symbol, e in events])
