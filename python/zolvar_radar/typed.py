"""Typed records over the JSON protocol, for code that would rather not write JSON.

`TypedRadar` sends the same command texts a user would write and reads the
answers into `ScanResult` and `Alert` records; a refused command raises
`RadarError` with the radar's own error text. Events are immutable records
(`Derivatives`, `Orderbook`, `Liquidation`) that write their JSON text once,
when they are made, so feeding one costs little more than the raw command:
see bench/bench_pythonic.py for the figures.

Numbers are written with ``repr``, Python's shortest text that reads back to
the same double, which is valid JSON for every finite float. NaN and the
infinities have no JSON form: making a record with one raises `RadarError`.
"""

from __future__ import annotations

import json
import math
import operator
from dataclasses import dataclass, field
from typing import Any, Iterable, Iterator, Literal, Mapping, Union

from ._zolvar_radar import Radar

__all__ = [
    "Alert",
    "Derivatives",
    "Event",
    "Liquidation",
    "Orderbook",
    "RadarError",
    "RadarSpec",
    "ScanResult",
    "Signal",
    "TypedRadar",
    "event_from_dict",
]

OK = '{"ok":true}'
_isfinite = math.isfinite
_set = object.__setattr__
_QUOTED_CACHE = 1 << 16  # symbols whose JSON text a radar keeps; beyond that it is computed each time


class RadarError(ValueError):
    """A command the radar refused, or a value that cannot be sent to it.

    ``str(error)`` and ``error.error`` are the radar's error text (for example
    ``parse: missing field `qty```); ``error.command`` names the command.
    """

    def __init__(self, error: str, command: str | None = None):
        super().__init__(error)
        self.error = error
        self.command = command

    def __reduce__(self):
        return (type(self), (self.error, self.command))


# --- events ----------------------------------------------------------------


def _float(owner: str, name: str, value: object) -> float:
    """The field as a finite float (the slow path: ints, numpy scalars, wrong types)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)) and not hasattr(value, "__float__"):
        raise TypeError(f"{owner}.{name} must be a number, got {type(value).__name__}")
    try:
        number = float(value)  # type: ignore[arg-type]
    except OverflowError:
        number = math.inf
    if not _isfinite(number):
        raise RadarError(f"{owner}.{name} must be finite, got {_shown(value)}: JSON has no NaN or infinity")
    return number


def _shown(value: object) -> str:
    text = repr(value)
    return text if len(text) <= 40 else f"{text[:20]}...({len(text)} characters)"


def _ts(owner: str, value: object) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{owner}.ts must be an integer, got bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{owner}.ts must be an integer, got {type(value).__name__}") from None


class _Event:
    __slots__ = ()
    kind: str
    _json: str

    def to_dict(self) -> dict[str, Any]:
        """The event in the radar's object form."""
        fields = {"kind": self.kind}
        fields.update((name, getattr(self, name)) for name in self.__match_args__)  # type: ignore[attr-defined]
        return fields

    def to_json(self) -> str:
        return self._json

    def __reduce__(self):  # frozen records with hand-made slots: rebuild through __init__
        return (type(self), tuple(getattr(self, name) for name in self.__match_args__))  # type: ignore[attr-defined]


# The records set their fields themselves (init=False): one function and no
# __post_init__ keeps making one close to the cost of writing its text by hand.


@dataclass(frozen=True, init=False)
class Derivatives(_Event):
    """A derivatives snapshot: open interest, funding rate (a fraction) and mark price."""

    __slots__ = ("ts", "open_interest", "funding_rate", "mark_price", "_json")
    kind = "derivatives"
    ts: int
    open_interest: float
    funding_rate: float
    mark_price: float

    def __init__(self, ts: int, open_interest: float, funding_rate: float, mark_price: float):
        a, b, c = open_interest, funding_rate, mark_price
        if not (type(ts) is int and type(a) is float and type(b) is float and type(c) is float
                and _isfinite(a) and _isfinite(b) and _isfinite(c)):
            ts, a, b, c = (_ts("Derivatives", ts), _float("Derivatives", "open_interest", a),
                           _float("Derivatives", "funding_rate", b), _float("Derivatives", "mark_price", c))
        _set(self, "ts", ts)
        _set(self, "open_interest", a)
        _set(self, "funding_rate", b)
        _set(self, "mark_price", c)
        _set(self, "_json", f'{{"kind":"derivatives","ts":{ts},"open_interest":{a!r},'
                            f'"funding_rate":{b!r},"mark_price":{c!r}}}')


@dataclass(frozen=True, init=False)
class Orderbook(_Event):
    """An order book snapshot: the volumes at the best bid and ask, and those prices."""

    __slots__ = ("ts", "bid_volume", "ask_volume", "best_bid", "best_ask", "_json")
    kind = "orderbook"
    ts: int
    bid_volume: float
    ask_volume: float
    best_bid: float
    best_ask: float

    def __init__(self, ts: int, bid_volume: float, ask_volume: float, best_bid: float, best_ask: float):
        a, b, c, d = bid_volume, ask_volume, best_bid, best_ask
        if not (type(ts) is int and type(a) is float and type(b) is float and type(c) is float
                and type(d) is float and _isfinite(a) and _isfinite(b) and _isfinite(c) and _isfinite(d)):
            ts, a, b, c, d = (_ts("Orderbook", ts), _float("Orderbook", "bid_volume", a),
                              _float("Orderbook", "ask_volume", b), _float("Orderbook", "best_bid", c),
                              _float("Orderbook", "best_ask", d))
        _set(self, "ts", ts)
        _set(self, "bid_volume", a)
        _set(self, "ask_volume", b)
        _set(self, "best_bid", c)
        _set(self, "best_ask", d)
        _set(self, "_json", f'{{"kind":"orderbook","ts":{ts},"bid_volume":{a!r},"ask_volume":{b!r},'
                            f'"best_bid":{c!r},"best_ask":{d!r}}}')


@dataclass(frozen=True, init=False)
class Liquidation(_Event):
    """One liquidation print: the side of the liquidation order, its quantity and price."""

    __slots__ = ("ts", "side", "qty", "price", "_json")
    kind = "liquidation"
    ts: int
    side: Literal["buy", "sell"]
    qty: float
    price: float

    def __init__(self, ts: int, side: Literal["buy", "sell"], qty: float, price: float):
        a, b = qty, price
        if side != "buy" and side != "sell":
            raise RadarError(f'Liquidation.side must be "buy" or "sell", got {side!r}')
        if not (type(ts) is int and type(side) is str and type(a) is float and type(b) is float
                and _isfinite(a) and _isfinite(b)):
            ts, a, b = _ts("Liquidation", ts), _float("Liquidation", "qty", a), _float("Liquidation", "price", b)
            side = "buy" if side == "buy" else "sell"
        _set(self, "ts", ts)
        _set(self, "side", side)
        _set(self, "qty", a)
        _set(self, "price", b)
        _set(self, "_json", f'{{"kind":"liquidation","ts":{ts},"side":"{side}","qty":{a!r},"price":{b!r}}}')


Event = Union[Derivatives, Orderbook, Liquidation]
_EVENT_TYPES = (Derivatives, Orderbook, Liquidation)
_BY_KIND = {cls.kind: cls for cls in _EVENT_TYPES}


def event_from_dict(event: Mapping[str, Any]) -> Event:
    """The record for an event dict in the radar's object form (as the adapters yield them)."""
    cls = _BY_KIND.get(event.get("kind"))  # type: ignore[arg-type]
    if cls is None:
        raise RadarError(f"unknown event kind {event.get('kind')!r}, expected one of {', '.join(_BY_KIND)}")
    try:
        return cls(*(event[name] for name in cls.__match_args__))
    except KeyError as exc:
        raise RadarError(f"{cls.kind} event without {exc.args[0]!r}") from None


def _plain(value: object) -> object:
    """A number JSON cannot write as it is (a numpy scalar) as the int or float it stands for."""
    if hasattr(value, "__index__"):
        return operator.index(value)  # type: ignore[arg-type]
    if hasattr(value, "__float__") and not isinstance(value, (str, bytes)):
        return float(value)  # type: ignore[arg-type]
    raise TypeError(f"an event's value must be a number, text or null, not {type(value).__name__}")


def _event_text(event: object) -> str:
    if type(event) in _EVENT_TYPES:
        return event._json  # type: ignore[attr-defined]
    if isinstance(event, _EVENT_TYPES):
        # a subclass could answer anything for _json: the text is written again from the fields
        base = next(cls for cls in _EVENT_TYPES if isinstance(event, cls))
        return base(*(getattr(event, name) for name in base.__match_args__))._json  # type: ignore[attr-defined]
    if isinstance(event, Mapping):
        try:
            return json.dumps(dict(event), allow_nan=False, separators=(",", ":"), default=_plain)
        except (ValueError, RecursionError) as exc:
            raise RadarError(f"event: {exc}") from None
    raise TypeError(f"an event is a Derivatives, Orderbook, Liquidation or a dict, not {type(event).__name__}")


# --- specification -----------------------------------------------------------

IndicatorKind = Literal["oi_delta", "funding_flip", "book_imbalance", "liq_cluster", "oi_price_divergence"]


@dataclass(frozen=True, slots=True)
class Signal:
    """One signal: an indicator kind, its parameters and its weight in the severity."""

    kind: IndicatorKind
    params: tuple[float, ...] = ()
    weight: float = 1.0

    def __post_init__(self) -> None:
        if type(self.params) is not tuple:
            _set(self, "params", tuple(self.params))

    @classmethod
    def oi_delta(cls, lookback: int, scale: float, *, weight: float = 1.0) -> Signal:
        """Relative change of open interest over ``lookback`` snapshots, divided by ``scale``."""
        return cls("oi_delta", (lookback, scale), weight)

    @classmethod
    def funding_flip(cls, scale: float, *, weight: float = 1.0) -> Signal:
        """Size of the latest funding rate over ``scale``, doubled when its sign just flipped."""
        return cls("funding_flip", (scale,), weight)

    @classmethod
    def book_imbalance(cls, scale: float, *, weight: float = 1.0) -> Signal:
        """|bid - ask| / (bid + ask) volumes of the latest book, divided by ``scale``."""
        return cls("book_imbalance", (scale,), weight)

    @classmethod
    def liq_cluster(cls, count: int, scale: float, *, weight: float = 1.0) -> Signal:
        """Sum of the last ``count`` liquidation quantities, divided by ``scale``."""
        return cls("liq_cluster", (count, scale), weight)

    @classmethod
    def oi_price_divergence(cls, lookback: int, scale: float, *, weight: float = 1.0) -> Signal:
        """Price change against open-interest change over ``lookback`` snapshots, over ``scale`` squared."""
        return cls("oi_price_divergence", (lookback, scale), weight)

    def to_dict(self) -> dict[str, Any]:
        return {"kind": self.kind, "params": list(self.params), "weight": self.weight}


@dataclass(frozen=True, slots=True)
class RadarSpec:
    """A specification, built step by step; every step returns a new spec.

    >>> spec = RadarSpec(threshold=0.5).oi_delta(1, 0.1).book_imbalance(0.5)

    The radar checks it when it is given to a `TypedRadar` (parameter counts,
    weights, duplicates) and `RadarError` carries its message.
    """

    signals: tuple[Signal, ...] = ()
    threshold: float = 0.0
    limit: int | None = None
    venues: tuple[str, ...] = ()
    symbols: tuple[str, ...] = ()

    def __post_init__(self) -> None:
        for name in ("signals", "venues", "symbols"):
            value = getattr(self, name)
            if type(value) is not tuple:
                _set(self, name, tuple(value))

    def with_signal(self, signal: Signal) -> RadarSpec:
        return RadarSpec(self.signals + (signal,), self.threshold, self.limit, self.venues, self.symbols)

    def with_threshold(self, threshold: float) -> RadarSpec:
        return RadarSpec(self.signals, threshold, self.limit, self.venues, self.symbols)

    def with_limit(self, limit: int | None) -> RadarSpec:
        return RadarSpec(self.signals, self.threshold, limit, self.venues, self.symbols)

    def oi_delta(self, lookback: int, scale: float, *, weight: float = 1.0) -> RadarSpec:
        return self.with_signal(Signal.oi_delta(lookback, scale, weight=weight))

    def funding_flip(self, scale: float, *, weight: float = 1.0) -> RadarSpec:
        return self.with_signal(Signal.funding_flip(scale, weight=weight))

    def book_imbalance(self, scale: float, *, weight: float = 1.0) -> RadarSpec:
        return self.with_signal(Signal.book_imbalance(scale, weight=weight))

    def liq_cluster(self, count: int, scale: float, *, weight: float = 1.0) -> RadarSpec:
        return self.with_signal(Signal.liq_cluster(count, scale, weight=weight))

    def oi_price_divergence(self, lookback: int, scale: float, *, weight: float = 1.0) -> RadarSpec:
        return self.with_signal(Signal.oi_price_divergence(lookback, scale, weight=weight))

    def to_dict(self) -> dict[str, Any]:
        spec: dict[str, Any] = {"signals": [s.to_dict() for s in self.signals], "threshold": self.threshold}
        if self.limit is not None:
            spec["limit"] = self.limit
        if self.venues:
            spec["venues"] = list(self.venues)
        if self.symbols:
            spec["symbols"] = list(self.symbols)
        return spec

    def to_json(self) -> str:
        try:
            return json.dumps(self.to_dict(), allow_nan=False, separators=(",", ":"))
        except ValueError as exc:
            raise RadarError(f"spec: {exc}") from None

    @classmethod
    def from_dict(cls, spec: Mapping[str, Any]) -> RadarSpec:
        """A spec from its object form, signals as objects (the form of the bundled specification)."""
        signals = tuple(
            Signal(s["kind"], tuple(s.get("params", ())), s.get("weight", 1.0)) for s in spec["signals"]
        )
        return cls(signals, spec.get("threshold", 0.0), spec.get("limit"),
                   tuple(spec.get("venues", ())), tuple(spec.get("symbols", ())))

    @classmethod
    def from_json(cls, text: str) -> RadarSpec:
        return cls.from_dict(json.loads(text))


def _spec_text(spec: RadarSpec | str | Mapping[str, Any]) -> str:
    if isinstance(spec, RadarSpec):
        return spec.to_json()
    if isinstance(spec, str):
        return str.__str__(spec)  # the characters themselves, whatever a subclass formats
    if isinstance(spec, Mapping):
        try:
            return json.dumps(spec, allow_nan=False)
        except (ValueError, RecursionError) as exc:
            raise RadarError(f"spec: {exc}") from None
    raise TypeError(f"a spec is a RadarSpec, a JSON text or a dict, not {type(spec).__name__}")


# --- results -----------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class Alert:
    """One ranked alert.

    ``factors`` maps each signal's label (``"oi_delta(1,0.1)"``) to its
    strength, plus ``"severity"`` last, as the radar writes them. ``ts`` is the
    largest event timestamp of the symbol (-2**63 for a symbol without events).
    """

    symbol: str
    severity: float
    factors: dict[str, float] = field(hash=False)
    ts: int


@dataclass(frozen=True, slots=True)
class ScanResult:
    """The alerts, strongest first, and how many symbols were scored."""

    alerts: tuple[Alert, ...]
    scanned: int

    def __iter__(self) -> Iterator[Alert]:
        return iter(self.alerts)

    def __len__(self) -> int:
        return len(self.alerts)


def _refused(answer: str, command: str) -> RadarError:
    try:
        error = json.loads(answer)["error"]
    except (ValueError, KeyError, TypeError):
        error = answer
    return RadarError(error, command)


def _result(answer: str, command: str) -> ScanResult:
    value = json.loads(answer)
    if "error" in value:
        raise RadarError(value["error"], command)
    return ScanResult(
        tuple(Alert(a["symbol"], a["severity"], a["factors"], a["ts"]) for a in value["alerts"]),
        value["scanned"],
    )


# --- the radar -----------------------------------------------------------------


class TypedRadar:
    """A `Radar` driven with records instead of JSON texts.

    Like `Radar`, it is bound to the thread that created it.
    """

    __slots__ = ("_radar", "_command", "_quoted")

    def __init__(self, spec: RadarSpec | str | Mapping[str, Any]):
        try:
            self._radar = Radar(_spec_text(spec))
        except ValueError as exc:
            if isinstance(exc, RadarError):
                raise
            raise RadarError(str(exc), "new") from None
        self._command = self._radar.command
        self._quoted: dict[str, str] = {}

    @property
    def radar(self) -> Radar:
        """The underlying radar, for raw command texts."""
        return self._radar

    def _quote(self, symbol: str) -> str:
        if not isinstance(symbol, str):
            raise TypeError(f"a symbol is a str, not {type(symbol).__name__}")
        quoted = json.dumps(symbol)
        if len(self._quoted) < _QUOTED_CACHE:
            self._quoted[symbol] = quoted
        return quoted

    def feed(self, symbol: str, event: Event | Mapping[str, Any]) -> None:
        """Stores one event for a symbol."""
        quoted = self._quoted.get(symbol) or self._quote(symbol)
        # only the records' own texts are trusted as they are: any other object goes through
        # _event_text, so no attribute of a caller's object is spliced into the command
        text = event._json if type(event) in _EVENT_TYPES else _event_text(event)  # type: ignore[union-attr]
        answer = self._command(f'{{"cmd":"feed","symbol":{quoted},"event":{text}}}')
        if answer != OK:
            raise _refused(answer, "feed")

    def feed_batch(self, symbol: str, events: Iterable[Event | Mapping[str, Any]]) -> None:
        """Stores events for one symbol, in order; nothing is stored if one is refused."""
        quoted = self._quoted.get(symbol) or self._quote(symbol)
        body = ",".join(map(_event_text, events))
        answer = self._command(f'{{"cmd":"feed_batch","symbol":{quoted},"events":[{body}]}}')
        if answer != OK:
            raise _refused(answer, "feed_batch")

    def scan(self, events: Mapping[str, Iterable[Event | Mapping[str, Any]]]) -> ScanResult:
        """Scores the given events alone, symbol by symbol, leaving the stored data as it is."""
        if not isinstance(events, Mapping):
            raise TypeError(f"scan() takes a mapping of symbol to its events, not {type(events).__name__}")
        quoted = self._quoted
        body = ",".join(
            f"{quoted.get(symbol) or self._quote(symbol)}:[{','.join(map(_event_text, symbol_events))}]"
            for symbol, symbol_events in events.items()
        )
        return _result(self._command(f'{{"cmd":"scan","events":{{{body}}}}}'), "scan")

    def alerts(self) -> ScanResult:
        """Scores every stored symbol."""
        return _result(self._command('{"cmd":"alerts"}'), "alerts")

    def reset(self) -> None:
        """Forgets the stored data."""
        self._command('{"cmd":"reset"}')

    def set_spec(self, spec: RadarSpec | str | Mapping[str, Any]) -> None:
        """Replaces the specification (and forgets the stored data); a refused one changes nothing."""
        text = _spec_text(spec)
        if isinstance(spec, str):
            # The text is spliced into the command: the radar first reads it whole, as
            # one specification, so nothing after it can become part of the command.
            try:
                Radar(text)
            except ValueError as exc:
                raise RadarError(str(exc), "set_spec") from None
        answer = self._command(f'{{"cmd":"set_spec","spec":{text}}}')
        if answer != OK:
            raise _refused(answer, "set_spec")

    def version(self) -> str:
        return Radar.version()
