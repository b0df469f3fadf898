"""Argument types and the options that several commands share."""

from __future__ import annotations

import argparse
import os
TYPE_CHECKING = False

from .specs import SAMPLE

if TYPE_CHECKING:
    from typing import Sequence

DURATION_HELP = "must be a positive whole number of timestamp units or a duration like 500ms, 15s, 1m, 4h, 1d"


def positive_int(text: str) -> int:
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive integer: {text}")
    return value


def non_negative_float(text: str) -> float:
    value = float(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must be zero or more: {text}")
    return value


class BarOption:
    """--bar WIDTH: the width as given (for messages) and in timestamp units."""

    def __init__(self, text: str):
        from ..bars import bar_width

        try:
            self.width = bar_width(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{DURATION_HELP}: {text}") from None
        self.text = text.strip()

    def __str__(self) -> str:
        return self.text


def duration(text: str) -> int:
    """--every-ts T: whole timestamp units, or a duration like 1h (epoch ms)."""
    from ..bars import bar_width

    try:
        return bar_width(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{DURATION_HELP}: {text}") from None


def events_options(sub: argparse.ArgumentParser) -> None:
    """What every command that reads events takes: the specification, the inputs and how to read them."""
    sub.add_argument("--spec", metavar="SPEC.json",
                     help="radar specification (default: the bundled one)")
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
    sub.add_argument("files", nargs="*", metavar="FILES",
                     help="JSON Lines or tardis CSV files of events, .gz read as such, - for stdin "
                     "(default: the bundled sample)")


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
