"""`zolvar-radar check`: a specification validated, its signals shown, its likely mistakes named."""

from __future__ import annotations

import argparse
import json
import math
TYPE_CHECKING = False

from .._display import visible
from .._zolvar_radar import Radar
from .specs import DEFAULT_SPEC, answer_of, read_spec, signal_fields, spec_fields

if TYPE_CHECKING:
    from typing import Iterable

    from rich.console import Console

LOOKBACK_KINDS = {"oi_delta", "liq_cluster", "oi_price_divergence"}


EXAMPLES = """examples:
  zolvar-radar check                  the bundled specification
  zolvar-radar check --strict my.json status 1 when there is a warning
"""


def add_parser(commands) -> argparse.ArgumentParser:
    check = commands.add_parser("check", help="validate a specification and show its signals",
                                description="Validate a specification and print its signals, their labels, "
                                "the window they imply, the threshold and the limit, then warnings about what the "
                                "radar accepts but probably is not meant.", epilog=EXAMPLES)
    check.add_argument("spec_file", nargs="?", default=str(DEFAULT_SPEC), metavar="SPEC.json",
                       help="the specification (default: the bundled one)")
    check.add_argument("--strict", action="store_true",
                       help="exit with status 1 when there are warnings (unknown members, signals that are "
                       "always 0, look-backs cut to whole counts, a threshold out of reach)")
    return check


def window_length(signals: Iterable[tuple[str, list]]) -> tuple[int, int]:
    """(window, longest look-back): how many observations each series keeps."""
    longest = 0
    for kind, params in signals:
        if kind in LOOKBACK_KINDS and params:
            first = float(params[0])
            if first > 0 and math.isfinite(first):
                longest = max(longest, min(int(first), 2**64 - 1))
    return max((longest + 1) % 2**64, 2), longest


def label_of(signal) -> str:
    """The signal's label as the radar writes it among an alert's factors."""
    # a scan of one empty symbol that every severity passes lists it
    radar = Radar(json.dumps({"signals": [signal], "threshold": -1}))
    alerts = answer_of(radar.command('{"cmd":"scan","events":{"":[]}}'))["alerts"]
    return next(label for label in alerts[0]["factors"] if label != "severity")


def run(args: argparse.Namespace, out: Console, err: Console) -> int:
    from rich import box
    from rich.table import Table
    from rich.text import Text

    from ..lint import lint

    text, _ = read_spec(args.spec_file)
    signals, threshold, limit = spec_fields(json.loads(text))
    fields = [signal_fields(s) for s in signals]
    window, longest = window_length((kind, params) for kind, params, _ in fields)

    weights = [float(weight) for _, _, weight in fields]
    total = sum(weights)
    out.print(visible(f"{args.spec_file}: ok, {len(fields)} signal{'s' if len(fields) != 1 else ''}"), soft_wrap=True)
    table = Table(box=box.SIMPLE_HEAD, pad_edge=False)
    table.add_column("#", justify="right", no_wrap=True)
    table.add_column("label (factor key)", no_wrap=True)
    table.add_column("weight", justify="right", no_wrap=True)
    table.add_column("weight share", justify="right", no_wrap=True)
    for index, (signal, (_, _, weight), share) in enumerate(zip(signals, fields, weights), 1):
        table.add_row(
            str(index),
            Text(label_of(signal)),
            json.dumps(weight),
            f"{share / total:.0%}" if total > 0 else "-",
        )
    out.print(table)
    why = f"longest look-back {longest}, plus one" if longest else "no look-back signal"
    out.print(f"window     {window} observations per series ({why})")
    out.print(f"threshold  {json.dumps(threshold)}")
    out.print(f"limit      {'none' if limit is None else limit}")
    # legal but likely unmeant: the radar reads the spec as it is, check says so
    warnings = lint(text)
    for warning in warnings:
        out.print(f"warning: {warning}", soft_wrap=True)
    return 1 if warnings and args.strict else 0
