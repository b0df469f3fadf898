"""Exchanges through cryptofeed's FeedHandler, on the watch's own event loop:
order books, funding, open interest, liquidations and tickers as the
exchange streams them; cryptofeed reconnects its own connections."""

from __future__ import annotations

import asyncio
import logging
import time

from .base import LiveSource, SourceError

__all__ = ["CryptofeedSource"]

log = logging.getLogger("zolvar_radar.watch")

# channel -> adapter method; the radar needs open interest and funding, the rest where offered
CHANNELS = {"open_interest": "open_interest", "funding": "funding", "l2_book": "book",
            "liquidations": "liquidation", "ticker": "ticker"}
NEEDED = ("open_interest", "funding")


class CryptofeedSource(LiveSource):
    """``exchanges`` are cryptofeed ids (BYBIT, OKX, BINANCE_FUTURES, ...); ``symbols`` cryptofeed
    symbols (BTC-USDT-PERP)."""

    def __init__(self, exchanges: list[str], *, symbols: list[str] | None = None):
        if not exchanges:
            raise SourceError("--source cryptofeed: give at least one --exchange ID")
        if not symbols:
            raise SourceError("--source cryptofeed: give --symbols (cryptofeed symbols, e.g. BTC-USDT-PERP)")
        self.exchanges = [e.upper() for e in dict.fromkeys(exchanges)]
        self.symbols = symbols
        self._handler = None
        self._feeds: list = []

    async def prepare(self) -> None:
        try:
            from cryptofeed.exchanges import EXCHANGE_MAP
        except ImportError:
            raise SourceError("--source cryptofeed needs cryptofeed: pip install 'zolvar_radar[live]'") from None
        for exchange in self.exchanges:
            cls = EXCHANGE_MAP.get(exchange)
            if cls is None:
                raise SourceError(f"--exchange {exchange}: not an exchange id cryptofeed knows")
            offered = set(getattr(cls, "websocket_channels", {}))
            missing = [c for c in NEEDED if c not in offered]
            if missing:
                raise SourceError(f"--exchange {exchange}: streams no {' or '.join(missing)}, which the radar needs")

    async def run(self, deliver, stop: asyncio.Event, metrics) -> None:
        from cryptofeed import FeedHandler
        from cryptofeed.exchanges import EXCHANGE_MAP

        from ...adapters.cryptofeed import CryptofeedAdapter

        adapter = CryptofeedAdapter()
        self._handler = handler = FeedHandler()

        def callback(exchange: str, method):
            async def on(obj, receipt_timestamp):
                await deliver(exchange, method(obj, receipt_timestamp), int(receipt_timestamp * 1000)
                              if receipt_timestamp else int(time.time() * 1000))
            return on

        for exchange in self.exchanges:
            cls = EXCHANGE_MAP[exchange]
            offered = [c for c in CHANNELS if c in getattr(cls, "websocket_channels", {})]
            callbacks = {c: callback(exchange, getattr(adapter, CHANNELS[c])) for c in offered}
            try:
                handler.add_feed(cls(symbols=self.symbols, channels=offered, callbacks=callbacks))
            except Exception as exc:  # an unknown symbol, a failed symbol look-up: this exchange only
                log.warning("%s: %s", exchange, exc)
                metrics.reconnect(exchange)
        handler.run(start_loop=False, install_signal_handlers=False)
        await stop.wait()

    async def close(self) -> None:
        if self._handler is not None:
            try:
                await self._handler.stop_async()
            except Exception as exc:
                log.debug("cryptofeed stop: %s", exc)
            self._handler = None
