"""Scanning Arrow tables natively: pyarrow tables and record batch readers,
polars and pandas DataFrames, DuckDB relations, and anything else that
exports the Arrow C stream interface (``__arrow_c_stream__``).

The batches are read in the native core, in parts on every core, straight
from the table's own buffers (nothing is copied or converted in Python), and
the result is the radar's own "scan" of the same events, byte for byte. A row
is an event as the JSON Lines form writes it: columns named like its members
(``symbol``, ``kind``, ``ts`` and each kind's fields), a null standing for a
member left out. See docs/tables.md.
"""

from __future__ import annotations

import re
from collections import namedtuple
TYPE_CHECKING = False

from ._engine import engine
from .files import BadLineError, FileScanResult, Replay, _bar, _Interruptible, _run_watched, _seed, _spec_text, _steps

if TYPE_CHECKING:
    from typing import Callable, Mapping

__all__ = ["BadRow", "BadRowError", "MissingColumnError", "TableReplay", "arrow_stream", "evaluate_table",
           "scan_table"]


class BadRow(namedtuple("BadRow", "number error path", defaults=(None,))):
    """A row the radar refused: its number (1 for the first row), the radar's error, and the
    file it came from when read from Parquet files (its rows then count within that file)."""

    __slots__ = ()

    @property
    def source(self) -> str:
        return "-"  # no text line to show a hint from

    def __str__(self) -> str:
        where = "" if self.path is None else f"{self.path}: "
        return f"{where}ROW {self.number}: {self.error}"


class BadRowError(BadLineError):
    """The first refused row of a scan that does not skip them: `ROW N: <error>`."""


class MissingColumnError(ValueError):
    """The table lacks a column the events need; the text names it and the nearest column there is."""


def arrow_stream(data: object):
    """The Arrow C stream capsule of a table-like object.

    Anything with ``__arrow_c_stream__`` gives its own; a pandas DataFrame
    without one goes through pyarrow (``zolvar_radar[arrow]``).
    """
    export = getattr(data, "__arrow_c_stream__", None)
    if export is not None and type(data).__name__ == "RecordBatchReader" and \
            type(data).__module__.startswith("pyarrow"):
        export = _checked(data).__arrow_c_stream__
    if export is None and _is_pandas(data):
        from .tables import _need

        pa = _need("pyarrow", "arrow", "scan_table() of a pandas DataFrame")
        export = pa.Table.from_pandas(data, preserve_index=False).__arrow_c_stream__
    if export is None:
        raise TypeError(
            f"scan_table() takes an Arrow table (an object with __arrow_c_stream__: a pyarrow Table or "
            f"RecordBatchReader, a polars or pandas DataFrame, a DuckDB relation), not {type(data).__name__}"
        )
    return export()


def _checked(reader):
    """The reader, each batch's column types checked against its schema: pyarrow
    lets `RecordBatchReader.from_batches` yield batches of other types, and the
    Arrow C stream carries the types once, in the schema, so the native scan
    could not tell a string column from the int64 one it was promised."""
    import pyarrow as pa

    schema = reader.schema
    types = schema.types

    def batches():
        for batch in reader:
            if batch.schema.types != types:
                theirs = ", ".join(f"{f.name}: {f.type}" for f in batch.schema)
                raise TypeError(f"a batch's columns ({theirs}) are not those of the reader's schema")
            yield batch

    return pa.RecordBatchReader.from_batches(schema, batches())


def _is_pandas(data: object) -> bool:
    return type(data).__module__.startswith("pandas") and type(data).__name__ == "DataFrame"


# What market-data tables often call the fields, for the nearest name when
# spelling alone finds none ("timestamp" for "ts").
_ALIASES = {
    "symbol": ("ticker", "instrument", "market", "pair", "coin", "sym"),
    "kind": ("type", "event", "event_type", "channel"),
    "ts": ("timestamp", "time", "datetime", "date", "ts_ms", "timestamp_ms", "local_timestamp", "t"),
    "open_interest": ("oi", "openinterest", "open_int"),
    "funding_rate": ("funding", "fundingrate", "rate"),
    "mark_price": ("mark", "markprice", "mark_px"),
    "bid_volume": ("bid_size", "bid_qty", "bid_amount", "bids[0].amount", "bid_vol"),
    "ask_volume": ("ask_size", "ask_qty", "ask_amount", "asks[0].amount", "ask_vol"),
    "best_bid": ("bid", "bid_price", "bids[0].price", "bid_px"),
    "best_ask": ("ask", "ask_price", "asks[0].price", "ask_px"),
    "side": ("direction", "taker_side"),
    "qty": ("quantity", "amount", "size", "volume", "notional"),
    "price": ("px", "liquidation_price", "fill_price"),
}


def _nearest_column(name: str, field: str, columns: list[str]) -> str | None:
    from .hints import _nearest

    near = _nearest(name, columns)
    if near is not None:
        return near
    lowered = {c.lower(): c for c in columns}
    return next((lowered[a] for a in _ALIASES.get(field, ()) if a in lowered), None)


def missing_column_text(name: str, needed_by: str, columns: list[str], field: str | None = None) -> str:
    """One line naming the column a table lacks and the nearest one it has."""
    who = f"{needed_by} rows need" if needed_by else "every row needs"
    near = _nearest_column(name, field or name, columns)
    if near is not None:
        said = f'; did you mean "{near}"? (columns={{"{field or name}": "{near}"}}, --column {field or name}={near})'
    elif columns:
        shown = ", ".join(f'"{c}"' for c in columns[:12]) + (", ..." if len(columns) > 12 else "")
        said = f"; it has {shown}"
    else:
        said = "; it has no columns"
    return f'the table has no column "{name}", which {who}{said}'


def scan_table(
    data: object,
    spec: object,
    *,
    kind: str | None = None,
    columns: Mapping[str, str] | None = None,
    skip_bad: bool = False,
    bar: int | str | None = None,
    keep_radar: bool = False,
    keep_state: bool = False,
    state: bytes | None = None,
    threads: int = 0,
    progress: Callable[[int], None] | None = None,
) -> FileScanResult:
    """Reads every row of a table in order and scores the symbols once, like one "scan" command.

    ``data`` is anything exporting the Arrow C stream interface (a pyarrow
    Table or RecordBatchReader, a polars DataFrame, a DuckDB relation) or a
    pandas DataFrame. Columns are matched by name to the members of an event
    in the JSON Lines form: ``symbol``, ``kind``, ``ts`` and the fields of
    each kind; ``columns`` maps other names ({"ts": "timestamp"}), and
    ``kind`` gives every row's kind for a table without a kind column. A null
    is a member left out. ``ts`` may be an integer column (any unit) or an
    Arrow timestamp of any unit, which is read as epoch milliseconds,
    rounded down.

    A row is taken exactly when the "feed" command of its symbol and event
    would be; a refused one raises ``BadRowError`` (``ROW N: <the radar's
    error>``) unless ``skip_bad``, when ``result.bad`` lists them all. A
    column the rows need that the table lacks raises
    ``MissingColumnError``, naming the nearest column it has. ``bar`` is as
    for `scan_files`, and so are ``state`` (the saved state the table
    continues) and ``keep_state`` (``result.saved_state``, bars left open).
    The interpreter lock is released while the rows are read; ``progress``
    is called now and then with the rows read so far.
    """
    return _scan(arrow_stream(data), spec, kind=kind, columns=columns, skip_bad=skip_bad, bar=bar,
                 keep_radar=keep_radar, threads=threads, progress=progress, state=state, keep_state=keep_state)


def _scan(stream, spec, *, kind=None, columns=None, skip_bad=False, bar=None, keep_radar=False, threads=0,
          progress=None, place=None, state=None, keep_state=False, names=None) -> FileScanResult:
    """scan_table of a stream capsule; ``place(row)`` gives a refused row's (path, number) where
    rows come from files, ``names`` the columns to name the nearest of when one is missing."""
    spec_text = _spec_text(spec)
    width = _bar(bar)
    start = None
    if state is not None:
        # the saved state is looked at before the table is read: one that cannot be continued stops here
        start = engine.FileScan([], spec_text, state=state, bar=width, score=False)
        start.run()
    continued = state is not None or keep_state
    scan = engine.TableScan(stream, spec_text, kind, dict(columns) if columns else None, skip_bad,
                            threads, width, score=not continued)
    report = None if progress is None else (lambda rows, _total: progress(rows))
    with _Interruptible():
        text, bad, events, rows, dropped, missing = _run_watched(scan.run, lambda: (scan.progress(), 0), report)
    if missing is not None:
        name, needed_by = missing
        field = next((ours for ours, theirs in (columns or {}).items() if theirs == name), name)
        raise MissingColumnError(missing_column_text(name, needed_by, scan.columns() if names is None else names,
                                                     field))
    refused = []
    for n, error in bad:
        path, number = place(n) if place is not None else (None, n)
        refused.append(BadRow(number, error, path))
    if refused and not skip_bad:
        raise BadRowError(refused[0])
    saved = None
    if continued:
        # the table's states after the saved ones, joined as a file scan joins its parts
        parts = ([start.partial_state()] if start is not None else []) + [scan.partial_state()]
        scan = engine.FileScan([], spec_text, state=engine.merge_partial_states(parts), bar=width, save=keep_state)
        text, *_, dropped, _ = scan.run()
        saved = scan.saved_state() if keep_state else None
    result = FileScanResult(text, refused, None, events, rows, dropped=dropped)
    result.spec = spec_text
    result.saved_state = saved
    if keep_radar:
        result.radar = scan.take_radar()
    return result


def _column_names(data: object) -> list[str]:
    """The columns of a table-like object, for the nearest-name line; [] when it cannot say."""
    for get in (lambda: data.schema.names, lambda: list(data.columns)):  # pyarrow; polars and pandas
        try:
            names = get()
            if isinstance(names, list):
                return [str(n) for n in names]
        except Exception:  # noqa: BLE001 - any other object: no names to offer
            pass
    return []


def _missing(exc: LookupError, columns, names: list[str]) -> MissingColumnError:
    name, needed_by = exc.args[:2]
    field = next((ours for ours, theirs in (columns or {}).items() if theirs == name), name)
    return MissingColumnError(missing_column_text(name, needed_by, names, field))


# A column only some rows' kind needs is found missing mid-table, where the core words it alone.
_NEEDED = re.compile(r'the table has no column "(.*)", which (\w+) rows need$')


def _as_missing(exc: OSError, columns, names: list[str]) -> Exception:
    """The MissingColumnError scan_table raises for the same table, with the columns it has."""
    found = _NEEDED.match(str(exc))
    return exc if found is None else _missing(LookupError(found.group(1), found.group(2)), columns, names)


class _NoFiles:
    def __init__(self, columns=None, names: list[str] | None = None):
        self._columns, self._names = columns, names or []

    def finish(self) -> None:
        pass

    def rename(self, exc: OSError) -> Exception:
        return _as_missing(exc, self._columns, self._names)

    def close(self) -> None:
        pass


class TableReplay(Replay):
    """`Replay` of a table's rows, in the table's order: checkpoints, bars and the radar fed as for files.

    ``data`` is what `scan_table` takes; ``kind`` and ``columns`` are as
    there. A refused row stops the replay (``stop`` is "bad", ``bad[0]`` a
    `BadRow`) unless ``skip_bad``. A column the rows need that the table
    lacks raises ``MissingColumnError``.
    """

    def __init__(self, radar, data: object, *, kind: str | None = None, columns: Mapping[str, str] | None = None,
                 skip_bad: bool = False, every: int = 1000, every_ts: int | None = None, keep_events: bool = False,
                 bar: int | str | None = None, _stream=None, _place=None, _names=None):
        width = _bar(bar)
        every, step = _steps(every, every_ts)
        self.paths = []
        self._names = ["<table>"]
        self._inputs = _NoFiles(columns, _names if _names is not None else _column_names(data))
        self._place = _place
        stream = _stream if _stream is not None else arrow_stream(data)
        try:
            self._native = engine.FileReplay(radar, stream, None, skip_bad, False, every, step, keep_events,
                                             width, False, kind=kind, columns=dict(columns) if columns else None)
        except LookupError as exc:
            raise _missing(exc, columns, _names if _names is not None else _column_names(data)) from None
        self.stop = None

    @property
    def disorder(self) -> tuple[str, int, int, int] | None:
        """(file or "<table>", row, largest ts before it, its ts) where the rows, read in their
        own order, first went back in time by more than the checkpoint step; None while none has."""
        found = self._native.status()[9]
        if found is None:
            return None
        _f, n, before, ts = found
        path, number = self._place(n) if self._place is not None else ("<table>", n)
        return path, number, before, ts

    @property
    def bad(self) -> list[BadRow]:
        out = []
        for _f, n, error in self._native.bad():
            path, number = self._place(n) if self._place is not None else (None, n)
            out.append(BadRow(number, error, path))
        return out


def evaluate_table(data: object, spec: object, *, kind: str | None = None, columns: Mapping[str, str] | None = None,
                   horizons=None, every: int = 1000, every_ts: int | str | None = None, bar: int | str | None = None,
                   skip_bad: bool = False, cooldown: int = 0, baseline: int = 20, seed: int = 1,
                   bootstrap: int = 1000, progress=None, stop=None, _stream=None, _place=None, _names=None):
    """`evaluate` of a table's rows in the table's order (options as there, ``kind`` and ``columns``
    as for `scan_table`). A refused row raises ``BadRowError`` unless ``skip_bad``."""
    from . import evaluate as _function  # noqa: F401 - first, so the package's `evaluate` stays the function
    from .evaluate import DEFAULT_HORIZONS, Evaluation, horizon_values, run

    values, names = horizon_values(DEFAULT_HORIZONS if horizons is None else horizons)
    for name, value in (("cooldown", cooldown), ("baseline", baseline), ("bootstrap", bootstrap)):
        if isinstance(value, bool) or not isinstance(value, int) or value < 0:
            raise ValueError(f"{name} must be a whole number of 0 or more, not {value!r}")
    every, step = _steps(every, every_ts)
    seed = _seed(seed)
    stream = _stream if _stream is not None else arrow_stream(data)
    with _Interruptible() as watch:
        try:
            native = engine.Evaluation(stream, _spec_text(spec), values, names, None, skip_bad, False, every, step,
                                       _bar(bar), cooldown, baseline, seed, bootstrap, False, kind=kind,
                                       columns=dict(columns) if columns else None)
        except LookupError as exc:
            raise _missing(exc, columns, _names if _names is not None else _column_names(data)) from None
        try:
            state = run(native, watch, progress, stop)
        except OSError as exc:
            raise _as_missing(exc, columns, _names if _names is not None else _column_names(data)) from None
    result = Evaluation(native, ["<table>"], names, state == "stopped")
    if result.disorder is not None and _place is not None:
        _t, n, before, ts = result.disorder
        result.disorder = (*_place(n), before, ts)
    if state == "bad":
        _f, n, error = native.bad()[0]
        path, number = _place(n) if _place is not None else (None, n)
        raise BadRowError(BadRow(number, error, path))
    return result
