"""Which specification? Many specifications over one reading of the files.

`sweep(paths, grid)` reads and merges the files once, scores every
candidate of the grid (see `zolvar_radar.grid`) at every checkpoint, and
judges each one as `evaluate` would, on a window of time it was not chosen
on: the first ``split`` of the time range chooses and the rest judges, or,
with ``folds``, walk-forward steps choose on folds 1..i and judge on fold
i+1. It then counts the trials: each p-value adjusted by Holm's method
over all candidates, the best metric candidates with no skill reach (the
same onsets moved to random symbols of their checkpoints), and the
probability of backtest overfitting by combinatorially symmetric
cross-validation over ``blocks`` time blocks.

The statistics of a candidate on a window are exactly those of
``evaluate(..., judge_from=, judge_to=)`` of that candidate alone.
"""

from __future__ import annotations

import json
from typing import Any, Callable, Sequence

from ._engine import engine
from .evaluate import DEFAULT_HORIZONS, SLICE_MS, horizon_values, run
from .files import BadLine, BadLineError, _bar, _Inputs, _Interruptible, _names, _paths, _seed, _skipped, _spec_text, _steps
from .grid import DEFAULT_MAX, Grid, GridError, read_grid

__all__ = ["GridError", "METRICS", "SweepResult", "sweep", "read_grid"]

METRICS = ("lift", "hit_rate", "rank_ic")


def metric_and_horizon(metric: str, names: list[str]) -> tuple[str, int]:
    """`lift`, `hit_rate@1h` ...: the metric and the index of its horizon (default the middle one)."""
    name, _, horizon = metric.partition("@")
    if name not in METRICS:
        import difflib

        near = difflib.get_close_matches(name, METRICS, n=1)
        hint = f" (did you mean {near[0]!r}?)" if near else ""
        raise ValueError(f"unknown metric {name!r}{hint}: one of {', '.join(METRICS)}")
    if not horizon:
        return name, (len(names) - 1) // 2
    if horizon not in names:
        raise ValueError(f"metric horizon {horizon!r} is not among the horizons {','.join(names)}")
    return name, names.index(horizon)


class SweepResult:
    """What a sweep found. ``stats`` is the `--json` object: ``candidates``, ``metric``,
    ``best`` and ``top`` (each with its ``spec``, ``params``, ``in_sample`` and
    ``out_of_sample`` statistics, ``p_adjusted``, ``expected_max_null``, ``pbo``), the
    windows, and every candidate's metric in and out of sample."""

    def __init__(self, stats: dict, grid: Grid, names: list[str], native: Any | None, interrupted: bool):
        self.stats = stats
        self.grid = grid
        self.interrupted = interrupted
        self._native = native
        self._names = names

    @property
    def best_spec(self) -> dict | None:
        """The winner as a specification `scan`, `replay` and `evaluate` take as is; None when
        there is none: no events, or no candidate with the metric in sample to choose by."""
        best = self.stats.get("best")
        if best is None or best.get("metric_in_sample") is None:
            return None
        return best["spec"]

    @property
    def events(self) -> int:
        return self.stats["events"]

    @property
    def bad(self) -> list[BadLine]:
        if self._native is None:
            return []
        return [BadLine(self._names[i], n, e) for i, n, e in self._native.bad()]

    @property
    def skipped(self):
        return {} if self._native is None else _skipped(self._names, self._native.skipped())

    @property
    def first_ts(self) -> int | None:
        return self.stats.get("first_ts")

    @property
    def clock(self) -> int | None:
        return self.stats.get("last_ts")

    def to_pandas(self):
        """Every candidate as a row: its index, the places it differs at, its metric in and out of sample."""
        try:
            import pandas as pd
        except ImportError:
            raise ImportError("to_pandas() needs pandas: pip install 'zolvar_radar[pandas]'") from None
        rows = []
        for j, params in enumerate(self.grid.params):
            rows.append({"candidate": j, **params, "metric_in_sample": self.stats["metric_in_sample"][j],
                         "metric_out_of_sample": self.stats["metric_out_of_sample"][j]})
        return pd.DataFrame(rows)


def decorate(text: str, grid: Grid) -> dict:
    """The native answer with each reported candidate's specification and differing places."""
    stats = json.loads(text)

    def named(entry: dict) -> dict:
        j = entry["candidate"]
        out = {"candidate": j, "spec": grid.candidates[j], "params": grid.params[j]}
        out.update((k, v) for k, v in entry.items() if k != "candidate")
        return out

    stats["best"] = named(stats["best"])
    stats["top"] = [named(e) for e in stats["top"]]
    return stats


def options_of(horizons, metric: str, every_ts, bar, every: int, cooldown: int, baseline: int, bootstrap: int,
               split: float, folds: int | None, blocks: int, top: int, null_runs: int) -> dict:
    """The native Sweep's options from the user's, checked."""
    values, names = horizon_values(horizons)
    name, h = metric_and_horizon(metric, names)
    for what, value in (("cooldown", cooldown), ("baseline", baseline), ("bootstrap", bootstrap),
                        ("null_runs", null_runs)):
        if isinstance(value, bool) or not isinstance(value, int) or value < 0:
            raise ValueError(f"{what} must be a whole number of 0 or more, not {value!r}")
    every, step = _steps(every, every_ts)
    if folds is not None and (isinstance(folds, bool) or not isinstance(folds, int) or not 2 <= folds <= 1000):
        raise ValueError(f"folds must be 2 to 1000, not {folds!r}")
    if not 0 < split < 1:
        raise ValueError(f"split must be between 0 and 1, not {split!r}")
    if isinstance(blocks, bool) or not isinstance(blocks, int) or blocks % 2 or not 2 <= blocks <= 16:
        raise ValueError(f"blocks must be even, 2 to 16, not {blocks!r}")
    if isinstance(top, bool) or not isinstance(top, int) or top < 1:
        raise ValueError(f"top must be 1 or more, not {top!r}")
    return dict(horizon=values[h], horizon_name=names[h], horizon_index=h, metric=name, every=every,
                every_ts=step, bar=_bar(bar), cooldown=cooldown,
                baseline=baseline, bootstrap=bootstrap, split=split, folds=folds or 0, blocks=blocks, top=top,
                null_runs=null_runs)


def candidate_error(exc: ValueError, grid: Grid) -> GridError:
    """The radar's refusal of a candidate, with the places that make it that candidate."""
    text = str(exc)
    head, sep, rest = text.partition(": ")
    if sep and head.startswith("candidate ") and head[10:].isdigit():
        j = int(head[10:])
        return GridError(f"candidate {j} ({grid.describe(j)}): {rest}")
    return GridError(text)


def sweep(
    paths,
    grid: Any,
    *,
    horizons: Sequence[str | int] = DEFAULT_HORIZONS,
    metric: str = "lift",
    every: int = 1000,
    every_ts: int | str | None = None,
    bar: int | str | None = None,
    format: str | None = None,
    skip_bad: bool = False,
    notional: bool = False,
    cooldown: int = 0,
    baseline: int = 20,
    seed: int = 1,
    bootstrap: int = 1000,
    file_order: bool = False,
    split: float = 0.7,
    folds: int | None = None,
    blocks: int = 8,
    top: int = 10,
    sample: int | None = None,
    max_candidates: int = DEFAULT_MAX,
    null_runs: int = 20,
    progress: Callable[[int, int], None] | None = None,
    stop: Callable[[], bool] | None = None,
) -> SweepResult:
    """Sweeps the grid's candidates over the files (see the module's text).

    ``grid`` is a parsed grid (a dict or a list), or a `Grid`. ``metric`` is
    ``lift``, ``hit_rate`` or ``rank_ic``, optionally at one of the horizons
    (``lift@1h``; default the middle one). A bad grid raises GridError
    before any file is read; other options as for `evaluate`.
    """
    seed = _seed(seed)
    if isinstance(grid, str):  # the grid file's text, as the command line reads it
        try:
            grid = json.loads(grid)
        except ValueError as exc:
            raise GridError(f"the grid text is not JSON: {exc}") from None
    if not isinstance(grid, Grid):
        grid = read_grid(grid, sample=sample, seed=seed, max_candidates=max_candidates)
    o = options_of(horizons, metric, every_ts, bar, every, cooldown, baseline, bootstrap, split, folds, blocks, top,
                   null_runs)
    texts = [c if isinstance(c, str) else json.dumps(_spec_text(c)) if isinstance(_spec_text(c), (dict, list))
             else _spec_text(c) for c in grid.candidates]
    given = _paths(paths)
    shown = _names(given)
    inputs = _Inputs(given)
    try:
        with _Interruptible() as watch:
            try:
                native = engine.Sweep(inputs.paths, texts, o["horizon"], o["horizon_name"], o["horizon_index"],
                                      o["metric"], format, skip_bad, notional, o["every"], o["every_ts"], o["bar"],
                                      cooldown, baseline, seed, bootstrap, file_order, split, o["folds"],
                                      o["blocks"], top, null_runs)
            except ValueError as exc:
                if str(exc).startswith("candidate "):
                    raise candidate_error(exc, grid) from None
                raise
            state = run(native, watch, progress, stop)
    finally:
        inputs.close()
    if state == "bad":
        bad = native.bad()[0]
        raise BadLineError(BadLine(shown[bad[0]], bad[1], bad[2]))
    if native.status()[0] == 0:
        return SweepResult({"candidates": len(grid), "events": 0}, grid, shown, native, state == "stopped")
    stats = decorate(engine.sweep_combine([native.partial()]), grid)
    return SweepResult(stats, grid, shown, native, state == "stopped")


__all__ += ["SLICE_MS"]


class _CallableModule(type(__import__("sys"))):
    """Importing this module makes it the package's `sweep` attribute, in place of the
    function of that name: calling the module calls the function, so both work."""

    def __call__(self, *args, **kwargs):
        return sweep(*args, **kwargs)


__import__("sys").modules[__name__].__class__ = _CallableModule
