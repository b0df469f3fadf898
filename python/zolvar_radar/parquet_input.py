"""Parquet files and datasets in, through pyarrow's Parquet reader
(``zolvar_radar[parquet]``): the batches stream into the native table scan
(`zolvar_radar.table_input`), only the columns the events need are read, and
a time range is given to the reader as a filter, so row groups outside it
are never decoded.

A path is a ``.parquet`` file or a directory of them, hive partitions
(``date=2024-05-14/``) included; a directory's files are read in the order of
their paths, each file in its own row order, and the paths in the order given.
"""

from __future__ import annotations

import os
from urllib.parse import unquote
from datetime import datetime, timedelta, timezone
TYPE_CHECKING = False

from .files import FileScanResult
from .table_input import _scan

from typing import Callable, NamedTuple

if TYPE_CHECKING:
    from typing import Iterable, Mapping

__all__ = ["is_parquet", "parquet_files", "parquet_reader", "scan_parquet", "time_bound"]

SUFFIXES = (".parquet", ".parq", ".pq")
FIELDS = ("symbol", "kind", "ts", "open_interest", "funding_rate", "mark_price", "bid_volume", "ask_volume",
          "best_bid", "best_ask", "side", "qty", "price")
# Rows per decoded batch: pyarrow's reader holds buffers in proportion to it (65,536 rows
# cost 50 MB more peak than 16,384 on the 5M bench set, for no time saved).
BATCH_ROWS = 1 << 14


def is_parquet(path: str) -> bool:
    """A Parquet file by its name, or a directory holding one (looked for no deeper than needed)."""
    if path.lower().endswith(SUFFIXES):
        return True
    if "://" in path:
        from .remote import is_url, open_url

        if is_url(path):
            fs, root = open_url(path)
            try:
                return fs.isdir(root) and any(f.lower().endswith(SUFFIXES) for f in fs.find(root))
            except Exception:  # noqa: BLE001 - not a directory of Parquet: the reader says what it is
                return False
    if not os.path.isdir(path):
        return False
    for _root, _dirs, files in os.walk(path):
        if any(f.lower().endswith(SUFFIXES) for f in files):
            return True
    return False


def time_bound(text: str) -> int:
    """A --from/--to value: whole timestamp units, or an ISO date or time (UTC unless it says) in epoch ms."""
    text = text.strip()
    try:
        return int(text)
    except ValueError:
        pass
    try:
        moment = datetime.fromisoformat(text.replace("Z", "+00:00"))
    except ValueError:
        raise ValueError(f"must be whole timestamp units or an ISO date or time like 2024-05-14T13:00: {text}") \
            from None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=timezone.utc)
    return (moment - datetime(1970, 1, 1, tzinfo=timezone.utc)) // timedelta(milliseconds=1)


def _need_pyarrow():
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        raise ImportError("reading Parquet needs pyarrow: pip install 'zolvar_radar[parquet]'") from None
    return pa, pq


def _keys(relative: str) -> dict[str, str]:
    keys = {}
    for part in relative.replace("\\", "/").split("/")[:-1]:
        key, eq, value = part.partition("=")
        if eq:
            keys[key] = unquote(value)
    return keys


def _hidden(relative: str) -> bool:
    return any(part.startswith((".", "_")) for part in relative.replace("\\", "/").split("/"))


def parquet_files(paths: Iterable[str]) -> list[tuple[str, dict[str, str], object]]:
    """(file, its hive partition values, what pyarrow opens) of each Parquet file: a directory's in
    the order of their paths (hidden and underscore names left out, as writers mark their own), the
    paths in the order given. A URL is opened through fsspec and read in ranges where it lies."""
    found = []
    for path in paths:
        if "://" in path:
            from .remote import is_url, open_url, url_error

            if is_url(path):
                fs, root = open_url(path)
                try:
                    if fs.isdir(root):
                        inside = sorted(f for f in fs.find(root) if f.lower().endswith(SUFFIXES))
                        base = path.rstrip("/")
                        for f in inside:
                            relative = f[len(root.rstrip("/")) + 1:]
                            if not _hidden(relative):
                                found.append((f"{base}/{relative}", _keys(relative), (fs, f)))
                    elif fs.exists(root):
                        found.append((path, {}, (fs, root)))
                    else:
                        raise FileNotFoundError(root)
                except Exception as exc:  # noqa: BLE001 - every filesystem words its failures its own way
                    raise url_error(path, exc) from None
                continue
        if os.path.isdir(path):
            inside = []
            for root, dirs, files in os.walk(path):
                dirs[:] = [d for d in dirs if not d.startswith((".", "_"))]
                inside += [os.path.join(root, f) for f in files
                           if f.lower().endswith(SUFFIXES) and not f.startswith((".", "_"))]
            found += [(f, _keys(os.path.relpath(f, path)), f) for f in sorted(inside)]
        elif os.path.exists(path):
            found.append((path, {}, path))
        else:
            raise FileNotFoundError(f"{path}: No such file or directory")
    return found


def _source(where: object):
    """What pq.ParquetFile reads: a local path, or an fsspec file read in ranges."""
    if isinstance(where, tuple):
        fs, path = where
        return fs.open(path, "rb")
    return where


def _raw_bound(field_type, bound: int, pa) -> int:
    """The ts bound in the column's own units: an event's ts is its milliseconds, floored, so
    floor(v / per_ms) >= b exactly when v >= b * per_ms, and v * 1000 >= b when v >= ceil(b / 1000)."""
    if not pa.types.is_timestamp(field_type):
        return bound
    per_ms = {"s": None, "ms": 1, "us": 1000, "ns": 1_000_000}[field_type.unit]
    return -(-bound // 1000) if per_ms is None else bound * per_ms


class ParquetRows(NamedTuple):
    reader: object  # a pyarrow RecordBatchReader of the columns the events need
    place: Callable[[int], tuple[str, int]]  # the (file, row in it) of the n-th row read
    failed: list  # the error that stopped the reading, if one did
    columns: list[str]  # every column of the files, the partition keys included


def parquet_reader(paths: str | Iterable[str], *, start: int | None = None, end: int | None = None,
                   columns: Mapping[str, str] | None = None, kind: str | None = None):
    """`ParquetRows`: a pyarrow RecordBatchReader of the events' columns; ``place(row)`` gives the
    (file, row in it) of the row-th row read (1 for the first); ``failed`` holds the error that
    stopped the reading, if one did; ``columns`` every column the files have. Rows with ``start <= ts < end`` only:
    row groups whose statistics say they hold none are not read at all."""
    paths = [os.fspath(paths)] if isinstance(paths, (str, os.PathLike)) else [os.fspath(p) for p in paths]
    pa, pq = _need_pyarrow()
    files = parquet_files(paths)
    names = {f: (columns or {}).get(f, f) for f in FIELDS if not (kind and f == "kind")}
    wanted = list(dict.fromkeys(names.values()))
    # The columns every file has, by the first file that has each; strings as the dictionaries
    # Parquet stores them as, so a symbol is decoded once per row group, not once per row.
    metas, types, every = [], {}, {}  # every: each column any file has, for the line naming a missing one
    for path, keys, where in files:
        try:
            meta = pq.ParquetFile(_source(where))
        except Exception as exc:  # noqa: BLE001 - a local file's OSError or pyarrow's, a filesystem's own
            raise _read_error(path, exc) from None
        metas.append(meta)
        schema = meta.schema_arrow
        twice = next((n for n in wanted if schema.names.count(n) > 1), None)
        if twice is not None:  # which of the two holds the events cannot be told
            raise ValueError(f'{path}: the table has two columns named "{twice}"')
        every.update(dict.fromkeys([*schema.names, *keys]))
        for name in wanted:
            if name in keys:
                types.setdefault(name, pa.dictionary(pa.int32(), pa.string()))
            elif name in schema.names:
                t = schema.field(name).type
                types.setdefault(name, pa.dictionary(pa.int32(), t)
                                 if pa.types.is_string(t) or pa.types.is_large_string(t) else t)
    out_schema = pa.schema([(n, types[n]) for n in wanted if n in types])
    ts_name = names["ts"]
    ranged = (start is not None or end is not None) and ts_name in types
    lo = _raw_bound(types[ts_name], start, pa) if ranged and start is not None else None
    hi = _raw_bound(types[ts_name], end, pa) if ranged and end is not None else None
    starts: list[tuple[int, str, int]] = []  # per batch: (rows read before it, its file, the file's rows before it)
    failed: list[OSError] = []  # what stopped the reading, as said here rather than through the stream

    def groups(meta, index: int | None) -> list[int]:
        """The row groups that may hold rows in range, by their ts statistics."""
        keep = []
        for g in range(meta.metadata.num_row_groups):
            stats = meta.metadata.row_group(g).column(index).statistics if index is not None else None
            # a row without ts is refused by the scan, never left out by the range
            if stats is not None and stats.has_min_max and isinstance(stats.min_raw, int) and not stats.null_count:
                if (hi is not None and stats.min_raw >= hi) or (lo is not None and stats.max_raw < lo):
                    continue
            keep.append(g)
        return keep

    def batches():
        read = 0
        for (path, keys, where), meta in zip(files, metas):
            schema = meta.schema_arrow
            present = [n for n in out_schema.names if n in schema.names and n not in keys]
            strings = [n for n in present if pa.types.is_dictionary(out_schema.field(n).type)]
            try:
                pf = pq.ParquetFile(_source(where), read_dictionary=strings, pre_buffer=False)
                index = None
                if ranged and ts_name in present:
                    index = pf.metadata.schema.names.index(ts_name) if ts_name in pf.metadata.schema.names else None
                keep = groups(pf, index) if ranged else None
                if keep == []:
                    continue
                in_file = 0
                # One thread decodes: the scan keeps the other cores busy, and pyarrow's own
                # threads there cost more CPU than they save wall time (and 10 MB more peak).
                for batch in pf.iter_batches(batch_size=BATCH_ROWS, row_groups=keep, columns=present,
                                             use_threads=False):
                    if ranged:
                        batch = _in_range(batch, ts_name, lo, hi)
                    n = batch.num_rows
                    arrays = []
                    for field in out_schema:
                        if field.name in keys:
                            arrays.append(pa.DictionaryArray.from_arrays(
                                pa.repeat(pa.scalar(0, pa.int32()), n), pa.array([keys[field.name]])))
                        elif field.name in present:
                            column = batch.column(field.name)
                            arrays.append(column if column.type == field.type else column.cast(field.type))
                        else:
                            arrays.append(pa.nulls(n, field.type))
                    starts.append((read, path, in_file))
                    read += n
                    in_file += n
                    yield pa.RecordBatch.from_arrays(arrays, schema=out_schema)
            except Exception as exc:  # noqa: BLE001
                failed.append(_read_error(path, exc))
                raise failed[-1] from None

    def place(row: int) -> tuple[str, int]:
        import bisect

        k = bisect.bisect_right(starts, (row - 1, "\uffff")) - 1
        first, path, before = starts[k]
        return path, before + row - first

    return ParquetRows(pa.RecordBatchReader.from_batches(out_schema, batches()), place, failed, list(every))


def _read_error(path: str, exc: BaseException) -> OSError:
    if "://" in path:
        from .remote import url_error

        return url_error(path, exc)
    return OSError(f"{path}: {' '.join(str(exc).split())}")


def _in_range(batch, name: str, lo: int | None, hi: int | None):
    import pyarrow as pa
    import pyarrow.compute as pc

    column = batch.column(name)
    raw = column.cast(pa.int64()) if pa.types.is_timestamp(column.type) else column
    keep = None
    if lo is not None:
        keep = pc.greater_equal(raw, lo)
    if hi is not None:
        below = pc.less(raw, hi)
        keep = below if keep is None else pc.and_(keep, below)
    return batch.filter(pc.fill_null(keep, True))  # a row without ts stays, for the scan to refuse


def scan_parquet(
    paths: str | Iterable[str],
    spec: object,
    *,
    start: int | None = None,
    end: int | None = None,
    kind: str | None = None,
    columns: Mapping[str, str] | None = None,
    skip_bad: bool = False,
    bar: int | str | None = None,
    keep_radar: bool = False,
    keep_state: bool = False,
    state: bytes | None = None,
    progress: Callable[[int], None] | None = None,
) -> FileScanResult:
    """`scan_table` of Parquet files and directories of them (``zolvar_radar[parquet]``).

    ``start`` and ``end`` keep the rows with ``start <= ts < end`` (in the
    events' milliseconds for a timestamp column), a filter the reader applies
    before decoding what it can skip. A refused row raises ``BadRowError``
    as ``FILE: ROW N: <error>``, N counting the file's rows read. A missing
    path raises ``FileNotFoundError``.
    """
    reader, place, failed, names = parquet_reader(paths, start=start, end=end, columns=columns, kind=kind)
    try:
        return _scan(reader.__arrow_c_stream__(), spec, kind=kind, columns=columns, skip_bad=skip_bad, bar=bar,
                     keep_radar=keep_radar, progress=progress, place=place, state=state, keep_state=keep_state,
                     names=names)
    except OSError:
        if failed:
            raise failed[0] from None
        raise


def replay_parquet(radar, paths: str | Iterable[str], **options):
    """`TableReplay` of Parquet files and directories of them, in path order (options as there)."""
    from .table_input import TableReplay

    reader, place, _failed, names = parquet_reader(paths, columns=options.get("columns"), kind=options.get("kind"))
    return TableReplay(radar, None, _stream=reader.__arrow_c_stream__(), _place=place, _names=names, **options)


def evaluate_parquet(paths: str | Iterable[str], spec: object, **options):
    """`evaluate_table` of Parquet files and directories of them, in path order (options as there)."""
    from .table_input import evaluate_table

    reader, place, failed, names = parquet_reader(paths, columns=options.get("columns"), kind=options.get("kind"))
    try:
        return evaluate_table(None, spec, _stream=reader.__arrow_c_stream__(), _place=place, _names=names,
                              **options)
    except OSError:
        if failed:
            raise failed[0] from None
        raise
