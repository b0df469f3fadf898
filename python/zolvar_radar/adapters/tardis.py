"""Events from tardis-style CSV files (one exchange's data type per file, plain or gzip).

Three kinds of file are read, told apart by their header line:

``derivative_ticker`` -> ``derivatives`` events
    columns ``exchange, symbol, timestamp, local_timestamp, funding_timestamp,
    funding_rate, predicted_funding_rate, open_interest, last_price,
    index_price, mark_price``. An event takes ``open_interest`` (contracts or
    base units, as the exchange reports it), ``funding_rate`` (a fraction per
    funding interval, 0.0001 = 0.01 %) and ``mark_price`` (quote currency).
    Tickers often come without one of them (an exchange sends open interest
    and funding in separate messages): such rows are skipped and counted,
    never read as zeros, which would look like open interest collapsing.

``book_snapshot_5`` (or any depth, ``book_snapshot_25`` ...) -> ``orderbook`` events
    columns ``exchange, symbol, timestamp, local_timestamp``, then
    ``asks[0].price, asks[0].amount, bids[0].price, bids[0].amount`` up to
    level 4 (or the file's depth). Only the top level is used: ``best_bid`` and
    ``best_ask`` are ``bids[0].price`` and ``asks[0].price``, ``bid_volume``
    and ``ask_volume`` their amounts. A snapshot with an empty side is skipped
    and counted.

``liquidations`` -> ``liquidation`` events
    columns ``exchange, symbol, timestamp, local_timestamp, id, side, price,
    amount``. ``side`` is the side of the liquidation order, kept as it is
    ("sell": a long position was closed, "buy": a short one); ``qty`` is
    ``amount`` (contracts or base units), or ``amount * price`` (quote
    currency) when asked for notional quantities, so one ``liq_cluster`` scale
    can fit symbols of very different prices.

Timestamps: tardis writes microseconds since the epoch. Events carry
**milliseconds** since the epoch (the microseconds divided by 1000, rounded
down), the unit of the radar's other sources and the one the command line
shows as UTC. ``timestamp`` (the exchange's time) is used; a row without it
falls back to ``local_timestamp`` (when the row was received).

A trades file has exactly the columns of a liquidations file; a file whose
name says "trades" (and not "liquidations") is refused rather than read as
liquidations.
"""

from __future__ import annotations

import csv
import math
import os
from collections import Counter

from ._errors import FormatError

__all__ = ["TardisTable", "tardis_kind", "DERIVATIVE_TICKER", "BOOK_SNAPSHOT", "LIQUIDATIONS"]

DERIVATIVE_TICKER = "derivative_ticker"
BOOK_SNAPSHOT = "book_snapshot"
LIQUIDATIONS = "liquidations"

_TICKER_COLUMNS = ("symbol", "timestamp", "open_interest", "funding_rate", "mark_price")
_BOOK_COLUMNS = ("symbol", "timestamp", "bids[0].price", "bids[0].amount", "asks[0].price", "asks[0].amount")
_LIQUIDATION_COLUMNS = ("symbol", "timestamp", "id", "side", "price", "amount")


def _split(text: str) -> list[str]:
    # tardis quotes nothing; the csv module only for the odd line that does
    if '"' in text:
        return next(csv.reader([text]))
    return text.split(",")


def tardis_kind(header: str) -> str | None:
    """The kind of tardis file a header line belongs to, or None."""
    columns = set(_split(header))
    if all(c in columns for c in _BOOK_COLUMNS):
        return BOOK_SNAPSHOT
    if all(c in columns for c in _TICKER_COLUMNS):
        return DERIVATIVE_TICKER
    if all(c in columns for c in _LIQUIDATION_COLUMNS):
        return LIQUIDATIONS
    return None


class TardisTable:
    """Turns the rows of one tardis CSV file into (symbol, event) pairs.

    ``skipped`` counts the rows left out, by reason ("no open_interest", ...).
    """

    def __init__(self, header: str, source: str, *, notional: bool = False):
        self.source = source
        self.notional = notional
        self.skipped: Counter[str] = Counter()
        columns = _split(header)
        kind = tardis_kind(header)
        if kind is None:
            raise FormatError(source, 1, "not a tardis CSV header: expected the columns of "
                              "derivative_ticker, book_snapshot_N or liquidations")
        if kind == LIQUIDATIONS:
            name = os.path.basename(source).lower()
            if "trades" in name and "liquidation" not in name:
                raise FormatError(source, 1, "a trades file (its columns are those of liquidations); "
                                  "only liquidations become events")
        self.kind = kind
        self.width = len(columns)
        index = {name: i for i, name in enumerate(columns)}
        self._symbol = index["symbol"]
        self._ts = index["timestamp"]
        self._local_ts = index.get("local_timestamp")
        wanted = {DERIVATIVE_TICKER: _TICKER_COLUMNS, BOOK_SNAPSHOT: _BOOK_COLUMNS,
                  LIQUIDATIONS: _LIQUIDATION_COLUMNS}[kind][2:]
        self._fields = [(name, index[name]) for name in wanted]
        self.row = {DERIVATIVE_TICKER: self._ticker, BOOK_SNAPSHOT: self._book,
                    LIQUIDATIONS: self._liquidation}[kind]

    def _cells(self, number: int, text: str) -> list[str]:
        cells = _split(text)
        if len(cells) != self.width:
            raise FormatError(self.source, number, f"expected {self.width} fields, got {len(cells)}")
        return cells

    def _time(self, number: int, cells: list[str]) -> int | None:
        text = cells[self._ts]
        if not text and self._local_ts is not None:
            text = cells[self._local_ts]
        if not text:
            self.skipped["no timestamp"] += 1
            return None
        try:
            return int(text) // 1000
        except ValueError:
            raise FormatError(self.source, number, f"timestamp: not an integer: {text!r}") from None

    def _numbers(self, number: int, cells: list[str], names: list[tuple[str, int]]) -> list[float] | None:
        values = []
        for name, i in names:
            text = cells[i]
            if not text:
                self.skipped[f"no {name}"] += 1
                return None
            try:
                value = float(text)
            except ValueError:
                raise FormatError(self.source, number, f"{name}: not a number: {text!r}") from None
            if not math.isfinite(value):
                raise FormatError(self.source, number, f"{name}: not a finite number: {text!r}")
            values.append(value)
        return values

    def _row(self, number: int, cells: list[str], fields) -> tuple[list[float], int] | None:
        """The row's numbers and timestamp, or None when the row is skipped."""
        values = self._numbers(number, cells, fields)
        if values is None:
            return None
        ts = self._time(number, cells)
        return None if ts is None else (values, ts)

    def _ticker(self, number: int, text: str) -> tuple[str, dict] | None:
        cells = self._cells(number, text)
        row = self._row(number, cells, self._fields)
        if row is None:
            return None
        (open_interest, funding_rate, mark_price), ts = row
        return cells[self._symbol], {
            "kind": "derivatives", "ts": ts, "open_interest": open_interest,
            "funding_rate": funding_rate, "mark_price": mark_price,
        }

    def _book(self, number: int, text: str) -> tuple[str, dict] | None:
        cells = self._cells(number, text)
        row = self._row(number, cells, self._fields)
        if row is None:
            return None
        (best_bid, bid_volume, best_ask, ask_volume), ts = row
        return cells[self._symbol], {
            "kind": "orderbook", "ts": ts, "bid_volume": bid_volume, "ask_volume": ask_volume,
            "best_bid": best_bid, "best_ask": best_ask,
        }

    def _liquidation(self, number: int, text: str) -> tuple[str, dict] | None:
        cells = self._cells(number, text)
        side = cells[self._fields[1][1]]
        if side not in ("buy", "sell"):
            if not side:
                self.skipped["no side"] += 1
                return None
            raise FormatError(self.source, number, f"side: expected buy or sell, got {side!r}")
        row = self._row(number, cells, self._fields[2:])
        if row is None:
            return None
        (price, amount), ts = row
        return cells[self._symbol], {
            "kind": "liquidation", "ts": ts, "side": side,
            "qty": amount * price if self.notional else amount, "price": price,
        }
