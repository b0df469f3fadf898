"""Exchanges through ccxt's async clients: streams where the client streams
(ccxt.pro: order books, liquidations), polls where it only polls (funding
rate and mark price, open interest), through ccxt's own rate limiter.

Each exchange runs on its own tasks: one failing, reconnecting or stalling
never holds up the others.
"""

from __future__ import annotations

import asyncio
import logging
import warnings

from .base import Backoff, LiveSource, SourceError, now_ms

__all__ = ["CcxtSource", "NEEDED"]

log = logging.getLogger("zolvar_radar.watch")

# What the radar cannot do without, per exchange: its open interest, and a
# funding rate with a mark price.
NEEDED = (("fetchOpenInterest",), ("fetchFundingRate", "fetchFundingRates"))


def _modules():
    try:
        import ccxt
        import ccxt.async_support as async_support
    except ImportError:
        raise SourceError("--source ccxt needs ccxt: pip install 'zolvar_radar[live]'") from None
    try:
        import ccxt.pro as pro
    except ImportError:  # an old ccxt without the streams: polls only
        pro = None
    return ccxt, async_support, pro


class _Exchange:
    """One exchange: its client, adapter and symbols."""

    def __init__(self, client, symbols: list[str]):
        from ...adapters.ccxt import CcxtAdapter

        self.client = client
        self.id = client.id
        self.symbols = symbols
        self.adapter = CcxtAdapter(client, liquidation_qty="quote")
        self.has = getattr(client, "has", {}) or {}


class CcxtSource(LiveSource):
    """``exchanges`` are ccxt ids; ``symbols`` the ccxt symbols to watch on each
    (those an exchange does not list are refused), or ``all_perpetuals`` (of
    settlement currency ``quote`` when given). ``poll`` is the seconds between
    polls of what is not streamed. ``client`` maps an id to a client object
    (tests, a configured client); by default ccxt.pro's class, else
    ccxt.async_support's, with the rate limiter on."""

    def __init__(self, exchanges: list[str], *, symbols: list[str] | None = None, all_perpetuals: bool = False,
                 quote: str | None = None, poll: float = 15.0, depth: int = 5, client=None):
        if not exchanges:
            raise SourceError("--source ccxt: give at least one --exchange ID")
        if not symbols and not all_perpetuals:
            raise SourceError("give --symbols A,B,... or --all-perpetuals")
        self.exchanges = list(dict.fromkeys(exchanges))
        self.symbols = symbols
        self.all_perpetuals = all_perpetuals
        self.quote = quote
        self.poll = poll
        self.depth = depth
        self._client = client
        self._open: list[_Exchange] = []

    def _make(self, exchange_id: str):
        if self._client is not None:
            return self._client(exchange_id)
        ccxt, async_support, pro = _modules()
        if exchange_id not in ccxt.exchanges:
            import difflib

            near = difflib.get_close_matches(exchange_id, ccxt.exchanges, n=1)
            hint = f" (did you mean {near[0]!r}?)" if near else ""
            raise SourceError(f"--exchange {exchange_id}: not an exchange id ccxt knows{hint}")
        cls = getattr(pro, exchange_id, None) if pro is not None else None
        cls = cls or getattr(async_support, exchange_id)
        return cls({"enableRateLimit": True})

    async def prepare(self) -> None:
        """Makes the clients and loads their markets; refuses an unknown id, a symbol
        not listed or an exchange without a needed method before any stream opens."""
        for exchange_id in self.exchanges:
            client = self._make(exchange_id)
            self._open.append(None)  # closed on failure below
            self._open[-1] = _Exchange(client, [])
            has = getattr(client, "has", {}) or {}
            for names in NEEDED:
                if not any(has.get(name) for name in names):
                    raise SourceError(f"--exchange {exchange_id}: has no {' or '.join(names)}, which the radar "
                                      f"needs")
            try:
                markets = await client.load_markets()
            except Exception as exc:
                raise SourceError(f"--exchange {exchange_id}: its markets could not be loaded: "
                                  f"{str(exc).splitlines()[0] if str(exc) else type(exc).__name__}") from None
            if self.symbols:
                for symbol in self.symbols:
                    if symbol not in markets:
                        raise SourceError(f"--exchange {exchange_id}: {symbol} is not a symbol it lists")
                symbols = list(self.symbols)
            else:
                symbols = [s for s, m in markets.items() if m.get("swap") and m.get("active") is not False
                           and (self.quote is None or self.quote in (m.get("settle"), m.get("quote")))]
                if not symbols:
                    raise SourceError(f"--exchange {exchange_id}: lists no perpetual swap"
                                      + (f" settled in {self.quote}" if self.quote else ""))
            self._open[-1].symbols = symbols

    async def run(self, deliver, stop: asyncio.Event, metrics) -> None:
        tasks = []
        for exchange in self._open:
            tasks.append(asyncio.create_task(self._poll(exchange, deliver, stop, metrics)))
            if exchange.has.get("watchOrderBook"):
                for symbol in exchange.symbols:
                    tasks.append(asyncio.create_task(self._stream(
                        exchange, "order book", lambda e=exchange, s=symbol: e.client.watch_order_book(s, self.depth),
                        lambda e, book: e.adapter.order_book(book), deliver, stop, metrics)))
            if exchange.has.get("watchLiquidations"):
                for symbol in exchange.symbols:
                    tasks.append(asyncio.create_task(self._stream(
                        exchange, "liquidations", lambda e=exchange, s=symbol: e.client.watch_liquidations(s),
                        lambda e, items: e.adapter.liquidations(items, fresh=True), deliver, stop, metrics)))
        try:
            await asyncio.gather(*tasks)
        finally:
            for task in tasks:
                task.cancel()

    RECONNECT_WAIT = 1.0  # seconds before the first reconnect; doubled per failure after it, up to a minute

    async def _stream(self, exchange: _Exchange, what: str, call, adapt, deliver, stop, metrics) -> None:
        backoff = Backoff(self.RECONNECT_WAIT)
        failed = False
        while not stop.is_set():
            try:
                data = await call()
            except asyncio.CancelledError:
                raise
            except Exception as exc:
                log.warning("%s %s: %s; connecting again", exchange.id, what, str(exc).splitlines()[0] if str(exc)
                            else type(exc).__name__)
                metrics.reconnect(exchange.id)
                failed = True
                if await backoff.wait(stop):
                    return
                continue
            if failed:
                failed = False
                backoff.reset()
            await deliver(exchange.id, _quiet(adapt, exchange, data), now_ms())

    async def _poll(self, exchange: _Exchange, deliver, stop, metrics) -> None:
        """Funding rate and mark price, open interest, and the books and liquidations the client does not stream."""
        client, has, adapter = exchange.client, exchange.has, exchange.adapter
        while not stop.is_set():
            started = asyncio.get_running_loop().time()
            for symbol in exchange.symbols:
                if stop.is_set():
                    return
                pairs = []
                try:
                    if has.get("fetchFundingRate"):
                        funding = await client.fetch_funding_rate(symbol)
                    else:
                        funding = (await client.fetch_funding_rates([symbol])).get(symbol, {})
                    pairs += _quiet(lambda e, f: e.adapter.funding_rate(f), exchange, funding)
                    if funding.get("markPrice") is None:
                        fetch = client.fetch_mark_price if has.get("fetchMarkPrice") else client.fetch_ticker
                        pairs += _quiet(lambda e, t: e.adapter.ticker(t), exchange, await fetch(symbol))
                    pairs += _quiet(lambda e, o: e.adapter.open_interest(o), exchange,
                                    await client.fetch_open_interest(symbol))
                    if not has.get("watchOrderBook") and has.get("fetchOrderBook"):
                        pairs += _quiet(lambda e, b: e.adapter.order_book(b), exchange,
                                        await client.fetch_order_book(symbol, self.depth))
                    if not has.get("watchLiquidations") and has.get("fetchLiquidations"):
                        pairs += _quiet(lambda e, items: e.adapter.liquidations(items), exchange,
                                        await client.fetch_liquidations(symbol))
                except asyncio.CancelledError:
                    raise
                except Exception as exc:
                    metrics.poll_failed(exchange.id)
                    log.warning("%s %s: poll failed: %s", exchange.id, symbol,
                                str(exc).splitlines()[0] if str(exc) else type(exc).__name__)
                await deliver(exchange.id, pairs, now_ms())
            rest = self.poll - (asyncio.get_running_loop().time() - started)
            if rest > 0:
                try:
                    await asyncio.wait_for(stop.wait(), rest)
                    return
                except asyncio.TimeoutError:
                    pass

    async def close(self) -> None:
        for exchange in self._open:
            if exchange is None:
                continue
            close = getattr(exchange.client, "close", None)
            if close is not None:
                try:
                    result = close()
                    if asyncio.iscoroutine(result):
                        await result
                except Exception as exc:
                    log.debug("%s: closing: %s", exchange.id, exc)
        self._open = []


def _quiet(adapt, exchange: _Exchange, data) -> list:
    """The adapter's pairs; what it skips is counted by it, said once in the log rather than as a warning."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        pairs = adapt(exchange, data)
    for warning in caught:
        log.info("%s: %s", exchange.id, warning.message)
    return pairs
