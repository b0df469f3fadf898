"""Events from ccxt's unified structures, for a loop that polls an exchange.

Each method takes what one ccxt ``fetch_*`` call returned and gives back the
(symbol, event) pairs it makes, often none; symbols are ccxt's own
(``"BTC/USDT:USDT"``). ccxt itself is not needed here: any dicts of these
shapes will do. Timestamps are ccxt's, milliseconds since the epoch; a
structure without one is stamped with the local clock.

``fetch_funding_rate`` (``fundingRate``, ``markPrice``, ``timestamp``)
    and ``fetch_open_interest`` (``openInterestAmount``, contracts or base
    units, or ``openInterestValue``, quote currency; ``timestamp``) together
    make ``derivatives`` events: a derivatives event needs open interest,
    funding rate and mark price, and no single structure carries all three.
    The adapter keeps the latest funding rate and mark price of each symbol
    and makes one event per new open-interest observation (a timestamp not
    newer than the last one used is a repeat and makes nothing). Open
    interest seen before the symbol's first funding rate is held, and its
    event is made when that funding rate arrives. A funding rate without
    ``markPrice`` is skipped and counted.

``fetch_order_book`` (``bids`` and ``asks`` as ``[[price, amount], ...]``
    best first, ``timestamp``) -> one ``orderbook`` event from the top level;
    a book with an empty side makes none and is counted.

``fetch_liquidations`` (a list of ``{side, price, contracts, contractSize,
    baseValue, quoteValue, timestamp}``) -> ``liquidation`` events. ``side``
    "buy"/"sell" is the side of the liquidation order and is kept; "long"
    (a long position was liquidated: a forced sale) becomes "sell", "short"
    becomes "buy". ``qty`` is ``contracts`` (or ``amount``), ``baseValue``
    (or contracts times ``contractSize``) or ``quoteValue`` (or the base
    quantity times ``price``), as chosen. Successive polls return
    overlapping lists: only liquidations newer than the newest already seen
    for the symbol (or at that same millisecond but not seen) make events.
"""

from __future__ import annotations

import math
import time
from collections import Counter
from typing import Any, Callable, Iterable, Literal, Mapping

__all__ = ["CcxtAdapter"]

Pair = tuple[str, dict]
_SIDES = {"buy": "buy", "sell": "sell", "long": "sell", "short": "buy"}


def _now_ms() -> int:
    return time.time_ns() // 1_000_000


def _finite(value: Any) -> float | None:
    if value is None or isinstance(value, bool):
        return None
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    return number if math.isfinite(number) else None


class CcxtAdapter:
    """Turns ccxt structures into (symbol, event) pairs, keeping what must be combined per symbol.

    ``open_interest`` picks ``openInterestAmount`` ("amount") or
    ``openInterestValue`` ("value"); ``liquidation_qty`` picks "contracts",
    "base" or "quote". Keep to one choice for a symbol's whole life: the
    indicators compare successive values. ``skipped`` counts what made no
    event, by reason.
    """

    def __init__(
        self,
        *,
        open_interest: Literal["amount", "value"] = "amount",
        liquidation_qty: Literal["contracts", "base", "quote"] = "contracts",
        clock: Callable[[], int] = _now_ms,
    ):
        if open_interest not in ("amount", "value"):
            raise ValueError(f'open_interest must be "amount" or "value", got {open_interest!r}')
        if liquidation_qty not in ("contracts", "base", "quote"):
            raise ValueError(f'liquidation_qty must be "contracts", "base" or "quote", got {liquidation_qty!r}')
        self._oi_key = "openInterestAmount" if open_interest == "amount" else "openInterestValue"
        self._liq_qty = liquidation_qty
        self._clock = clock
        self._funding: dict[str, tuple[float, float]] = {}  # symbol -> (funding rate, mark price)
        self._held_oi: dict[str, tuple[int, float]] = {}  # open interest waiting for a funding rate
        self._last_oi_ts: dict[str, int] = {}
        self._liq_seen: dict[str, tuple[int, set]] = {}  # symbol -> (newest ts, keys seen at that ts)
        self.skipped: Counter[str] = Counter()

    def _ts(self, structure: Mapping[str, Any]) -> int:
        ts = structure.get("timestamp")
        return int(ts) if isinstance(ts, (int, float)) and not isinstance(ts, bool) else self._clock()

    def _derivatives(self, symbol: str, ts: int, open_interest: float) -> Pair:
        funding_rate, mark_price = self._funding[symbol]
        self._last_oi_ts[symbol] = ts
        return symbol, {"kind": "derivatives", "ts": ts, "open_interest": open_interest,
                        "funding_rate": funding_rate, "mark_price": mark_price}

    def funding_rate(self, structure: Mapping[str, Any]) -> list[Pair]:
        """What ``fetch_funding_rate`` returned: the held open interest's event, if any."""
        symbol = structure["symbol"]
        rate, mark = _finite(structure.get("fundingRate")), _finite(structure.get("markPrice"))
        if rate is None or mark is None:
            self.skipped["funding rate without fundingRate or markPrice"] += 1
            return []
        self._funding[symbol] = (rate, mark)
        held = self._held_oi.pop(symbol, None)
        return [self._derivatives(symbol, *held)] if held is not None else []

    def funding_rates(self, structures: Mapping[str, Mapping[str, Any]] | Iterable[Mapping[str, Any]]) -> list[Pair]:
        """What ``fetch_funding_rates`` returned (a dict by symbol, or a list)."""
        values = structures.values() if isinstance(structures, Mapping) else structures
        return [pair for structure in values for pair in self.funding_rate(structure)]

    def open_interest(self, structure: Mapping[str, Any]) -> list[Pair]:
        """What ``fetch_open_interest`` returned: a derivatives event once a funding rate is known."""
        symbol = structure["symbol"]
        value = _finite(structure.get(self._oi_key))
        if value is None:
            self.skipped[f"open interest without {self._oi_key}"] += 1
            return []
        ts = self._ts(structure)
        last = self._last_oi_ts.get(symbol)
        if last is not None and ts <= last:
            self.skipped["repeated open interest"] += 1
            return []
        if symbol not in self._funding:
            self._held_oi[symbol] = (ts, value)
            return []
        return [self._derivatives(symbol, ts, value)]

    def order_book(self, book: Mapping[str, Any], symbol: str | None = None) -> list[Pair]:
        """What ``fetch_order_book`` returned: one order-book event from the top level."""
        symbol = symbol if symbol is not None else book["symbol"]
        bids, asks = book.get("bids") or [], book.get("asks") or []
        if not bids or not asks:
            self.skipped["order book with an empty side"] += 1
            return []
        best_bid, bid_volume = _finite(bids[0][0]), _finite(bids[0][1])
        best_ask, ask_volume = _finite(asks[0][0]), _finite(asks[0][1])
        if best_bid is None or bid_volume is None or best_ask is None or ask_volume is None:
            self.skipped["order book without a number at the top"] += 1
            return []
        return [(symbol, {"kind": "orderbook", "ts": self._ts(book), "bid_volume": bid_volume,
                          "ask_volume": ask_volume, "best_bid": best_bid, "best_ask": best_ask})]

    def _liq_qty_of(self, item: Mapping[str, Any], price: float) -> float | None:
        contracts = _finite(item.get("contracts"))
        if contracts is None:
            contracts = _finite(item.get("amount"))
        if self._liq_qty == "contracts":
            return contracts
        base = _finite(item.get("baseValue"))
        if base is None and contracts is not None:
            size = _finite(item.get("contractSize"))
            base = contracts * size if size is not None else None
        if self._liq_qty == "base":
            return base
        quote = _finite(item.get("quoteValue"))
        return quote if quote is not None else (base * price if base is not None else None)

    def liquidations(self, items: Iterable[Mapping[str, Any]]) -> list[Pair]:
        """What ``fetch_liquidations`` returned: the liquidations not seen before, oldest first."""
        pairs: list[Pair] = []
        for item in sorted(items, key=lambda i: self._ts(i)):
            symbol = item["symbol"]
            side = _SIDES.get(item.get("side"))  # type: ignore[arg-type]
            price = _finite(item.get("price"))
            qty = self._liq_qty_of(item, price) if price is not None else None
            if side is None or price is None or qty is None:
                self.skipped["liquidation without side, price or quantity"] += 1
                continue
            ts = self._ts(item)
            key = (item.get("id"), side, qty, price)
            newest, seen = self._liq_seen.get(symbol, (None, set()))
            if newest is not None and (ts < newest or ts == newest and key in seen):
                continue
            if ts != newest:
                seen = set()
            seen.add(key)
            self._liq_seen[symbol] = (ts, seen)
            pairs.append((symbol, {"kind": "liquidation", "ts": ts, "side": side, "qty": qty, "price": price}))
        return pairs
