"""Parquet inputs on the command line: `scan` of .parquet files and
directories of them (hive partitions included), with --from/--to given to
the reader as a filter."""

from __future__ import annotations

import argparse
import os
TYPE_CHECKING = False

from .console import Failure, bad_line

if TYPE_CHECKING:
    from ..files import FileScanResult


def time_bound(text: str) -> int:
    from ..parquet_input import time_bound as parse

    try:
        return parse(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def column_option(text: str) -> tuple[str, str]:
    field, eq, name = text.partition("=")
    if not eq or not field.strip() or not name:
        raise argparse.ArgumentTypeError(f"must be FIELD=COLUMN, such as ts=timestamp: {text}")
    return field.strip(), name


def add_table_options(sub: argparse.ArgumentParser) -> None:
    """How the columns of Parquet inputs are read, for every command that reads events."""
    sub.add_argument("--column", dest="columns", action="append", type=column_option, metavar="FIELD=COLUMN",
                     help="Parquet inputs: read the event field FIELD from the column COLUMN (ts=timestamp); "
                     "may be repeated")
    sub.add_argument("--kind", dest="table_kind", choices=("derivatives", "orderbook", "liquidation"),
                     help="Parquet inputs: every row is of this kind (for files without a kind column)")


def table_options(args: argparse.Namespace) -> dict:
    """The columns= and kind= of the table readers, from --column and --kind."""
    return {"columns": dict(args.columns) if getattr(args, "columns", None) else None,
            "kind": getattr(args, "table_kind", None)}


def add_time_range(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("--from", dest="start", type=time_bound, metavar="T",
                     help="Parquet inputs: only events with ts >= T (timestamp units, or an ISO date or time "
                     "such as 2024-05-14T13:00, UTC, as epoch milliseconds); the reader skips what it can")
    sub.add_argument("--to", dest="end", type=time_bound, metavar="T",
                     help="Parquet inputs: only events with ts < T (as --from)")


# Names that say a text file: not looked at further (ten thousand files cost no stat each).
TEXT_SUFFIXES = (".jsonl", ".json", ".ndjson", ".csv", ".gz", ".txt")


def looks_parquet(path: str) -> bool:
    if path == "-" or path.lower().endswith(TEXT_SUFFIXES):
        return False
    from ..parquet_input import is_parquet  # past the suffix test: an import statement per path costs 1.5 us

    return is_parquet(path)


def refuse_parquet(args: argparse.Namespace, option: str) -> None:
    """Parquet inputs, or --from/--to, with an option that reads only JSON Lines and CSV: one line."""
    if getattr(args, "start", None) is not None or getattr(args, "end", None) is not None:
        raise Failure(f"--from and --to cannot be used with {option}")
    taken = getattr(args, "dask_file", None)  # a file --dask took for its address
    files = [*args.files, *([taken[0]] if taken else [])]
    found = next((p for p in files if looks_parquet(p)), None)
    if found is not None:
        raise Failure(f"{found}: {option} reads JSON Lines and CSV files; Parquet inputs are read without it")


def parquet_inputs(args: argparse.Namespace, paths: list[str],
                   refused: tuple[str, ...] = ("--format", "--notional")) -> bool:
    """True when the inputs are Parquet; refuses what cannot go with them, before anything is read."""
    found = [p for p in paths if looks_parquet(p)]
    ranged = getattr(args, "start", None) is not None or getattr(args, "end", None) is not None
    if not found:
        if ranged:
            raise Failure("--from and --to are for Parquet inputs (.parquet files or directories of them)")
        if getattr(args, "columns", None) or getattr(args, "table_kind", None):
            raise Failure("--column and --kind are for Parquet inputs (.parquet files or directories of them)")
        return False
    if len(found) != len(paths):
        other = next(p for p in paths if p not in found)
        raise Failure(f"{other}: Parquet inputs cannot be mixed with JSON Lines or CSV files in one scan")
    for option in refused:
        given = getattr(args, option.lstrip("-").replace("-", "_"), None)
        if given is not None and given is not False:
            raise Failure(f"{option} cannot be used with Parquet inputs")
    if ranged and args.start is not None and args.end is not None and args.start >= args.end:
        raise Failure(f"--from {args.start} is not before --to {args.end}: no event can be read")
    return True


def scan_parquet_files(args: argparse.Namespace, paths: list[str], spec_text: str,
                       state: bytes | None = None) -> FileScanResult:
    # The process ends after one scan: the system allocator gives decoded row groups back as they
    # go, where pyarrow's own pool would keep the largest ones (a third less peak memory).
    os.environ.setdefault("ARROW_DEFAULT_MEMORY_POOL", "system")
    from ..parquet_input import scan_parquet
    from ..table_input import BadRowError

    try:
        return scan_parquet(paths, spec_text, start=args.start, end=args.end, skip_bad=args.skip_bad,
                            bar=args.bar.width if args.bar else None, state=state,
                            keep_state=args.save_state is not None, **table_options(args))
    except BadRowError as exc:
        raise bad_line(exc.bad) from None
    except ImportError as exc:
        raise Failure(str(exc)) from None
    except OSError as exc:
        raise Failure(str(exc)) from None
    except ValueError as exc:  # a missing column, a table of no events
        raise Failure(str(exc)) from None


def replay_parquet_files(radar, paths: list[str], args: argparse.Namespace, keep_events: bool):
    os.environ.setdefault("ARROW_DEFAULT_MEMORY_POOL", "system")
    from ..parquet_input import replay_parquet

    try:
        return replay_parquet(radar, paths, skip_bad=args.skip_bad, every=args.every, every_ts=args.every_ts,
                              keep_events=keep_events, bar=args.bar.width if args.bar else None,
                              **table_options(args))
    except (OSError, ImportError, ValueError) as exc:
        raise Failure(str(exc)) from None


def evaluate_parquet_files(paths: list[str], spec_text: str, **options):
    os.environ.setdefault("ARROW_DEFAULT_MEMORY_POOL", "system")
    from ..parquet_input import evaluate_parquet
    from ..table_input import BadRowError

    try:
        return evaluate_parquet(paths, spec_text, **options)
    except BadRowError as exc:
        raise bad_line(exc.bad) from None
    except ImportError as exc:
        raise Failure(str(exc)) from None
