"""The `zolvar-radar` command: scan, replay, evaluate, sweep and check from the shell.

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
from . import check, evaluate, replay, scan, sweep, watch
from .console import EXIT_USAGE, Failure, LazyConsole
from .paths import expand_directories, refuse_clobbering
from .specs import DEFAULT_SPEC, SAMPLE

if TYPE_CHECKING:
    from typing import Sequence

__all__ = ["main", "build_parser", "COMMANDS", "DEFAULT_SPEC", "SAMPLE", "Failure"]

PROG = "zolvar-radar"
COMMANDS = [scan, replay, evaluate, sweep, check, watch]
EXAMPLES = """examples:
  zolvar-radar                                     the bundled sample day, ranked
  zolvar-radar scan --spec my.json day1.jsonl.gz   your events, your signals
  zolvar-radar replay --every-ts 1h day1.jsonl     alerts as they change, hour by hour
  zolvar-radar evaluate --every-ts 1m day1.jsonl   what the price did after each alert
  zolvar-radar sweep grid.json day1.jsonl          which specification, judged out of sample
  zolvar-radar check my.json                       what a specification means
  zolvar-radar watch --exchange bybit --all-perpetuals   alerts live, as they happen
  zolvar-radar COMMAND --help                      a command's options
"""


class Parser(argparse.ArgumentParser):
    """argparse, but a value without a type is taken as it is: the same result,
    without a registry look-up per value, twice, for each of 10,000 file names."""

    def _get_value(self, action, arg_string):
        if action.type is None:
            return arg_string
        return super()._get_value(action, arg_string)


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog=PROG,
        description="Rank crypto-derivatives market events into alerts. "
        "Without arguments, scans the bundled sample day with the bundled specification.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    for command in COMMANDS:
        sub = command.add_parser(commands)
        sub.formatter_class = argparse.RawDescriptionHelpFormatter  # keeps the examples' lines
        sub.set_defaults(run=command.run, parser=sub)
    return parser


# Plain arguments past this many at the end of a command line go straight to its files.
TAIL_KEPT = 64


def split_tail(parser: argparse.ArgumentParser, argv: list[str]) -> tuple[list[str], list[str]]:
    """argv, and the long run of file names at its end taken off it: argparse looks
    at each argument several times, which 10,000 file names make cost more than the
    reading. Only when the command's last positional is its list of files, and
    never the value of the option just before the run."""
    if len(argv) <= TAIL_KEPT or argv[0].startswith("-"):
        return argv, []
    sub = next((a.choices.get(argv[0]) for a in parser._actions if isinstance(a, argparse._SubParsersAction)), None)
    positionals = [a for a in sub._actions if not a.option_strings] if sub is not None else []
    if not positionals or positionals[-1].dest != "files" or positionals[-1].nargs != "*":
        return argv, []
    start = len(argv)
    while start > 1 and not argv[start - 1].startswith("-"):
        start -= 1
    before = sub._option_string_actions.get(argv[start - 1]) if start > 1 else None
    if before is not None and before.nargs != 0:
        start += 1  # its value
    cut = start + TAIL_KEPT
    if cut >= len(argv):
        return argv, []
    return argv[:cut], argv[cut:]


def main(argv: Sequence[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    if argv and argv[0].startswith("-") and argv[0] not in ("-h", "--help", "--version"):
        argv = ["scan", *argv]  # no command is scan, options or not: `zolvar-radar --spec my.json`
    argv, tail = split_tail(parser, argv)
    args, unknown = parser.parse_known_args(argv or ["scan"])
    if tail:
        args.files = [*args.files, *tail]
    if unknown:
        # the command's own usage, not the list of commands
        getattr(args, "parser", parser).error(f"unrecognized arguments: {' '.join(unknown)}")
    if not hasattr(args, "run"):
        parser.print_usage(sys.stderr)
        return EXIT_USAGE
    # no markup: symbols and paths are printed as they are, brackets included
    out = LazyConsole(highlight=False, markup=False)
    err = LazyConsole(stderr=True, highlight=False, markup=False)
    try:
        if isinstance(getattr(args, "files", None), list):
            args.files = expand_directories(args.files)
        refuse_clobbering(args)
        return args.run(args, out, err)
    except Failure as exc:
        out.file.flush()
        print(visible(exc), file=sys.stderr)
        if exc.bad is not None:
            from ..hints import hints

            hint = hints([exc.bad])[0]
            if hint:
                print(visible(f"  hint: {hint}"), file=sys.stderr)
        return EXIT_USAGE
    except BrokenPipeError:
        # the reader went away (`| head -1`): it has what it wanted; say nothing more
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130
