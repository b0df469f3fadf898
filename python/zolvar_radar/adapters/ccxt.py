"""Events from ccxt's unified structures, for a loop that polls (or watches) an exchange.

Each method takes what one ccxt call returned and gives back the (symbol,
event) pairs it makes, often none; symbols are ccxt's own
(``"BTC/USDT:USDT"``). ccxt itself is not imported here: any dicts of these
shapes will do. Timestamps are ccxt's, milliseconds since the epoch.

Give the adapter the exchange object (or its ``markets`` and id): contract
sizes and the linear/inverse flags come from the markets, since ccxt's
structures often lack them or get them wrong for coin-margined contracts,
and a few sources need their sides corrected by exchange:

- Bybit's streamed liquidations carry the side of the liquidated position
  ("Buy": a long was liquidated, by a sell order); ccxt passes it through.
- Gate's liquidations carry the signed position size (ccxt turns a long into
  "buy" on REST and leaves the side empty on the websocket).
- Deribit's ``fetch_liquidations`` gives bankruptcy settlements: no side,
  price or size. Its liquidations are trades flagged ``liquidation``: use
  `CcxtAdapter.liquidation_trades` on ``fetch_trades``/``watch_trades``.

What cannot be mapped is counted in ``adapter.skipped`` by reason and said
once per cause with an `AdapterWarning`; nothing raises on bad data.

``CcxtAdapter(..., bar="1m")`` thins what every method returns to one
derivatives snapshot and one order book per symbol and minute (see
`zolvar_radar.bars`): a snapshot comes back once its minute has closed.
"""

from __future__ import annotations

import time
from typing import Any, Callable, Iterable, Literal, Mapping

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
    millis,
)

__all__ = ["AdapterWarning", "CcxtAdapter"]

Pair = tuple[str, dict]
_SIDES = {"buy": "buy", "sell": "sell", "long": "sell", "short": "buy"}
_OI_ALIASES: dict[str, Unit] = {"amount": "contracts", "value": "quote"}


def _now_ms() -> int:
    return time.time_ns() // 1_000_000


def _family(exchange_id: str | None) -> str | None:
    """binanceusdm -> binance, gateio -> gate: the rules below go by exchange family."""
    if not exchange_id:
        return None
    for name in ("binance", "bybit", "okx", "gate", "deribit"):
        if exchange_id.startswith(name):
            return name
    return exchange_id


def _info(structure: Mapping[str, Any]) -> Mapping[str, Any]:
    info = structure.get("info")
    return info if isinstance(info, Mapping) else {}


class _Symbol:
    """What a symbol's derivatives event is made of, as it comes in."""

    __slots__ = ("rate", "mark", "oi_key", "last_ts", "held")

    def __init__(self) -> None:
        self.rate: float | None = None
        self.mark: float | None = None
        self.oi_key: tuple | None = None  # (exchange timestamp, amount, value) of the last open interest used
        self.last_ts: int | None = None  # ts of the last derivatives event
        self.held: tuple[int, float | None, float | None] | None = None  # open interest waiting for rate or mark


class CcxtAdapter(BarredAdapter):
    """Turns ccxt structures into (symbol, event) pairs, keeping what must be combined per symbol.

    ``exchange`` is a ccxt exchange object (its ``id`` and ``markets`` are
    read when needed, so markets loaded later count) or an exchange id;
    ``markets`` (symbol -> ccxt market) overrides the exchange's.
    ``open_interest`` and ``liquidation_qty`` pick the unit, "contracts",
    "base" or "quote" ("amount" and "value" are the older names of
    "contracts" and "quote" for open interest). Keep to one unit for a
    symbol's whole life: the indicators compare successive values.
    ``dedup_window_ms`` is how far back polled liquidations are remembered.

    ``bar`` (a width such as "1m", 15000 or "15s": `zolvar_radar.bars`) gives
    every source one cadence: of a symbol's derivatives snapshots (and of its
    order books) in one interval of ``ts // width``, only the last one read
    is returned, when the next one lands in another interval or when
    `close_bars` (at the clock's time, or ``now``) finds its interval over;
    `flush_bars` returns all that is held. Liquidations come back at once.
    ``adapter.bars.dropped`` counts the snapshots replaced. Without ``bar``
    every method returns its pairs at once and the two return nothing.
    """

    def __init__(
        self,
        exchange: Any = None,
        *,
        markets: Mapping[str, Mapping[str, Any]] | None = None,
        open_interest: Literal["contracts", "base", "quote", "amount", "value"] = "contracts",
        liquidation_qty: Literal["contracts", "base", "quote"] = "contracts",
        clock: Callable[[], int] = _now_ms,
        dedup_window_ms: int = 3_600_000,
        bar: int | str | None = None,
    ):
        self._bars = None if bar is None else Bars(bar)
        self._oi_unit = check_unit("open_interest", open_interest, _OI_ALIASES)
        self._liq_unit = check_unit("liquidation_qty", liquidation_qty)
        self._exchange = exchange
        self._markets = markets
        exchange_id = exchange if isinstance(exchange, str) else getattr(exchange, "id", None)
        self.exchange_id: str | None = exchange_id if isinstance(exchange_id, str) else None
        self._family = _family(self.exchange_id)
        self._clock = clock
        self._symbols: dict[str, _Symbol] = {}
        self._liq_seen = LiquidationDedup(dedup_window_ms)
        self._report = Reporter(f"ccxt {self.exchange_id or '(exchange not given)'}")

    @property
    def skipped(self):
        """What made no event, by reason (a Counter)."""
        return self._report.skipped

    # --- helpers -------------------------------------------------------------

    def _market(self, symbol: str) -> Mapping[str, Any] | None:
        markets = self._markets if self._markets is not None else getattr(self._exchange, "markets", None)
        market = markets.get(symbol) if isinstance(markets, Mapping) else None
        return market if isinstance(market, Mapping) else None

    def _state(self, symbol: str) -> _Symbol:
        state = self._symbols.get(symbol)
        if state is None:
            state = self._symbols[symbol] = _Symbol()
        return state

    def _symbol(self, structure: Any, what: str) -> str | None:
        if not isinstance(structure, Mapping):
            self._report.skip(f"{what} that is not a dict", f"a {what} that is not a dict was skipped")
            return None
        symbol = structure.get("symbol")
        if not isinstance(symbol, str):
            self._report.skip(f"{what} without symbol", f"a {what} without symbol was skipped")
            return None
        return symbol

    def _ts_or_clock(self, structure: Mapping[str, Any], what: str) -> int:
        raw = structure.get("timestamp")
        ts = millis(raw)
        if ts is None and raw is not None:
            self._report.skip(f"{what} with a bad timestamp (local clock used)",
                              f"{what} timestamp {raw!r} is not a number: the local clock stands in")
        return ts if ts is not None else self._clock()

    # --- derivatives ---------------------------------------------------------

    def _oi_in_unit(self, symbol: str, amount: float | None, value: float | None, mark: float) -> float | None:
        spec = contract_spec(self._market(symbol))
        if spec is None:
            # without the market, ccxt's own fields are all there is
            if self._oi_unit == "contracts" and amount is not None:
                return amount
            if self._oi_unit == "quote" and value is not None:
                return value
            self._report.skip(
                f"open interest in {self._oi_unit} without market",
                f"open interest of {symbol} in {self._oi_unit}: no contract size known (pass the exchange or "
                "its markets)")
            return None
        size, inverse = spec
        if amount is not None:
            contracts = amount  # ccxt's openInterestAmount is in contracts (base units where a contract is 1)
        elif inverse:
            contracts = value / size  # type: ignore[operator]
        else:
            contracts = value / (size * mark) if mark else None  # type: ignore[operator]
        oi = convert(contracts, spec, mark, self._oi_unit) if contracts is not None else None
        if oi is None:
            self._report.skip(f"open interest not convertible to {self._oi_unit}",
                              f"open interest of {symbol} not convertible to {self._oi_unit} (mark price {mark})")
        return oi

    def _emit_derivatives(self, symbol: str, state: _Symbol, ts: int, amount: float | None,
                          value: float | None) -> list[Pair]:
        assert state.rate is not None and state.mark is not None
        oi = self._oi_in_unit(symbol, amount, value, state.mark)
        if oi is None:
            return []
        if state.last_ts is not None and ts <= state.last_ts:
            ts = state.last_ts + 1
        state.last_ts = ts
        return [(symbol, {"kind": "derivatives", "ts": ts, "open_interest": oi,
                          "funding_rate": state.rate, "mark_price": state.mark})]

    def _release(self, symbol: str, state: _Symbol) -> list[Pair]:
        if state.held is None or state.rate is None or state.mark is None:
            return []
        held, state.held = state.held, None
        return self._emit_derivatives(symbol, state, *held)

    @barred
    def funding_rate(self, structure: Mapping[str, Any]) -> list[Pair]:
        """What ``fetch_funding_rate`` returned: the held open interest's event, if any.

        A structure without ``markPrice`` (OKX's, Deribit's) keeps the mark
        price last known from a funding rate or `ticker`.
        """
        return self._funding_rate(structure)

    def _funding_rate(self, structure: Mapping[str, Any]) -> list[Pair]:
        symbol = self._symbol(structure, "funding rate")
        if symbol is None:
            return []
        rate, mark = finite(structure.get("fundingRate")), finite(structure.get("markPrice"))
        if rate is None:
            self._report.skip("funding rate without fundingRate",
                              "a funding rate without fundingRate was skipped")
            return []
        state = self._state(symbol)
        state.rate = rate
        if mark is not None:
            state.mark = mark
        elif state.mark is None:
            self._report.warn("funding rates carry no markPrice: feed fetch_mark_price or fetch_ticker results to "
                              "adapter.ticker() for derivatives events")
        return self._release(symbol, state)

    @barred
    def funding_rates(self, structures: Mapping[str, Mapping[str, Any]] | Iterable[Mapping[str, Any]]) -> list[Pair]:
        """What ``fetch_funding_rates`` returned (a dict by symbol, or a list)."""
        values = structures.values() if isinstance(structures, Mapping) else structures
        return [pair for structure in values for pair in self._funding_rate(structure)]

    @barred
    def ticker(self, structure: Mapping[str, Any]) -> list[Pair]:
        """What ``fetch_ticker`` or ``fetch_mark_price`` returned: its ``markPrice`` becomes the symbol's mark price."""
        return self._ticker(structure)

    def _ticker(self, structure: Mapping[str, Any]) -> list[Pair]:
        symbol = self._symbol(structure, "ticker")
        if symbol is None:
            return []
        mark = finite(structure.get("markPrice"))
        if mark is None:
            self._report.skip("ticker without markPrice")
            return []
        state = self._state(symbol)
        state.mark = mark
        return self._release(symbol, state)

    @barred
    def tickers(self, structures: Mapping[str, Mapping[str, Any]] | Iterable[Mapping[str, Any]]) -> list[Pair]:
        """What ``fetch_tickers`` or ``fetch_mark_prices`` returned (a dict by symbol, or a list)."""
        values = structures.values() if isinstance(structures, Mapping) else structures
        return [pair for structure in values for pair in self._ticker(structure)]

    @barred
    def open_interest(self, structure: Mapping[str, Any]) -> list[Pair]:
        """What ``fetch_open_interest`` returned: a derivatives event once funding rate and mark price are known.

        A reading equal to the last one (same exchange timestamp and values)
        is a repeat. A different reading under the same timestamp (Bybit
        stamps the start of its interval) is stamped with the local clock.
        """
        symbol = self._symbol(structure, "open interest")
        if symbol is None:
            return []
        amount, value = finite(structure.get("openInterestAmount")), finite(structure.get("openInterestValue"))
        if amount is None and value is None:
            self._report.skip("open interest without openInterestAmount or openInterestValue",
                              "an open interest without openInterestAmount or openInterestValue was skipped")
            return []
        state = self._state(symbol)
        exchange_ts = millis(structure.get("timestamp"))
        ts = self._ts_or_clock(structure, "open interest")
        key = (exchange_ts, amount, value)
        if exchange_ts is not None and state.oi_key is not None and state.oi_key[0] is not None:
            same = all(a == b for a, b in zip(key[1:], state.oi_key[1:]) if a is not None and b is not None)
            if exchange_ts < state.oi_key[0] or exchange_ts == state.oi_key[0] and same:
                self._report.skip("repeated open interest")
                return []
            if exchange_ts == state.oi_key[0]:
                ts = self._clock()
        state.oi_key = key
        if state.rate is None or state.mark is None:
            if state.held is not None:
                self._report.skip("open interest replaced while waiting for funding rate or mark price")
            state.held = (ts, amount, value)
            return []
        return self._emit_derivatives(symbol, state, ts, amount, value)

    # --- order books ---------------------------------------------------------

    def _top(self, levels: Any) -> tuple[float, float] | None:
        if not isinstance(levels, (list, tuple)) or not levels:
            return None
        level = levels[0]
        if not isinstance(level, (list, tuple)) or len(level) < 2:
            return None
        price, amount = finite(level[0]), finite(level[1])
        return (price, amount) if price is not None and amount is not None else None

    @barred
    def order_book(self, book: Mapping[str, Any], symbol: str | None = None) -> list[Pair]:
        """What ``fetch_order_book`` (or ``watch_order_book``) returned: one order-book event from the top level."""
        if symbol is None:
            symbol = self._symbol(book, "order book")
            if symbol is None:
                return []
        elif not isinstance(book, Mapping):
            self._report.skip("order book that is not a dict", "an order book that is not a dict was skipped")
            return []
        bids, asks = book.get("bids"), book.get("asks")
        if not bids or not asks:
            self._report.skip("order book with an empty side")
            return []
        bid, ask = self._top(bids), self._top(asks)
        if bid is None or ask is None:
            self._report.skip("order book without a number at the top",
                              f"an order book level without [price, amount] was skipped: bids {bids[:1]!r}, "
                              f"asks {asks[:1]!r}")
            return []
        return [(symbol, {"kind": "orderbook", "ts": self._ts_or_clock(book, "order book"), "bid_volume": bid[1],
                          "ask_volume": ask[1], "best_bid": bid[0], "best_ask": ask[0]})]

    # --- liquidations --------------------------------------------------------

    def _liq_side(self, item: Mapping[str, Any]) -> str | None:
        info, family = _info(item), self._family
        if family in (None, "bybit") and ("S" in info and "v" in info or "updatedTime" in info and "execId" not in info):
            # the liquidated position's side: "Buy" is a long, closed by a sell
            return {"buy": "sell", "sell": "buy"}.get(str(info.get("S", info.get("side"))).lower())
        if family in (None, "gate") and "contract" in info and "size" in info:
            size = finite(info.get("size"))  # the position's size, negative for a short
            if size:
                return "sell" if size > 0 else "buy"
            side = info.get("side")  # options: the settled position
            return _SIDES.get(side.lower()) if isinstance(side, str) else None
        side = item.get("side")
        return _SIDES.get(side.lower()) if isinstance(side, str) else None

    def _liq_qty(self, symbol: str, item: Mapping[str, Any], price: float) -> float | None:
        contracts = finite(item.get("contracts"))
        if contracts is None:
            contracts = finite(item.get("amount"))
        spec = contract_spec(self._market(symbol))
        if spec is not None:
            if contracts is None:
                base = finite(item.get("baseValue"))
                if base is None or spec[1]:
                    return None
                contracts = base / spec[0]
            return convert(contracts, spec, price, self._liq_unit)
        if self._liq_unit == "contracts":
            return contracts
        # no market: ccxt's own fields, right for linear contracts only
        self._report.warn(f"no market for {symbol}: liquidation {self._liq_unit} quantities are taken from ccxt's "
                          "baseValue/quoteValue or contractSize, wrong for coin-margined contracts (pass the "
                          "exchange or its markets)")
        base = finite(item.get("baseValue"))
        if base is None and contracts is not None:
            size = finite(item.get("contractSize"))
            base = contracts * size if size is not None else None
        if self._liq_unit == "base":
            return base
        quote = finite(item.get("quoteValue"))
        return quote if quote is not None else (base * price if base is not None else None)

    def _expand(self, items: Iterable[Any]) -> Iterable[Any]:
        """OKX's liquidation message holds several fills; ccxt keeps the first."""
        for item in items:
            details = _info(item).get("details") if isinstance(item, Mapping) else None
            if self._family in (None, "okx") and isinstance(details, list) and len(details) > 1:
                for detail in details:
                    if isinstance(detail, Mapping):
                        yield {**item, "contracts": detail.get("sz"), "price": detail.get("bkPx"),
                               "side": detail.get("side"), "timestamp": detail.get("ts"),
                               "baseValue": None, "quoteValue": None, "info": detail}
            else:
                yield item

    def _liquidation(self, item: Any) -> tuple[str, int, dict] | None:
        symbol = self._symbol(item, "liquidation")
        if symbol is None:
            return None
        if _info(item).get("type") == "bankruptcy":
            self._report.skip("bankruptcy settlement (no side, price or size)",
                              "fetch_liquidations gives bankruptcy settlements, not liquidation orders; feed "
                              "fetch_trades/watch_trades to adapter.liquidation_trades() instead")
            return None
        ts = millis(item.get("timestamp"))
        if ts is None:
            self._report.skip("liquidation without timestamp",
                              f"liquidation without timestamp skipped ({item.get('timestamp')!r}): the same one "
                              "would come back on every poll")
            return None
        side = self._liq_side(item)
        if side is None:
            self._report.skip("liquidation without side",
                              f"liquidation of {symbol} without side skipped (info: {dict(_info(item))!r})")
            return None
        price = finite(item.get("price"))
        if price is None:
            self._report.skip("liquidation without price", f"liquidation of {symbol} without price skipped")
            return None
        qty = self._liq_qty(symbol, item, price)
        if qty is None:
            self._report.skip(f"liquidation without quantity in {self._liq_unit}",
                              f"liquidation of {symbol} without quantity in {self._liq_unit} skipped")
            return None
        return symbol, ts, {"kind": "liquidation", "ts": ts, "side": side, "qty": qty, "price": price}

    def _dedup(self, parsed: list[tuple[str, int, dict, Any]], fresh: bool) -> list[Pair]:
        by_symbol: dict[str, list] = {}
        for symbol, ts, event, extra in sorted(parsed, key=lambda p: p[1]):
            key = (event["side"], event["qty"], event["price"], extra)
            by_symbol.setdefault(symbol, []).append((ts, key, (symbol, event)))
        pairs = [pair for symbol, batch in by_symbol.items() for pair in self._liq_seen.new(symbol, batch, fresh=fresh)]
        return sorted(pairs, key=lambda pair: pair[1]["ts"])

    @barred
    def liquidations(self, items: Iterable[Mapping[str, Any]], *, fresh: bool = False) -> list[Pair]:
        """What ``fetch_liquidations`` (or ``watch_liquidations``) returned: the liquidations not seen before.

        Successive polls overlap, and a liquidation has no id: an item counts
        as new when its timestamp and content occur more often in this batch
        than in any earlier one. ``fresh=True`` says the items are all new
        (``watch_liquidations`` with ccxt's ``newUpdates``), so identical
        items in successive calls are all kept.
        """
        parsed = []
        for item in self._expand(items or []):
            got = self._liquidation(item)
            if got is not None:
                parsed.append((*got, None))
        return self._dedup(parsed, fresh)

    @barred
    def liquidation_trades(self, trades: Iterable[Mapping[str, Any]], *, fresh: bool = False) -> list[Pair]:
        """Liquidations among what ``fetch_trades``/``watch_trades`` returned, from Deribit's ``liquidation`` flag.

        "T": the taker was liquidated, by an order on the trade's side; "M":
        the maker, on the other side; "MT": both, two liquidations. Trades
        have ids, so overlapping polls are told apart by id. Deribit's
        amounts of inverse contracts are US dollars: contracts are the amount
        over the contract size.
        """
        parsed = []
        for trade in trades or []:
            flag = _info(trade).get("liquidation") if isinstance(trade, Mapping) else None
            if not isinstance(flag, str) or not flag:
                continue
            symbol = self._symbol(trade, "liquidation trade")
            if symbol is None:
                continue
            taker = _SIDES.get(str(trade.get("side")).lower())
            amount = finite(trade.get("amount"))
            spec = contract_spec(self._market(symbol))
            if amount is not None and self._family == "deribit" and spec is not None and spec[1]:
                amount /= spec[0]
            elif amount is not None and self._family == "deribit" and spec is None:
                self._report.skip("liquidation trade without market",
                                  f"no market for {symbol}: Deribit's trade amounts are not in contracts")
                continue
            sides = ([taker] if "T" in flag else []) + ([{"buy": "sell", "sell": "buy"}.get(taker)] if "M" in flag
                                                        else [])
            for side in sides:
                got = self._liquidation({**trade, "side": side, "contracts": amount, "amount": None,
                                         "baseValue": None, "quoteValue": None, "info": {}})
                if got is not None:
                    parsed.append((*got, (trade.get("id"), side)))
        return self._dedup(parsed, fresh)
