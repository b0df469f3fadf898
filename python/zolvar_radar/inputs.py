"""Market events from JSON Lines files, read in Python.

The command line and `zolvar_radar.adapters.read_events` read files in the
native core (`zolvar_radar.files`). What is left here serves the Dask scan
(`Checker`, the command texts, `open_sources`) and the Python reader that
bench/bench_dask.py measures against it (`Reader`, `scan_command`).

A line is one event for one symbol, in either of two forms:
``{"symbol": S, "event": {...}}`` or the event object itself with a
``"symbol"`` member beside its fields (the radar ignores members it does not
know, so such a line can go into a command unchanged).

Whatever is wrong with a line is worded by the radar itself: the line, or the
"feed" command it stands for, is put to a scratch radar and its error text is
reported.
"""

from __future__ import annotations

import gzip
import io
import itertools
import json
import re
import sys
import zlib
from collections import Counter
from dataclasses import dataclass
from typing import BinaryIO, Iterable, Iterator

from ._zolvar_radar import Radar

GZIP_MAGIC = b"\x1f\x8b"
# the radar's whitespace; str.strip() would also eat form feeds and the like,
# which the radar calls trailing characters
JSON_SPACE = " \t\r\n"


class InputError(Exception):
    """A source that cannot be read at all; the message is one line."""


@dataclass(slots=True)  # not frozen: that makes construction slower, and there are many
class Record:
    """One readable line: the symbol and the event text the radar will get."""

    symbol: str
    event: str  # JSON text of the event, spliced into commands as it is
    ts: int | None  # for replay's clock; None when the line has no integer "ts"
    text: str  # the line as read
    source: str
    number: int
    order: int  # position among all lines read, across files


@dataclass(frozen=True, slots=True)
class BadLine:
    source: str
    number: int
    order: int
    error: str

    def __str__(self) -> str:
        return f"{self.source}:{self.number}: {self.error}"


class Source:
    """One input file, gzip or plain, or standard input for "-"."""

    def __init__(self, path: str):
        self.path = path
        if path == "-":
            self.name = "<stdin>"
            self._raw: BinaryIO = sys.stdin.buffer
            return
        self.name = path
        try:
            self._raw = open(path, "rb")  # noqa: SIM115 - closed by close()
        except OSError as exc:
            raise InputError(f"{path}: {exc.strerror or exc}") from None

    def close(self) -> None:
        if self.path != "-":
            self._raw.close()

    def lines(self) -> Iterator[tuple[int, str]]:
        """(line number, text) of each line that is not blank, whitespace trimmed."""
        return read_lines(self._raw, self.name)


def read_lines(stream: BinaryIO, name: str) -> Iterator[tuple[int, str]]:
    """(line number, text) of each line of a plain or gzip stream that is not blank, whitespace trimmed."""
    try:
        if not hasattr(stream, "peek"):
            stream = io.BufferedReader(stream)  # type: ignore[arg-type]
        if stream.peek(2)[:2] == GZIP_MAGIC:  # type: ignore[attr-defined]
            stream = gzip.GzipFile(fileobj=stream, mode="rb")
        for number, raw in enumerate(stream, 1):
            # undecodable bytes become U+FFFD: the radar takes text, and the
            # line still gets judged on what is left
            text = raw.decode("utf-8", "replace").strip(JSON_SPACE)
            if number == 1 and text.startswith("\ufeff"):
                text = text[1:].lstrip(JSON_SPACE)
            if text:
                yield number, text
    except (OSError, EOFError, zlib.error) as exc:
        raise InputError(f"{name}: {exc}") from None


def open_sources(paths: Iterable[str]) -> list[Source]:
    """Opens every file up front, so a missing one stops the command before any output."""
    sources: list[Source] = []
    try:
        for path in paths:
            sources.append(Source(path))
    except InputError:
        for source in sources:
            source.close()
        raise
    return sources


def _refuse_constant(name: str) -> None:
    # NaN and Infinity are not JSON; the radar will say so with a position
    raise ValueError(name)


_DECODER = json.JSONDecoder(parse_constant=_refuse_constant)


_TS = re.compile(r'"ts":(-?\d+)[,}]')
_STRING = re.compile(r'"[^"]*"')
_BRACKETS = {ord(c): None for c in map(chr, range(128)) if c not in "{}[]"}


def _one_object(text: str) -> bool:
    """Whether a line without backslashes is one bracketed object, end to end.

    The fast path splices the line into a command unchanged, so a line like
    `{...}],"B":[{...}` must not get through: with strings taken out, its
    brackets have to nest and close only at the very end.
    """
    skeleton = _STRING.sub("", text)
    if '"' in skeleton or not skeleton.endswith("}"):
        return False
    depth, closers = 0, []
    for c in skeleton.translate(_BRACKETS):
        if c in "{[":
            closers.append("}" if c == "{" else "]")
        elif not closers or closers.pop() != c:
            return False
        elif not closers:
            depth += 1
    return depth == 1 and not closers


def decode_line(text: str) -> tuple[str, object, bool] | None:
    """(symbol, event value, whether the line itself is the event) of a JSON
    Lines line in either form, or None when it has no string "symbol"."""
    try:
        value = _DECODER.decode(text)
    except (ValueError, RecursionError):
        return None
    if not isinstance(value, dict):
        return None
    symbol = value.get("symbol")
    if not isinstance(symbol, str):
        return None
    if "event" in value:
        return symbol, value["event"], False
    return symbol, value, True


def split_line(text: str) -> tuple[str, str, int | None] | None:
    """(symbol, event text, ts) of a line, or None when the line needs the radar's verdict.

    A line whose event the radar will refuse can still pass here; the commands
    built from it then fail and `Checker.bad_records` finds the line.
    """
    # Fast path for the usual compact flat line. Without a backslash no key can
    # be spelt with escapes, so one literal "symbol" means one symbol member,
    # and no literal "event" means the line is the event itself. Anything
    # malformed beyond that is caught by the radar when the line is fed.
    if text.startswith('{"symbol":"') and "\\" not in text and '"event"' not in text:
        end = text.find('"', 11)
        if end > 0 and text.count('"symbol"') == 1 and _one_object(text):
            ts = None
            if text.count('"ts"') == 1:
                match = _TS.search(text)
                ts = int(match.group(1)) if match else None
            return text[11:end], text, ts
    decoded = decode_line(text)
    if decoded is None:
        return None
    symbol, event, whole = decoded
    event_text = text if whole else json.dumps(event)
    if isinstance(event, dict):
        ts = event.get("ts")
    elif isinstance(event, list) and len(event) > 1:  # the radar's array form
        ts = event[1]
    else:
        ts = None
    return symbol, event_text, ts if type(ts) is int else None


def feed_command(symbol: str, event: str) -> str:
    return f'{{"cmd":"feed","symbol":{json.dumps(symbol)},"event":{event}}}'


def feed_batch_command(symbol: str, events: Iterable[str]) -> str:
    return f'{{"cmd":"feed_batch","symbol":{json.dumps(symbol)},"events":[{",".join(events)}]}}'


def scan_command(records: Iterable[Record]) -> str:
    """One "scan" over every symbol, events in line order, texts spliced unchanged."""
    groups: dict[str, list[str]] = {}
    for record in records:
        group = groups.get(record.symbol)
        if group is None:
            groups[record.symbol] = group = []
        group.append(record.event)
    body = ",".join(f"{json.dumps(symbol)}:[{','.join(events)}]" for symbol, events in groups.items())
    return f'{{"cmd":"scan","events":{{{body}}}}}'


_POSITIONED = re.compile(r" at line \d+ column \d+$")


class Checker:
    """A scratch radar that words what is wrong with a line.

    Only used once something failed, so it may be slow. Its specification is
    irrelevant: feeding does not depend on it.
    """

    _SPEC = '{"signals":[{"kind":"book_imbalance","params":[1]}]}'

    def __init__(self) -> None:
        self._radar = Radar(self._SPEC)

    def refusal(self, command: str) -> str | None:
        """The radar's error text for a command, None when it succeeds."""
        answer = json.loads(self._radar.command(command))
        return answer.get("error") if isinstance(answer, dict) else None

    def line_error(self, text: str) -> str | None:
        """The radar's complaint about one line, or None if it has none."""
        # The line alone as a command text: a JSON syntax error comes back with
        # a position inside the line. A well-formed line answers something else
        # (usually missing "cmd"); should it hold a "cmd" member, it only acts
        # on this scratch handle.
        error = self.refusal(text)
        if error is not None and _POSITIONED.search(error):
            return error
        try:
            value = json.loads(text)
        except (ValueError, RecursionError):
            return error
        # Then the "feed" command the line stands for, so the radar checks the
        # symbol and the event exactly as it would when they are fed.
        parts = ['"cmd":"feed"']
        event = text
        if isinstance(value, dict):
            if "symbol" in value:
                parts.append(f'"symbol":{json.dumps(value["symbol"])}')
            if "event" in value:
                event = json.dumps(value["event"])
        parts.append(f'"event":{event}')
        error = self.refusal("{" + ",".join(parts) + "}")
        self._radar.command('{"cmd":"reset"}')
        return error

    def bad_records(self, records: Iterable[Record]) -> list[BadLine]:
        """The records whose lines the radar refuses, in line order."""
        groups: dict[str, list[Record]] = {}
        for record in records:
            groups.setdefault(record.symbol, []).append(record)
        bad = []
        for symbol, group in groups.items():
            # a whole symbol at once first: nearly all of them pass
            if self.refusal(feed_batch_command(symbol, (r.event for r in group))) is None:
                continue
            for record in group:
                error = self.line_error(record.text)
                if error is not None:
                    bad.append(BadLine(record.source, record.number, record.order, error))
        self._radar.command('{"cmd":"reset"}')
        return sorted(bad, key=lambda b: b.order)


class Reader:
    """Reads records from sources in order, sorting out the lines that cannot be split.

    `bad` collects those lines; with `stop_at_bad` reading ends at the first one.
    """

    def __init__(self, sources: list[Source], checker: Checker, stop_at_bad: bool, format: str | None = None):
        self.sources = sources
        self.checker = checker
        self.stop_at_bad = stop_at_bad
        self.format = format  # "jsonl", "tardis", or None to tell each file by its first line
        self.bad: list[BadLine] = []
        self.skipped_rows: dict[str, Counter[str]] = {}  # tardis rows left out, by file and reason

    def __iter__(self) -> Iterator[Record]:
        from .adapters import format_of_line
        from .adapters._errors import FormatError
        from .adapters.tardis import TardisTable

        order = 0
        try:
            for source in self.sources:
                lines = source.lines()
                table = None
                first = next(lines, None)
                if first is not None:
                    if (self.format or format_of_line(first[1])) == "tardis":
                        order += 1
                        try:
                            table = TardisTable(first[1], source.name)
                        except FormatError as exc:
                            self.bad.append(BadLine(source.name, exc.line, order, exc.reason))
                            if self.stop_at_bad:
                                return
                            continue
                        self.skipped_rows[source.name] = table.skipped
                    else:
                        lines = itertools.chain([first], lines)
                for number, text in lines:
                    order += 1
                    if table is not None:
                        try:
                            row = table.row(number, text)
                        except FormatError as exc:
                            self.bad.append(BadLine(source.name, number, order, exc.reason))
                            if self.stop_at_bad:
                                return
                            continue
                        if row is not None:
                            symbol, fields = row
                            event_text = json.dumps(fields, separators=(",", ":"))
                            # the line as the radar's checker would need it, should a command fail
                            flat = f'{{"symbol":{json.dumps(symbol)},{event_text[1:]}'
                            yield Record(symbol, event_text, fields["ts"], flat, source.name, number, order)
                        continue
                    parts = split_line(text)
                    if parts is None:
                        error = self.checker.line_error(text) or "not an event line"
                        self.bad.append(BadLine(source.name, number, order, error))
                        if self.stop_at_bad:
                            return
                        continue
                    symbol, event, ts = parts
                    yield Record(symbol, event, ts, text, source.name, number, order)
        finally:
            for source in self.sources:
                source.close()
