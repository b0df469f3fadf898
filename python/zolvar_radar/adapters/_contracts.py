"""What the exchange adapters share: numbers, contract units, warnings, liquidation dedup."""

from __future__ import annotations

import math
import warnings
from collections import Counter
from typing import Any, Hashable, Iterable, Literal, Mapping, TypeVar

Unit = Literal["contracts", "base", "quote"]
UNITS = ("contracts", "base", "quote")
T = TypeVar("T")


class AdapterWarning(UserWarning):
    """Data an adapter could not map, or mapped only with a stated assumption (said once per cause)."""


def finite(value: Any) -> float | None:
    """The value as a finite float, or None (None, bools, text that is no number, nan, inf)."""
    if value is None or isinstance(value, bool):
        return None
    try:
        number = float(value)
    except (TypeError, ValueError, OverflowError):  # OverflowError: an int past a double's range
        return None
    return number if math.isfinite(number) else None


def millis(value: Any) -> int | None:
    """A timestamp in milliseconds as an int the radar takes (a signed 64-bit one), else None."""
    number = finite(value)
    return int(number) if number is not None and -2.0**63 <= number < 2.0**63 else None


def contract_spec(market: Mapping[str, Any] | None) -> tuple[float, bool] | None:
    """(contract size, inverse) of a ccxt-shaped market entry, None when it does not tell.

    A coin-margined (inverse) contract's size is in quote currency (100 USD), a
    linear one's in base currency (0.01 BTC).
    """
    if not isinstance(market, Mapping):
        return None
    size = finite(market.get("contractSize"))
    if size is None or size <= 0:
        return None
    inverse = market.get("inverse")
    if inverse is None:
        linear = market.get("linear")
        if linear is None:
            return None
        inverse = not linear
    return size, bool(inverse)


def convert(contracts: float, spec: tuple[float, bool], price: float | None, unit: Unit) -> float | None:
    """A number of contracts in ``unit``; None when the price it takes is missing or zero."""
    if unit == "contracts":
        return contracts
    size, inverse = spec
    if inverse:
        quote = contracts * size
        if unit == "quote":
            return quote
        return quote / price if price else None
    base = contracts * size
    if unit == "base":
        return base
    return base * price if price is not None else None


def check_unit(name: str, value: str, aliases: Mapping[str, Unit] | None = None) -> Unit:
    unit = (aliases or {}).get(value, value)
    if unit not in UNITS:
        allowed = ", ".join(f'"{u}"' for u in (*UNITS, *(aliases or {})))
        raise ValueError(f"{name} must be one of {allowed}, got {value!r}")
    return unit  # type: ignore[return-value]


class Reporter:
    """Counts what made no event, by reason, and warns once per cause."""

    def __init__(self, source: str):
        self.source = source
        self.skipped: Counter[str] = Counter()
        self._warned: set[str] = set()

    def warn(self, message: str) -> None:
        if message not in self._warned:
            self._warned.add(message)
            warnings.warn(f"{self.source}: {message}", AdapterWarning, stacklevel=3)

    def skip(self, reason: str, warning: str | None = None) -> None:
        self.skipped[reason] += 1
        if warning is not None:
            self.warn(warning)


class LiquidationDedup:
    """Which liquidations of a batch are new, for sources whose batches overlap.

    Liquidations carry no id, so two identical fills in one millisecond are
    told apart only by being two: within one batch every item counts, and an
    item is new when its (timestamp, content) occurs more often in the batch
    than in any batch before. Keys older than ``window_ms`` before the
    newest are forgotten; anything at or before the newest forgotten
    timestamp is taken as already seen.
    """

    def __init__(self, window_ms: int):
        self.window_ms = window_ms
        self._seen: dict[str, Counter[tuple[int, Hashable]]] = {}
        self._floor: dict[str, int] = {}

    def new(self, symbol: str, batch: Iterable[tuple[int, Hashable, T]], *, fresh: bool = False) -> list[T]:
        """The items of ``batch`` (timestamp, content key, item) not seen before, in batch order.

        ``fresh`` says the batch shares nothing with earlier ones (a stream's
        new messages): every item is new.
        """
        items = list(batch)
        seen = self._seen.setdefault(symbol, Counter())
        floor = None if fresh else self._floor.get(symbol)
        counts = Counter((ts, key) for ts, key, _ in items)
        # equal items are interchangeable: the first ones of a key stand for those seen before
        already = {k: 0 if fresh else min(n, seen[k]) for k, n in counts.items()}
        out: list[T] = []
        for ts, key, item in items:
            k = (ts, key)
            if floor is not None and ts <= floor:
                continue
            if already[k] > 0:
                already[k] -= 1
                continue
            out.append(item)
        for k, n in counts.items():
            seen[k] = seen[k] + n if fresh else max(seen[k], n)
        self._prune(symbol, seen)
        return out

    def _prune(self, symbol: str, seen: Counter) -> None:
        if not seen:
            return
        horizon = max(ts for ts, _ in seen) - self.window_ms
        old = [k for k in seen if k[0] < horizon]
        if old:
            self._floor[symbol] = max(self._floor.get(symbol, horizon), max(ts for ts, _ in old))
            for k in old:
                del seen[k]
