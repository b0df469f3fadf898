"""Scanning and replaying market-data files natively.

Files are JSON Lines or tardis-style CSV, plain or gzip (see "Input formats"
in docs/command-line.md). The reading, the decoding of every line and the states
happen in the native core, on every core, in memory bounded by the number
of symbols and the window, whatever the size of the files; Python sees only
the result.
"""

from __future__ import annotations

import json
import os
import sys
import threading
from collections import Counter, namedtuple
TYPE_CHECKING = False  # typing itself costs a few ms to import

from ._engine import engine
from ._zolvar_radar import Radar

# Nothing here imports dataclasses or typing's runtime: the command line
# starts through this module, and those imports cost more than a small scan.
if TYPE_CHECKING:
    from typing import Callable, Iterable, Iterator, Literal, Sequence, Union

    Format = Literal["jsonl", "tardis"]
    PathLike = Union[str, os.PathLike[str]]

__all__ = ["BadLine", "BadLineError", "FileScanResult", "Replay", "scan_files"]

class BadLine(namedtuple("BadLine", "source number error")):
    """A line the radar refused: the file (as given), its line number and the radar's error."""

    __slots__ = ()

    def __str__(self) -> str:
        return f"{self.source}:{self.number}: {self.error}"


class BadLineError(ValueError):
    """The first bad line of a scan that does not skip them; its text is `FILE:LINE: <error>`."""

    def __init__(self, bad: BadLine):
        super().__init__(str(bad))
        self.bad = bad


class FileScanResult:
    """What a file scan found.

    ``text`` is the radar's "scan" result text for the events read: byte for
    byte what one "scan" command over the same events answers. ``bad`` lists
    the refused lines in input order (with ``skip_bad``), ``skipped`` the
    tardis rows left out per file by reason, ``radar`` the states read when
    asked for with keep_radar. ``events`` counts the events read, ``dropped``
    the snapshots a ``bar`` left out (replaced by a later one of their
    interval): ``events - dropped`` were scored. ``saved_state``, with
    keep_state, is the radar's state as bytes, its bars still open: what a
    later scan given it as ``state`` continues exactly, and what
    ``load_state`` makes a `Radar` of. ``spec`` is the specification text
    scanned with, which names the factor columns of an empty table.

    ``to_arrow()``, ``to_pandas()`` and ``to_polars()`` give the alerts as a
    table, one row per alert in rank order (see `zolvar_radar.tables`).
    """

    __slots__ = ("text", "bad", "skipped", "events", "lines", "radar", "dropped", "saved_state", "spec")

    def __init__(self, text: str, bad: list[BadLine] | None = None, skipped: dict[str, Counter] | None = None,
                 events: int = 0, lines: int = 0, radar: Radar | None = None, dropped: int = 0):
        self.text = text
        self.bad = [] if bad is None else bad
        self.skipped = {} if skipped is None else skipped
        self.events = events
        self.lines = lines
        self.radar = radar
        self.dropped = dropped
        self.saved_state: bytes | None = None
        self.spec: str | None = None

    def table(self):
        """The alerts as an `AlertTable` (columns from the native core)."""
        from .tables import AlertTable

        return AlertTable(self.text, self.spec)

    def to_arrow(self):
        """The alerts as a ``pyarrow.Table`` (needs zolvar_radar[arrow])."""
        return self.table().to_arrow()

    def to_pandas(self):
        """The alerts as a ``pandas.DataFrame`` (needs pandas)."""
        return self.table().to_pandas()

    def to_polars(self):
        """The alerts as a ``polars.DataFrame`` (needs polars)."""
        return self.table().to_polars()

    def __repr__(self) -> str:
        def shown(name: str) -> str:
            value = getattr(self, name)
            if name == "saved_state" and value is not None:
                return f"<{len(value):,} bytes>"  # a state can run to megabytes
            text = repr(value)
            return text if len(text) <= 200 else text[:200] + "..."

        fields = ", ".join(f"{name}={shown(name)}" for name in self.__slots__)
        return f"FileScanResult({fields})"


def _names(paths: Sequence[str]) -> list[str]:
    return ["<stdin>" if p == "-" else p for p in paths]


class _Inputs:
    """The paths the native reader gets: "-" reads descriptor 0, unless
    `sys.stdin` was replaced by a stream without one, whose bytes are then
    spooled to a temporary file first."""

    def __init__(self, paths: list[str]):
        self.paths = list(paths)
        self._spool: str | None = None
        self._remote = None
        if any("://" in p for p in self.paths):
            from .remote import RemoteInputs, is_url

            if any(is_url(p) for p in self.paths):
                self._remote = RemoteInputs(self.paths)  # URLs are read through pipes
                self.paths = self._remote.paths
        if "-" in self.paths and not self._stdin_is_fd0():
            import tempfile

            fd, self._spool = tempfile.mkstemp(prefix="zolvar-stdin-")
            with os.fdopen(fd, "wb") as f:
                stream = getattr(sys.stdin, "buffer", sys.stdin)
                while chunk := stream.read(1 << 20):
                    f.write(chunk if isinstance(chunk, bytes) else chunk.encode())
            self.paths = [self._spool if p == "-" else p for p in self.paths]

    @staticmethod
    def _stdin_is_fd0() -> bool:
        try:
            return sys.stdin is not None and sys.stdin.fileno() == 0
        except (AttributeError, OSError, ValueError):
            return False

    def finish(self) -> None:
        """Raises the first URL that could not be read to its end."""
        if self._remote is not None:
            self._remote.finish()

    def rename(self, exc: OSError) -> OSError:
        """A reader's error as said of what was given: an object read short is the cause, when one was."""
        if self._remote is None:
            return exc
        return self._remote.failure() or OSError(self._remote.rename(str(exc)))

    def close(self) -> None:
        if self._spool is not None:
            os.unlink(self._spool)
            self._spool = None
        if self._remote is not None:
            self._remote.close()


def _paths(paths: PathLike | Iterable[PathLike]) -> list[str]:
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    return [os.fspath(p) for p in paths]


def _spec_text(spec: object) -> str:
    """A specification given as its JSON text, a RadarSpec or a parsed dict, as text."""
    to_json = getattr(spec, "to_json", None)
    if callable(to_json):
        return to_json()
    if isinstance(spec, (dict, list)):
        return json.dumps(spec)
    if isinstance(spec, (str, bytes, bytearray)):
        return spec  # type: ignore[return-value]
    raise TypeError(f"a specification is its JSON text, a dict or a RadarSpec, not {type(spec).__name__}")


def _skipped(names: Sequence[str], per_file: Sequence[dict]) -> dict[str, Counter]:
    return {name: Counter(reasons) for name, reasons in zip(names, per_file) if reasons}


def scan_files(
    paths: PathLike | Iterable[PathLike],
    spec: object,
    *,
    format: Format | None = None,
    skip_bad: bool = False,
    notional: bool = False,
    keep_radar: bool = False,
    keep_state: bool = False,
    progress: Callable[[int, int], None] | None = None,
    state: bytes | None = None,
    bar: int | str | None = None,
) -> FileScanResult:
    """Reads every file in order and scores the symbols once, like one "scan" command.

    ``spec`` is a specification text (or a ``RadarSpec``); a bad one raises
    ``ValueError`` with the radar's text. A file that cannot be opened or
    read raises ``OSError`` ("PATH: reason") before anything is scored. A
    refused line raises ``BadLineError`` unless ``skip_bad``. ``progress``
    is called now and then with (bytes read, bytes in all) from another
    thread while the files are read. The interpreter lock is released while
    the native code works.

    A signal stops the reading, even while it waits on a quiet pipe: on the
    main thread, Ctrl-C raises ``KeyboardInterrupt`` (another signal, what
    its handler raises, or ``InterruptedError``).

    ``state``, the bytes of a saved state (``save_state``'s, or a partial
    state), is what the files continue: the result is what reading its
    events and then the files would give. Its window must be the
    specification's; bytes that are no such state raise ``ValueError``
    saying why.

    ``bar`` (timestamp units, or a duration such as "1m" for epoch
    milliseconds) keeps at most one derivatives snapshot and one order book
    per symbol per interval, the last one read in it, and every liquidation
    (see `zolvar_radar.bars`), so a look-back counts intervals. A state
    kept with ``keep_state`` keeps the bars open, so a scan continuing it
    with the same ``bar`` gives what one scan over all the files gives.
    """
    width = _bar(bar)
    names = _paths(paths)
    spec_text = _spec_text(spec)
    inputs = _Inputs(names)
    try:
        scan = engine.FileScan(inputs.paths, spec_text, format, skip_bad, notional, state=state, bar=width,
                               save=keep_state)
        with _Interruptible():
            text, bad, skipped, events, lines, dropped, _ = _run_watched(scan.run, scan.progress, progress)
        inputs.finish()
    except OSError as exc:
        raise inputs.rename(exc) from None
    finally:
        inputs.close()
    shown = _names(names)
    result = FileScanResult(
        text,
        [BadLine(shown[f], n, error) for f, n, error in bad],
        _skipped(shown, skipped),
        events,
        lines,
        dropped=dropped,
    )
    result.spec = spec_text
    if result.bad and not skip_bad:
        raise BadLineError(result.bad[0])
    if keep_state:
        result.saved_state = scan.saved_state()
    if keep_radar:
        result.radar = scan.take_radar()
    return result


def _bar(bar: int | str | None) -> int:
    """A bar option as the native core takes it: 0 for none."""
    if bar is None:
        return 0
    from .bars import bar_width

    return bar_width(bar)


def _steps(every: int, every_ts: int | str | None) -> tuple[int, int]:
    """The checkpoint options as the native core takes them: every N events (a
    whole number of 1 or more) and every_ts (timestamp units or a duration
    such as "1h"; 0 for none), refused here rather than wrapped or ignored."""
    if isinstance(every, bool) or not isinstance(every, int) or not 1 <= every < 2**63:
        raise ValueError(f"every must be a whole number of 1 or more, not {every!r}")
    try:
        return every, _bar(every_ts) if every_ts is not None else 0
    except ValueError as exc:
        raise ValueError(str(exc).replace("a bar width", "every_ts", 1)) from None


def _seed(seed: int) -> int:
    if isinstance(seed, bool) or not isinstance(seed, int) or not 0 <= seed < 2**64:
        raise ValueError(f"seed must be a whole number from 0 to 2**64 - 1, not {seed!r}")
    return seed


class _Interruptible:
    """Lets a signal (Ctrl-C) stop the native reads, however long they wait
    for input: while it lasts, Python's signal handler writes to a pipe
    whose other end the native reads watch. The native call then ends and
    the signal's handler raises (KeyboardInterrupt for Ctrl-C). Only on the
    main thread, where Python's signal handlers run."""

    def __enter__(self) -> _Interruptible:
        self._pipe: tuple[int, int] | None = None
        if os.name != "posix" or threading.current_thread() is not threading.main_thread():
            return self
        import signal

        r, w = os.pipe()
        os.set_blocking(r, False)
        os.set_blocking(w, False)
        try:
            self._before = signal.set_wakeup_fd(w, warn_on_full_buffer=False)
        except (ValueError, OSError):
            os.close(r)
            os.close(w)
            return self
        self._pipe = (r, w)
        engine.set_interrupt_fd(r)
        return self

    def drain(self) -> None:
        """Empties the pipe after an interruption, so that reading can go on."""
        if self._pipe is not None:
            try:
                while os.read(self._pipe[0], 1 << 12):
                    pass
            except BlockingIOError:
                pass

    def __exit__(self, *exc: object) -> None:
        if self._pipe is None:
            return
        import signal

        r, w = self._pipe
        engine.set_interrupt_fd(-1)
        signal.set_wakeup_fd(self._before)
        try:
            woken = os.read(r, 1 << 12)
        except BlockingIOError:
            woken = b""
        if woken and self._before >= 0:
            # whoever watched before (an event loop) hears of the signals too
            try:
                os.write(self._before, woken)
            except OSError:
                pass
        os.close(r)
        os.close(w)


def _run_watched(work, poll, report, every: float = 0.1):
    """work() on this thread while another thread passes poll() to report."""
    if report is None:
        return work()
    stop = threading.Event()

    def watch() -> None:
        while not stop.wait(every):
            report(*poll())

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    try:
        return work()
    finally:
        stop.set()
        watcher.join()
        report(*poll())


def _event_pairs(items: Iterable[tuple]) -> list[tuple[str, dict]]:
    """(symbol, event dict) of the native core's event tuples, fields in the radar's order."""
    pairs = []
    append = pairs.append
    for symbol, kind, ts, f0, f1, f2, f3, side in items:
        if kind == "derivatives":
            event = {"kind": kind, "ts": ts, "open_interest": f0, "funding_rate": f1, "mark_price": f2}
        elif kind == "orderbook":
            event = {"kind": kind, "ts": ts, "bid_volume": f0, "ask_volume": f1, "best_bid": f2, "best_ask": f3}
        else:
            event = {"kind": kind, "ts": ts, "side": "sell" if side else "buy", "qty": f0, "price": f1}
        append((symbol, event))
    return pairs


class Replay:
    """Feeds the events of files, merged by time, into a radar, stopping at checkpoints.

    The files are read side by side and the event with the smallest
    timestamp among their next ones comes first, equal timestamps in the
    order the files were given; each file is read in its own order. Files
    that follow one another in time read as one file; a day split into
    ticker, book and liquidation files reads as one file sorted by time.
    ``file_order=True`` reads them one after another instead. ``disorder``
    names the first place a file's timestamps went back by more than the
    checkpoint step (any step with ``every``). ``skip_before=T`` reads
    and counts the events before T but feeds none of them, nor do they
    move the clock: a run saved at checkpoint T goes on where it was.

    Iterating gives control back every ``every`` events, or with
    ``every_ts`` before the first event at or past each multiple of it,
    and once more at the end, with ``at_end`` true; between steps the
    native core reads and feeds with the interpreter lock released.
    ``stop`` says why a step came: "checkpoint", or at the end "end" or
    "bad" (the first refused line is ``bad[0]``, the radar holding what
    came before it; not with ``skip_bad``). A file that cannot be read
    raises ``OSError``.

    With ``bar`` (as for `scan_files`), the radar gets at most one
    derivatives snapshot and one order book per symbol per interval. A
    snapshot is held until its interval closes: when the symbol's next one
    of that kind falls in another interval, at a checkpoint once the latest
    time read reached the interval's end, or at the end of the files; so a
    checkpoint sees every bar that ended by then. ``every`` counts the
    events read, whether a bar kept them or not.
    """

    def __init__(
        self,
        radar: Radar,
        paths: PathLike | Iterable[PathLike],
        *,
        format: Format | None = None,
        skip_bad: bool = False,
        notional: bool = False,
        every: int = 1000,
        every_ts: int | str | None = None,
        keep_events: bool = False,
        bar: int | str | None = None,
        file_order: bool = False,
        skip_before: int | None = None,
    ):
        width = _bar(bar)
        every, step = _steps(every, every_ts)
        self.paths = _paths(paths)
        self._names = _names(self.paths)
        self._inputs = _Inputs(self.paths)
        try:
            with _Interruptible():  # the first line of every file is read here: a quiet pipe may wait
                self._native = engine.FileReplay(
                    radar, self._inputs.paths, format, skip_bad, notional, every, step, keep_events, width,
                    file_order, skip_before=skip_before
                )
        except BaseException:
            self._inputs.close()
            raise
        self.stop: str | None = None

    at_end = False  # true on the last step, once the files are read or a bad line stopped them

    def __iter__(self) -> Iterator[Replay]:
        # The end is a step too, whatever was read since the last checkpoint:
        # a loop that looks at the radar at each step sees the final stretch.
        # A signal (Ctrl-C) wakes a read that waits on a quiet pipe: the step
        # then has stop "interrupted", and a loop may leave or go on reading.
        try:
            with _Interruptible() as watch:
                while True:
                    self.stop = self._native.advance()
                    if self.stop == "fatal":
                        raise self._inputs.rename(OSError(self._native.status()[4]))
                    if self.stop == "interrupted":
                        watch.drain()
                    elif self.stop != "checkpoint":
                        self.at_end = True
                        self._inputs.finish()  # a URL read short fails the replay, not shortens it
                        yield self
                        return
                    yield self
        finally:
            if self.stop not in ("checkpoint", "interrupted"):
                self._inputs.close()

    @property
    def fed(self) -> int:
        """The events read so far (and fed, but for what a bar holds or dropped)."""
        return self._native.status()[0]

    @property
    def skipped_before(self) -> int:
        """The events read with a ts before ``skip_before``, left out (a run resumed from a checkpoint)."""
        return self._native.skipped_before()

    @property
    def kept(self) -> int:
        """The events the radar took so far: ``fed`` less what a bar dropped or still holds."""
        return self._native.status()[5]

    @property
    def dropped(self) -> int:
        """The snapshots a bar left out so far, each replaced by a later one of its interval."""
        return self._native.status()[6]

    @property
    def clock(self) -> int | None:
        """The largest timestamp read so far."""
        return self._native.status()[1]

    @property
    def first_ts(self) -> int | None:
        """The smallest timestamp read so far."""
        return self._native.status()[8]

    @property
    def disorder(self) -> tuple[str, int, int, int] | None:
        """(file, line, largest ts before it, its ts) where a file first went back in time
        by more than the checkpoint step; None while none has."""
        found = self._native.status()[9]
        if found is None:
            return None
        f, line, before, ts = found
        return self._names[f], line, before, ts

    def progress(self) -> tuple[int, int]:
        """(bytes read, bytes in all; 0 when unknown)."""
        status = self._native.status()
        return status[2], status[3]

    @property
    def bad(self) -> list[BadLine]:
        return [BadLine(self._names[f], n, error) for f, n, error in self._native.bad()]

    @property
    def skipped(self) -> dict[str, Counter]:
        return _skipped(self._names, self._native.skipped())

    def take_events(self) -> list[tuple[str, dict]]:
        """(symbol, event) of every event the radar took since the last call, in that order (with keep_events)."""
        return _event_pairs(self._native.take_events())

    def close(self) -> None:
        """Lets go of the input (a spooled standard input) when the loop is left early."""
        self._inputs.close()
