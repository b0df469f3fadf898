"""Event dicts from the lines of a JSON Lines file, in the forms the command line reads."""

from __future__ import annotations

import math

from ..inputs import Checker, decode_line

# the fields of each kind after "ts", in the radar's order (also that of the array form)
FIELDS = {
    "derivatives": ("open_interest", "funding_rate", "mark_price"),
    "orderbook": ("bid_volume", "ask_volume", "best_bid", "best_ask"),
    "liquidation": ("side", "qty", "price"),
}
_TS_RANGE = range(-(2**63), 2**63)
_MISSING = object()


def _side(value: object) -> str | None:
    if value == "buy" or value == "sell":
        return value  # type: ignore[return-value]
    if isinstance(value, dict) and len(value) == 1:
        name, unit = next(iter(value.items()))
        if name in ("buy", "sell") and (unit is None or unit == {}):
            return name
    return None


def _number(value: object) -> float | None:
    kind = type(value)
    if kind is float:
        return value if math.isfinite(value) else None  # type: ignore[return-value,arg-type]
    if kind is int:
        try:
            return float(value)  # type: ignore[arg-type]
        except OverflowError:  # beyond the double range: the radar refuses it too
            return None
    return None


def normal_event(value: object) -> dict | None:
    """The event in object form with only its own fields, doubles as floats; None if the radar would refuse it."""
    if isinstance(value, dict):
        kind = value.get("kind")
        names = FIELDS.get(kind) if type(kind) is str else None
        if names is None:
            return None
        ts = value.get("ts")
        values = [value.get(name, _MISSING) for name in names]
    elif isinstance(value, list) and value:
        kind = value[0]
        names = FIELDS.get(kind) if type(kind) is str else None
        if names is None or len(value) != len(names) + 2:
            return None
        ts, values = value[1], value[2:]
    else:
        return None
    if type(ts) is not int or ts not in _TS_RANGE:
        return None
    event: dict = {"kind": kind, "ts": ts}
    for name, raw in zip(names, values):
        field = _side(raw) if name == "side" else _number(raw)
        if field is None:
            return None
        event[name] = field
    return event


class LineReader:
    """(symbol, event dict) of each line; the radar words what is wrong with a line."""

    def __init__(self) -> None:
        self._checker: Checker | None = None

    def reason(self, text: str) -> str:
        if self._checker is None:
            self._checker = Checker()
        return self._checker.line_error(text) or "not an event line"

    def parse(self, text: str) -> tuple[str, dict] | None:
        """None when the radar would refuse the line (ask `reason` why)."""
        decoded = decode_line(text)
        if decoded is None:
            return None
        symbol, event_value, _ = decoded
        if not symbol.isascii():
            try:
                symbol.encode("utf-8")
            except UnicodeEncodeError:  # a lone surrogate from a \ud800 escape
                return None
        event = normal_event(event_value)
        if event is None:
            return None
        return symbol, event
