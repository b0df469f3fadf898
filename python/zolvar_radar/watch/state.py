"""The state a watch saves and starts from: the radar's states, the bars still
open, the last checkpoint's clock and what was already sent.

One file, written whole or not at all (`write_atomic`): a line naming the
format, a JSON header, then the radar's own state bytes (`save_state`).
"""

from __future__ import annotations

import json
import os

from ..atomic import write_atomic

__all__ = ["WatchState", "StateError", "read_state", "check_state_path"]

MAGIC = b"zolvar-watch-state 1\n"


class StateError(ValueError):
    """A state file that cannot be used, in one line."""


class WatchState:
    __slots__ = ("radar", "clock", "tracker", "bars", "spec", "keyed")

    def __init__(self, radar: bytes, clock: int | None, tracker: dict, bars: list, spec: str | None = None,
                 keyed: bool = False):
        self.radar = radar  # save_state bytes
        self.clock = clock  # the last checkpoint's clock
        self.tracker = tracker  # ChangeTracker.to_dict()
        self.bars = bars  # [(radar symbol, event)] held, for live sources
        self.spec = spec
        self.keyed = keyed

    def to_bytes(self) -> bytes:
        header = json.dumps({"clock": self.clock, "tracker": self.tracker, "bars": self.bars, "keyed": self.keyed},
                            separators=(",", ":"), ensure_ascii=False).encode()
        return MAGIC + str(len(header)).encode() + b"\n" + header + self.radar

    @classmethod
    def from_bytes(cls, data: bytes) -> WatchState:
        if not data.startswith(MAGIC):
            raise StateError("not a watch state (save one with zolvar-radar watch --state)")
        rest = data[len(MAGIC):]
        size, _, rest = rest.partition(b"\n")
        try:
            n = int(size)
            header = json.loads(rest[:n])
            return cls(rest[n:], header["clock"], header["tracker"], [tuple(p) for p in header["bars"]],
                       keyed=bool(header.get("keyed")))
        except (ValueError, KeyError, TypeError) as exc:
            raise StateError(f"damaged watch state ({exc})") from None


def read_state(path: str) -> WatchState | None:
    """The state saved at ``path``, None when there is none yet; StateError when it is no state."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return None
    except OSError as exc:
        raise StateError(f"{path}: {exc.strerror or exc}") from None
    from .._engine import engine

    try:
        state = WatchState.from_bytes(data)
    except StateError as exc:
        raise StateError(f"{path}: {exc}") from None
    try:
        state.spec = engine.state_spec(state.radar)
    except ValueError as exc:
        raise StateError(f"{path}: {exc}") from None
    return state


def check_state_path(path: str) -> None:
    """Refuses, before anything connects, a state file that could never be saved."""
    folder = os.path.dirname(os.path.abspath(path)) or "."
    if os.path.isdir(path):
        raise StateError(f"{path}: Is a directory")
    if not os.path.isdir(folder):
        raise StateError(f"{path}: No such directory")
    import tempfile

    try:  # the save writes a temporary beside it and renames it over
        with tempfile.NamedTemporaryFile(dir=folder, prefix=".zolvar-watch-check-"):
            pass
    except OSError as exc:
        raise StateError(f"{path}: {exc.strerror or exc} (its directory cannot be written)") from None


def write_state(path: str, state: WatchState) -> None:
    write_atomic(path, state.to_bytes())
