"""The picture of a replay: severity over time of the symbols that alerted, and the alerts at the end.

`Timeline` follows a replay: it is fed the same events as the replay's radar
and, at every checkpoint, records the severity of every symbol. It gets
those from a second radar with the same signals, a threshold below any
severity and no limit, since the replay's own radar only lists the symbols
at or above the threshold. It keeps one number per symbol and checkpoint.

`write_png` draws with matplotlib (its Agg canvas, without pyplot, so no
backend is chosen for the caller); `write_html` writes one page that opens
offline: the same picture embedded as base64 and the tables as HTML.
"""

from __future__ import annotations

import base64
import html
import io
import json
from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone
from typing import Any, Sequence

from ._zolvar_radar import Radar
from .inputs import feed_batch_command

WIDTH, HEIGHT, DPI = 12.0, 10.0, 100  # the PNG is 1200 x 1000 pixels
LINES_SHOWN = 8  # symbols drawn as lines; the heatmap shows more
HEATMAP_ROWS = 30
TABLE_ROWS = 10  # final alerts drawn in the picture; the HTML page lists them all
NO_EVENT_TS = -(2**63)


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


@dataclass
class Timeline:
    """Severities of every symbol at each checkpoint of a replay, and what the replay alerted on."""

    signals: list
    threshold: float
    title: str = "zolvar-radar replay"
    clocks: list[int | None] = field(default_factory=list)
    severities: list[dict[str, float]] = field(default_factory=list)
    alerted: dict[str, int] = field(default_factory=dict)  # symbol -> checkpoint of its first alert
    final: list[dict] = field(default_factory=list)  # the alerts at the last checkpoint
    events: int = 0

    def __post_init__(self) -> None:
        # threshold -1: every severity lies in [0, 1], so every symbol is listed
        self._radar = Radar(json.dumps({"signals": self.signals, "threshold": -1}))

    def feed(self, symbol: str, events: Sequence[str]) -> None:
        """The event texts the replay fed for one symbol (all of them accepted)."""
        answer = self._radar.command(feed_batch_command(symbol, events))
        if answer != '{"ok":true}':  # the replay's radar took the very same texts
            raise RuntimeError(f"report radar refused what the replay fed: {answer}")
        self.events += len(events)

    def checkpoint(self, clock: int | None, alerts: list[dict]) -> None:
        listed = json.loads(self._radar.command('{"cmd":"alerts"}'))["alerts"]
        self.clocks.append(clock)
        self.severities.append({a["symbol"]: a["severity"] for a in listed})
        for alert in alerts:
            self.alerted.setdefault(alert["symbol"], len(self.clocks) - 1)
        self.final = alerts

    # --- what is drawn ---------------------------------------------------------

    def ranked_symbols(self) -> list[tuple[str, float, int]]:
        """(symbol, peak severity, checkpoint of the peak) of the symbols that alerted, highest peak first."""
        peaks = []
        for symbol in self.alerted:
            series = [row.get(symbol, 0.0) for row in self.severities]
            top = max(range(len(series)), key=series.__getitem__)
            peaks.append((symbol, series[top], top))
        peaks.sort(key=lambda p: (-p[1], p[0]))
        return peaks

    def _x(self) -> tuple[list[Any], bool]:
        """The checkpoints' x positions, and whether they are dates."""
        if self.clocks and all(_is_epoch_ms(c) for c in self.clocks):
            return [_utc(c).replace(tzinfo=None) for c in self.clocks], True  # type: ignore[arg-type]
        if self.clocks and all(c is not None for c in self.clocks):
            return list(self.clocks), False
        return list(range(1, len(self.clocks) + 1)), False


def _strongest(factors: dict[str, float], count: int = 3) -> str:
    pairs = sorted(((v, k) for k, v in factors.items() if k != "severity" and v > 0), key=lambda p: (-p[0], p[1]))
    return ", ".join(f"{k} {v:.2f}" for v, k in pairs[:count]) or "-"


def draw(timeline: Timeline):
    """The figure: severity lines of the top symbols, a heatmap of all that alerted, the final alerts."""
    from matplotlib import colors
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(WIDTH, HEIGHT), dpi=DPI, layout="constrained")
    FigureCanvasAgg(figure)
    grid = figure.add_gridspec(3, 2, height_ratios=[3, 3.4, 2.2], width_ratios=[60, 1])
    lines = figure.add_subplot(grid[0, 0])
    heat = figure.add_subplot(grid[1, 0], sharex=lines)
    bar = figure.add_subplot(grid[1, 1])
    table = figure.add_subplot(grid[2, :])
    table.axis("off")
    figure.suptitle(timeline.title, x=0.01, ha="left", fontsize=13)

    x, dated = timeline._x()
    ranked = timeline.ranked_symbols()
    threshold = timeline.threshold
    if not ranked:
        for ax in (lines, heat):
            ax.text(0.5, 0.5, "no symbol reached the threshold", ha="center", va="center", transform=ax.transAxes)
    shown = ranked[:LINES_SHOWN]
    for symbol, _, _ in shown:
        lines.plot(x, [row.get(symbol, float("nan")) for row in timeline.severities], lw=1.4, label=symbol)
    lines.axhline(threshold, color="crimson", ls="--", lw=1, label=f"threshold {threshold:g}")
    lines.set_ylim(0, 1.02)
    lines.set_ylabel("severity")
    lines.grid(alpha=0.3)
    lines.legend(loc="upper left", fontsize=8, ncol=min(5, len(shown) + 1), frameon=False)
    rest = len(ranked) - len(shown)
    lines.set_title(f"severity at each checkpoint, the {len(shown)} highest peaks"
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
        grid_values = [[row.get(symbol, float("nan")) for row in timeline.severities] for symbol, _, _ in rows]
        edges = _edges(x, dated)
        mesh = heat.pcolormesh(edges, range(len(rows) + 1), grid_values, cmap=cmap, norm=norm, shading="flat")
        heat.set_yticks([i + 0.5 for i in range(len(rows))], [s for s, _, _ in rows], fontsize=7)
        heat.set_ylim(len(rows), 0)
        colorbar = figure.colorbar(mesh, cax=bar)
        colorbar.ax.axhline(threshold, color="crimson", lw=2)
        colorbar.set_label(f"severity (line: threshold {threshold:g})", fontsize=8)
    else:
        bar.axis("off")
    heat.set_title("symbols that alerted, highest peak first", fontsize=10, loc="left")
    numbered = not timeline.clocks or None in timeline.clocks
    heat.set_xlabel("checkpoint time (UTC)" if dated else "checkpoint" if numbered else "ts")

    final = timeline.final[:TABLE_ROWS]
    table.set_title(f"alerts at the end ({len(timeline.final)}"
                    + (f", first {TABLE_ROWS} shown" if len(timeline.final) > TABLE_ROWS else "") + ")",
                    fontsize=10, loc="left")
    if final:
        cells = [[str(i), a["symbol"], f"{a['severity']:.3f}", _strongest(a["factors"]), _when(a["ts"])]
                 for i, a in enumerate(final, 1)]
        drawn = table.table(cellText=cells, colLabels=["#", "symbol", "severity", "strongest factors", "last event"],
                            colWidths=[0.04, 0.14, 0.08, 0.56, 0.18], loc="upper left", cellLoc="left")
        drawn.auto_set_font_size(False)
        drawn.set_fontsize(8)
        drawn.scale(1, 1.15)
        for (r, _), cell in drawn.get_celld().items():
            cell.set_edgecolor("#dddddd")
            if r == 0:
                cell.set_text_props(weight="bold")
    else:
        table.text(0, 0.8, "no alerts at the end", transform=table.transAxes)
    return figure


def _edges(x: list[Any], dated: bool) -> list[Any]:
    """Cell edges around the checkpoints: each cell ends at its checkpoint."""
    if len(x) > 1:
        return [x[0] - (x[1] - x[0]), *x]
    return [x[0] - (timedelta(minutes=1) if dated else 1), x[0]]


def png_bytes(timeline: Timeline) -> bytes:
    buffer = io.BytesIO()
    draw(timeline).savefig(buffer, format="png", dpi=DPI)
    return buffer.getvalue()


def write_png(timeline: Timeline, path: str) -> None:
    with open(path, "wb") as out:
        out.write(png_bytes(timeline))


_STYLE = """
body { font: 14px/1.45 system-ui, sans-serif; margin: 2em auto; max-width: 1240px; color: #222; }
h1 { font-size: 1.4em; } h2 { font-size: 1.1em; margin-top: 1.6em; }
img { max-width: 100%; border: 1px solid #ddd; }
table { border-collapse: collapse; } th, td { padding: 3px 10px; border-bottom: 1px solid #e4e4e4; text-align: left; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
.hot { color: #b30000; font-weight: 600; }
"""


def write_html(timeline: Timeline, path: str, picture: bytes | None = None) -> None:
    """One page: summary, the picture, the alerts at the end, and when each symbol alerted."""
    picture = picture if picture is not None else png_bytes(timeline)
    esc = html.escape
    x_clock = [c for c in timeline.clocks if c is not None]
    span = f" from {_when(min(x_clock))} to {_when(max(x_clock))}" if x_clock else ""
    rows = []
    for i, alert in enumerate(timeline.final, 1):
        factors = ", ".join(f"{esc(k)} {v:.3f}" for k, v in alert["factors"].items() if k != "severity")
        hot = ' class="num hot"' if alert["severity"] >= 0.5 else ' class="num"'
        rows.append(f"<tr><td class=num>{i}</td><td>{esc(alert['symbol'])}</td><td{hot}>{alert['severity']:.3f}</td>"
                    f"<td>{factors}</td><td>{esc(_when(alert['ts']))}</td></tr>")
    peaks = []
    for symbol, peak, at in timeline.ranked_symbols():
        first = timeline.alerted[symbol]
        peaks.append(f"<tr><td>{esc(symbol)}</td><td>{esc(_when(timeline.clocks[first]))}</td>"
                     f"<td class=num>{peak:.3f}</td><td>{esc(_when(timeline.clocks[at]))}</td></tr>")
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
<h2>Symbols that alerted</h2>
<table><thead><tr><th>symbol</th><th>first alert</th><th>peak severity</th><th>peak at</th></tr></thead>
<tbody>{''.join(peaks) or '<tr><td colspan=4>none</td></tr>'}</tbody></table>
</body></html>
"""
    with open(path, "w", encoding="utf-8") as out:
        out.write(page)
