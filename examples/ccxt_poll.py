#!/usr/bin/env python3
"""Polls an exchange through ccxt and prints the radar's alerts after every round.

    pip install ccxt
    python examples/ccxt_poll.py binanceusdm BTC/USDT:USDT ETH/USDT:USDT --every 60

Each round fetches, per symbol, open interest, the funding rate, the order
book and (where the exchange offers it) recent liquidations, feeds the events
they make and prints the ranked alerts. Liquidations are counted in quote
currency, so one scale fits every symbol.
"""

from __future__ import annotations

import argparse
import time
from typing import Any, Iterable

from zolvar_radar import RadarSpec, TypedRadar
from zolvar_radar.adapters.ccxt import CcxtAdapter

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
        if has.get("fetchOpenInterest"):
            pairs += adapter.open_interest(exchange.fetch_open_interest(symbol))
        if has.get("fetchFundingRate"):
            pairs += adapter.funding_rate(exchange.fetch_funding_rate(symbol))
        pairs += adapter.order_book(exchange.fetch_order_book(symbol, 5))
        if has.get("fetchLiquidations"):
            pairs += adapter.liquidations(exchange.fetch_liquidations(symbol))
        for event_symbol, event in pairs:
            radar.feed(event_symbol, event)
        fed += len(pairs)
    return fed


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
    args = parser.parse_args(argv)

    import ccxt  # only this script needs it

    exchange = getattr(ccxt, args.exchange)({"enableRateLimit": True})
    adapter = CcxtAdapter(liquidation_qty="quote")
    radar = TypedRadar(SPEC)
    while True:
        poll_once(exchange, adapter, radar, args.symbols)
        print_alerts(radar)
        time.sleep(args.every)


if __name__ == "__main__":
    main()
