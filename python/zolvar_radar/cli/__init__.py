"""The `zolvar-radar` command: scan, replay and check from the shell.

Each command is a module with `add_parser(subparsers)` and `run(args, out, err)`;
a new command is one more module and one more entry in COMMANDS. rich, the
report, the linter and datetime load when a command needs them: a plain
`scan --json` should cost little more than the reading itself.
"""

from __future__ import annotations

import argparse
import os
import sys
TYPE_CHECKING = False

from .. import __version__
from .._display import visible
from . import check, evaluate, replay, scan
from .console import EXIT_USAGE, Failure, LazyConsole
from .specs import DEFAULT_SPEC, SAMPLE

if TYPE_CHECKING:
    from typing import Sequence

__all__ = ["main", "build_parser", "COMMANDS", "DEFAULT_SPEC", "SAMPLE", "Failure"]

PROG = "zolvar-radar"
COMMANDS = [scan, replay, evaluate, check]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Rank crypto-derivatives market events into alerts. "
        "Without arguments, scans the bundled sample day with the bundled specification.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    for command in COMMANDS:
        command.add_parser(commands).set_defaults(run=command.run)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    args = parser.parse_args(argv or ["scan"])
    if not hasattr(args, "run"):
        parser.print_usage(sys.stderr)
        return EXIT_USAGE
    # no markup: symbols and paths are printed as they are, brackets included
    out = LazyConsole(highlight=False, markup=False)
    err = LazyConsole(stderr=True, highlight=False, markup=False)
    try:
        return args.run(args, out, err)
    except Failure as exc:
        out.file.flush()
        print(visible(exc), file=sys.stderr)
        return EXIT_USAGE
    except BrokenPipeError:
        # the reader went away (`| head`); say nothing more
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
