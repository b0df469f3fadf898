"""Recorded files as a source: read, merged by time and fed by the native `Replay`."""

from __future__ import annotations

import os

from .base import SourceError

__all__ = ["FileSource"]


class FileSource:
    """Event files (any format the radar reads), merged by time, as a live source.

    ``speed`` plays them at that many times real time (None: as fast as
    possible). ``exchange`` labels the changes.
    """

    keyed = False

    def __init__(self, paths, *, format: str | None = None, speed: float | None = None, exchange: str | None = None,
                 skip_bad: bool = False, notional: bool = False):
        self.paths = [os.fspath(p) for p in ([paths] if isinstance(paths, (str, os.PathLike)) else paths)]
        if not self.paths:
            raise SourceError("--source file: give at least one path")
        for path in self.paths:
            if path != "-" and not os.path.isfile(path):
                raise SourceError(f"{path}: {'Is a directory' if os.path.isdir(path) else 'No such file'}")
        if speed is not None and not speed > 0:
            raise SourceError(f"--speed {speed}: must be a positive number")
        self.format = format
        self.speed = speed
        self.exchange = exchange
        self.skip_bad = skip_bad
        self.notional = notional
