"""A sweep's grid: the specifications it tries.

Two forms. A JSON array of specifications: its candidates are those
specifications, in order. Or an object with a ``base`` specification and
``vary``, a map from a place in the base to the values to try there::

    {"base": {...a specification...},
     "vary": {"threshold": [0.2, 0.25, 0.3],
              "limit": [10, 20],
              "signals.0.params.0": [30, 60, 120],
              "signals.0.params": [[30, 0.1], [60, 0.05]],
              "signals.1.weight": [1, 2],
              "signals.4.omit": [false, true]}}

Places are ``threshold``, ``limit``, and for signal N of the base (from 0)
``signals.N.params`` (whole parameter lists), ``signals.N.params.K`` (one
parameter), ``signals.N.weight`` and ``signals.N.omit`` (true leaves the
signal out). The candidates are every combination, the last place varying
fastest, or ``sample`` of them drawn with the seed, kept in that order.
"""

from __future__ import annotations

import copy
import difflib
import math
import random
from typing import Any

DEFAULT_MAX = 10_000
_TOP = ("base", "vary")


class GridError(ValueError):
    """A grid that cannot be swept; its text is one line saying what and where."""


def _nearest(word: str, known: list[str]) -> str:
    near = difflib.get_close_matches(word, known, n=1, cutoff=0.5)
    return f" (did you mean {near[0]!r}?)" if near else ""


def _places(base: dict) -> list[str]:
    places = ["threshold", "limit"]
    signals = base.get("signals")
    if isinstance(signals, list):
        for n, signal in enumerate(signals):
            places += [f"signals.{n}.params", f"signals.{n}.weight", f"signals.{n}.omit"]
            params = signal.get("params") if isinstance(signal, dict) else None
            if isinstance(params, list):
                places += [f"signals.{n}.params.{k}" for k in range(len(params))]
    return places


def _set(spec: dict, place: str, value: Any, omitted: set[int]) -> None:
    parts = place.split(".")
    if parts[0] != "signals":
        spec[place] = value
        return
    n = int(parts[1])
    if parts[2] == "omit":
        if value:
            omitted.add(n)
        return
    signal = spec["signals"][n]
    if len(parts) == 4:
        signal["params"][int(parts[3])] = value
    else:
        signal[parts[2]] = value


class Grid:
    """The candidates (specification dicts, in order) and, for each, the places where
    candidates differ with its values there (``params``)."""

    def __init__(self, candidates: list[dict], params: list[dict], total: int):
        self.candidates = candidates
        self.params = params
        self.total = total  # combinations in the grid, before any sample

    def __len__(self) -> int:
        return len(self.candidates)

    def describe(self, j: int) -> str:
        return ", ".join(f"{k}={_short(v)}" for k, v in self.params[j].items()) or "the base"


def _short(value: Any) -> str:
    import json

    return json.dumps(value, separators=(",", ":"))


def _flat(spec: Any, prefix: str = "") -> dict[str, Any]:
    """Every leaf of a specification by its place, for telling candidates apart."""
    if isinstance(spec, dict):
        out: dict[str, Any] = {}
        for k, v in spec.items():
            out.update(_flat(v, f"{prefix}{k}."))
        return out
    if isinstance(spec, list) and (not prefix.endswith("params.") and not prefix.endswith("venues.")
                                   and not prefix.endswith("symbols.")):
        out = {}
        for i, v in enumerate(spec):
            out.update(_flat(v, f"{prefix}{i}."))
        return out
    return {prefix[:-1]: spec}


def read_grid(grid: Any, *, sample: int | None = None, seed: int = 1, max_candidates: int = DEFAULT_MAX) -> Grid:
    """The candidates of a parsed grid; GridError for one that cannot be swept."""
    if sample is not None and (isinstance(sample, bool) or not isinstance(sample, int) or sample < 1):
        raise GridError(f"--sample must be a whole number of 1 or more, not {sample!r}")
    if isinstance(grid, list):
        if not grid:
            raise GridError("the grid is an empty list: give at least one specification")
        for j, spec in enumerate(grid):
            if not isinstance(spec, dict):
                raise GridError(f"candidate {j}: a specification is a JSON object, not {type(spec).__name__}")
        picked = _pick(len(grid), sample, seed, max_candidates)
        candidates = [grid[j] for j in picked]
        flats = [_flat(c) for c in candidates]
        keys = list(dict.fromkeys(k for f in flats for k in f))
        differ = [k for k in keys if len({_short(f.get(k)) for f in flats}) > 1]
        return Grid(candidates, [{k: f.get(k) for k in differ} for f in flats], len(grid))
    if not isinstance(grid, dict):
        raise GridError("a grid is a JSON object with \"base\" and \"vary\", or an array of specifications")
    for member in grid:
        if member not in _TOP:
            raise GridError(f"unknown grid member {member!r}{_nearest(member, list(_TOP))}")
    base = grid.get("base")
    if not isinstance(base, dict):
        raise GridError("the grid needs \"base\": the specification the alternatives change")
    vary = grid.get("vary", {})
    if not isinstance(vary, dict):
        raise GridError("\"vary\" maps places in the base to lists of values")
    known = _places(base)
    for place, values in vary.items():
        if place not in known:
            raise GridError(f"unknown place {place!r} in \"vary\"{_nearest(place, known)}")
        if not isinstance(values, list):
            raise GridError(f"vary {place!r}: give a list of values, not {_short(values)}")
        if not values:
            raise GridError(f"vary {place!r}: the list is empty")
        if place.endswith(".omit") and not all(isinstance(v, bool) for v in values):
            raise GridError(f"vary {place!r}: omit takes true or false")
    places = list(vary)
    sizes = [len(vary[p]) for p in places]
    total = math.prod(sizes)
    picked = _pick(total, sample, seed, max_candidates)
    candidates, params = [], []
    for index in picked:
        spec = copy.deepcopy(base)
        omitted: set[int] = set()
        chosen = {}
        rest = index
        digits = []
        for size in reversed(sizes):
            rest, digit = divmod(rest, size)
            digits.append(digit)
        for place, digit in zip(places, reversed(digits)):
            value = vary[place][digit]
            _set(spec, place, copy.deepcopy(value), omitted)
            if len(vary[place]) > 1:
                chosen[place] = value
        if omitted:
            spec["signals"] = [s for n, s in enumerate(spec["signals"]) if n not in omitted]
        candidates.append(spec)
        params.append(chosen)
    return Grid(candidates, params, total)


def _pick(total: int, sample: int | None, seed: int, max_candidates: int) -> list[int]:
    count = total if sample is None else min(sample, total)
    if count > max_candidates:
        raise GridError(f"{count} candidates is more than --max {max_candidates}: sample fewer with --sample N, "
                        f"or raise --max")
    if sample is None or sample >= total:
        return list(range(total))
    return sorted(random.Random(seed).sample(range(total), sample))
