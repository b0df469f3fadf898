"""`sweep` on a Dask cluster: the candidates split into shares, each share one task.

Each task reads the files once, natively, for its share of the candidates
and judges them, returning a partial result of a few bytes per candidate
(its metrics, its p-value, its block sums, the best no-skill metric of its
share, the full figures of its leading candidates). The client combines
the partials natively, exactly as one process combines its own: the answer
is the same, byte for byte. Files must be readable under the same path by
the client and every worker.
"""

from __future__ import annotations

import json
import os
from typing import Any

from ._engine import engine
from .files import BadLine, BadLineError, _names, _paths
from .grid import Grid, read_grid
from .sweep import SweepResult, candidate_error, decorate, options_of


def sweep_share(paths: list[str], texts: list[str], first: int, total: int, options: dict) -> tuple:
    """One task: (partial bytes, events, first bad line or None, skipped rows per file)."""
    o = options
    native = engine.Sweep(paths, texts, o["horizon"], o["horizon_name"], o["horizon_index"], o["metric"],
                          o["format"], o["skip_bad"], o["notional"], o["every"], o["every_ts"], o["bar"],
                          o["cooldown"], o["baseline"], o["seed"], o["bootstrap"], o["file_order"], o["split"],
                          o["folds"], o["blocks"], o["top"], o["null_runs"], first, total)
    while (state := native.advance(1000)) == "running":
        pass
    if state == "fatal":
        raise OSError(native.status()[4])
    bad = native.bad()
    if state == "bad":
        return None, native.status()[0], bad[0], native.skipped()
    return native.partial(), native.status()[0], None, native.skipped()


def shares_of(count: int, shares: int) -> list[tuple[int, int]]:
    """(first, end) of about equal runs of candidates."""
    shares = max(1, min(shares, count))
    bounds = [count * k // shares for k in range(shares + 1)]
    return [(bounds[k], bounds[k + 1]) for k in range(shares)]


def sweep_on_dask(paths, grid: Any, *, address: Any = None, shares: int | None = None, seed: int = 1,
                  sample: int | None = None, format: str | None = None, skip_bad: bool = False,
                  notional: bool = False, file_order: bool = False, horizons=("5m", "1h", "4h", "1d"),
                  metric: str = "lift", every: int = 1000, every_ts=None, bar=None, cooldown: int = 0,
                  baseline: int = 20, bootstrap: int = 1000, split: float = 0.7, folds: int | None = None,
                  blocks: int = 8, top: int = 10, null_runs: int = 20) -> SweepResult:
    """`sweep` with the candidates split over the workers of `address` (a scheduler's address,
    a `distributed.Client`, or None for a local cluster for this call)."""
    try:
        import distributed as _  # noqa: F401 - the extra's package, imported only when used
    except ImportError:
        raise ImportError("--dask needs Dask: pip install 'zolvar_radar[dask]'") from None
    from .distributed import _connected

    if not isinstance(grid, Grid):
        grid = read_grid(grid, sample=sample, seed=seed)
    o = options_of(horizons, metric, every_ts, bar, every, cooldown, baseline, bootstrap, split, folds, blocks, top,
                   null_runs)
    o.update(format=format, skip_bad=skip_bad, notional=notional, seed=seed, file_order=file_order)
    given = [os.path.abspath(p) for p in _paths(paths)]
    if "-" in _paths(paths):
        raise ValueError("--dask reads files on the workers: standard input (-) cannot be used")
    texts = [json.dumps(c) for c in grid.candidates]
    # the candidates are checked here, before any worker reads a file
    try:
        engine.Sweep([], texts, o["horizon"], o["horizon_name"], o["horizon_index"], o["metric"])
    except ValueError as exc:
        raise candidate_error(exc, grid) from None
    with _connected(address) as client:
        if shares is None:
            shares = max(1, sum(client.nthreads().values()))
        runs = shares_of(len(texts), shares)
        futures = [client.submit(sweep_share, given, texts[a:b], a, len(texts), o, pure=False) for a, b in runs]
        outcomes = client.gather(futures)
    shown = _names(_paths(paths))
    for _, _, bad, _ in outcomes:
        if bad is not None:
            raise BadLineError(BadLine(shown[bad[0]], bad[1], bad[2]))
    events = outcomes[0][1]
    if events == 0:
        return SweepResult({"candidates": len(grid), "events": 0}, grid, shown, None, False)
    stats = decorate(engine.sweep_combine([part for part, _, _, _ in outcomes]), grid)
    return SweepResult(stats, grid, shown, None, False)
