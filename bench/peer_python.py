"""The same scoring written the way a Python user would write it: the json
module, dicts, and collections.deque(maxlen=window) for the rolling series.

It takes the same command texts as the radar ("feed", "feed_batch", "scan",
"alerts") and answers the same alert lists, so the bench can check that both
rank the same symbols before timing them against each other. It does no
validation and produces no error texts: the bench only feeds it good input.
"""

from __future__ import annotations

import json
import math
from collections import deque
from decimal import Decimal
from itertools import islice

LOOKBACK_KINDS = ("oi_delta", "liq_cluster", "oi_price_divergence")
U64_MAX = 2**64 - 1


def count(p: float) -> int:
    """A parameter used as a number of observations."""
    if p > 0 and math.isfinite(p):
        return min(int(p), U64_MAX)
    return 0


def grid(x: float) -> float:
    """round(x / 1e-8) * 1e-8, halves away from zero, sign of zero kept."""
    q = x / 1e-8
    if not math.isfinite(q):
        return q * 1e-8
    t = float(math.trunc(q))
    if abs(q - t) >= 0.5:
        t += math.copysign(1.0, q)
    return math.copysign(t, q) * 1e-8


def plain_number(x: float) -> str:
    """Shortest round-trip digits, positional, no exponent, no trailing '.0'."""
    s = format(Decimal(repr(x)), "f")
    if "." in s:
        s = s.rstrip("0").rstrip(".")
    return s


def label(kind: str, params: list[float]) -> str:
    return f"{kind}({','.join(plain_number(grid(p)) for p in params)})"


def window_length(signals) -> int:
    m = 0
    for kind, params, _w in signals:
        if kind in LOOKBACK_KINDS:
            m = max(m, count(params[0] if params else 0.0))
    w = (m + 1) % 2**64
    return max(w, 2)


def finish(b: float) -> float:
    if not math.isfinite(b):
        return 0.0
    if b < 0:
        return 0.0
    if b > 1:
        return 1.0
    return b


def ieee_div(a: float, b: float) -> float:
    # Python raises on division by zero; IEEE gives inf or nan, and every
    # non-finite raw value ends as strength 0 anyway.
    if b == 0:
        return math.nan
    return a / b


class SymbolState:
    __slots__ = ("book", "oi", "fr", "px", "liq", "last_ts")

    def __init__(self, window: int):
        self.book = None
        self.oi = deque(maxlen=window)
        self.fr = deque(maxlen=window)
        self.px = deque(maxlen=window)
        self.liq = deque(maxlen=window)
        self.last_ts = -(2**63)

    def apply(self, ev) -> None:
        if isinstance(ev, dict):
            kind = ev["kind"]
            ts = ev["ts"]
            if kind == "derivatives":
                self.oi.append(float(ev["open_interest"]))
                self.fr.append(float(ev["funding_rate"]))
                self.px.append(float(ev["mark_price"]))
            elif kind == "orderbook":
                self.book = (float(ev["bid_volume"]), float(ev["ask_volume"]))
            elif kind == "liquidation":
                self.liq.append(float(ev["qty"]))
            else:
                raise ValueError(f"unknown event kind {kind!r}")
        else:
            kind, ts = ev[0], ev[1]
            if kind == "derivatives":
                self.oi.append(float(ev[2]))
                self.fr.append(float(ev[3]))
                self.px.append(float(ev[4]))
            elif kind == "orderbook":
                self.book = (float(ev[2]), float(ev[3]))
            elif kind == "liquidation":
                self.liq.append(float(ev[3]))
            else:
                raise ValueError(f"unknown event kind {kind!r}")
        if ts > self.last_ts:
            self.last_ts = ts


def strength(kind: str, params: list[float], st: SymbolState) -> float:
    if kind == "oi_delta":
        n = count(params[0])
        oi = st.oi
        if len(oi) <= n:
            return 0.0
        last = oi[-1]
        past = oi[-1 - n]
        return finish(ieee_div(abs((last - past) / max(past, 1e-12)), params[1]))
    if kind == "funding_flip":
        fr = st.fr
        if len(fr) < 2:
            return 0.0
        f, g = fr[-1], fr[-2]
        b = ieee_div(abs(f), params[0])
        if f * g < 0:
            b = b + b
        return finish(b)
    if kind == "book_imbalance":
        if st.book is None:
            return 0.0
        bid, ask = st.book
        imbalance = abs((bid - ask) / max(bid + ask, 1e-12))
        return finish(ieee_div(imbalance, params[0]))
    if kind == "liq_cluster":
        liq = st.liq
        if not liq:
            return 0.0
        m = min(count(params[0]), len(liq))
        total = -0.0
        for v in islice(liq, len(liq) - m, None):
            total += v
        return finish(ieee_div(total, params[1]))
    if kind == "oi_price_divergence":
        n = count(params[0])
        oi, px = st.oi, st.px
        if len(oi) <= n:
            return 0.0
        k = len(oi) - 1
        j = k - n
        d_oi = (oi[k] - oi[j]) / max(oi[j], 1e-12)
        d_px = (px[k] - px[j]) / max(px[j], 1e-12)
        u = d_px * (-d_oi)
        return finish(ieee_div(u if u > 0 else 0.0, params[1] * params[1]))
    raise ValueError(f"unknown signal kind {kind!r}")


class PeerRadar:
    def __init__(self, spec_json: str):
        spec = json.loads(spec_json)
        self.signals = [
            (s["kind"], [float(p) for p in s.get("params", [])], float(s.get("weight", 1.0)))
            for s in spec["signals"]
        ]
        self.labels = [label(kind, params) for kind, params, _w in self.signals]
        self.threshold = float(spec.get("threshold", 0.0))
        self.limit = spec.get("limit")
        self.window = window_length(self.signals)
        self.states: dict[str, SymbolState] = {}

    def _state(self, states: dict, symbol: str) -> SymbolState:
        st = states.get(symbol)
        if st is None:
            st = states[symbol] = SymbolState(self.window)
        return st

    def score(self, st: SymbolState):
        acc = 0.0
        wsum = 0.0
        factors = {}
        for (kind, params, weight), lab in zip(self.signals, self.labels):
            s = strength(kind, params, st)
            acc = acc + s * weight
            wsum = wsum + weight
            factors[lab] = grid(s)
        severity = grid(acc / wsum) if wsum > 0 else 0.0
        factors["severity"] = severity
        return severity, factors

    def alert_list(self, states: dict) -> str:
        alerts = []
        for symbol in sorted(states, key=lambda s: s.encode("utf-8")):
            st = states[symbol]
            severity, factors = self.score(st)
            if severity >= self.threshold:
                ordered = dict(sorted(factors.items(), key=lambda kv: kv[0].encode("utf-8")))
                alerts.append({"symbol": symbol, "severity": severity, "factors": ordered, "ts": st.last_ts})
        # Severities are never negative (weights and strengths are not), so
        # plain float order matches the total order here.
        alerts.sort(key=lambda a: (-a["severity"], a["symbol"].encode("utf-8")))
        if self.limit is not None:
            alerts = alerts[: self.limit]
        return json.dumps({"alerts": alerts, "scanned": len(states)}, ensure_ascii=False, separators=(",", ":"))

    def command(self, text: str) -> str:
        cmd = json.loads(text)
        name = cmd["cmd"]
        if name == "feed":
            self._state(self.states, cmd["symbol"]).apply(cmd["event"])
            return '{"ok":true}'
        if name == "feed_batch":
            events = cmd["events"]
            if events:
                st = self._state(self.states, cmd["symbol"])
                for ev in events:
                    st.apply(ev)
            return '{"ok":true}'
        if name == "scan":
            fresh = {}
            for symbol, events in cmd["events"].items():
                st = fresh[symbol] = SymbolState(self.window)
                for ev in events:
                    st.apply(ev)
            return self.alert_list(fresh)
        if name == "alerts":
            return self.alert_list(self.states)
        if name == "reset":
            self.states.clear()
            return '{"ok":true}'
        raise ValueError(f"unsupported command {name!r}")
