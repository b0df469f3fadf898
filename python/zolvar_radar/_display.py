"""Text from the data, made safe to show on a terminal.

Symbols, file names and error texts that quote their input come from files
anyone may have written. Written raw, an escape sequence among them could
retitle the window, recolour or clear the screen, and a bidi override could
make a line read differently from its bytes. `visible` writes such characters
as escapes instead (``\\x1b``, ``\\u202e``), so they show and act as nothing.
"""

from __future__ import annotations

import re

__all__ = ["visible"]

# C0 controls, DEL and C1 controls; the bidi embeddings, overrides and
# isolates; lone surrogates (undecodable bytes of a file name), which a
# terminal's encoding cannot write at all.
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u202a-\u202e\u2066-\u2069\ud800-\udfff]")
_NAMED = {"\t": "\\t", "\n": "\\n", "\r": "\\r"}


def _escape(match: re.Match) -> str:
    char = match.group()
    named = _NAMED.get(char)
    if named is not None:
        return named
    code = ord(char)
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def visible(text: object) -> str:
    """``str(text)`` with every control, bidi-control and surrogate character escaped."""
    text = str(text)
    return _UNSAFE.sub(_escape, text) if _UNSAFE.search(text) else text
