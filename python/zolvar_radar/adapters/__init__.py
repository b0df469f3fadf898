"""Market data in the shapes users already hold, turned into radar events.

- `read_events` reads a file of events: JSON Lines (the command line's own
  format) or a tardis-style CSV file (see `zolvar_radar.adapters.tardis`),
  through the native core's file reader, the one `zolvar-radar` uses.
- `zolvar_radar.adapters.ccxt` turns what a ccxt exchange's ``fetch_*``
  methods return into events, for a polling loop.

Every event is a dict in the radar's object form, ``{"kind": ..., "ts": ...,
...}``, ready for ``json.dumps`` or for `zolvar_radar.TypedRadar.feed`.
"""

from __future__ import annotations

import os
import sys
from collections import Counter
from typing import Iterator, Literal

from .._engine import engine
from ..files import _bar, _event_pairs, _Inputs
from ..inputs import InputError, read_lines
from ._errors import FormatError
from .tardis import looks_like_header, tardis_kind

__all__ = ["EventReader", "FormatError", "detect_format", "read_events", "FORMATS"]

FORMATS = ("jsonl", "tardis")
Format = Literal["jsonl", "tardis"]

# Events handed over by the native reader at a time: large enough that the
# crossing costs nothing per event, small enough to keep memory flat.
BATCH = 4096


def format_of_line(text: str) -> Format:
    """The format a file's first non-blank line announces: a tardis header, or else JSON Lines."""
    return "tardis" if looks_like_header(text) else "jsonl"


def _first_line(path: str) -> str | None:
    """The first non-blank line of a file (gzip or plain), None when there is none or it cannot be read."""
    try:
        with open(path, "rb") as stream:
            for _, text in read_lines(stream, path):
                return text
    except (OSError, InputError):
        pass  # the native reader says what is wrong, as it reads
    return None


def detect_format(path: str | os.PathLike[str]) -> Format:
    """"tardis" when the file starts with a tardis CSV header, else "jsonl" (gzip or plain).

    A header is a first non-blank line with "symbol" and "timestamp" columns
    that does not open a JSON value. An empty file is "jsonl". Raises
    OSError when the file cannot be opened; "-" reads the first line of
    standard input (and consumes it).
    """
    path = os.fspath(path)
    if path == "-":
        stream, name = sys.stdin.buffer, "<stdin>"
    else:
        stream, name = open(path, "rb"), path  # noqa: SIM115 - closed below
    try:
        for _, text in read_lines(stream, name):
            return format_of_line(text)
        return "jsonl"
    except InputError as exc:
        raise FormatError(name, 1, str(exc).removeprefix(f"{name}: ")) from None
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()


def _read_error(text: str, path: str) -> OSError:
    """The native reader's "PATH: reason" as an OSError with the reason as its strerror."""
    error = OSError(text)
    error.strerror = text.removeprefix(f"{path}: ")
    return error


class EventReader(Iterator[tuple[str, dict]]):
    """Iterates over (symbol, event dict) of one file, in file order.

    The native core reads and decodes the file, in batches, exactly as
    `zolvar-radar` and `zolvar_radar.files` read it. ``format`` and ``kind``
    (the tardis kind of file, None for JSON Lines) are known once the reader
    is built, from the file's first line, unless the file is standard input
    and no format was given (then both stay None). ``skipped`` counts the
    tardis rows left out, by reason, once iteration ended.
    """

    def __init__(self, path: str | os.PathLike[str], format: Format | None = None, *, notional: bool = False,
                 bar: int | str | None = None):
        if format is not None and format not in FORMATS:
            raise ValueError(f"format must be one of {', '.join(FORMATS)} or None, got {format!r}")
        self.path = os.fspath(path)
        self.name = "<stdin>" if self.path == "-" else self.path
        self.skipped: Counter[str] = Counter()
        self.format: Format | None = format
        self.kind: str | None = None
        width = _bar(bar)
        self._inputs = _Inputs([self.path])
        try:
            native = engine.FileReplay(None, self._inputs.paths, format, False, notional, BATCH, 0, True, width)
        except OSError as exc:
            self._inputs.close()
            raise _read_error(str(exc), self.path) from None
        if self.path != "-":
            first = _first_line(self.path)
            self.format = format or (format_of_line(first) if first is not None else "jsonl")
            if self.format == "tardis" and first is not None:
                self.kind = tardis_kind(first)
        self._native = native
        self._events = self._read(native)

    def _read(self, native) -> Iterator[tuple[str, dict]]:
        try:
            while True:
                stop = native.advance()
                pairs = _event_pairs(native.take_events())
                if pairs:
                    yield from pairs
                if stop == "checkpoint":
                    continue
                self.skipped.update(native.skipped()[0])
                if stop == "bad":
                    _, line, error = native.bad()[0]
                    raise FormatError(self.name, line, error)
                if stop == "fatal":
                    raise _read_error(native.status()[4], self.name)
                return
        finally:
            self._inputs.close()

    @property
    def dropped(self) -> int:
        """The snapshots a ``bar`` left out so far, each replaced by a later one of its interval."""
        return self._native.status()[6]

    def __iter__(self) -> Iterator[tuple[str, dict]]:
        # the batches' own iterator: a for loop runs without a call per event here
        return self._events

    def __next__(self) -> tuple[str, dict]:
        return next(self._events)

    def close(self) -> None:
        self._events.close()
        self._inputs.close()

    def __enter__(self) -> EventReader:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def read_events(
    path: str | os.PathLike[str], format: Format | None = None, *, notional: bool = False,
    bar: int | str | None = None,
) -> EventReader:
    """(symbol, event dict) of each event of a file, in file order.

    ``format`` is "jsonl", "tardis" or None to tell from the first line (a
    tardis CSV header, otherwise JSON Lines); gzip files are read as such and
    "-" reads standard input. ``notional`` makes tardis liquidation
    quantities ``amount * price``. The native core reads the file, as the
    command line does. A line that cannot become an event raises
    `FormatError` (a ValueError), ``FILE:LINE: <reason>`` in the radar's
    words, once the events before it have been given; a file that cannot be
    opened or read (a broken gzip stream) raises OSError, "PATH: reason".

    ``bar`` (timestamp units, or a duration such as "1m") gives at most one
    derivatives snapshot and one order book per symbol per interval, the
    last one read in it, and every liquidation (see `zolvar_radar.bars`).
    A snapshot then comes once its interval has closed, so the events are
    in the order a radar fed through the same bars would take them, not
    quite file order.
    """
    return EventReader(path, format, notional=notional, bar=bar)
