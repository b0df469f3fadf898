"""One more line under a refused line's error: where in the line it went wrong, or what was probably meant.

The radar's error stays as it is; a hint only adds what the error cannot
say from where it stands: which member held the value it could not take
(`"qty": "abc"`), the known word nearest to an unknown one (`orderbok`:
did you mean "orderbook"?), a member spelt almost like a missing field, or
the text around a column. `hint(line, error)` gives that line or None;
`read_line(path, number)` and `read_lines(path, numbers)` fetch the refused
lines, since a refusal carries only its file and line number; `hints(bad)`
does both for `BadLine`s, reading each file once.
"""

from __future__ import annotations

import difflib
import gzip
import json
import re
from typing import Any, Iterable, Sequence

KINDS = ("derivatives", "orderbook", "liquidation")
SIDES = ("buy", "sell")
FIELDS = {
    "derivatives": ("ts", "open_interest", "funding_rate", "mark_price"),
    "orderbook": ("ts", "bid_volume", "ask_volume", "best_bid", "best_ask"),
    "liquidation": ("ts", "side", "qty", "price"),
}
INTEGER_FIELDS = {"ts"}
LINE_LIMIT = 1 << 20  # characters of a line kept: a hint never needs more, a hostile line can be gigabytes
SHOWN = 60  # characters of a value or of the text around a column

_CHUNK = 1 << 16


# --- fetching lines ------------------------------------------------------------


def read_lines(path: str, numbers: Iterable[int], limit: int = LINE_LIMIT) -> dict[int, str]:
    """Lines `numbers` (1 for the first) of a plain or gzip file, as text without the line end;
    lines past the end are left out, and so is everything when the file cannot be read or is stdin."""
    wanted = sorted({n for n in numbers if n >= 1})
    found: dict[int, str] = {}
    if not wanted or path == "-":
        return found
    try:
        with open(path, "rb") as raw:
            zipped = raw.read(2) == b"\x1f\x8b"
        with (gzip.open(path, "rb") if zipped else open(path, "rb")) as source:
            line, held = 1, bytearray()  # `held`: the start of the current line, when it is wanted
            for chunk in iter(lambda: source.read(_CHUNK), b""):
                start = 0
                while True:
                    end = chunk.find(b"\n", start)
                    if line == wanted[0] and len(held) < limit * 4:
                        held += chunk[start:end if end >= 0 else len(chunk)]
                    if end < 0:
                        break
                    if line == wanted[0]:
                        found[line] = _text(held, line, limit)
                        held.clear()
                        wanted.pop(0)
                        if not wanted:
                            return found
                    line += 1
                    start = end + 1
            if held and line == wanted[0]:
                found[line] = _text(held, line, limit)  # the last line, without a line end
    except (OSError, EOFError, gzip.BadGzipFile):
        pass  # what was read is still good; a hint is never worth an error
    return found


def _text(data: bytes | bytearray, number: int, limit: int) -> str:
    text = bytes(data).decode("utf-8", "replace")
    if number == 1:
        text = text.removeprefix("\ufeff")
    return text.removesuffix("\r")[:limit]


def read_line(path: str, number: int, limit: int = LINE_LIMIT) -> str | None:
    """Line `number` of a plain or gzip file (not stdin), or None when there is none."""
    return read_lines(path, [number], limit).get(number)


def hints(bad: Sequence[Any]) -> list[str | None]:
    """A hint for each refused line (`BadLine`s, or anything with `source`, `number` and `error`),
    each file read once."""
    numbers: dict[str, list[int]] = {}
    for b in bad:
        numbers.setdefault(b.source, []).append(b.number)
    lines = {source: read_lines(source, wanted) for source, wanted in numbers.items()}
    return [hint(lines[b.source].get(b.number), b.error) for b in bad]


# --- the hint --------------------------------------------------------------------


def hint(line: str | None, error: str) -> str | None:
    """A short line that adds to the radar's `error` for the refused `line` (None when unknown), or None."""
    try:
        return _hint(line, error)
    except Exception:  # noqa: BLE001 - a hint must never turn a refusal into a crash
        return None


def _hint(line: str | None, error: str) -> str | None:
    if "not valid UTF-8" in error and line is not None and line.startswith("\x1f\ufffd\x08"):
        return "the line begins as gzip data does: a file compressed twice?"
    value = _parse(line)
    if m := re.search(r"unknown variant `(.*)`, expected (.*)$", error):
        return _variant(value, m.group(1), re.findall(r"`([^`]*)`", m.group(2)))
    if m := re.match(r"(\w+): expected buy or sell, got '(.*)'$", error):  # a CSV cell
        return _nearest_hint(m.group(2), SIDES)
    if m := re.search(r"invalid type: (.*), expected (.*)$", error):
        return _invalid(value, m.group(1), m.group(2))
    if m := re.search(r"missing field `(\w+)`", error):
        return _missing(value, m.group(1))
    if 'missing string "symbol"' in error:
        return _missing_symbol(value)
    if "invalid length " in error:
        return _length(value)
    if m := re.search(r" at line (\d+) column (\d+)$", error):
        return _column(line, int(m.group(1)), int(m.group(2)), "EOF while" in error)
    return None


def _parse(line: str | None) -> Any:
    if line is None:
        return None
    try:
        return json.loads(line)
    except (ValueError, RecursionError):  # not JSON: nothing to point at
        return None


def _event(value: Any) -> Any:
    """The event of a line, object or array form: its "event" member, or the line itself."""
    if isinstance(value, dict) and "event" in value:
        return value["event"]
    return value


def _members(event: Any) -> list[tuple[str, Any]]:
    """(name, value) of an event's members; an array's items are named after their field."""
    if isinstance(event, dict):
        return list(event.items())
    if isinstance(event, list) and event:
        names = ("kind", *FIELDS.get(event[0], ())) if isinstance(event[0], str) else ()
        return [(names[i] if i < len(names) else f"item {i + 1}", v) for i, v in enumerate(event)]
    return []


def _show(name: str, value: Any, array: bool) -> str:
    text = json.dumps(value, ensure_ascii=False)
    if len(text) > SHOWN:
        text = text[:SHOWN - 3] + "..."
    return f"{name} (in the array): {text}" if array else f"{json.dumps(name, ensure_ascii=False)}: {text}"


def _nearest(word: str, known: Sequence[str]) -> str | None:
    lowered = {k.lower(): k for k in known}
    if word.lower() in lowered:
        return lowered[word.lower()]
    close = difflib.get_close_matches(word.lower(), list(lowered), n=1, cutoff=0.6)
    return lowered[close[0]] if close else None


def _nearest_hint(word: str, known: Sequence[str]) -> str | None:
    near = _nearest(word, known)
    return f'did you mean "{near}"?' if near else None


def _variant(value: Any, word: str, known: list[str]) -> str | None:
    event = _event(value)
    where = next((_show(name, v, isinstance(event, list)) for name, v in _members(event) if v == word), None)
    near = _nearest(word, known or KINDS)
    said = f'did you mean "{near}"?' if near else None
    return f"{where}: {said}" if where and said else where or said


def _matches(described: str, v: Any) -> bool:
    """Whether `v` is what the radar's "invalid type: ..." describes."""
    if m := re.fullmatch(r'string "(.*)"', described):
        try:
            return v == json.loads(f'"{m.group(1)}"')
        except ValueError:
            return v == m.group(1)
    if m := re.fullmatch(r"(?:floating point|integer) `(.*)`", described):
        return isinstance(v, (int, float)) and not isinstance(v, bool) and float(v) == float(m.group(1))
    if m := re.fullmatch(r"boolean `(.*)`", described):
        return v is (m.group(1) == "true")
    return {"null": v is None, "map": isinstance(v, dict), "sequence": isinstance(v, list)}.get(described, False)


def _invalid(value: Any, described: str, expected: str) -> str | None:
    event = _event(value)
    array = isinstance(event, list)
    members = [(n, v, array) for n, v in _members(event) if _matches(described, v)]
    if isinstance(value, dict) and event is not value:  # the line's own members, "symbol" among them
        members += [(n, v, False) for n, v in value.items()
                    if (n != "event" or not isinstance(v, (dict, list))) and _matches(described, v)]
    if expected in ("f64", "i64"):
        # the radar reads members in order: the first of the type it expected is the one it stopped at
        fitting = [m for m in members if (m[0] in INTEGER_FIELDS) == (expected == "i64")
                   and m[0] not in ("kind", "side", "symbol")]
        members = fitting or members
    if not members:
        return None
    name, v, in_array = members[0]
    return "at " + _show(name, v, in_array)


def _unread(members: dict, known: Iterable[str]) -> list[str]:
    return [n for n in members if n not in known]


def _missing(value: Any, field: str) -> str | None:
    event = _event(value)
    if not isinstance(event, dict):
        return None
    kind = event.get("kind")
    known = {"kind", "symbol", "event", *FIELDS.get(kind, ())} if isinstance(kind, str) else {"kind", "symbol"}
    unread = _unread(event, known)

    def squeezed(name: str) -> str:
        return re.sub(r"[^a-z0-9]", "", name.lower())

    for name in unread:  # bidVolume, Bid-Volume, bid_vol...
        if squeezed(name) == squeezed(field) or difflib.SequenceMatcher(None, squeezed(name), squeezed(field)).ratio() >= 0.8:
            return f'"{name}" is not read: did you mean "{field}"?'
    if field == "kind":
        for name in unread:
            if isinstance(event[name], str) and _nearest(event[name], KINDS):
                return f'"{name}": {json.dumps(event[name])} is not read: the kind goes in "kind"'
        return f'an event needs "kind": one of {", ".join(KINDS)}'
    if kind in FIELDS:
        return f"{_article(kind)} {kind} event needs {', '.join(FIELDS[kind])}"
    return None


def _missing_symbol(value: Any) -> str | None:
    if not isinstance(value, dict):
        return 'each line is an object with a "symbol" string' if value is not None else None
    if "symbol" in value:
        return "at " + _show("symbol", value["symbol"], False) + " (a string is needed)"
    for name in value:
        if _nearest(name, ["symbol"]):
            return f'"{name}" is not read: did you mean "symbol"?'
    return None


def _article(word: str) -> str:
    return "an" if word[:1] in "aeiou" else "a"


def _length(value: Any) -> str | None:
    event = _event(value)
    if isinstance(event, list) and event and event[0] in FIELDS:
        kind = event[0]
        return f'{_article(kind)} {kind} array is ["{kind}", {", ".join(FIELDS[kind])}]'
    return None


def _column(line: str | None, row: int, column: int, ended: bool) -> str | None:
    """The text up to the column the JSON reader stopped at (1 for the first character);
    `ended` when it stopped because the line did."""
    if line is None or row != 1 or not 1 <= column <= len(line) + 1:
        return None
    before = line[max(0, column - SHOWN):column]
    if column > SHOWN:
        before = "..." + before
    if ended:
        return f"the line ends before its JSON does: {before}"
    return f"at column {column}: {before} <- here"
