"""Where the command line writes: consoles made on first use, and its one-line failures."""

from __future__ import annotations

import os
import sys
TYPE_CHECKING = False  # typing itself costs a few ms to import

if TYPE_CHECKING:
    from rich.console import Console

EXIT_USAGE = 2  # bad input of any kind, like argparse's own usage errors


class LazyConsole:
    """A rich Console made on first use; until then only its file and
    whether that is a terminal are asked, which need no rich."""

    def __init__(self, **options):
        self._options = options
        self._console = None

    @property
    def file(self):
        return sys.stderr if self._options.get("stderr") else sys.stdout

    @property
    def is_terminal(self) -> bool:
        if self._console is None and not any(v in os.environ for v in ("FORCE_COLOR", "TTY_INTERACTIVE")):
            try:
                if not self.file.isatty():
                    return False
            except (AttributeError, ValueError, OSError):
                return False
        return self.console.is_terminal

    @property
    def console(self) -> Console:
        if self._console is None:
            from rich.console import Console

            class QuietOnBrokenPipe(Console):
                # rich exits with status 1 when the reader goes away; the command line's
                # own handling (quiet, status 0, as for `| head -1`) should decide
                def on_broken_pipe(self) -> None:
                    self.quiet = True
                    raise BrokenPipeError

            self._console = QuietOnBrokenPipe(**self._options)
        return self._console

    def __getattr__(self, name: str):
        return getattr(self.console, name)


class Failure(Exception):
    """Ends the command with a one-line message on stderr and status 2."""

    bad = None  # the refused line, when that is the failure: a hint may follow it


def bad_line(bad) -> Failure:
    """The failure of a refused line: `FILE:LINE: <the radar's error>`, then a hint where one helps."""
    failure = Failure(str(bad))
    failure.bad = bad
    return failure


def counted(n: int, word: str) -> str:
    """"1 symbol", "2 symbols": a count with its noun."""
    return f"{n} {word}{'' if n == 1 else 's'}"


def say(out: Console, text: str) -> None:
    """A line on stdout, flushed: what follows on stderr stays after it in a shared log."""
    if out.is_terminal:
        out.print(text, soft_wrap=True)
    else:
        out.file.write(text + "\n")
        out.file.flush()
