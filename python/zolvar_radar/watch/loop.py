"""The watch loop: events in, checkpoints on the clock, changes out, state saved.

Everything that touches the radar runs on one thread of its own (a `Radar`
is bound to the thread that made it), so the event loop stays free for the
sources and sinks: recorded files are read and fed there by the native
`Replay`, live events by the native `LiveFeed` (each pair taken as its
"feed" command would be, the bars applied natively).
"""

from __future__ import annotations

import asyncio
import logging
import time
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from contextlib import aclosing
from operator import itemgetter
from typing import AsyncIterator

from ..bars import bar_width
from .changes import ChangeTracker
from .metrics import NullMetrics
from .sources import FileSource, LiveSource
from .sources.base import now_ms
from .state import WatchState, read_state, write_state

__all__ = ["Watcher", "Checkpoint", "mark_after"]

log = logging.getLogger("zolvar_radar.watch")

ALERTS = '{"cmd":"alerts"}'
_EVENT, _KIND = itemgetter(1), itemgetter("kind")


def mark_after(ts: int, step: int) -> int:
    """The first multiple of ``step`` above ``ts``."""
    return (ts // step + 1) * step


class Checkpoint:
    """One checkpoint: its clock, the changes it made, when it began (perf_counter)."""

    __slots__ = ("clock", "changes", "started", "fed", "final")

    def __init__(self, clock, changes, started, fed=0, final=False):
        self.clock, self.changes, self.started, self.fed, self.final = clock, changes, started, fed, final


class _Core:
    """The radar and its companions; every method runs on the engine thread."""

    def __init__(self, spec: str | None, state: WatchState | None, bar: int | None, tracker: ChangeTracker,
                 metrics: NullMetrics):
        from .._engine import engine
        from ..files import scan_files

        if state is not None:
            spec = spec or state.spec
            # the state's data under the specification chosen; the window is checked
            self.radar = scan_files([], spec, state=state.radar, keep_radar=True).radar
            tracker.load(state.tracker)
        else:
            from .._zolvar_radar import Radar

            self.radar = Radar(spec)
        self.spec = spec
        self.tracker = tracker
        self.metrics = metrics
        self.live = engine.LiveFeed(self.radar, bar or 0)
        if bar and state is not None and state.bars:
            self.live.feed(state.bars)  # held again, as they were (their symbols keyed already)
        self.replay = None
        self.steps = None
        self.refused = 0
        self.skipped_before = 0

    # live input ---------------------------------------------------------

    def feed(self, batches: list) -> int:
        """Feeds batches of (symbol, event) pairs, each ``(prefix, pairs)``: the radar's symbol is the
        prefix and the symbol (just the symbol without one). Through the bars; returns how many
        reached the radar."""
        total = 0
        for prefix, pairs in batches:
            fed, refused = self.live.feed(pairs, prefix)
            total += fed
            for index, message in refused:  # one refused event costs no other
                self.refused += 1
                self.metrics.refused_event()
                if self.refused <= 5:
                    symbol, event = pairs[index]
                    log.warning("refused %s%s %r: %s", prefix or "", symbol, event, message)
        return total

    def live_checkpoint(self, batches: list, clock: int | None, started: float) -> Checkpoint:
        fed = self.feed(batches)
        if clock is None:
            return Checkpoint(None, [], started, fed)
        fed += self.live.close_until(clock)
        changes = self.tracker.update(self.radar.command(ALERTS), clock)
        self.metrics.checkpoint(time.perf_counter() - started, self.tracker.active)
        return Checkpoint(clock, changes, started, fed)

    # recorded input -----------------------------------------------------

    def open_files(self, source: FileSource, every: int, bar: int | None, skip_before: int | None) -> None:
        from ..files import Replay

        self.replay = Replay(self.radar, source.paths, format=source.format, skip_bad=source.skip_bad,
                             notional=source.notional, every_ts=every, bar=bar, skip_before=skip_before)
        self.steps = iter(self.replay)
        self.every = every

    def file_step(self) -> Checkpoint | None:
        """Reads to the next checkpoint; None once the files are done.

        A failure is raised anew, from here: the reader's frames hold the radar,
        which must not outlive this thread's hold on it in a traceback."""
        failure = None
        try:
            next(self.steps)
        except StopIteration:
            return None
        except OSError as exc:
            failure = OSError(str(exc))
        if failure is None and self.replay.stop == "bad":
            failure = ValueError(str(self.replay.bad[0]))
        if failure is not None:
            raise failure
        started = time.perf_counter()
        replay = self.replay
        final = replay.at_end
        if replay.clock is None:
            return Checkpoint(None, [], started, 0, final)
        clock = mark_after(replay.clock, self.every)
        changes = self.tracker.update(self.radar.command(ALERTS), clock)
        self.metrics.checkpoint(time.perf_counter() - started, self.tracker.active)
        return Checkpoint(clock, changes, started, replay.fed, final)

    # saving ---------------------------------------------------------------

    def state(self, clock: int | None, keyed: bool) -> WatchState:
        from .._engine import save_state

        return WatchState(save_state(self.radar), clock, self.tracker.to_dict(), self.live.held(), keyed=keyed)

    def save(self, path: str, clock: int | None, keyed: bool) -> None:
        write_state(path, self.state(clock, keyed))

    def close(self) -> None:
        """Lets go of the radar here, on the thread it belongs to."""
        self.steps = None
        if self.replay is not None:
            self.skipped_before = self.replay.skipped_before
            self.replay.close()
        self.replay = None
        self.live = None
        self.radar = None


class Watcher:
    """Runs one watch; ``checkpoints()`` is the loop, an async iterator of `Checkpoint`.

    ``stop`` (an asyncio.Event) ends it at the next checkpoint, after a
    last save.
    """

    def __init__(self, source, spec: str | None = None, *, bar: int | str | None = "1m",
                 every_ts: int | str | None = None, min_move: float = 0.05, cooldown: int | str = 0,
                 state: str | None = None, save_every: int | str = "5m", stall: float = 60.0,
                 metrics: NullMetrics | None = None, stop: asyncio.Event | None = None):
        self.source = source
        self.bar = bar_width(bar) if bar else None
        self.every = bar_width(every_ts) if every_ts else (self.bar or 60_000)
        self.cooldown = bar_width(cooldown) if cooldown else 0
        self.save_every = bar_width(save_every) if save_every else 0
        self.state_path = state
        self.spec = spec
        self.stall = stall
        self.metrics = metrics or NullMetrics()
        self.stop = stop
        self.tracker = ChangeTracker(min_move, self.cooldown, keyed=source.keyed,
                                     exchange=getattr(source, "exchange", None))
        self.saved_state = read_state(state) if state else None
        if spec is None and self.saved_state is None:
            from ..cli.specs import DEFAULT_SPEC

            with open(DEFAULT_SPEC, encoding="utf-8") as f:
                self.spec = f.read()
        self.checkpoints_done = 0
        self.events = 0  # read from the source
        self.skipped_before = 0
        self._pool: ThreadPoolExecutor | None = None
        self._core: _Core | None = None
        self._last_save: int | None = None
        self._feeding: list = []

    async def _call(self, fn, *args):
        return await asyncio.get_running_loop().run_in_executor(self._pool, fn, *args)

    async def checkpoints(self) -> AsyncIterator[Checkpoint]:
        if self.stop is None:
            self.stop = asyncio.Event()
        self._pool = ThreadPoolExecutor(1, thread_name_prefix="zolvar-watch-radar")
        try:
            self._core = await self._call(_Core, self.spec, self.saved_state, self.bar, self.tracker, self.metrics)
            if self.saved_state is not None:
                self._last_save = self.saved_state.clock
            # closed with this one, not left to the collector: a consumer that stops early
            # (a break, a closed pipe) still gets the save at the checkpoint it stopped at
            inner = self._files() if isinstance(self.source, FileSource) else self._live()
            async with aclosing(inner):
                async for checkpoint in inner:
                    yield checkpoint
        finally:
            if self._core is not None:
                await self._call(self._core.close)
            self._pool.shutdown(wait=True)

    async def _maybe_save(self, clock: int | None, force: bool = False) -> None:
        if not self.state_path:
            return
        if not force and (clock is None or self._last_save is not None and clock - self._last_save < self.save_every):
            return
        if self._last_save is None and not force:
            self._last_save = clock  # the first save comes save_every after the start
            return
        await self._call(self._core.save, self.state_path, clock, self.source.keyed)
        self._last_save = clock

    async def _files(self) -> AsyncIterator[Checkpoint]:
        source: FileSource = self.source
        skip = self.saved_state.clock if self.saved_state is not None else None
        await self._call(self._core.open_files, source, self.every, self.bar, skip)
        first_clock = None
        wall_start = time.monotonic()
        last = skip
        try:
            while not self.stop.is_set():
                checkpoint = await self._call(self._core.file_step)
                if checkpoint is None:
                    break
                if checkpoint.fed > self.events:
                    self.metrics.event(source.exchange or "file", "any", checkpoint.fed - self.events)
                self.events = checkpoint.fed
                if checkpoint.clock is None:
                    if checkpoint.final:
                        break
                    continue
                last = checkpoint.clock
                if source.speed:
                    if first_clock is None:
                        first_clock = checkpoint.clock - self.every
                    due = wall_start + (checkpoint.clock - first_clock) / 1000 / source.speed
                    delay = due - time.monotonic()
                    if delay > 0:
                        try:
                            await asyncio.wait_for(self.stop.wait(), delay)
                        except asyncio.TimeoutError:
                            pass
                    checkpoint.started = time.perf_counter()
                self.checkpoints_done += 1
                yield checkpoint
                if checkpoint.final:
                    break
                await self._maybe_save(checkpoint.clock)
        except GeneratorExit:  # left at a checkpoint: the radar is as it was there
            await self._maybe_save(last, force=True)
            raise
        except BaseException:
            # stopped between checkpoints (a refused line, an unreadable file): the radar holds events
            # past the last checkpoint, which a restart reads again; the last save stands
            raise
        else:
            await self._maybe_save(last, force=True)
        finally:
            self.skipped_before = await self._call(
                lambda: self._core.replay.skipped_before if self._core.replay is not None else 0)

    async def _live(self) -> AsyncIterator[Checkpoint]:
        source: LiveSource = self.source
        metrics = self.metrics
        queue: asyncio.Queue = asyncio.Queue(maxsize=1024)  # batches: a source that runs ahead waits
        seen: dict[str, float] = {}  # exchange -> monotonic time of its last batch
        stalled: set[str] = set()

        async def deliver(exchange: str, pairs: list, receipt: int | None = None) -> None:
            if not pairs:
                return
            seen[exchange] = time.monotonic()
            if exchange in stalled:
                stalled.discard(exchange)
                log.warning("%s: events again", exchange)
            try:  # counted in C over the batch
                kinds = Counter(map(_KIND, map(_EVENT, pairs)))
            except (KeyError, TypeError, IndexError):  # an event without a kind, or not a dict: the radar says why
                kinds = Counter(event.get("kind", "?") if isinstance(event, dict) else "?" for _, event in pairs)
            latest = None
            for kind, n in kinds.items():
                metrics.event(exchange, kind, n)
            if source.clock == "wall":
                latest = pairs[-1][1].get("ts")
                if isinstance(latest, int):
                    metrics.lag(exchange, ((receipt or now_ms()) - latest) / 1000)
            await queue.put((exchange, pairs))

        async def watch_stalls() -> None:
            start = time.monotonic()
            while True:
                await asyncio.sleep(min(1.0, self.stall / 4))
                now = time.monotonic()
                for exchange in source.exchanges:
                    if exchange not in stalled and now - seen.get(exchange, start) >= self.stall:
                        stalled.add(exchange)
                        metrics.stall(exchange)
                        log.warning("%s: no event for %.0f s", exchange, now - seen.get(exchange, start))

        keyed = source.keyed
        pending: list = []  # batches not fed yet: (symbol prefix or None, pairs)
        pending_n = 0  # the events in them
        feeding = self._feeding  # feeds under way: the engine thread takes them in order
        producer = asyncio.create_task(source.run(deliver, self.stop, metrics))
        stalls = asyncio.create_task(watch_stalls()) if source.clock == "wall" and self.stall else None
        stopping = asyncio.create_task(self.stop.wait())
        mark = mark_after(now_ms(), self.every) if source.clock == "wall" else None
        last_clock = None
        try:
            while True:
                if producer.done() and queue.empty():
                    exc = producer.exception()
                    if exc is not None:
                        raise exc
                    # the source is done: what it sent is scored at a last checkpoint
                    final = mark if source.clock == "events" else mark_after(now_ms() - self.every, self.every)
                    if final is not None and (pending or final != last_clock):
                        checkpoint = await self._live_checkpoint(pending, final)
                        checkpoint.final = True
                        pending = []
                        last_clock = final
                        yield checkpoint
                    break
                if stopping.done():
                    break
                getter = asyncio.ensure_future(queue.get())
                timeout = None if source.clock != "wall" else max(0.0, mark / 1000 - time.time())
                waits = {getter, stopping} | ({producer} if not producer.done() else set())
                done, _ = await asyncio.wait(waits, timeout=timeout, return_when=asyncio.FIRST_COMPLETED)
                if getter in done:
                    exchange, pairs = getter.result()
                    if source.clock == "events":
                        ts = pairs[0][1].get("ts")
                        if isinstance(ts, int):
                            if mark is None:
                                mark = mark_after(ts, self.every)
                            elif ts >= mark:  # the batch belongs after this checkpoint
                                checkpoint = await self._live_checkpoint(pending, mark)
                                pending, pending_n = [], 0
                                last_clock = mark
                                yield checkpoint
                                await self._maybe_save(mark)
                                mark = mark_after(ts, self.every)
                    pending.append((f"{exchange}:" if keyed else None, pairs))  # the prefix goes on natively
                    pending_n += len(pairs)
                    self.events += len(pairs)
                    if pending_n >= self.FEED_EVERY and source.clock == "wall":
                        # fed now rather than at the checkpoint, which then has only the rest to do
                        # (its changes reach the sinks sooner): the same events in the same order, the
                        # bars holding what is not due. On the events' clock a checkpoint is no
                        # deadline, and one batch costs less.
                        feeding.append(asyncio.ensure_future(
                            self._call(self._core.live_checkpoint, pending, None, 0.0)))
                        pending, pending_n = [], 0
                        if len(feeding) > 8:
                            await feeding.pop(0)
                    continue
                getter.cancel()
                if source.clock == "wall" and time.time() * 1000 >= mark:
                    checkpoint = await self._live_checkpoint(pending, mark)
                    pending, pending_n = [], 0
                    last_clock = mark
                    yield checkpoint
                    await self._maybe_save(mark)
                    mark = max(mark + self.every, mark_after(now_ms() - self.every, self.every))
        finally:
            for task in (producer, stalls, stopping):
                if task is not None:
                    task.cancel()
            for task in (producer, stalls, stopping):
                if task is not None:
                    try:
                        await task
                    except (asyncio.CancelledError, Exception):
                        pass
            try:
                await source.close()
            except Exception as exc:  # closing a connection that failed already
                log.debug("closing the source: %s", exc)
            for future in list(self._feeding):
                try:
                    await future
                except Exception as exc:
                    log.warning("feeding: %s", exc)
            self._feeding.clear()
            if pending:
                await self._call(self._core.live_checkpoint, pending, None, time.perf_counter())
            await self._maybe_save(last_clock, force=True)

    FEED_EVERY = 4096  # events received before they are fed, between checkpoints

    def _feeding_done(self) -> None:
        """The early feeds, done by now (the engine thread takes its work in order): their errors raise here."""
        done = [f for f in self._feeding if f.done()]
        for future in done:
            self._feeding.remove(future)
            future.result()

    async def _live_checkpoint(self, pending: list, clock: int) -> Checkpoint:
        self.checkpoints_done += 1
        checkpoint = await self._call(self._core.live_checkpoint, pending, clock, time.perf_counter())
        self._feeding_done()
        return checkpoint
