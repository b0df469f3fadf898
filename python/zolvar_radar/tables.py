"""Alerts as a table: one row per alert in rank order.

Columns: ``rank`` (1-based int64), ``symbol`` (string), ``severity``
(float64), ``ts`` (int64, the alert's last event time), then one float64
column per factor label, in the order the radar writes them ("severity" is a
column already). The columns come from the native core's reading of the
result text; pyarrow, pandas and polars are needed only by the method that
makes their kind of table, and CSV and JSON Lines need none of them.

Factor labels appear in a result text only on its alerts: for an empty list
they come from the specification when one is given, else the table has the
four fixed columns only.

    table = alerts_table(distributed.scan(paths, spec), spec)
    table.to_pandas()
"""

from __future__ import annotations

import math
TYPE_CHECKING = False

from ._engine import engine

if TYPE_CHECKING:
    from typing import Any

__all__ = ["AlertTable", "alerts_table", "FIXED_COLUMNS"]

FIXED_COLUMNS = ("rank", "symbol", "severity", "ts")


def _spec_text(spec: object) -> str | None:
    to_json = getattr(spec, "to_json", None)
    return to_json() if callable(to_json) else spec  # type: ignore[return-value]


def _need(package: str, extra: str, method: str) -> Any:
    from importlib import import_module

    try:
        return import_module(package)
    except ImportError:
        raise ImportError(f"{method} needs {package}: pip install 'zolvar_radar[{extra}]'") from None


class AlertTable:
    """The alerts of one scan result text as columns (see the module's text).

    ``factor_keys`` are the factor labels, ``columns`` maps every column name
    to its list of values, ``scanned`` is the result's count of symbols
    scanned. A text that is no scan result raises ``ValueError`` with the
    radar's error (a refused command's answer: its own error).
    """

    __slots__ = ("factor_keys", "columns", "scanned")

    def __init__(self, text: str, spec: object = None):
        keys, symbols, severities, ts, factors, self.scanned = engine.alert_columns(text, _spec_text(spec))
        self.factor_keys: list[str] = keys
        self.columns: dict[str, list] = {
            "rank": list(range(1, len(symbols) + 1)),
            "symbol": symbols,
            "severity": severities,
            "ts": ts,
            **dict(zip(keys, factors)),
        }

    def __len__(self) -> int:
        return len(self.columns["rank"])

    def __repr__(self) -> str:
        return f"AlertTable({len(self)} alerts, columns={list(self.columns)!r})"

    def to_arrow(self):
        """A ``pyarrow.Table``."""
        pa = _need("pyarrow", "arrow", "to_arrow()")
        c = self.columns
        arrays = [pa.array(c["rank"], pa.int64()), pa.array(c["symbol"], pa.string()),
                  pa.array(c["severity"], pa.float64()), pa.array(c["ts"], pa.int64()),
                  *(pa.array(c[key], pa.float64()) for key in self.factor_keys)]
        return pa.Table.from_arrays(arrays, names=list(c))

    def to_pandas(self):
        """A ``pandas.DataFrame`` (symbols in pandas' default string dtype)."""
        pd = _need("pandas", "pandas", "to_pandas()")
        c = self.columns
        text = pd.Series([""]).dtype  # object before pandas 3, str from it on
        frame = {"rank": pd.Series(c["rank"], dtype="int64"), "symbol": pd.Series(c["symbol"], dtype=text),
                 "severity": pd.Series(c["severity"], dtype="float64"), "ts": pd.Series(c["ts"], dtype="int64")}
        frame.update((key, pd.Series(c[key], dtype="float64")) for key in self.factor_keys)
        return pd.DataFrame(frame)

    def to_polars(self):
        """A ``polars.DataFrame``."""
        pl = _need("polars", "polars", "to_polars()")
        schema = {"rank": pl.Int64, "symbol": pl.Utf8, "severity": pl.Float64, "ts": pl.Int64,
                  **{key: pl.Float64 for key in self.factor_keys}}
        return pl.DataFrame(self.columns, schema=schema)

    def rows(self):
        """The rows as tuples, in column order."""
        return zip(*self.columns.values())

    def to_csv(self) -> str:
        """CSV with a header line, fields quoted where they must be, numbers as
        the shortest text that reads back as the same double (NaN as "nan")."""
        import csv
        import io

        buffer = io.StringIO()
        writer = csv.writer(buffer, lineterminator="\n")
        writer.writerow(self.columns)
        writer.writerows(self.rows())  # str of a float is already its shortest round trip
        return buffer.getvalue()

    def to_jsonl(self) -> str:
        """One JSON object per alert and line, numbers in shortest round-trip
        digits, a NaN as null, text as UTF-8 (not escaped)."""
        import json

        names = list(self.columns)
        lines = []
        for row in self.rows():
            clean = [None if isinstance(v, float) and math.isnan(v) else v for v in row]
            line = json.dumps(dict(zip(names, clean)), ensure_ascii=False, allow_nan=False, separators=(",", ":"))
            lines.append(line + "\n")
        return "".join(lines)

    def to_parquet(self) -> bytes:
        """The Arrow table as Parquet file bytes (needs pyarrow)."""
        _need("pyarrow", "arrow", "to_parquet()")
        import io

        import pyarrow.parquet as pq

        table = self.to_arrow()
        buffer = io.BytesIO()
        pq.write_table(table, buffer)
        return buffer.getvalue()


def alerts_table(text: str, spec: object = None) -> AlertTable:
    """The table of a scan result text, such as `zolvar_radar.distributed.scan`
    answers; ``spec`` (a text or a ``RadarSpec``) names the factor columns of an
    empty result."""
    return AlertTable(text, spec)
