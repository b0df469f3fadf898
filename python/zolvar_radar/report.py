"""The picture of a replay: severity over time, what drove each symbol at its peak, the alerts at the end.

`Timeline` follows a replay. Whoever runs the replay calls two methods:

- `observe(symbol, event)` for every event the replay's radar accepted, in
  the order it was fed (`event` a dict or its JSON text, object or array
  form); `observe_batch(symbol, events)` does the same for several events of
  one symbol.
- `checkpoint(ts, alerts)` whenever the replay looks at its alerts: `ts` the
  replay's clock (the largest event timestamp so far, or None) and `alerts`
  the replay radar's "alerts" answer (its text, the parsed object or just its
  list of alerts).

From these it keeps, per symbol, its severity at every checkpoint (one number
per symbol and checkpoint), the last `window` market values the radar itself
keeps for the symbol (open interest, funding rate and mark price of the last
snapshots, the last liquidations, the latest book; `window` as the radar
derives it from the signals), and a snapshot of its drivers at its highest
severity so far: each signal's strength and the market values behind it. The
severities of symbols below the threshold come from a second radar with the
same signals and a threshold below any severity, since the replay's own
radar lists only the symbols that alert. The events for that radar wait in a
buffer of at most `FLUSH_EVENTS` texts.

`draw` paints with matplotlib (its Agg canvas, without pyplot, so no backend
is chosen for the caller); `write_html` writes one page that opens offline:
the same picture embedded as base64 and the tables as HTML. Every text that
comes from the data (symbols, file names) is drawn as plain text: a `$` in a
symbol is never read as mathematics.
"""

from __future__ import annotations

import base64
import html
import io
import json
from collections import deque
from dataclasses import dataclass, field
from itertools import islice
from datetime import datetime, timedelta, timezone
from typing import Any, Iterable, Sequence

from ._zolvar_radar import Radar
from .atomic import write_atomic
from .lint import FLOOR, Signal, count, read_signals, window

WIDTH, HEIGHT, DPI = 12.0, 14.0, 100  # the PNG is 1200 x 1400 pixels
LINES_SHOWN = 8  # symbols drawn as lines; the heatmap shows more
HEATMAP_ROWS = 30
TABLE_ROWS = 10  # final alerts drawn in the picture; the HTML page lists them all
PEAK_ROWS = 8  # symbols whose drivers are drawn in the picture; the HTML page lists them all
DRIVERS_DRAWN = 2  # drivers per symbol in the picture
TITLE_SIZE, TITLE_LINES = 13, 2
NEAR_MISSES = 8  # symbols shown, closest first, when none alerted
FLUSH_EVENTS = 50_000  # events waiting for the second radar
NO_EVENT_TS = -(2**63)


def feed_batch_command(symbol: str, events: Iterable[str]) -> str:
    return f'{{"cmd":"feed_batch","symbol":{json.dumps(symbol)},"events":[{",".join(events)}]}}'


def matplotlib_missing() -> str | None:
    """Why a report cannot be drawn, or None when it can."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return "matplotlib is not installed: pip install 'zolvar_radar[report]'"
    return None


def _is_epoch_ms(ts: int | None) -> bool:
    return ts is not None and 10**11 <= ts < 10**14


def _utc(ts: int) -> datetime:
    return datetime.fromtimestamp(ts / 1000, tz=timezone.utc)


def _when(ts: int | None) -> str:
    if ts is None or ts == NO_EVENT_TS:
        return "-"
    return _utc(ts).strftime("%Y-%m-%d %H:%M:%S") if _is_epoch_ms(ts) else str(ts)


def _plain(text: str) -> str:
    """Text matplotlib shows as written: an escaped dollar never opens mathematics."""
    return text.replace("$", r"\$")


def _qty(x: float) -> str:
    for size, suffix in ((1e9, "B"), (1e6, "M"), (1e3, "k")):
        if abs(x) >= size:
            return f"{x / size:.3g}{suffix}"
    return f"{x:.4g}"


def _lookback(n: float, bar: str | None) -> str:
    """A look-back in words: with bars, each step is one bar of time."""
    if bar:
        return f"{n:.0f} x {bar} bar{'s' if n != 1 else ''}"
    return f"{n:.0f} snapshot{'s' if n != 1 else ''}"


def _pct(x: float, digits: int = 2) -> str:
    return f"{x * 100:+.{digits}f}%"


# --- market values behind the signals ---------------------------------------------

_FIELDS = {
    "derivatives": ("ts", "open_interest", "funding_rate", "mark_price"),
    "orderbook": ("ts", "bid_volume", "ask_volume", "best_bid", "best_ask"),
    "liquidation": ("ts", "side", "qty", "price"),
}


class Market:
    """The market values of one symbol the radar's signals read: the last `width` of each series.

    The same series as the radar keeps for the symbol, so what `measure` finds
    is what the signal saw.
    """

    __slots__ = ("derivatives", "liquidations", "book", "bar")

    def __init__(self, width: int, bar: str | None = None):
        self.bar = bar  # the bar width as given (`1m`), when the replay thinned snapshots to bars
        self.derivatives: deque[tuple[float, float, float]] = deque(maxlen=width)  # open interest, funding, price
        self.liquidations: deque[tuple[float, bool]] = deque(maxlen=width)  # quantity, sell side
        self.book: tuple[float, float] | None = None  # bid and ask volume

    def apply(self, event: Any) -> None:
        """One event as the radar decodes it, object or array form; what is not an event is left out."""
        if isinstance(event, list) and event and event[0] in _FIELDS:
            kind = event[0]
            event = dict(zip(_FIELDS[kind], event[1:]))
        elif isinstance(event, dict):
            kind = event.get("kind")
        else:
            return
        try:
            if kind == "derivatives":
                self.derivatives.append(
                    (float(event["open_interest"]), float(event["funding_rate"]), float(event["mark_price"])))
            elif kind == "orderbook":
                self.book = (float(event["bid_volume"]), float(event["ask_volume"]))
            elif kind == "liquidation":
                side = event["side"]
                self.liquidations.append((float(event["qty"]), "sell" in side))
        except (KeyError, TypeError, ValueError):
            pass  # the radar refuses it too

    def _change(self, n: int) -> tuple[float, float] | None:
        """Relative changes of open interest and price over n snapshots, as the radar computes them."""
        if n == 0 or len(self.derivatives) <= n:
            return None
        (oi_then, _, px_then), (oi_now, _, px_now) = self.derivatives[-1 - n], self.derivatives[-1]
        return (oi_now - oi_then) / max(oi_then, FLOOR), (px_now - px_then) / max(px_then, FLOOR)

    def measure(self, signal: Signal) -> dict[str, float] | None:
        """The market values behind one signal, or None when the signal has too little data."""
        kind, params = signal.kind, signal.params
        if kind in ("oi_delta", "oi_price_divergence"):
            n = count(params[0])
            changes = self._change(n)
            if changes is None:
                return None
            return {"oi_change": changes[0], "price_change": changes[1], "snapshots": n}
        if kind == "funding_flip":
            if len(self.derivatives) < 2:
                return None
            return {"funding_rate": self.derivatives[-1][1], "previous": self.derivatives[-2][1]}
        if kind == "book_imbalance":
            if self.book is None:
                return None
            bid, ask = self.book
            return {"imbalance": (bid - ask) / max(bid + ask, FLOOR), "bid": bid, "ask": ask}
        if kind == "liq_cluster":
            if not self.liquidations:
                return None
            kept = len(self.liquidations)
            last = islice(self.liquidations, kept - min(count(params[0]), kept), kept)
            total, sells = -0.0, 0.0
            summed = 0
            for qty, sell in last:  # oldest first, from negative zero, as the radar adds them
                total += qty
                sells += qty if sell else 0.0
                summed += 1
            return {"liquidated": total, "count": summed,
                    "sell_share": sells / total if total > 0 else float("nan")}
        return None

    def describe(self, signal: Signal) -> str:
        """The market values behind one signal, in words."""
        values = self.measure(signal)
        kind = signal.kind
        if values is None:
            n = count(signal.params[0]) if signal.params else 0
            steps = f"x {self.bar} bars" if self.bar else "snapshots"
            needs = (f"{len(self.derivatives)} of the {n + 1} {steps} it needs" if n
                     else "a lookback of 0 sees no change")
            return {
                "oi_delta": needs,
                "oi_price_divergence": needs,
                "funding_flip": "fewer than 2 funding rates",
                "book_imbalance": "no book yet",
                "liq_cluster": "no liquidations",
            }.get(kind, "-")
        if kind == "oi_delta":
            return f"OI {_pct(values['oi_change'])} in {_lookback(values['snapshots'], self.bar)}"
        if kind == "oi_price_divergence":
            return (f"price {_pct(values['price_change'])}, OI {_pct(values['oi_change'])} "
                    f"in {_lookback(values['snapshots'], self.bar)}")
        if kind == "funding_flip":
            f, g = values["funding_rate"], values["previous"]
            flipped = ", flipped" if f * g < 0 else ""
            return f"funding {_pct(f, 4)} after {_pct(g, 4)}{flipped}"
        if kind == "book_imbalance":
            imbalance = values["imbalance"]
            lean = "bid-heavy" if imbalance > 0 else "ask-heavy" if imbalance < 0 else "even"
            return f"book {imbalance:+.2f} {lean}: bids {_qty(values['bid'])}, asks {_qty(values['ask'])}"
        if kind == "liq_cluster":
            share = values["sell_share"]
            # a sell liquidation closes a long position, a buy one a short
            sells = f", {share:.0%} longs (sells)" if share == share else ""
            return f"{_qty(values['liquidated'])} liquidated in the last {values['count']:.0f}{sells}"
        return "-"


@dataclass(frozen=True)
class Driver:
    """One signal of a symbol at its peak."""

    label: str  # the signal's factor key
    strength: float  # its factor, as the radar listed it
    adds: float  # what it adds to the severity: strength x weight / sum of weights
    market: str  # the market values behind it, in words
    values: dict[str, float] | None = None  # and as numbers (`Market.measure`), None without data


@dataclass(frozen=True)
class Peak:
    """A symbol at its highest severity: the first checkpoint it reached it, and its drivers, strongest first."""

    symbol: str
    severity: float
    checkpoint: int
    clock: int | None
    drivers: tuple[Driver, ...]


@dataclass
class Timeline:
    """Severities of every symbol at each checkpoint of a replay, what drove them at their peaks,
    and what the replay alerted on."""

    signals: list  # the specification's signals, as its JSON gives them
    threshold: float
    title: str = "zolvar-radar replay"
    bar: str | None = None  # the replay's bar width as given (`1m`): look-backs then count bars of time
    clocks: list[int | None] = field(default_factory=list)
    severities: list[dict[str, float]] = field(default_factory=list)
    alerted: dict[str, int] = field(default_factory=dict)  # symbol -> checkpoint of its first alert
    final: list[dict] = field(default_factory=list)  # the alerts at the last checkpoint
    peaks: dict[str, Peak] = field(default_factory=dict)  # symbol -> its highest severity so far
    events: int = 0

    def __post_init__(self) -> None:
        # threshold -1: every severity lies in [0, 1], so every symbol is listed
        self._radar = Radar(json.dumps({"signals": self.signals, "threshold": -1}))
        self._read = read_signals({"signals": self.signals})
        self._labels = [_label(signal) for signal in self.signals]
        self._width = window(self._read)
        self._markets: dict[str, Market] = {}
        self._pending: dict[str, list[str]] = {}
        self._waiting = 0

    # --- what the replay loop calls -------------------------------------------------

    def observe(self, symbol: str, event: dict | list | str) -> None:
        """One event the replay's radar accepted for the symbol, in feeding order."""
        if isinstance(event, str):
            text, value = event, json.loads(event)
        else:
            text, value = json.dumps(event), event
        market = self._markets.get(symbol)
        if market is None:
            market = self._markets[symbol] = Market(self._width, self.bar)
        market.apply(value)
        self._pending.setdefault(symbol, []).append(text)
        self._waiting += 1
        self.events += 1
        if self._waiting >= FLUSH_EVENTS:
            self._flush()

    def observe_batch(self, symbol: str, events: Iterable[dict | list | str]) -> None:
        """Several events of one symbol, in feeding order."""
        for event in events:
            self.observe(symbol, event)

    feed = observe_batch  # the name the first replay loop used

    def checkpoint(self, ts: int | None, alerts: str | dict | list[dict]) -> None:
        """The replay looked at its alerts: its clock and the alerts answer of its radar."""
        if isinstance(alerts, str):
            alerts = json.loads(alerts)
        if isinstance(alerts, dict):
            alerts = alerts["alerts"]
        self._flush()
        listed = json.loads(self._radar.command('{"cmd":"alerts"}'))["alerts"]
        at = len(self.clocks)
        self.clocks.append(ts)
        self.severities.append({a["symbol"]: a["severity"] for a in listed})
        for alert in listed:
            peak = self.peaks.get(alert["symbol"])
            if peak is None or alert["severity"] > peak.severity:
                self.peaks[alert["symbol"]] = self._peak(alert, at, ts)
        for alert in alerts:
            self.alerted.setdefault(alert["symbol"], at)
        self.final = list(alerts)

    def _flush(self) -> None:
        for symbol, texts in self._pending.items():
            answer = self._radar.command(feed_batch_command(symbol, texts))
            if answer != '{"ok":true}':  # the replay's radar took the very same events
                raise RuntimeError(f"report radar refused what the replay fed: {answer}")
        self._pending.clear()
        self._waiting = 0

    def _peak(self, alert: dict, at: int, clock: int | None) -> Peak:
        factors = alert["factors"]
        total = sum(s.weight for s in self._read)
        market = self._markets.get(alert["symbol"]) or Market(self._width, self.bar)
        drivers = [
            Driver(label, factors[label], factors[label] * s.weight / total if total > 0 else 0.0,
                   market.describe(s), market.measure(s))
            for label, s in zip(self._labels, self._read)
        ]
        drivers.sort(key=lambda d: (-d.strength, -d.adds, d.label))
        return Peak(alert["symbol"], alert["severity"], at, clock, tuple(drivers))

    # --- what is drawn ---------------------------------------------------------

    def ranked_symbols(self) -> list[tuple[str, float, int]]:
        """(symbol, peak severity, checkpoint of the peak) of the symbols that alerted, highest peak first."""
        return [(p.symbol, p.severity, p.checkpoint) for p in self.ranked_peaks()]

    def ranked_peaks(self) -> list[Peak]:
        """The peaks of the symbols that alerted, highest first."""
        peaks = [self.peaks[symbol] for symbol in self.alerted]
        peaks.sort(key=lambda p: (-p.severity, p.symbol))
        return peaks

    def near_misses(self, count: int = NEAR_MISSES) -> list[Peak]:
        """The symbols closest to alerting, highest peak first, when none alerted; otherwise none."""
        if self.alerted:
            return []
        peaks = [p for p in self.peaks.values() if p.severity > 0]
        peaks.sort(key=lambda p: (-p.severity, p.symbol))
        return peaks[:count]

    def _x(self) -> tuple[list[Any], bool]:
        """The checkpoints' x positions, and whether they are dates."""
        if self.clocks and all(_is_epoch_ms(c) for c in self.clocks):
            return [_utc(c).replace(tzinfo=None) for c in self.clocks], True  # type: ignore[arg-type]
        if self.clocks and all(c is not None for c in self.clocks):
            return list(self.clocks), False
        return list(range(1, len(self.clocks) + 1)), False


def _label(signal: Any) -> str:
    """A signal's factor key, as the radar writes it: from a scan of one empty symbol that every severity passes."""
    radar = Radar(json.dumps({"signals": [signal], "threshold": -1}))
    factors = json.loads(radar.command('{"cmd":"scan","events":{"":[]}}'))["alerts"][0]["factors"]
    return next(label for label in factors if label != "severity")


def _strongest(factors: dict[str, float], count: int = 3) -> str:
    pairs = sorted(((v, k) for k, v in factors.items() if k != "severity" and v > 0), key=lambda p: (-p[0], p[1]))
    return ", ".join(f"{k} {v:.2f}" for v, k in pairs[:count]) or "-"


def _driver_cells(peak: Peak, count: int = DRIVERS_DRAWN) -> list[str]:
    shown = [f"{d.label} {d.strength:.2f}: {d.market}" for d in peak.drivers if d.strength > 0][:count]
    return shown + ["-"] * (count - len(shown))


def _table(ax, cells: list[list[str]], labels: list[str], widths: list[float], fontsize: float = 8) -> None:
    drawn = ax.table(cellText=[[_plain(c) for c in row] for row in cells], colLabels=labels, colWidths=widths,
                     loc="upper left", cellLoc="left")
    drawn.auto_set_font_size(False)
    drawn.set_fontsize(fontsize)
    drawn.scale(1, 1.15)
    for (r, c), cell in drawn.get_celld().items():
        cell.PAD = min(0.1, 0.006 / widths[c])  # a fraction of the cell's width: the same few pixels in every column
        cell.set_edgecolor("#dddddd")
        if r == 0:
            cell.set_text_props(weight="bold")


def _fit(text: str, figure, size: float, lines: int = TITLE_LINES) -> str:
    """The text wrapped at spaces to the figure's width, in at most `lines` lines, the last shortened
    with "..." when it still does not fit: many file names make a long title."""
    from matplotlib.font_manager import FontProperties

    renderer = figure.canvas.get_renderer()
    font = FontProperties(size=size)
    room = figure.get_figwidth() * figure.dpi * 0.97

    def fits(line: str) -> bool:
        return renderer.get_text_width_height_descent(line, font, ismath=False)[0] <= room

    wrapped: list[str] = []
    for word in text.split(" "):
        if wrapped and fits(f"{wrapped[-1]} {word}"):
            wrapped[-1] += f" {word}"
        else:
            wrapped.append(word)
    shown = wrapped[:lines]
    if len(wrapped) > lines:
        shown[-1] = " ".join(wrapped[lines - 1:])
    for i, line in enumerate(shown):
        if not fits(line):  # a word wider than the figure, or the words that got no line
            low, high = 0, len(line)  # the longest start that fits with "...": fits(low), not fits(high)
            while high - low > 1:
                middle = (low + high) // 2
                low, high = (middle, high) if fits(line[:middle] + "...") else (low, middle)
            shown[i] = line[:low].rstrip(" ,") + "..."
    return "\n".join(shown)


def draw(timeline: Timeline):
    """The figure: severity lines of the top symbols, a heatmap of all that alerted (or of the near misses
    when none did), their drivers at their peaks, and the final alerts."""
    from matplotlib import colors
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(WIDTH, HEIGHT), dpi=DPI, layout="constrained")
    FigureCanvasAgg(figure)
    grid = figure.add_gridspec(4, 2, height_ratios=[3, 3.4, 2.4, 2.2], width_ratios=[60, 1])
    lines = figure.add_subplot(grid[0, 0])
    heat = figure.add_subplot(grid[1, 0], sharex=lines)
    bar = figure.add_subplot(grid[1, 1])
    peaks_table = figure.add_subplot(grid[2, :])
    table = figure.add_subplot(grid[3, :])
    peaks_table.axis("off")
    table.axis("off")
    figure.suptitle(_plain(_fit(timeline.title, figure, TITLE_SIZE)), x=0.01, ha="left", fontsize=TITLE_SIZE)

    x, dated = timeline._x()
    alerted = timeline.ranked_peaks()
    ranked = alerted or timeline.near_misses(HEATMAP_ROWS)
    threshold = timeline.threshold
    if not ranked:
        for ax in (lines, heat):
            ax.text(0.5, 0.5, "no symbol reached the threshold", ha="center", va="center", transform=ax.transAxes)
    shown = ranked[:LINES_SHOWN]
    for peak in shown:
        lines.plot(x, [row.get(peak.symbol, float("nan")) for row in timeline.severities], lw=1.4,
                   label=_plain(peak.symbol))
    lines.axhline(threshold, color="crimson", ls="--", lw=1, label=f"threshold {threshold:g}")
    lines.set_ylim(0, 1.02)
    lines.set_ylabel("severity")
    lines.grid(alpha=0.3)
    lines.legend(loc="upper left", fontsize=8, ncol=min(5, len(shown) + 1), frameon=False)
    rest = len(ranked) - len(shown)
    what = "highest peaks" if alerted else "closest misses: no symbol reached the threshold"
    lines.set_title(f"severity at each checkpoint, the {len(shown)} {what}"
                    + (f" ({rest} more in the heatmap)" if rest > 0 else ""), fontsize=10, loc="left")
    lines.tick_params(labelbottom=False)

    rows = ranked[:HEATMAP_ROWS]
    # cool below the threshold, warm from it on: the colour says whether a cell alerted
    if 0 < threshold < 1:
        cmap = colors.LinearSegmentedColormap.from_list(
            "severity", [(0, "#ffffff"), (0.499, "#9ecae1"), (0.5, "#fee08b"), (0.75, "#f46d43"), (1, "#a50026")])
        norm: colors.Normalize = colors.TwoSlopeNorm(vmin=0, vcenter=threshold, vmax=1)
    else:
        cmap = colors.LinearSegmentedColormap.from_list("severity", ["#fee08b", "#f46d43", "#a50026"])
        norm = colors.Normalize(0, 1)
    if rows and x:
        grid_values = [[row.get(p.symbol, float("nan")) for row in timeline.severities] for p in rows]
        edges = _edges(x, dated)
        mesh = heat.pcolormesh(edges, range(len(rows) + 1), grid_values, cmap=cmap, norm=norm, shading="flat")
        heat.set_yticks([i + 0.5 for i in range(len(rows))], [_plain(p.symbol) for p in rows], fontsize=7)
        heat.set_ylim(len(rows), 0)
        colorbar = figure.colorbar(mesh, cax=bar)
        colorbar.ax.axhline(threshold, color="crimson", lw=2)
        colorbar.set_label(f"severity (line: threshold {threshold:g})", fontsize=8)
    else:
        bar.axis("off")
    heat.set_title("symbols that alerted, highest peak first" if alerted
                   else "symbols closest to the threshold, highest peak first", fontsize=10, loc="left")
    numbered = not timeline.clocks or None in timeline.clocks
    heat.set_xlabel("checkpoint time (UTC)" if dated else "checkpoint" if numbered else "ts")

    described = ranked[:PEAK_ROWS]
    peaks_table.set_title(("what drove each symbol at its peak" if alerted else "near misses at their peaks")
                          + f", strongest signals first ({len(described)} of {len(ranked)} shown)",
                          fontsize=10, loc="left")
    if described:
        _table(peaks_table,
               [[p.symbol, f"{p.severity:.3f}", _when(p.clock), *_driver_cells(p)] for p in described],
               ["symbol", "peak", "at", "strongest signal and its market values", "second"],
               [0.09, 0.045, 0.125, 0.37, 0.37], fontsize=7.5)
    else:
        peaks_table.text(0, 0.8, "no symbol to show", transform=peaks_table.transAxes)

    final = timeline.final[:TABLE_ROWS]
    table.set_title(f"alerts at the end ({len(timeline.final)}"
                    + (f", first {TABLE_ROWS} shown" if len(timeline.final) > TABLE_ROWS else "") + ")",
                    fontsize=10, loc="left")
    if final:
        _table(table, [[str(i), a["symbol"], f"{a['severity']:.3f}", _strongest(a["factors"]), _when(a["ts"])]
                       for i, a in enumerate(final, 1)],
               ["#", "symbol", "severity", "strongest factors", "last event"], [0.04, 0.14, 0.08, 0.56, 0.18])
    else:
        table.text(0, 0.8, "no alerts at the end", transform=table.transAxes)
    return figure


def _edges(x: list[Any], dated: bool) -> list[Any]:
    """Cell edges around the checkpoints: each cell ends at its checkpoint."""
    if len(x) > 1:
        return [x[0] - (x[1] - x[0]), *x]
    return [x[0] - (timedelta(minutes=1) if dated else 1), x[0]]


def png_bytes(timeline: Timeline) -> bytes:
    import matplotlib

    buffer = io.BytesIO()
    # text is laid out when the figure is saved: TeX stays off there too, whatever the caller's settings
    with matplotlib.rc_context({"text.usetex": False}):
        draw(timeline).savefig(buffer, format="png", dpi=DPI)
    return buffer.getvalue()


def write_png(timeline: Timeline, path: str) -> None:
    write_atomic(path, png_bytes(timeline))


_STYLE = """
body { font: 14px/1.45 system-ui, sans-serif; margin: 2em auto; max-width: 1240px; color: #222; }
h1 { font-size: 1.4em; } h2 { font-size: 1.1em; margin-top: 1.6em; }
img { max-width: 100%; border: 1px solid #ddd; }
table { border-collapse: collapse; } th, td { padding: 3px 10px; border-bottom: 1px solid #e4e4e4; text-align: left; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
td { white-space: nowrap; } td.wrap { white-space: normal; } td[rowspan] { vertical-align: top; }
tr.quiet td { color: #999; }
td.sym { font-weight: 600; }
.hot { color: #b30000; font-weight: 600; }
p.legend { color: #555; font-size: 0.92em; margin-top: 1.4em; }
"""


def _by_strength(factors: dict[str, float]) -> list[tuple[str, float]]:
    """An alert's factors, strongest first (ties by label), without its severity."""
    return sorted(((k, v) for k, v in factors.items() if k != "severity"), key=lambda kv: (-kv[1], kv[0]))


def _severity_cell(severity: float, threshold: float, span: int = 1) -> str:
    """Bold red from the specification's threshold on: what the legend under the tables says."""
    style = '"num hot"' if severity >= threshold else "num"
    rows = f" rowspan={span}" if span > 1 else ""
    return f"<td class={style}{rows}>{severity:.3f}</td>"


def _peak_rows(timeline: Timeline, peaks: Sequence[Peak], first_alert: bool) -> str:
    """One row per signal of each symbol at its peak, strongest first; the symbol's cells span them."""
    esc = html.escape
    rows = []
    for peak in peaks:
        span = max(len(peak.drivers), 1)
        head = f'<td class=sym rowspan={span}>{esc(peak.symbol)}</td>'
        if first_alert:
            head += f"<td rowspan={span}>{esc(_when(timeline.clocks[timeline.alerted[peak.symbol]]))}</td>"
        head += (f'{_severity_cell(peak.severity, timeline.threshold, span)}'
                 f'<td rowspan={span}>{esc(_when(peak.clock))}</td>')
        for i, d in enumerate(peak.drivers or [Driver("-", 0.0, 0.0, "-")]):
            quiet = "" if d.strength > 0 else ' class="quiet"'
            rows.append(f"<tr{quiet}>{head if i == 0 else ''}<td>{esc(d.label)}</td>"
                        f"<td class=num>{d.strength:.3f}</td><td class=num>{d.adds:+.3f}</td>"
                        f"<td class=wrap>{esc(d.market)}</td></tr>")
    return "".join(rows)


def write_html(timeline: Timeline, path: str, picture: bytes | None = None) -> None:
    """One page: summary, the picture, the alerts at the end, and each symbol's drivers at its peak."""
    picture = picture if picture is not None else png_bytes(timeline)
    esc = html.escape
    x_clock = [c for c in timeline.clocks if c is not None]
    span = f" from {_when(min(x_clock))} to {_when(max(x_clock))}" if x_clock else ""
    rows = []
    for i, alert in enumerate(timeline.final, 1):
        factors = ", ".join(f"{esc(k)} {v:.3f}" for k, v in _by_strength(alert["factors"]))
        rows.append(f"<tr><td class=num>{i}</td><td>{esc(alert['symbol'])}</td>"
                    f"{_severity_cell(alert['severity'], timeline.threshold)}"
                    f"<td class=wrap>{factors}</td><td>{esc(_when(alert['ts']))}</td></tr>")
    signal_heads = "<th>signal</th><th>strength</th><th>adds</th><th>market values behind it</th>"
    alerted = timeline.ranked_peaks()
    if alerted:
        peaks = f"""<h2>Symbols that alerted, at their peaks</h2>
<p>Each symbol's signals at its highest severity, strongest first: "adds" is the part of the severity the signal
gives (strength times weight over the sum of the weights).</p>
<table><thead><tr><th>symbol</th><th>first alert</th><th>peak severity</th><th>peak at</th>{signal_heads}</tr></thead>
<tbody>{_peak_rows(timeline, alerted, True)}</tbody></table>"""
    else:
        misses = timeline.near_misses()
        peaks = f"""<h2>Near misses</h2>
<p>No symbol reached the threshold. The {len(misses)} closest, at their highest severity, signals strongest first:
"adds" is the part of the severity the signal gives (strength times weight over the sum of the weights).</p>
<table><thead><tr><th>symbol</th><th>peak severity</th><th>peak at</th>{signal_heads}</tr></thead>
<tbody>{_peak_rows(timeline, misses, False) or '<tr><td colspan=7>none</td></tr>'}</tbody></table>"""
    legend = (f'<p class=legend><span class=hot>Bold red</span>: a severity at or above the threshold '
              f'{timeline.threshold:g}, where the radar alerts. Liquidations: a "sell" closes a long position '
              f'(the exchange sells it), a "buy" closes a short.'
              + (f" Look-backs count {esc(timeline.bar)} bars: the replay kept one snapshot of each kind per "
                 f"symbol and bar." if timeline.bar else "") + "</p>")
    page = f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{esc(timeline.title)}</title>
<style>{_STYLE}</style></head><body>
<h1>{esc(timeline.title)}</h1>
<p>{timeline.events} events over {len(timeline.clocks)} checkpoints{esc(span)};
threshold {timeline.threshold:g}; {len(timeline.alerted)} symbols alerted at some checkpoint,
{len(timeline.final)} at the end.</p>
<img alt="severity over time" src="data:image/png;base64,{base64.b64encode(picture).decode()}">
<h2>Alerts at the end</h2>
<table><thead><tr><th>#</th><th>symbol</th><th>severity</th><th>factors</th><th>last event</th></tr></thead>
<tbody>{''.join(rows) or '<tr><td colspan=5>none</td></tr>'}</tbody></table>
{peaks}
{legend}
</body></html>
"""
    write_atomic(path, page)
