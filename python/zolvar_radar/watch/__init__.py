"""Live operation: alerts from exchanges (or recorded files) as they happen.

    async for change in zolvar_radar.watch("file:day.jsonl.gz", bar="1m"):
        print(change["change"], change["symbol"], change["severity"])

The loop, its checkpoints and its state are those of ``zolvar-radar watch``
(see docs/watch.md). A change is a dict: ``change`` ("onset", "moved" or
"cleared"), ``symbol``, ``severity``, ``previous``, ``factors``, ``clock``
(the checkpoint's time in the input's units: epoch ms for exchanges) and
``exchange``.
"""

from __future__ import annotations

import asyncio
from contextlib import aclosing
from typing import AsyncIterator

from .changes import ChangeTracker
from .loop import Checkpoint, Watcher
from .sources import FileSource, LiveSource, PairsSource, SourceError, parse_source

__all__ = ["watch", "Watcher", "Checkpoint", "ChangeTracker", "FileSource", "LiveSource", "PairsSource",
           "SourceError", "parse_source"]


async def watch(source, spec: str | None = None, *, exchanges=(), symbols=None, all_perpetuals=False,
                quote=None, bar="1m", every_ts=None, min_move: float = 0.05, cooldown=0, state: str | None = None,
                save_every="5m", speed: float | None = None, stall: float = 60.0, metrics=None,
                stop: asyncio.Event | None = None) -> AsyncIterator[dict]:
    """The changes of a watch, one dict each, as the checkpoints make them.

    ``source`` is "ccxt", "cryptofeed", "file:PATH[,PATH...]" or a source
    object (`FileSource`, `PairsSource`, ...). ``spec`` is a specification
    text or `RadarSpec` (default: the state's, else the bundled one).
    Setting ``stop`` (or leaving the loop) ends it after a last save.
    """
    if isinstance(source, str):
        source = parse_source(source, exchanges=list(exchanges), symbols=symbols, all_perpetuals=all_perpetuals,
                              quote=quote, speed=speed)
    if spec is not None and not isinstance(spec, str):
        spec = spec.to_json()
    if isinstance(source, LiveSource):
        await source.prepare()
    watcher = Watcher(source, spec, bar=bar, every_ts=every_ts, min_move=min_move, cooldown=cooldown, state=state,
                      save_every=save_every, stall=stall, metrics=metrics, stop=stop)
    async with aclosing(watcher.checkpoints()) as checkpoints:
        async for checkpoint in checkpoints:
            for change in checkpoint.changes:
                yield change


class _CallableModule(type(asyncio)):
    """`zolvar_radar.watch` is this package once it is imported, and `watch()` all the same."""

    def __call__(self, *args, **kwargs):
        return watch(*args, **kwargs)


import sys as _sys  # noqa: E402

_sys.modules[__name__].__class__ = _CallableModule
