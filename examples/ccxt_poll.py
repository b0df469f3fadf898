#!/usr/bin/env python3
"""Polls an exchange through ccxt and prints the radar's alerts after every round.

    pip install ccxt
    python examples/ccxt_poll.py binanceusdm BTC/USDT:USDT ETH/USDT:USDT --every 60

Each round fetches, per symbol, open interest, the funding rate, the order
book and (where the exchange offers it) recent liquidations, feeds the events
they make and prints the ranked alerts, then what the adapter skipped.
Liquidations are counted in quote currency, so one scale fits every symbol.
Where the funding rate carries no mark price (OKX, Deribit) the mark price is
fetched on its own; Deribit's liquidations are read from its trades.

``--bar 1m`` gives every exchange the same cadence: at most one derivatives
snapshot and one order book per symbol and minute reach the radar, so the
look-backs of SPEC count minutes whether the exchange is polled every 10
seconds or every minute. A snapshot is fed once its minute is over.
"""

from __future__ import annotations

import argparse
import time
from collections import Counter
from typing import Any, Iterable

from zolvar_radar import RadarSpec, TypedRadar
from zolvar_radar.adapters.ccxt import CcxtAdapter
from zolvar_radar.bars import bar_width

SPEC = (
    RadarSpec(threshold=0.25, limit=10)
    .oi_delta(10, 0.05)
    .oi_price_divergence(10, 0.03, weight=2)
    .funding_flip(0.0005)
    .liq_cluster(20, 1_000_000, weight=1.5)
    .book_imbalance(0.6)
)


def poll_once(exchange: Any, adapter: CcxtAdapter, radar: TypedRadar, symbols: Iterable[str]) -> int:
    """One round of fetches for every symbol; returns how many events were fed."""
    has = getattr(exchange, "has", {})
    fed = 0
    for symbol in symbols:
        pairs = []
        if has.get("fetchFundingRate"):
            funding = exchange.fetch_funding_rate(symbol)
            pairs += adapter.funding_rate(funding)
            if funding.get("markPrice") is None:  # OKX, Deribit: the mark price comes on its own
                fetch = exchange.fetch_mark_price if has.get("fetchMarkPrice") else exchange.fetch_ticker
                pairs += adapter.ticker(fetch(symbol))
        if has.get("fetchOpenInterest"):
            pairs += adapter.open_interest(exchange.fetch_open_interest(symbol))
        pairs += adapter.order_book(exchange.fetch_order_book(symbol, 5))
        if adapter.exchange_id == "deribit":  # liquidations are trades flagged as such
            pairs += adapter.liquidation_trades(exchange.fetch_trades(symbol))
        elif has.get("fetchLiquidations"):
            pairs += adapter.liquidations(exchange.fetch_liquidations(symbol))
        for event_symbol, event in pairs:
            radar.feed(event_symbol, event)
        fed += len(pairs)
    closed = adapter.close_bars()  # with --bar: the snapshots whose bar is over by now
    for event_symbol, event in closed:
        radar.feed(event_symbol, event)
    return fed + len(closed)


def print_skipped(adapter: CcxtAdapter, reported: Counter) -> None:
    """What made no event since the last call, by reason."""
    fresh = adapter.skipped - reported
    if fresh:
        print("  skipped: " + ", ".join(f"{reason} x{count}" for reason, count in sorted(fresh.items())))
    reported.update(fresh)


def print_alerts(radar: TypedRadar) -> None:
    result = radar.alerts()
    print(f"{time.strftime('%H:%M:%S')}  {len(result)} alerts, {result.scanned} symbols")
    for alert in result:
        strongest = sorted(((v, k) for k, v in alert.factors.items() if k != "severity"), reverse=True)[:2]
        print(f"  {alert.symbol:<16} {alert.severity:.3f}  " + ", ".join(f"{k} {v:.2f}" for v, k in strongest))


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("exchange", help="a ccxt exchange id, e.g. binanceusdm or bybit")
    parser.add_argument("symbols", nargs="+", help="ccxt symbols, e.g. BTC/USDT:USDT")
    parser.add_argument("--every", type=float, default=60, help="seconds between rounds (default: 60)")
    parser.add_argument("--bar", type=bar_width,
                        help="at most one snapshot of each kind per symbol and bar, e.g. 1m or 30s")
    args = parser.parse_args(argv)

    import ccxt  # only this script needs it

    exchange = getattr(ccxt, args.exchange)({"enableRateLimit": True})
    exchange.load_markets()
    # contract sizes come from the markets: quote quantities are right for coin-margined contracts too
    adapter = CcxtAdapter(exchange, liquidation_qty="quote", bar=args.bar)
    radar = TypedRadar(SPEC)
    reported: Counter = Counter()
    while True:
        poll_once(exchange, adapter, radar, args.symbols)
        print_alerts(radar)
        print_skipped(adapter, reported)
        time.sleep(args.every)


if __name__ == "__main__":
    main()
