"""What every live source shares: delivery, stall watch, reconnects with backoff."""

from __future__ import annotations

import asyncio
import logging
import time

__all__ = ["LiveSource", "PairsSource", "SourceError", "Backoff"]

log = logging.getLogger("zolvar_radar.watch")


class SourceError(ValueError):
    """A source that cannot start, in one line (said before anything connects)."""


class Backoff:
    """Doubling waits, capped, reset by a success."""

    def __init__(self, first: float = 1.0, cap: float = 60.0):
        self.first, self.cap, self.next = first, cap, first

    def reset(self) -> None:
        self.next = self.first

    async def wait(self, stop: asyncio.Event) -> bool:
        """Waits the next delay; True when ``stop`` was set meanwhile."""
        delay, self.next = self.next, min(self.cap, self.next * 2)
        try:
            await asyncio.wait_for(stop.wait(), delay)
            return True
        except asyncio.TimeoutError:
            return False


class LiveSource:
    """A source of (symbol, event) pairs per exchange.

    Subclasses implement ``prepare()`` (checks and markets: everything that
    can refuse, before any stream opens) and ``run(deliver, stop)``, which
    calls ``deliver(exchange, pairs)`` as data arrives until ``stop`` is set.
    ``clock`` is "wall" (checkpoints on the local clock, epoch ms) or
    "events" (on the events' own time, for scripted and recorded input).
    """

    keyed = True  # radar symbols are "exchange:symbol"
    clock = "wall"
    exchanges: list[str] = []

    async def prepare(self) -> None:
        pass

    async def run(self, deliver, stop: asyncio.Event, metrics) -> None:
        raise NotImplementedError

    async def close(self) -> None:
        pass


class PairsSource(LiveSource):
    """Batches given in advance, ``[(exchange, [(symbol, event), ...]), ...]`` or an
    async iterable of them: the live path without a network, on the events' clock
    (a batch is taken as of its first event's time), or with ``clock="wall"``
    on the local clock as exchanges are."""

    clock = "events"

    def __init__(self, batches, exchanges: list[str] | None = None, clock: str = "events"):
        if clock not in ("events", "wall"):
            raise SourceError(f"clock is 'events' or 'wall', not {clock!r}")
        self.batches = batches
        self.exchanges = exchanges or []
        self.clock = clock

    async def run(self, deliver, stop: asyncio.Event, metrics) -> None:
        if hasattr(self.batches, "__aiter__"):
            async for exchange, pairs in self.batches:
                if stop.is_set():
                    return
                await deliver(exchange, pairs)
        else:
            for exchange, pairs in self.batches:
                if stop.is_set():
                    return
                await deliver(exchange, pairs)


def now_ms() -> int:
    return int(time.time() * 1000)
