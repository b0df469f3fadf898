"""What is left of reading inputs in Python.

Files are read by the native core (`zolvar_radar.files`,
`zolvar_radar.adapters.read_events`). Kept here: reading the first lines of
a plain or gzip stream (for `detect_format`), the "feed" command texts, and
a scratch radar that words why an event text is refused (the Dask scan).
"""

from __future__ import annotations

import gzip
import io
import json
import zlib
from typing import BinaryIO, Iterable, Iterator

from ._zolvar_radar import Radar

GZIP_MAGIC = b"\x1f\x8b"
# the radar's whitespace; str.strip() would also eat form feeds and the like,
# which the radar calls trailing characters
JSON_SPACE = " \t\r\n"


class InputError(Exception):
    """A source that cannot be read at all; the message is one line."""


def read_lines(stream: BinaryIO, name: str) -> Iterator[tuple[int, str]]:
    """(line number, text) of each line of a plain or gzip stream that is not blank, whitespace trimmed."""
    try:
        if not hasattr(stream, "peek"):
            stream = io.BufferedReader(stream)  # type: ignore[arg-type]
        if stream.peek(2)[:2] == GZIP_MAGIC:  # type: ignore[attr-defined]
            stream = gzip.GzipFile(fileobj=stream, mode="rb")
        for number, raw in enumerate(stream, 1):
            # undecodable bytes become U+FFFD: enough to tell a header
            text = raw.decode("utf-8", "replace").strip(JSON_SPACE)
            if number == 1 and text.startswith("\ufeff"):
                text = text[1:].lstrip(JSON_SPACE)
            if text:
                yield number, text
    except (OSError, EOFError, zlib.error) as exc:
        raise InputError(f"{name}: {exc}") from None


def feed_command(symbol: str, event: str) -> str:
    return f'{{"cmd":"feed","symbol":{json.dumps(symbol)},"event":{event}}}'


def feed_batch_command(symbol: str, events: Iterable[str]) -> str:
    return f'{{"cmd":"feed_batch","symbol":{json.dumps(symbol)},"events":[{",".join(events)}]}}'


class Checker:
    """A scratch radar that words what is wrong with a command.

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
