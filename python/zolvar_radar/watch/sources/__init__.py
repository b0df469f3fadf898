"""Where a watch's events come from.

- `FileSource`: recorded files, read and fed by the native `Replay`; the
  clock is the events' time.
- `LiveSource` subclasses (`CcxtSource`, `CryptofeedSource`, `PairsSource`):
  they hand (symbol, event) pairs to ``deliver`` as they arrive, and the
  loop feeds them to the radar in batches at each checkpoint.
"""

from __future__ import annotations

from .base import LiveSource, PairsSource, SourceError
from .file import FileSource

__all__ = ["FileSource", "LiveSource", "PairsSource", "SourceError", "parse_source"]


def parse_source(text: str, **options) -> object:
    """A source from its --source text: ccxt, cryptofeed or file:PATH[,PATH...]."""
    kind, sep, rest = text.partition(":")
    if kind == "file":
        if not rest:
            raise SourceError("--source file:PATH[,PATH...]: give the files")
        return FileSource([p for p in rest.split(",") if p], format=options.get("format"),
                          speed=options.get("speed"), exchange=(options.get("exchanges") or [None])[0],
                          skip_bad=options.get("skip_bad", False), notional=options.get("notional", False))
    if text == "ccxt":
        from .ccxt import CcxtSource

        return CcxtSource(options.get("exchanges") or [], symbols=options.get("symbols"),
                          all_perpetuals=options.get("all_perpetuals", False), quote=options.get("quote"),
                          poll=options.get("poll", 15.0))
    if text == "cryptofeed":
        from .cryptofeed import CryptofeedSource

        return CryptofeedSource(options.get("exchanges") or [], symbols=options.get("symbols"))
    raise SourceError(f"--source {text}: give ccxt, cryptofeed or file:PATH[,PATH...]")
