"""A slow evaluator written from the user documentation (docs/evaluate.md) alone,
to hold `zolvar_radar.evaluate` to it.

It shares nothing with the native one but the radar's "alerts" answer: it
reads the JSON Lines itself (or takes the events a `Replay` hands over),
feeds them one "feed" command at a time, takes the checkpoints by the
replay's rule, and finds every price by a linear walk over the events read
after the checkpoint. Statistics come from numpy and scipy.

The baseline draws are random and cannot be reproduced here: `evaluate`
takes the native draws, checks that each one was a symbol it could have
drawn and that every checkpoint drew as many as it should, and recomputes
their prices and returns like an onset's.
"""

from __future__ import annotations

import heapq
import json
import math
from dataclasses import dataclass, field

import numpy as np
from scipy import stats as sps

from zolvar_radar import Radar

MARK, MID = "mark", "mid"
STUDY_POINTS = 20


# --- reading ----------------------------------------------------------------


def read_jsonl(path: str) -> list[tuple[str, dict]]:
    """(symbol, event) of every line, both line forms."""
    pairs = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            if not line.strip():
                continue
            row = json.loads(line)
            if "event" in row:
                pairs.append((row["symbol"], row["event"]))
            else:
                pairs.append((row.pop("symbol"), row))
    return pairs


def merged(paths: list[str]) -> list[tuple[str, dict]]:
    """The files' events by timestamp, each file in its own order, ties in file order."""
    return list(heapq.merge(*(read_jsonl(p) for p in paths), key=lambda pair: pair[1]["ts"]))


@dataclass
class Checkpoint:
    position: int  # events taken before it
    clock: int | None
    alerts: list[dict]  # the "alerts" answer's list


@dataclass
class Run:
    events: list[tuple[str, dict]]  # what the radar took, in order
    checkpoints: list[Checkpoint]
    read: int  # events read


def replay_rule(pairs: list[tuple[str, dict]], spec_text: str, every: int = 1000, every_ts: int | None = None) -> Run:
    """Feeds pairs one by one, asking for the alerts at each checkpoint:
    every `every` events, or before the first event at or past each multiple
    of `every_ts`; and at the end, unless the last one was there already."""
    radar = Radar(spec_text)
    marks: list[Checkpoint] = []
    clock = None
    mark = None
    since = 0

    def checkpoint(position):
        answer = json.loads(radar.command('{"cmd":"alerts"}'))
        marks.append(Checkpoint(position, clock, answer["alerts"]))

    for n, (symbol, event) in enumerate(pairs):
        ts = event["ts"]
        if every_ts:
            if mark is None:
                mark = (ts // every_ts + 1) * every_ts
            elif ts >= mark:
                mark = (ts // every_ts + 1) * every_ts
                checkpoint(n)
        answer = json.loads(radar.command(json.dumps({"cmd": "feed", "symbol": symbol, "event": event})))
        assert answer.get("ok"), answer
        clock = ts if clock is None else max(clock, ts)
        since += 1
        if not every_ts and since >= every:
            since = 0
            checkpoint(n + 1)
    if since or every_ts or not marks:  # the input may have ended right at a checkpoint
        checkpoint(len(pairs))
    return Run(list(pairs), marks, len(pairs))


def replay_native(paths: list[str], spec_text: str, every: int = 1000, every_ts: int | None = None, bar=None) -> Run:
    """The checkpoints and taken events of `Replay(..., keep_events=True)`: for bars,
    whose holding back of snapshots is the replay's to define."""
    from zolvar_radar.files import Replay

    radar = Radar(spec_text)
    events: list[tuple[str, dict]] = []
    marks: list[Checkpoint] = []
    replay = Replay(radar, paths, every=every, every_ts=every_ts, keep_events=True, bar=bar)
    fed = 0
    for step in replay:
        events += step.take_events()
        if getattr(step, "at_end", False):
            break  # the end: taken below, once, as evaluate takes it
        fed = step.fed
        marks.append(Checkpoint(len(events), step.clock, json.loads(radar.command('{"cmd":"alerts"}'))["alerts"]))
    assert replay.stop == "end", replay.stop
    events += replay.take_events()
    if replay.fed > fed or not marks:
        marks.append(Checkpoint(len(events), replay.clock, json.loads(radar.command('{"cmd":"alerts"}'))["alerts"]))
    return Run(events, marks, replay.fed)


# --- records ----------------------------------------------------------------


def signal_labels(spec: dict) -> list[tuple[str, float]]:
    """(label, weight) of every signal, the label as an alert's factors name it."""
    out = []
    for signal in spec["signals"]:
        one = Radar(json.dumps({"signals": [signal], "threshold": -1}))
        alert = json.loads(one.command('{"cmd":"scan","events":{"x":[]}}'))["alerts"][0]
        label = next(k for k in alert["factors"] if k != "severity")
        weight = signal.get("weight", 1) if isinstance(signal, dict) else (signal[2] if len(signal) > 2 else 1)
        out.append((label, float(weight)))
    return out


def dominant(factors: dict, weights: dict[str, float], total: float) -> str:
    best = None
    for label in sorted((k for k in factors if k != "severity"), key=lambda s: s.encode()):
        part = factors[label] * weights[label] / total
        if best is None or part > best[0]:
            best = (part, label)
    return best[1]


@dataclass
class Record:
    symbol: str
    clock: int
    checkpoint: int  # index among the evaluated checkpoints
    price: float | None
    source: str | None
    severity: float | None = None
    factor: str | None = None
    ret: dict = field(default_factory=dict)  # horizon -> return, None when unresolved
    hi: dict = field(default_factory=dict)
    lo: dict = field(default_factory=dict)
    study: list = field(default_factory=list)  # return at each event-study offset, None when unresolved


def price_of(event: dict) -> tuple[str, float] | None:
    kind = event["kind"]
    if kind == "derivatives":
        return MARK, float(event["mark_price"])
    if kind == "orderbook":
        return MID, (float(event["best_bid"]) + float(event["best_ask"])) / 2
    return None


class Prices:
    """Every usable price, per symbol and source, with its place in the stream."""

    def __init__(self, events):
        self.series: dict[tuple[str, str], list[tuple[int, int, float]]] = {}
        self.ignored = 0
        for n, (symbol, event) in enumerate(events):
            got = price_of(event)
            if got is None:
                continue
            source, price = got
            if not price > 0:
                self.ignored += 1
                continue
            self.series.setdefault((symbol, source), []).append((n, event["ts"], price))

    def last(self, symbol: str, position: int) -> tuple[str, float] | None:
        """The reference price before `position`: the last mark, else the last mid."""
        for source in (MARK, MID):
            before = [p for n, _, p in self.series.get((symbol, source), []) if n < position]
            if before:
                return source, before[-1]
        return None

    def has_price(self, symbol: str, position: int) -> bool:
        return self.last(symbol, position) is not None

    def after(self, symbol: str, source: str, position: int) -> list[tuple[int, float]]:
        return [(ts, p) for n, ts, p in self.series.get((symbol, source), []) if n >= position]


def forward(record: Record, prices: Prices, position: int, horizons: list[int], study: list[int]) -> None:
    later = prices.after(record.symbol, record.source, position)
    p0, clock = record.price, record.clock
    for h in horizons:
        hit = next((p for ts, p in later if ts >= clock + h), None)
        if hit is None:
            record.ret[h] = record.hi[h] = record.lo[h] = None
            continue
        # from the first price past the clock up to and including the one that resolved the horizon
        upto = next(i for i, (ts, p) in enumerate(later) if ts >= clock + h)
        moves = [p / p0 - 1 for ts, p in later[:upto + 1] if clock < ts]
        record.ret[h], record.hi[h], record.lo[h] = hit / p0 - 1, max(moves), min(moves)
    for offset in study:
        hit = next((p for ts, p in later if ts >= clock + offset), None)
        record.study.append(None if hit is None else abs(hit / p0 - 1))


@dataclass
class Evaluation:
    run: Run
    horizons: list[int]
    onsets: list[Record]  # all, with or without a price
    baseline: list[Record]
    clocks: list[int]  # of the evaluated checkpoints
    eligible: list[set[str]]  # per evaluated checkpoint: symbols a baseline draw may be
    ignored: int
    offsets: list[int]


def onsets_of(run: Run, spec: dict, horizons: list[int], cooldown: int = 0) -> Evaluation:
    labels = signal_labels(spec)
    weights: dict[str, float] = {}
    for label, w in labels:
        weights[label] = weights.get(label, 0.0) + w
    total = sum(w for _, w in labels)
    prices = Prices(run.events)
    offsets = [max(horizons) * k // STUDY_POINTS for k in range(1, STUDY_POINTS + 1)]
    onsets, clocks, eligible = [], [], []
    previous: set[str] = set()
    last_onset: dict[str, int] = {}
    for mark in run.checkpoints:
        if mark.clock is None:
            continue
        i = len(clocks)
        clocks.append(mark.clock)
        listed = {a["symbol"] for a in mark.alerts}
        for alert in mark.alerts:
            symbol = alert["symbol"]
            if symbol in previous:
                continue
            if symbol in last_onset and i < last_onset[symbol] + cooldown + 1:
                continue
            last_onset[symbol] = i
            ref = prices.last(symbol, mark.position)
            record = Record(symbol, mark.clock, i, ref and ref[1], ref and ref[0], alert["severity"],
                            dominant(alert["factors"], weights, total))
            if ref is not None:
                forward(record, prices, mark.position, horizons, offsets)
            onsets.append(record)
        eligible.append({s for s, _ in run.events[:mark.position] if s not in listed and prices.has_price(s, mark.position)})
        previous = listed
    return Evaluation(run, horizons, onsets, [], clocks, eligible, prices.ignored, offsets)


def check_baseline(ev: Evaluation, drawn: list[tuple[str, int]], k: int) -> None:
    """Takes the native draws, (symbol, clock) in checkpoint order, after checking
    each checkpoint drew min(k, eligible) distinct eligible symbols."""
    prices = Prices(ev.run.events)
    positions = [m.position for m in ev.run.checkpoints if m.clock is not None]
    at = 0
    for i, (clock, pool) in enumerate(zip(ev.clocks, ev.eligible)):
        want = min(k, len(pool))
        mine = drawn[at:at + want]
        at += want
        assert len(mine) == want, f"checkpoint {i} at {clock}: {len(mine)} draws, {want} expected"
        assert all(c == clock for _, c in mine), f"checkpoint {i} at {clock}: draws {mine}"
        symbols = [s for s, _ in mine]
        assert len(set(symbols)) == want, f"checkpoint {i} at {clock}: a symbol drawn twice: {symbols}"
        assert set(symbols) <= pool, f"checkpoint {i} at {clock}: {set(symbols) - pool} could not be drawn"
        for symbol in symbols:
            source, price = prices.last(symbol, positions[i])
            record = Record(symbol, clock, i, price, source)
            forward(record, prices, positions[i], ev.horizons, ev.offsets)
            ev.baseline.append(record)
    assert at == len(drawn), f"{len(drawn) - at} draws beyond the checkpoints"


# --- statistics ---------------------------------------------------------------


def _mean(xs):
    return float(np.mean(xs)) if len(xs) else None


def _median(xs):
    return float(np.median(xs)) if len(xs) else None


def _ratio(a, b):
    return None if a is None or b is None or b == 0 else a / b


def _finite(x):
    return None if x is None or not math.isfinite(x) else float(x)


def group_stats(records: list[Record], h: int, base_abs: list[float]) -> dict:
    rets = [r.ret[h] for r in records if r.ret.get(h) is not None]
    absr = [abs(x) for x in rets]
    base_median = _median(base_abs)
    return {
        "resolved": len(rets),
        "mean_return": _mean(rets),
        "mean_abs_return": _mean(absr),
        "hit_rate": None if not absr or base_median is None else sum(a > base_median for a in absr) / len(absr),
        "lift": _ratio(_mean(absr), _mean(base_abs)) if absr else None,
    }


def horizon_stats(ev: Evaluation, h: int) -> dict:
    priced = [r for r in ev.onsets if r.price is not None]
    resolved = [r for r in priced if r.ret[h] is not None]
    rets = [r.ret[h] for r in resolved]
    absr = [abs(x) for x in rets]
    base = [r.ret[h] for r in ev.baseline if r.ret[h] is not None]
    base_abs = [abs(x) for x in base]
    out = {"onsets": len(priced), "unresolved": len(priced) - len(resolved), **group_stats(priced, h, base_abs),
           "median_return": _median(rets)}
    out["p_value"] = None
    if absr and base_abs and len(set(absr + base_abs)) > 1:  # all tied: the variance, a denominator, is 0
        out["p_value"] = _finite(sps.mannwhitneyu(absr, base_abs, alternative="greater", method="asymptotic",
                                                  use_continuity=True).pvalue)
    out["rank_ic"] = None
    if len(resolved) >= 2:
        out["rank_ic"] = _finite(sps.spearmanr([r.severity for r in resolved], absr).statistic)
    out["baseline"] = {
        "onsets": len(ev.baseline), "resolved": len(base), "unresolved": len(ev.baseline) - len(base),
        "mean_return": _mean(base), "median_return": _median(base), "mean_abs_return": _mean(base_abs),
        "hit_rate": None, "lift": None, "p_value": None, "rank_ic": None,
    }
    return out


def statistics(ev: Evaluation) -> dict:
    """What `evaluate --json` prints, but the bootstrap intervals and the options."""
    priced = [r for r in ev.onsets if r.price is not None]
    base_abs = {h: [abs(r.ret[h]) for r in ev.baseline if r.ret[h] is not None] for h in ev.horizons}

    def per_horizon(records):
        return [{"horizon": str(h), **group_stats(records, h, base_abs[h])} for h in ev.horizons]

    order = sorted(priced, key=lambda r: (r.severity, r.clock, r.symbol.encode()))
    n = len(order)
    quintiles = []
    for g in range(5):
        part = order[g * n // 5:(g + 1) * n // 5]
        quintiles.append({
            "quintile": g + 1,
            "severity_min": part[0].severity if part else None,
            "severity_max": part[-1].severity if part else None,
            "onsets": len(part),
            "horizons": per_horizon(part),
        })
    factors = []
    for label in sorted({r.factor for r in priced}, key=str.encode):
        part = [r for r in priced if r.factor == label]
        factors.append({"factor": label, "onsets": len(part), "horizons": per_horizon(part)})

    def study(records, k):
        xs = [r.study[k] for r in records if r.price is not None and r.study[k] is not None]
        mean = _mean(xs)
        low = high = None
        if len(xs) >= 2:
            se = float(np.std(xs, ddof=1)) / math.sqrt(len(xs))
            low, high = mean - 1.96 * se, mean + 1.96 * se
        return {"n": len(xs), "mean": mean, "low": low, "high": high}

    return {
        "horizons": [{"horizon": str(h), "offset": h, **horizon_stats(ev, h)} for h in ev.horizons],
        "by_quintile": quintiles,
        "by_factor": factors,
        "event_study": [{"offset": off, "onsets": study(ev.onsets, k), "baseline": study(ev.baseline, k)}
                        for k, off in enumerate(ev.offsets)],
        "no_price": sum(r.price is None for r in ev.onsets),
        "checkpoints": len(ev.clocks),
        "events": ev.run.read,
        "onsets": len(ev.onsets),
        "baseline_draws": len(ev.baseline),
        "ignored_prices": ev.ignored,
    }


def record_row(r: Record, horizons: list[int], onset: bool = True) -> dict:
    """A row of the onsets file (or of the baseline draws) as values: None for an empty field."""
    row = {"symbol": r.symbol, "clock": r.clock}
    if onset:
        row.update(severity=r.severity, factor=r.factor)
    row["price"] = r.price
    for h in horizons:
        got = r.ret.get(h)
        row[f"return_{h}"], row[f"max_{h}"], row[f"min_{h}"] = got, r.hi.get(h), r.lo.get(h)
        row[f"resolved_{h}"] = got is not None
    return row


def onset_rows(ev: Evaluation) -> list[dict]:
    return [record_row(r, ev.horizons) for r in ev.onsets]


# --- comparing ------------------------------------------------------------------


def close(a, b, tol=1e-12) -> bool:
    if a is None or b is None or isinstance(a, (str, bool)) or isinstance(b, (str, bool)):
        return a == b
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    return math.isclose(a, b, rel_tol=tol, abs_tol=tol)


def differences(native, reference, path="", tol=1e-12) -> list[str]:
    """Where native differs from reference; members reference lacks are not looked at."""
    if isinstance(reference, dict):
        if not isinstance(native, dict):
            return [f"{path}: {native!r} is not an object"]
        out = []
        for key, want in reference.items():
            if key not in native:
                out.append(f"{path}.{key}: missing")
            else:
                out += differences(native[key], want, f"{path}.{key}", tol)
        return out
    if isinstance(reference, list):
        if not isinstance(native, list) or len(native) != len(reference):
            return [f"{path}: {native!r} != {reference!r}"]
        out = []
        for i, (a, b) in enumerate(zip(native, reference)):
            out += differences(a, b, f"{path}[{i}]", tol)
        return out
    if path.startswith(".event_study") and not path.endswith((".n", ".offset")):
        tol = max(tol, 1e-9)  # the event study sums its points as they come (a running mean), not two-pass
    return [] if close(native, reference, tol) else [f"{path}: native {native!r}, reference {reference!r}"]
