"""What a checkpoint sends: the alerts that started, moved or cleared since the last one.

Nothing else leaves the loop. A symbol that alerted is remembered with the
severity last sent, so a restart that loads this memory sends nothing again.
"""

from __future__ import annotations

import json

__all__ = ["ChangeTracker", "split_key", "make_key"]


def make_key(exchange: str | None, symbol: str) -> str:
    """The radar's symbol for an exchange's symbol: one radar holds every exchange apart."""
    return symbol if exchange is None else f"{exchange}:{symbol}"


def split_key(key: str, keyed: bool) -> tuple[str | None, str]:
    """(exchange, symbol) of a radar symbol; exchange ids hold no colon, ccxt symbols may."""
    if not keyed:
        return None, key
    exchange, _, symbol = key.partition(":")
    return exchange, symbol


class ChangeTracker:
    """Turns each checkpoint's alerts into changes.

    - onset: a symbol alerts that did not at the last change sent for it,
      unless its last onset is less than ``cooldown`` (clock units) ago:
      then it waits, and its onset comes at the first checkpoint after;
    - moved: its severity is at least ``min_move`` away from the one last sent;
    - cleared: it no longer alerts.
    """

    def __init__(self, min_move: float = 0.05, cooldown: int = 0, *, keyed: bool = False,
                 exchange: str | None = None):
        self.min_move = min_move
        self.cooldown = cooldown
        self.keyed = keyed  # radar symbols are "exchange:symbol"
        self.exchange = exchange  # for every change when not keyed
        self.shown: dict[str, float] = {}  # radar symbol -> severity last sent
        self.onsets: dict[str, int] = {}  # radar symbol -> clock of its last onset
        self.active = 0

    def update(self, text: str, clock: int) -> list[dict]:
        """The changes of an "alerts" answer text at checkpoint ``clock``."""
        answer = json.loads(text)
        if "alerts" not in answer:
            raise RuntimeError(answer.get("error", text))
        alerts = answer["alerts"]
        self.active = len(alerts)
        changes = []
        current = set()
        for alert in alerts:
            key, severity = alert["symbol"], alert["severity"]
            current.add(key)
            before = self.shown.get(key)
            if before is None:
                last = self.onsets.get(key)
                if last is not None and clock - last < self.cooldown:
                    continue
                self.onsets[key] = clock
                changes.append(self._change("onset", key, severity, None, alert["factors"], clock))
            elif abs(severity - before) >= self.min_move:
                changes.append(self._change("moved", key, severity, before, alert["factors"], clock))
            else:
                continue
            self.shown[key] = severity
        for key in [k for k in self.shown if k not in current]:
            changes.append(self._change("cleared", key, None, self.shown.pop(key), None, clock))
        if self.cooldown and len(self.onsets) > 4 * len(current) + 1024:
            # an onset older than the cooldown no longer holds anything back
            self.onsets = {k: c for k, c in self.onsets.items() if clock - c < self.cooldown}
        return changes

    def _change(self, change: str, key: str, severity, previous, factors, clock: int) -> dict:
        exchange, symbol = split_key(key, self.keyed)
        return {"change": change, "symbol": symbol, "severity": severity, "previous": previous,
                "factors": factors, "clock": clock, "exchange": exchange if self.keyed else self.exchange}

    def to_dict(self) -> dict:
        return {"shown": self.shown, "onsets": self.onsets}

    def load(self, saved: dict) -> None:
        self.shown = {str(k): float(v) for k, v in saved.get("shown", {}).items()}
        self.onsets = {str(k): int(v) for k, v in saved.get("onsets", {}).items()}
        self.active = len(self.shown)
