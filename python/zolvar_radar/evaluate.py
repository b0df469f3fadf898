"""What the price did after every alert: the evaluation of a specification over files.

`evaluate` replays files as `Replay` does (merged by time) and, at every
checkpoint, follows the price of each symbol that starts alerting, and of a
seeded random sample of those that do not, over the given horizons. All of
it happens natively in one pass, with the interpreter lock released; see
docs/evaluate.md for every definition.
"""

from __future__ import annotations

import json
import os
TYPE_CHECKING = False

from ._engine import engine
from .files import BadLine, BadLineError, _bar, _Inputs, _Interruptible, _names, _paths, _seed, _skipped, _spec_text, _steps

if TYPE_CHECKING:
    from typing import Callable, Iterable, Sequence

__all__ = ["Evaluation", "evaluate", "horizon_value", "DEFAULT_HORIZONS"]

DEFAULT_HORIZONS = ("5m", "1h", "4h", "1d")
SLICE_MS = 100  # how long the native replay runs before Python looks at Ctrl-C and progress


def horizon_value(text: str | int) -> int:
    """A horizon in timestamp units: whole units, or a duration like 5m (epoch ms)."""
    from .bars import bar_width

    try:
        return bar_width(text)
    except ValueError:
        raise ValueError(f"a horizon is a positive whole number of timestamp units or a duration like "
                         f"5m, 1h, 1d, not {text!r}") from None


def horizon_values(horizons: Iterable[str | int]) -> tuple[list[int], list[str]]:
    """(values, names) of horizons, checked to be positive and increasing; "5m,1h" is two."""
    if isinstance(horizons, str):
        horizons = horizons.split(",")
    names = [str(h).strip() for h in horizons]
    if not names or any(not n for n in names):
        raise ValueError("give at least one horizon, like 5m,1h")
    values = [horizon_value(int(n) if n.isdigit() else n) for n in names]
    for before, after, name, prev in zip(values, values[1:], names[1:], names):
        if after <= before:
            raise ValueError(f"horizons must increase: {name} after {prev}")
    return values, names


class Evaluation:
    """The outcome of `evaluate`.

    ``stats`` is the object ``zolvar-radar evaluate --json`` prints;
    ``to_pandas()`` the onsets (one row per onset), ``baseline_to_pandas()``
    the baseline draws, ``write_onsets(path)`` the onsets as CSV. ``bad``
    and ``skipped`` are as for a replay; ``interrupted`` is true when the
    run was stopped early (the figures then cover what was read).
    """

    def __init__(self, native, names: list[str], horizon_names: list[str], interrupted: bool):
        self._native = native
        self.horizons = horizon_names
        self.stats: dict = json.loads(native.result())
        self.interrupted = interrupted
        self._names = names
        status = native.status()
        self.events, self.clock, self.first_ts, self.dropped = status[0], status[1], status[5], status[10]
        # where a file first went back in time by more than a checkpoint step: (file, line, from ts, to ts)
        self.disorder = None if status[6] is None else (names[status[6][0]], *status[6][1:])

    @property
    def bad(self) -> list[BadLine]:
        return [BadLine(self._names[f], n, error) for f, n, error in self._native.bad()]

    @property
    def skipped(self):
        return _skipped(self._names, self._native.skipped())

    def columns(self, baseline: bool = False) -> list[str]:
        head = ["symbol", "clock", "price"] if baseline else ["symbol", "clock", "severity", "factor", "price"]
        return head + [f"{c}_{h}" for h in self.horizons for c in ("return", "max", "min", "resolved")]

    def rows(self, baseline: bool = False) -> list[tuple]:
        """The records as tuples in `columns` order; None where nothing was resolved or priced."""
        rows = self._native.records(baseline)
        if baseline:
            rows = [(r[0], r[1], *r[4:]) for r in rows]
        return rows

    def onsets_csv(self) -> str:
        return self._native.records_csv(False)

    def baseline_csv(self) -> str:
        return self._native.records_csv(True)

    def write_onsets(self, path: str | os.PathLike[str]) -> None:
        with open(os.fspath(path), "wb") as f:
            f.write(self.onsets_csv().encode())

    def _frame(self, baseline: bool):
        try:
            import pandas as pd
        except ImportError:
            raise ImportError("to_pandas() needs pandas: pip install 'zolvar_radar[pandas]'") from None
        frame = pd.DataFrame.from_records(self.rows(baseline), columns=self.columns(baseline))
        for name in frame.columns:
            if name.startswith("resolved_"):
                frame[name] = frame[name].astype(bool)
            elif name not in ("symbol", "factor", "clock"):
                frame[name] = frame[name].astype(float)
        frame["clock"] = frame["clock"].astype("int64")
        return frame

    def to_pandas(self):
        """The onsets as a pandas DataFrame, the onsets CSV's columns (NaN where unresolved)."""
        return self._frame(False)

    def baseline_to_pandas(self):
        """The baseline draws as a pandas DataFrame: symbol, clock, price and the per-horizon columns."""
        return self._frame(True)


def evaluate(
    paths,
    spec: object,
    *,
    horizons: Sequence[str | int] = DEFAULT_HORIZONS,
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
    judge_from: int | None = None,
    judge_to: int | None = None,
    progress: Callable[[int, int], None] | None = None,
    stop: Callable[[], bool] | None = None,
) -> Evaluation:
    """Replays the files and measures what the price did after every alert onset.

    Options as for `Replay` and `scan_files`; ``horizons`` are timestamp
    units or durations (epoch milliseconds). ``progress(bytes read, bytes
    in all)`` is called between slices of native work, and ``stop()``,
    when given and true, ends the run early (``Evaluation.interrupted``).
    ``judge_from`` and ``judge_to`` (timestamps) limit the figures to the
    checkpoints in [judge_from, judge_to), resolved by prices before
    judge_to; the states, onsets and draws before the window are made as in
    a whole run, so a window's figures are those a sweep judges it by.
    A bad specification or option raises ValueError, a file that cannot be
    read OSError, a refused line BadLineError unless ``skip_bad``.
    """
    values, names = horizon_values(horizons)
    for name, value in (("cooldown", cooldown), ("baseline", baseline), ("bootstrap", bootstrap)):
        if isinstance(value, bool) or not isinstance(value, int) or value < 0:
            raise ValueError(f"{name} must be a whole number of 0 or more, not {value!r}")
    width = _bar(bar)
    every, step = _steps(every, every_ts)
    seed = _seed(seed)
    given = _paths(paths)
    shown = _names(given)
    inputs = _Inputs(given)
    try:
        # a signal (Ctrl-C) wakes a read waiting on a quiet pipe, from the first line on
        with _Interruptible() as watch:
            window = {k: v for k, v in (("judge_from", judge_from), ("judge_to", judge_to)) if v is not None}
            native = engine.Evaluation(inputs.paths, _spec_text(spec), values, names, format, skip_bad, notional,
                                       every, step, width, cooldown, baseline, seed, bootstrap, file_order, **window)
            state = run(native, watch, progress, stop)
        interrupted = state == "stopped"
        inputs.finish()  # an object at a URL read short fails the run
    except OSError as exc:
        raise inputs.rename(exc) from None
    finally:
        inputs.close()
    result = Evaluation(native, shown, names, interrupted)
    if state == "bad":
        raise BadLineError(result.bad[0])
    return result


def run(native, watch, progress, stop) -> str:
    """Slices of native work until the end, a bad line or stop(): "end", "bad" or "stopped"."""
    while True:
        state = native.advance(SLICE_MS)
        watch.drain()
        if progress is not None:
            s = native.status()
            progress(s[2], s[3])
        if state == "fatal":
            raise OSError(native.status()[4])
        if state != "running":
            return state
        if stop is not None and stop():
            return "stopped"


class _CallableModule(type(__import__("sys"))):
    """Importing this module makes it the package's `evaluate` attribute, in place of the
    function of that name: calling the module calls the function, so both work."""

    def __call__(self, *args, **kwargs):
        return evaluate(*args, **kwargs)


__import__("sys").modules[__name__].__class__ = _CallableModule
