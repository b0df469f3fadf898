#!/usr/bin/env python3
"""Streams an exchange through cryptofeed and prints the radar's alerts every so often.

    pip install cryptofeed
    python examples/cryptofeed_stream.py BYBIT BTC-USDT-PERP ETH-USDT-PERP --every 30

Open interest, funding, liquidations, the top of the L2 book and the ticker
(whose mid price stands in for the mark price where funding has none, as on
OKX) are fed as they come. Quantities stay in contracts: "base" or "quote"
need the contract sizes (``CryptofeedAdapter(markets=...)``).

Exchanges stream at their own pace, and books far more often than open
interest: ``--bar 1m`` thins every one to at most one derivatives snapshot
and one order book per symbol and minute, so the look-backs of SPEC count
minutes on all of them.
"""

from __future__ import annotations

import argparse
import time
from collections import Counter

from zolvar_radar import TypedRadar
from zolvar_radar.adapters.cryptofeed import CryptofeedAdapter
from zolvar_radar.bars import bar_width

from ccxt_poll import SPEC, print_alerts


def callbacks(adapter: CryptofeedAdapter, radar: TypedRadar, every: float) -> dict:
    """cryptofeed's async callbacks by channel, each feeding what the adapter makes."""
    from cryptofeed.defines import FUNDING, L2_BOOK, LIQUIDATIONS, OPEN_INTEREST, TICKER

    state = {"printed": time.monotonic(), "reported": Counter()}

    def feeder(method):
        async def callback(obj, receipt_timestamp):
            for symbol, event in method(obj, receipt_timestamp):
                radar.feed(symbol, event)
            if time.monotonic() - state["printed"] >= every:
                state["printed"] = time.monotonic()
                for symbol, event in adapter.close_bars():  # with --bar: the bars that are over
                    radar.feed(symbol, event)
                print_alerts(radar)
                fresh = adapter.skipped - state["reported"]
                if fresh:
                    print("  skipped: " + ", ".join(f"{r} x{n}" for r, n in sorted(fresh.items())))
                state["reported"].update(fresh)
        return callback

    return {OPEN_INTEREST: feeder(adapter.open_interest), FUNDING: feeder(adapter.funding),
            LIQUIDATIONS: feeder(adapter.liquidation), L2_BOOK: feeder(adapter.book), TICKER: feeder(adapter.ticker)}


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("exchange", help="a cryptofeed exchange id, e.g. BYBIT, OKX, BINANCE_FUTURES")
    parser.add_argument("symbols", nargs="+", help="cryptofeed symbols, e.g. BTC-USDT-PERP")
    parser.add_argument("--every", type=float, default=30, help="seconds between alert printouts (default: 30)")
    parser.add_argument("--bar", type=bar_width,
                        help="at most one snapshot of each kind per symbol and bar, e.g. 1m or 30s")
    args = parser.parse_args(argv)

    from cryptofeed import FeedHandler  # only this script needs it
    from cryptofeed.exchanges import EXCHANGE_MAP

    adapter, radar = CryptofeedAdapter(bar=args.bar), TypedRadar(SPEC)
    handlers = callbacks(adapter, radar, args.every)
    feed = EXCHANGE_MAP[args.exchange](symbols=args.symbols, channels=list(handlers), callbacks=handlers)
    handler = FeedHandler()
    handler.add_feed(feed)
    handler.run()


if __name__ == "__main__":
    main()
