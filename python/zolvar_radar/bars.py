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
"""

from __future__ import annotations

import re

__all__ = ["bar_width", "UNITS"]

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
