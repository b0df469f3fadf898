"""Market data in the shapes users already hold, turned into radar events.

- `read_events` reads a file of events: JSON Lines (the command line's own
  format) or a tardis-style CSV file (see `zolvar_radar.adapters.tardis`).
- `zolvar_radar.adapters.ccxt` turns what a ccxt exchange's ``fetch_*``
  methods return into events, for a polling loop.

Every event is a dict in the radar's object form, ``{"kind": ..., "ts": ...,
...}``, ready for ``json.dumps`` or for `zolvar_radar.TypedRadar.feed`.
"""

from __future__ import annotations

import os
import sys
from collections import Counter
from typing import BinaryIO, Iterator, Literal

from ..inputs import InputError, read_lines
from ._errors import FormatError
from ._jsonl import LineReader
from .tardis import TardisTable, tardis_kind

__all__ = ["EventReader", "FormatError", "detect_format", "read_events", "FORMATS"]

FORMATS = ("jsonl", "tardis")
Format = Literal["jsonl", "tardis"]


def format_of_line(text: str) -> Format:
    """The format a file's first non-blank line announces: a tardis header, or else JSON Lines."""
    return "tardis" if tardis_kind(text) is not None else "jsonl"


def _open(path: str) -> tuple[BinaryIO, str]:
    if path == "-":
        return sys.stdin.buffer, "<stdin>"
    return open(path, "rb"), path  # noqa: SIM115 - closed by the reader


def detect_format(path: str | os.PathLike[str]) -> Format:
    """"tardis" when the file starts with a tardis CSV header, else "jsonl" (gzip or plain).

    An empty file is "jsonl". Raises OSError when the file cannot be opened.
    """
    stream, name = _open(os.fspath(path))
    try:
        for _, text in read_lines(stream, name):
            return format_of_line(text)
        return "jsonl"
    except InputError as exc:
        raise FormatError(name, 1, str(exc).removeprefix(f"{name}: ")) from None
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()


class EventReader(Iterator[tuple[str, dict]]):
    """Iterates over (symbol, event dict) of one file, in file order.

    ``format`` is known once the reader is built (the first line is read
    then); ``kind`` is the tardis kind of file, None for JSON Lines;
    ``skipped`` counts the rows left out by reason (tardis rows with an empty
    field), complete once iteration ended.
    """

    def __init__(self, path: str | os.PathLike[str], format: Format | None = None, *, notional: bool = False):
        if format is not None and format not in FORMATS:
            raise ValueError(f"format must be one of {', '.join(FORMATS)} or None, got {format!r}")
        self.path = os.fspath(path)
        self._stream, self.name = _open(self.path)
        self.skipped: Counter[str] = Counter()
        self.kind: str | None = None
        self._number = 0
        self._lines = read_lines(self._stream, self.name)
        first = self._next_line()
        self.format: Format = format or (format_of_line(first[1]) if first else "jsonl")
        self._table: TardisTable | None = None
        self._pending = first
        if self.format == "tardis" and first is not None:
            try:
                self._table = TardisTable(first[1], self.name, notional=notional)
            except FormatError:
                self.close()
                raise
            self.kind = self._table.kind
            self.skipped = self._table.skipped
            self._pending = None
        self._jsonl = LineReader()

    def _next_line(self) -> tuple[int, str] | None:
        try:
            line = next(self._lines, None)
        except InputError as exc:  # unreadable gzip and the like
            self.close()
            raise FormatError(self.name, self._number + 1, str(exc).removeprefix(f"{self.name}: ")) from None
        if line is not None:
            self._number = line[0]
        return line

    def __iter__(self) -> EventReader:
        return self

    def __next__(self) -> tuple[str, dict]:
        while True:
            line = self._pending or self._next_line()
            self._pending = None
            if line is None:
                self.close()
                raise StopIteration
            number, text = line
            if self._table is not None:
                try:
                    parts = self._table.row(number, text)
                except FormatError:
                    self.close()
                    raise
                if parts is not None:
                    return parts
                continue
            parts = self._jsonl.parse(text)
            if parts is None:
                self.close()
                raise FormatError(self.name, number, self._jsonl.reason(text))
            return parts

    def close(self) -> None:
        if self._stream is not sys.stdin.buffer:
            self._stream.close()

    def __enter__(self) -> EventReader:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def read_events(
    path: str | os.PathLike[str], format: Format | None = None, *, notional: bool = False
) -> EventReader:
    """(symbol, event dict) of each event of a file, in file order.

    ``format`` is "jsonl", "tardis" or None to tell from the first line (a
    tardis CSV header, otherwise JSON Lines); gzip files are read as such and
    "-" reads standard input. ``notional`` makes tardis liquidation
    quantities ``amount * price``. A line that cannot become an event raises
    `FormatError` (a ValueError), ``FILE:LINE: <reason>``, worded by the radar
    for JSON Lines; a file that cannot be opened raises OSError.
    """
    return EventReader(path, format, notional=notional)
