"""Saved states on the command line: --state read with the specification it holds, --save-state written."""

from __future__ import annotations

import argparse
import os
from pathlib import Path
TYPE_CHECKING = False

from .._display import visible
from .console import Failure
from .specs import DEFAULT_SPEC, overridden, read_spec, warn_spec

if TYPE_CHECKING:
    from rich.console import Console


def spec_and_state(args: argparse.Namespace, err: Console) -> tuple[str, bytes | None]:
    """The specification text to run with and the bytes of --state, both checked
    (and the specification linted) before any file is read.

    Without --spec, a state's own specification is the one: the bundled one
    would score its data by other signals without a word. A --spec that is
    not the state's is taken (a new specification of the same window is
    legitimate), and said so.
    """
    if getattr(args, "state", None) is None:
        text = overridden(read_spec(args.spec or DEFAULT_SPEC)[0], args)
        warn_spec(text, args.spec or str(DEFAULT_SPEC), args.strict, err, args)
        return text, None
    try:
        data = Path(args.state).read_bytes()
    except OSError as exc:
        raise Failure(f"{args.state}: {exc.strerror or exc}") from None
    from .._engine import engine, save_state

    try:
        saved = engine.state_spec(data)  # None for a partial state, which holds no specification
    except ValueError as exc:
        raise Failure(f"{args.state}: {exc}") from None
    if args.spec is None and saved is not None:
        text, given = saved, None
    else:
        text, given = read_spec(args.spec or DEFAULT_SPEC)
    try:
        engine.FileScan([], text, state=data)  # loads it and checks the window, reads nothing
    except ValueError as exc:
        raise Failure(f"{args.state}: {exc}") from None
    if given is not None and saved is not None and engine.state_spec(save_state(given)) != saved:
        print(visible(f"note: --spec {args.spec} is not the specification saved in {args.state}; "
                      f"its data is scored with {args.spec}"), file=err.file)
    where = f"the specification saved in {args.state}" if given is None and saved is not None \
        else args.spec or str(DEFAULT_SPEC)
    text = overridden(text, args)
    warn_spec(text, where, args.strict, err, args)
    return text, data


def write_state(path: str, data: bytes) -> None:
    """Writes a whole state or nothing: a state file is never left half written."""
    from ..atomic import write_atomic

    try:
        write_atomic(path, data)
    except OSError as exc:
        raise Failure(f"{path}: {exc.strerror or exc}") from None
