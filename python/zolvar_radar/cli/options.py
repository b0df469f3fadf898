"""Argument types and the options that several commands share."""

from __future__ import annotations

import argparse
import os
TYPE_CHECKING = False

from .specs import SAMPLE

if TYPE_CHECKING:
    from typing import Sequence

DURATION_HELP = "must be a positive whole number of timestamp units or a duration like 500ms, 15s, 1m, 4h, 1d"


def parsed_number(kind, text: str):
    """The number, or argparse's one-line refusal in words (not the type function's name)."""
    try:
        return kind(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not {'a whole number' if kind is int else 'a number'}: {text}") from None


def positive_int(text: str) -> int:
    value = parsed_number(int, text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive integer: {text}")
    return value


def finite_float(text: str) -> float:
    value = parsed_number(float, text)
    if not abs(value) < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a finite number: {text}")
    return value


def positive_float(text: str) -> float:
    value = parsed_number(float, text)
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number: {text}")
    return value


def non_negative_float(text: str) -> float:
    value = parsed_number(float, text)
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must be zero or more: {text}")
    return value


EPOCH_MS = range(10**11, 10**14)  # 1973 to 5138 in epoch milliseconds
NO_EVENT_TS = -(2**63)  # an alert's time when its symbol got no event


class BarOption:
    """--bar WIDTH: the width as given (for messages) and in timestamp units."""

    def __init__(self, text: str):
        from ..bars import bar_width

        try:
            self.width = bar_width(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{DURATION_HELP}: {text}") from None
        self.text = text.strip()
        self.unit = not self.text.isdigit()  # a duration like 1m assumes epoch milliseconds

    def __str__(self) -> str:
        return self.text


class Duration(int):
    """--every-ts T: whole timestamp units; `text` as given, `unit` when it was a duration like 1h (epoch ms)."""

    text: str
    unit: bool


def duration(text: str) -> Duration:
    from ..bars import bar_width

    try:
        value = Duration(bar_width(text))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{DURATION_HELP}: {text}") from None
    value.text = text.strip()
    value.unit = not value.text.isdigit()
    return value


class UnitCheck:
    """Durations like 1m count epoch milliseconds: once the timestamps read show
    they are something else (seconds, microseconds), says so once on stderr,
    since the bars or checkpoints are then off by a factor of a thousand."""

    def __init__(self, args: argparse.Namespace, err, write=None):
        given = [(name, getattr(args, attr, None)) for name, attr in (("--bar", "bar"), ("--every-ts", "every_ts"))]
        self.options = [f"{name} {option.text}" for name, option in given if option is not None and option.unit]
        self.write = write or (lambda line: print(line, file=err.file))

    def alerts(self, text: str, paths: Sequence[str] = ()) -> None:
        """The latest event time among the alerts of a scan result text: all a scan tells of its timestamps.
        With no alert (a bar of a minute over seconds can leave none), the first event of the first file."""
        if self.options:
            import json

            seen = [alert["ts"] for alert in json.loads(text)["alerts"] if alert["ts"] != NO_EVENT_TS]
            self.seen(max(seen, default=None) if seen else first_ts(paths))

    def seen(self, latest: int | None) -> None:
        if not self.options or latest is None or latest in EPOCH_MS:
            return
        guess = (" (epoch seconds?)" if 10**8 <= latest < 10**11 else
                 " (epoch microseconds or nanoseconds?)" if latest >= 10**14 else "")
        one = len(self.options) == 1
        self.write(f"warning: {' and '.join(self.options)} assume{'s' if one else ''} epoch milliseconds, but the "
                   f"timestamps read include {latest}{guess}; give {'it' if one else 'them'} in timestamp units "
                   f"instead")
        self.options = []  # once


def first_ts(paths: Sequence[str]) -> int | None:
    """The time of the first event of the first file, when it is a local text file that has one."""
    path = next(iter(paths), None)
    if path is None or path == "-" or "://" in path or path.lower().endswith((".parquet", ".pq")):
        return None
    from ..adapters import read_events

    try:
        for _, event in read_events(path):
            return event.get("ts") if isinstance(event.get("ts"), int) else None
    except (OSError, ValueError):  # the scan read it: what fails now is no business of this check
        return None
    return None


def events_options(sub: argparse.ArgumentParser) -> None:
    """What every command that reads events takes: the specification, the inputs and how to read them."""
    sub.add_argument("--spec", metavar="SPEC.json",
                     help="radar specification (default: the bundled one)")
    sub.add_argument("--threshold", type=finite_float, metavar="X",
                     help="alert from severity X instead of the specification's threshold")
    sub.add_argument("--limit", type=positive_int, metavar="N",
                     help="at most N alerts instead of the specification's limit")
    sub.add_argument("--strict", action="store_true",
                     help="stop (status 2, before reading) on what `check` warns about in the specification, "
                     "instead of warning on stderr")
    sub.add_argument("--skip-bad", action="store_true",
                     help="skip lines the radar refuses and report them at the end, instead of stopping")
    sub.add_argument("--format", choices=("jsonl", "tardis"), default=None,
                     help="input format (default: told by each file's first line: "
                     "a tardis CSV header, otherwise JSON Lines)")
    sub.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
    sub.add_argument("--bar", type=BarOption, metavar="WIDTH",
                     help="one cadence for every source: keep at most one derivatives snapshot and one order "
                     "book per symbol per interval of WIDTH (the last one read in it) and every liquidation, "
                     "so a look-back counts intervals; WIDTH in timestamp units or as 500ms, 15s, 1m, 4h, 1d "
                     "(epoch milliseconds)")
    from .parquet import add_table_options

    add_table_options(sub)
    sub.add_argument("files", nargs="*", metavar="FILES",
                     help="JSON Lines or tardis CSV files of events, .gz read as such, - for stdin; "
                     ".parquet files or directories of them; URLs fsspec opens (s3://, https://, needs "
                     "zolvar_radar[cloud]) (default: the bundled sample)")


def input_paths(args: argparse.Namespace) -> list[str]:
    return args.files or [str(SAMPLE)]


def input_bytes(paths: Sequence[str]) -> int:
    total = 0
    for path in paths:
        try:
            total += os.stat(path).st_size if path != "-" else 0
        except OSError:
            pass
    return total
