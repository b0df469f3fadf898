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

The native core reads the rows (`zolvar_radar.adapters.read_events`, the
command line); what is here tells a header apart, as the core does.
"""

from __future__ import annotations

import csv

__all__ = ["looks_like_header", "tardis_kind", "DERIVATIVE_TICKER", "BOOK_SNAPSHOT", "LIQUIDATIONS"]

DERIVATIVE_TICKER = "derivative_ticker"
BOOK_SNAPSHOT = "book_snapshot"
LIQUIDATIONS = "liquidations"

# The columns each kind needs beyond symbol and timestamp, in the order a header is tried.
_KINDS = (
    (BOOK_SNAPSHOT, ("bids[0].price", "bids[0].amount", "asks[0].price", "asks[0].amount")),
    (DERIVATIVE_TICKER, ("open_interest", "funding_rate", "mark_price")),
    (LIQUIDATIONS, ("side", "price", "amount")),
)


def _split(text: str) -> list[str]:
    # tardis quotes nothing; the csv module only for the odd line that does
    if '"' in text:
        return next(csv.reader([text]))
    return text.split(",")


def looks_like_header(line: str) -> bool:
    """Whether a file's first non-blank line makes it a tardis CSV file: it does
    not open a JSON value and has "symbol" and "timestamp" columns."""
    if line.startswith(("{", "[")):
        return False
    columns = _split(line)
    return "symbol" in columns and "timestamp" in columns


def tardis_kind(header: str) -> str | None:
    """The kind of tardis file a header line belongs to, or None."""
    columns = _split(header)
    if "symbol" not in columns or "timestamp" not in columns:
        return None
    for kind, needed in _KINDS:
        if all(name in columns for name in needed):
            # an incremental book file has every column of liquidations but "id"
            if kind != LIQUIDATIONS or "id" in columns or "is_snapshot" not in columns:
                return kind
    return None
