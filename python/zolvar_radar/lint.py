"""Warnings about a specification the radar accepts but probably does not mean.

The radar reads a specification leniently: a member it does not know is
skipped, a look-back is cut to a whole count, a scale may be zero or negative.
Each of these is legal and keeps its meaning, but some make a signal that can
never fire, or a threshold no symbol can reach. `lint(text)` finds them.

It works on the JSON text alone, after the radar has accepted it: every number
is finite, every signal has the right number of parameters and every weight
is non-negative. The arithmetic below mirrors the radar's own, in doubles.

`count`, `window` and `read_signals` are shared with the replay report, which
keeps the same windows as the radar.
"""

from __future__ import annotations

import difflib
import json
import math
from dataclasses import dataclass
from typing import Any

ROOT_MEMBERS = ("venues", "symbols", "signals", "threshold", "limit")
SIGNAL_MEMBERS = ("kind", "params", "weight")
LOOKBACK_KINDS = ("oi_delta", "liq_cluster", "oi_price_divergence")
MAX_COUNT = 2**64 - 1
FLOOR = 1e-12  # the radar's floor under the older value of a relative change


@dataclass(frozen=True)
class Signal:
    kind: str
    params: tuple[float, ...]
    weight: float


@dataclass(frozen=True)
class LintWarning:
    where: str  # a member name, or "signal N (kind)" with an optional member
    text: str

    def __str__(self) -> str:
        return f"{self.where}: {self.text}"


def count(p: float) -> int:
    """A parameter used as a number of observations: its whole part, saturated; 0 unless positive."""
    if p > 0 and math.isfinite(p):
        return min(int(p), MAX_COUNT)
    return 0


def window(signals: list[Signal]) -> int:
    """How many values each series of a symbol keeps: the longest look-back plus one (wrapping), at least 2."""
    longest = max((count(s.params[0]) for s in signals if s.kind in LOOKBACK_KINDS and s.params), default=0)
    return max((longest + 1) % 2**64, 2)


def grid(x: float) -> float:
    """x rounded to 8 decimals as the radar rounds severities: half away from zero."""
    q = x / 1e-8
    whole = math.trunc(q)
    if abs(q - whole) >= 0.5:
        whole += 1 if q > 0 else -1
    return whole * 1e-8


def _float(value: Any) -> float:
    """A JSON number as a double; an integer beyond the double range (which the radar refuses) is infinite."""
    try:
        return float(value)
    except OverflowError:
        return math.inf if value > 0 else -math.inf


def _kind(value: Any) -> str:
    return next(iter(value)) if isinstance(value, dict) and value else str(value)


def read_signals(spec: Any) -> list[Signal]:
    """The signals of a parsed specification, object or array form, defaults filled in."""
    signals = spec.get("signals", []) if isinstance(spec, dict) else spec[2] if len(spec) > 2 else []
    read = []
    for signal in signals:
        if isinstance(signal, dict):
            kind, params, weight = signal.get("kind"), signal.get("params", []), signal.get("weight", 1.0)
        else:
            kind = signal[0] if signal else None
            params = signal[1] if len(signal) > 1 else []
            weight = signal[2] if len(signal) > 2 else 1.0
        read.append(Signal(_kind(kind), tuple(_float(p) for p in params), _float(weight)))
    return read


def _num(x: float) -> str:
    """A number as a person writes it: 3 rather than 3.0."""
    if math.isfinite(x) and x == int(x) and abs(x) < 1e16:
        return f"{'-' if math.copysign(1, x) < 0 else ''}{abs(int(x))}"
    return repr(x)


def _unknown(members: dict, known: tuple[str, ...], elsewhere: tuple[str, ...], where: str,
             level: str) -> list[LintWarning]:
    """Members the radar skips, with the known name they are closest to."""
    warnings = []
    for name in members:
        if name in known:
            continue
        text = "unknown member"
        if name in elsewhere:
            text += f", ignored here: {name} belongs to {level}"
        else:
            close = difflib.get_close_matches(name, known, n=1, cutoff=0.6) or \
                difflib.get_close_matches(name.lower(), known, n=1, cutoff=0.6)
            text += f", did you mean {close[0]}?" if close else ", ignored"
        warnings.append(LintWarning(f"{where}{name}", text))
    return warnings


# --- one signal ------------------------------------------------------------------


def _lookback_notes(p: float, n: int, name: str) -> list[str]:
    """How a look-back that is not a plain whole number is counted."""
    if p >= 2**64:
        return [f"{name} {_num(p)} is beyond 2^64 - 1: it counts as {MAX_COUNT}"]
    if p < 0:
        return [f"{name} {_num(p)} is negative: it counts as 0"]
    if p != math.floor(p):
        return [f"{name} {_num(p)} is not a whole number: it is cut to {n}"]
    return []


def _signal_findings(signal: Signal, width: int) -> tuple[list[str], float]:
    """Notes about one signal, and the highest strength it can reach on market data
    (non-negative book volumes and liquidation quantities): 0 when it is always 0."""
    kind, params = signal.kind, signal.params
    notes: list[str] = []
    dead: list[str] = []
    ceiling = 1.0
    scale = params[-1] if params else math.nan

    if kind in LOOKBACK_KINDS and len(params) == 2:
        name = "count" if kind == "liq_cluster" else "lookback"
        n = count(params[0])
        notes += _lookback_notes(params[0], n, name)
        if n == 0:
            dead.append("a count of 0 sums no liquidation" if kind == "liq_cluster"
                        else "a lookback of 0 compares the newest snapshot with itself")
        elif kind == "liq_cluster" and n > width:
            notes.append(f"the series keep only {width} values (the longest look-back plus one wrapped around): "
                         f"it sums at most {width} liquidations")
        elif kind != "liq_cluster" and n >= width:
            dead.append(f"the series keep only {width} snapshots (the longest look-back plus one wrapped around), "
                        f"never the {n + 1} it needs")

    if kind == "oi_price_divergence" and len(params) == 2:
        squared = scale * scale
        if scale == 0:
            dead.append("a scale of 0 makes every divergence infinite or NaN, which count as 0")
        elif squared == 0:
            dead.append(f"scale {_num(scale)} squared is 0 in doubles: every divergence is infinite or NaN, "
                        "which count as 0")
        elif math.isinf(squared):
            dead.append(f"scale {_num(scale)} squared is infinite: every divergence divides to 0 or NaN")
        elif scale < 0:
            notes.append(f"scale {_num(scale)} is squared: it acts as {_num(-scale)}")
    elif params and kind in ("oi_delta", "funding_flip", "book_imbalance", "liq_cluster"):
        if scale == 0:
            dead.append("a scale of 0 makes every value infinite or NaN, which count as 0")
        elif math.isnan(scale) or math.isinf(scale):
            dead.append(f"scale {_num(scale)} divides every value to 0 or NaN")
        elif scale < 0:
            dead.append("a negative scale makes every sum negative, clamped to 0 (unless quantities are negative)"
                        if kind == "liq_cluster" else "a negative scale makes every value negative, clamped to 0")
        elif kind == "book_imbalance" and scale > 1:
            # |bid - ask| / (bid + ask) is at most 1 for non-negative volumes
            ceiling = 1 / scale
            notes.append(f"scale {_num(scale)} is above 1, the largest imbalance a book shows (its volumes are "
                         f"never negative): it reaches at most {_num(grid(ceiling))}")

    if dead:
        notes.append("always 0: " + "; ".join(dead))
        ceiling = 0.0
    if signal.weight == 0:
        notes.append("weight 0: listed among the factors but never moves the severity")
    return notes, ceiling


# --- the whole specification ---------------------------------------------------------


def highest_severity(signals: list[Signal], ceilings: list[float]) -> float:
    """The highest severity the signals can reach, each at its ceiling, computed as the radar scores."""
    acc = wsum = 0.0
    for signal, ceiling in zip(signals, ceilings):
        acc = acc + ceiling * signal.weight
        wsum = wsum + signal.weight
    return grid(acc / wsum) if wsum > 0 else 0.0


def lint(text: str) -> list[LintWarning]:
    """Warnings about a specification text the radar has accepted, in the order of the text."""
    spec = json.loads(text)
    warnings: list[LintWarning] = []
    if isinstance(spec, dict):
        warnings += _unknown(spec, ROOT_MEMBERS, SIGNAL_MEMBERS, "", "a signal")
        raw_signals = spec.get("signals", [])
        given = "threshold" in spec
        threshold = _float(spec.get("threshold", 0.0))
    else:
        raw_signals = spec[2] if len(spec) > 2 else []
        given = len(spec) > 3
        threshold = _float(spec[3]) if given else 0.0

    signals = read_signals(spec)
    width = window(signals)
    ceilings = []
    for index, (raw, signal) in enumerate(zip(raw_signals, signals), 1):
        where = f"signal {index} ({signal.kind})"
        if isinstance(raw, dict):
            warnings += _unknown(raw, SIGNAL_MEMBERS, ROOT_MEMBERS, f"{where}: ", "the specification")
        notes, ceiling = _signal_findings(signal, width)
        warnings += [LintWarning(where, note) for note in notes]
        ceilings.append(ceiling)

    top = highest_severity(signals, ceilings)
    shown = _num(threshold) + ("" if given else " (the default)")
    if threshold > top:
        why = ("every weight is 0, so every severity is 0" if sum(s.weight for s in signals) == 0
               else f"the highest severity these signals and weights allow is {_num(top)}")
        warnings.append(LintWarning("threshold", f"{shown} is never reached: {why}"))
    elif threshold <= 0:
        warnings.append(LintWarning("threshold", f"{shown}: every symbol is an alert, whatever its severity"))
    return warnings
