"""One cadence for every source: at most one derivatives snapshot and one
order book per symbol per interval of time.

A look-back counts observations, so the same specification means an hour
on one source (a snapshot a minute) and a minute on another (one a second).
Thinning every source to bars of one width makes a look-back count
intervals instead. The rule, the same in the native file reader and here:

- An event's interval is ``ts // width`` (floored, so negative times work).
- Liquidations are never held back or dropped.
- Per symbol, derivatives snapshots and order books are thinned apart: of
  the snapshots read one after another in the same interval, the last one
  read is kept, with its own values and ts. It is passed on once its
  interval closes: when that symbol's next snapshot of the same kind falls
  in another interval, at a checkpoint whose clock (the largest ts read)
  has reached the interval's end, or at the end of the input. Those passed
  on together come in the order they were read.
- With timestamps out of order, a snapshot of an interval already closed
  opens it again (it is kept too).

`Bars` applies the rule to live (symbol, event) pairs, as the adapters make
them; `bar_width` reads a width.
"""

from __future__ import annotations

import math
import re
from typing import Any, Iterable, Mapping

__all__ = ["Bars", "bar_width", "UNITS"]

# Timestamps are epoch milliseconds by convention (tardis microseconds are
# read as milliseconds), so a unit is a number of them.
UNITS = {"ms": 1, "s": 1_000, "m": 60_000, "h": 3_600_000, "d": 86_400_000}

_DURATION = re.compile(r"^\s*(\d+)\s*(ms|s|m|h|d)?\s*$")


def bar_width(value: int | str) -> int:
    """A bar's width in timestamp units: an int, a str of digits (the same),
    or digits with a unit: "500ms", "15s", "1m", "4h", "1d" (epoch ms).

    Raises ValueError for anything else, a width of 0 included.
    """
    if isinstance(value, bool):
        raise ValueError(f"a bar width is a whole number of timestamp units or a duration like 1m, not {value!r}")
    if isinstance(value, int):
        width = value
    else:
        match = _DURATION.match(value) if isinstance(value, str) else None
        if match is None:
            raise ValueError(f"a bar width is a whole number of timestamp units or a duration like 1m, "
                             f"not {value!r}")
        width = int(match.group(1)) * UNITS[match.group(2) or "ms"]
    if not 0 < width < 2**63:
        raise ValueError(f"a bar width must be at least 1 timestamp unit and below 2**63, not {value!r}")
    return width


_THINNED = {
    "derivatives": ("open_interest", "funding_rate", "mark_price"),
    "orderbook": ("bid_volume", "ask_volume", "best_bid", "best_ask"),
}
_TS_RANGE = range(-2**63, 2**63)


def _number(value: Any) -> bool:
    """A value JSON writes as a number (bools are not, nor NaN or infinities)."""
    if isinstance(value, float):
        return math.isfinite(value)
    return isinstance(value, int) and not isinstance(value, bool)


def _snapshot(pair: Any) -> tuple[str, str, int] | None:
    """(symbol, kind, ts) of a snapshot the radar takes, None for anything else.

    Only what the radar would take is thinned: an event it refuses passes on
    at once, so a good one read after it in the same interval cannot hide it.
    """
    if not isinstance(pair, (tuple, list)) or len(pair) != 2:
        return None
    symbol, event = pair
    if not isinstance(symbol, str) or not isinstance(event, Mapping):
        return None
    kind, ts = event.get("kind"), event.get("ts")
    fields = _THINNED.get(kind) if isinstance(kind, str) else None
    if fields is None or isinstance(ts, bool) or not isinstance(ts, int) or ts not in _TS_RANGE:
        return None
    if not all(_number(event.get(field)) for field in fields):
        return None
    return symbol, kind, ts


class Bars:
    """Thins live (symbol, event) pairs to one snapshot of each kind per symbol and interval.

    ``Bars("1m")`` (any width `bar_width` takes). Feed what `push`, `close`
    and `flush` return to the radar, in that order: `push` gives what is
    ready at once (liquidations, snapshots whose interval another snapshot
    closed), `close(now)` what a clock at ``now`` has closed, `flush` all
    that is still held (at the end of the input). ``dropped`` counts the
    snapshots replaced by a later one of their interval; ``held`` is how
    many wait now.

    Pairs that are not snapshots the radar takes (another kind, a ts that is
    not a 64-bit int, a field missing or not a number, not a (str, dict)
    pair) pass through at once, unchanged: the radar says what is wrong.
    """

    def __init__(self, width: int | str):
        self.width = bar_width(width)
        self.dropped = 0
        self._read = 0  # pairs read, numbering the held ones so they leave in the order read
        self._held: dict[tuple[str, str], tuple[int, int, tuple[str, dict]]] = {}  # (seq, interval, pair)

    def __repr__(self) -> str:
        return f"Bars({self.width}, held={self.held}, dropped={self.dropped})"

    @property
    def held(self) -> int:
        """Snapshots waiting for their interval to close."""
        return len(self._held)

    def push(self, pairs: Iterable[tuple[str, dict]]) -> list[tuple[str, dict]]:
        """Reads ``pairs`` in order; returns those ready now, in the order they became ready."""
        pairs = list(pairs)  # a failing iterable changes nothing
        ready = []
        for pair in pairs:
            snapshot = _snapshot(pair)
            if snapshot is None:
                ready.append(pair)
                continue
            symbol, kind, ts = snapshot
            interval = ts // self.width
            key = (symbol, kind)
            held = self._held.get(key)
            if held is not None:
                if held[1] == interval:
                    self.dropped += 1
                else:
                    ready.append(held[2])
            self._held[key] = (self._read, interval, pair)
            self._read += 1
        return ready

    def close(self, now: int) -> list[tuple[str, dict]]:
        """The held snapshots whose interval ends at or before ``now``, in the order read."""
        if isinstance(now, bool) or not isinstance(now, int):
            raise TypeError(f"now is a timestamp (int), not {now!r}")
        done = [key for key, (_, interval, _) in self._held.items() if (interval + 1) * self.width <= now]
        return self._release(done)

    def flush(self) -> list[tuple[str, dict]]:
        """Every held snapshot, in the order read."""
        return self._release(list(self._held))

    def _release(self, keys: list[tuple[str, str]]) -> list[tuple[str, dict]]:
        released = sorted(self._held.pop(key) for key in keys)
        return [pair for _, _, pair in released]
