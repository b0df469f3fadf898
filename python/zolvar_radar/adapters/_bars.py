"""The ``bar`` option the live adapters share: what their methods return goes through one `Bars`."""

from __future__ import annotations

import functools
from typing import Callable, TypeVar

from ..bars import Bars

Pair = tuple[str, dict]
Method = TypeVar("Method", bound=Callable[..., list[Pair]])


def barred(method: Method) -> Method:
    """A public method whose pairs go through the adapter's bars, when it has some.

    Only methods called from outside are wrapped: a pair must pass once.
    """
    @functools.wraps(method)
    def wrapper(self: BarredAdapter, *args, **kwargs) -> list[Pair]:
        pairs = method(self, *args, **kwargs)
        return pairs if self._bars is None else self._bars.push(pairs)

    return wrapper  # type: ignore[return-value]


class BarredAdapter:
    _bars: Bars | None = None
    _clock: Callable[[], int]

    @property
    def bars(self) -> Bars | None:
        """The `Bars` the pairs go through (its ``dropped`` and ``held``), None without ``bar``."""
        return self._bars

    def close_bars(self, now: int | None = None) -> list[Pair]:
        """The held snapshots whose bar has ended by ``now`` (default: the adapter's clock, in ms).

        Call it now and then (before reading alerts, say) so a quiet symbol's
        last snapshot is not held until its next one comes.
        """
        if self._bars is None:
            return []
        return self._bars.close(self._clock() if now is None else now)

    def flush_bars(self) -> list[Pair]:
        """Every held snapshot, in the order read: at the end of the stream."""
        return [] if self._bars is None else self._bars.flush()
