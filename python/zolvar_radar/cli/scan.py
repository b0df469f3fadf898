"""`zolvar-radar scan`: the ranked alerts over all the events read."""

from __future__ import annotations

import argparse
import contextlib
import json
import logging
import re
TYPE_CHECKING = False

from ..files import BadLineError, scan_files
from .console import Failure, bad_line
from .options import UnitCheck, events_options, input_bytes, positive_float
from .progress import PROGRESS_FROM_BYTES, byte_progress
from .specs import SAMPLE
from .state import spec_and_state, write_state
from .tables import print_table, report_bar, report_skipped, report_skipped_rows

if TYPE_CHECKING:
    from typing import Iterator

    from rich.console import Console


EXAMPLES = """examples:
  zolvar-radar scan --spec my.json day1.jsonl.gz day2.jsonl.gz
  zolvar-radar scan --json --threshold 0.4 --limit 10 binance-futures_*.csv.gz
  zolvar-radar scan --format-out parquet --output alerts.parquet day1.jsonl.gz
  zolvar-radar scan --bar 1m --save-state day1.state day1.jsonl.gz
  zolvar-radar scan --bar 1m --state day1.state day2.jsonl.gz
  zolvar-radar scan --dask tcp://scheduler:8786 s3-mounted/*.jsonl.gz
"""


def add_parser(commands) -> argparse.ArgumentParser:
    scan = commands.add_parser("scan", help="rank the alerts over all the events read",
                               description="Rebuild every symbol from the events read and print the ranked alerts.",
                               epilog=EXAMPLES)
    events_options(scan)
    scan.add_argument("--json", action="store_true", help="print the radar's result text unchanged")
    scan.add_argument("--format-out", choices=TABLE_FORMATS, metavar="{parquet,csv,jsonl}",
                      help="write the alerts as a table, one row per alert: rank, symbol, severity, ts and a "
                      "column per factor (parquet needs zolvar_radar[arrow] and --output)")
    scan.add_argument("--output", metavar="FILE",
                      help="where --format-out writes the table, whole or not at all (default: stdout)")
    scan.add_argument("--notional", action="store_true",
                      help="tardis liquidation quantities as amount times price (the quote currency)")
    scan.add_argument("--state", metavar="IN",
                      help="start from a state saved by --save-state: the files continue it (without FILES, "
                      "the state is scored alone); without --spec, with the specification saved in it; "
                      "a --spec must have the same window")
    scan.add_argument("--save-state", metavar="OUT",
                      help="write the state after the scan to OUT, for a later --state")
    scan.add_argument("--dask", nargs="?", const="", action=DaskOption, metavar="ADDRESS",
                      help="read the files into states on a Dask cluster: the scheduler at ADDRESS, "
                      "or alone a local cluster for this run (needs zolvar_radar[dask])")
    scan.add_argument("--dask-timeout", type=positive_float, default=10.0, metavar="SECONDS",
                      help="give up on a scheduler that does not answer within SECONDS (default: 10)")
    from .parquet import add_time_range

    add_time_range(scan)
    return scan


def scan_paths(args: argparse.Namespace, files: list[str]) -> list[str]:
    """The files to scan: the bundled sample when none are given, unless
    scanning from a saved state, which is then scored alone."""
    return files if files or args.state else [str(SAMPLE)]


TABLE_FORMATS = ("parquet", "csv", "jsonl")


def check_table_options(args: argparse.Namespace) -> None:
    """Refuses a table the options cannot give, before anything is read."""
    fmt = args.format_out
    if fmt is None:
        if args.output is not None:
            raise Failure("--output needs --format-out parquet, csv or jsonl")
        return
    if args.json:
        raise Failure("--json and --format-out cannot be used together")
    named = next((f for f in TABLE_FORMATS if args.output and args.output.lower().endswith(f".{f}")), None)
    if named is not None and named != fmt:  # keep.csv holding Parquet is a file no reader opens
        raise Failure(f"--output {args.output} names a .{named} file, but --format-out is {fmt}")
    if fmt == "parquet":
        if args.output is None:
            raise Failure("--format-out parquet needs --output FILE")
        import importlib.util

        if importlib.util.find_spec("pyarrow") is None:
            raise Failure("--format-out parquet needs pyarrow: pip install 'zolvar_radar[arrow]'")


def show_result(args: argparse.Namespace, text: str, spec_text: str, out: Console) -> None:
    """The result as asked: the radar's text, a table in a file format, or the ranked alerts."""
    if args.json:
        out.file.write(text + "\n")
        return
    if args.format_out is None:
        print_table(json.loads(text), out)
        return
    from ..tables import AlertTable

    table = AlertTable(text, spec_text)
    data = table.to_parquet() if args.format_out == "parquet" else \
        table.to_csv() if args.format_out == "csv" else table.to_jsonl()
    if args.output is None:
        out.file.write(data)
        out.file.flush()
        return
    from ..atomic import write_atomic

    try:
        write_atomic(args.output, data)
    except OSError as exc:
        raise Failure(f"{args.output}: {exc.strerror or exc}") from None


def run(args: argparse.Namespace, out: Console, err: Console) -> int:
    check_table_options(args)
    if args.dask is not None:
        from .parquet import refuse_parquet

        refuse_parquet(args, "--dask")
        return run_dask(args, out, err)
    spec_text, state = spec_and_state(args, err)
    paths = scan_paths(args, args.files)
    from .parquet import parquet_inputs, scan_parquet_files

    if parquet_inputs(args, paths):
        result = scan_parquet_files(args, paths, spec_text, state)
        if args.save_state is not None:
            write_state(args.save_state, result.saved_state)
        show_result(args, result.text, spec_text, out)
        report_skipped(result.bad, err)
        report_bar(args.bar, result.events, result.dropped, err)
        UnitCheck(args, err).alerts(result.text)
        return 0
    show = err.is_terminal and not args.no_progress and input_bytes(paths) >= PROGRESS_FROM_BYTES
    with byte_progress(err, "scan", show) as progress:
        task = progress.add_task("scan", total=(input_bytes(paths) or None) if show else None)

        def moved(done: int, total: int) -> None:
            progress.update(task, completed=done, total=total or None)

        try:
            result = scan_files(paths, spec_text, format=args.format, skip_bad=args.skip_bad,
                                notional=args.notional, keep_state=args.save_state is not None,
                                progress=moved if show else None, state=state,
                                bar=args.bar.width if args.bar else None)
        except BadLineError as exc:
            raise bad_line(exc.bad) from None
        except (OSError, ImportError) as exc:  # ImportError: a URL whose filesystem is not installed
            raise Failure(str(exc)) from None
    if args.save_state is not None:
        write_state(args.save_state, result.saved_state)
    show_result(args, result.text, spec_text, out)
    report_skipped(result.bad, err)
    report_skipped_rows(result.skipped, err)
    report_bar(args.bar, result.events, result.dropped, err)
    UnitCheck(args, err).alerts(result.text, paths)
    return 0


# a scheduler address: tcp://host:8786, host:8786, [::1]:8786 ...
DASK_ADDRESS = re.compile(r"^(?:[A-Za-z][\w+.-]*://.*|[\w.-]+:\d+|\[[0-9A-Fa-f:.]+\]:\d+)$")


class DaskOption(argparse.Action):
    """--dask [ADDRESS]. A value that is no address is a file the option took
    (`--dask a.jsonl`): it goes back among the files, where it was written."""

    def __call__(self, parser, namespace, value, option_string=None):
        if value and not DASK_ADDRESS.match(value):
            # files already read come before it; otherwise it is the first
            namespace.dask_file = (value, bool(getattr(namespace, "files", None)))
            value = ""
        setattr(namespace, self.dest, value)


# What reports on a cluster being torn down: once Ctrl-C stopped the scan, the
# cancelled tasks and their never-read futures are expected, not news.
TEARDOWN_LOGGERS = ("distributed", "asyncio", "tornado")


@contextlib.contextmanager
def quiet_interruption() -> Iterator[None]:
    """Ctrl-C stops the scan as usual, and first silences what the teardown would log."""
    import signal

    def interrupted(signum, frame) -> None:
        for name in [*TEARDOWN_LOGGERS, *logging.root.manager.loggerDict]:
            if name.split(".")[0] in TEARDOWN_LOGGERS:
                logging.getLogger(name).disabled = True
        raise KeyboardInterrupt

    try:
        before = signal.signal(signal.SIGINT, interrupted)
    except ValueError:  # not the main thread: nothing to catch
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, before)


def run_dask(args: argparse.Namespace, out: Console, err: Console) -> int:
    """scan --dask: the same result, the files read into states on a Dask cluster."""
    files = list(args.files)
    taken = getattr(args, "dask_file", None)
    if taken is not None:
        files.insert(len(files) if taken[1] else 0, taken[0])
    address = args.dask or None
    if args.skip_bad:
        raise Failure("--skip-bad cannot be used with --dask")
    if "-" in files:
        raise Failure("--dask reads files on the workers: standard input (-) cannot be used")
    spec_text, state = spec_and_state(args, err)
    try:
        import distributed as _  # noqa: F401 - the extra's package, imported only when used
    except ImportError:
        raise Failure("--dask needs Dask: pip install 'zolvar_radar[dask]'") from None
    from .. import distributed

    rows: dict = {}
    dropped: list = []
    saved = bytearray() if args.save_state is not None else None
    import dask

    where = f"dask scheduler {address or '(local cluster)'}"
    try:
        # a scheduler that does not answer fails the scan within the timeout, not dask's 30 s
        with quiet_interruption(), dask.config.set({"distributed.comm.timeouts.connect": f"{args.dask_timeout}s"}):
            answer = distributed.scan(scan_paths(args, files), spec_text, client=address, format=args.format,
                                      notional=args.notional, state=state, saved_state=saved, skipped_rows=rows,
                                      bar=args.bar.width if args.bar else None, dropped=dropped)
    except KeyboardInterrupt:
        out.file.flush()
        print("scan --dask: interrupted", file=err.file)
        return 130
    except distributed.FormatError as exc:
        from ..files import BadLine

        raise bad_line(BadLine(exc.source, exc.line, exc.reason)) from None
    except distributed.InputError as exc:
        raise Failure(str(exc)) from None
    except OSError as exc:
        if "Timed out trying to connect" in str(exc):
            raise Failure(f"{where}: no answer within {args.dask_timeout:g} s (see --dask-timeout)") from None
        raise Failure(f"{where}: {exc}") from None
    except MemoryError:  # what a peer that is no scheduler can make of the first frame's length
        raise Failure(f"{where}: the answer is not a Dask scheduler's") from None
    if saved is not None:
        write_state(args.save_state, bytes(saved))
    show_result(args, answer, spec_text, out)
    report_skipped_rows(rows, err)
    report_bar(args.bar, None, dropped[0] if dropped else 0, err)
    UnitCheck(args, err).alerts(answer)
    return 0
