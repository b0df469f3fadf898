"""The page of an evaluation: what followed the alerts, against symbols that did not alert.

`write_evaluation_html(stats, onsets, path)` writes one page that opens
offline (pictures embedded as base64): the event study with its bands, the
lift per horizon with its interval, the mean absolute return per severity
quintile, the per-horizon table with every count, the factor breakdown, and
the best and worst onsets. `stats` is the object `evaluate --json` prints,
`onsets` the rows of its onsets file (`csv.DictReader` rows: texts, an empty
text for a missing number; numbers are taken too). `evaluation_png(stats)`
gives the three pictures as one PNG.

Every figure says how many values it rests on, and a statistic that rests on
nothing (`null`) shows as "–", never as 0. Texts from the data (symbols,
factor labels, the title) are drawn as plain text and escaped in the page.
"""

from __future__ import annotations

import base64
import html
import io
import math
from typing import Any, Iterable, Mapping, Sequence

from .atomic import write_atomic
from .report import _is_epoch_ms, _plain, _utc, matplotlib_missing

__all__ = ["write_evaluation_html", "evaluation_png", "write_evaluation_png", "matplotlib_missing"]

NONE = "–"  # a statistic that rests on nothing
RANKED = 10  # best and worst onsets listed
DPI = 100
ONSETS_COLOUR, BASELINE_COLOUR = "#c0392b", "#7f8c8d"


# --- reading what the engine wrote ----------------------------------------------------


def _number(value: Any) -> float | None:
    """A number, or None for null, an empty cell or anything that is not one."""
    if value is None or isinstance(value, bool):
        return None
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    return number if math.isfinite(number) else None


def _horizons(stats: Mapping) -> list[str]:
    return [str(h.get("horizon")) for h in stats.get("horizons") or []]


def _at(group: Mapping, horizon: str, index: int) -> Mapping:
    """A group's statistics at one horizon: keyed by the horizon as given, or listed in horizon order."""
    per = group.get("horizons")
    if isinstance(per, Mapping):
        return per.get(horizon) or {}
    if isinstance(per, list):
        for item in per:
            if isinstance(item, Mapping) and str(item.get("horizon")) == horizon:
                return item
        if index < len(per) and isinstance(per[index], Mapping):
            return per[index]
    return group.get(horizon) or {}


def _curve(side: Any) -> dict[str, float | None]:
    """One offset of the event study for one side: mean, count, band."""
    side = side if isinstance(side, Mapping) else {}
    band = side.get("band") if isinstance(side.get("band"), list) else [side.get("low"), side.get("high")]
    return {"mean": _number(side.get("mean", side.get("mean_abs_return"))), "count": _number(side.get("count", side.get("n"))),
            "low": _number(band[0] if band else None), "high": _number(band[1] if len(band) > 1 else None)}


def _event_study(stats: Mapping) -> list[dict]:
    """Rows of offset, onsets and baseline, from a list of rows or from columns."""
    study = stats.get("event_study") or []
    if isinstance(study, Mapping):  # columns: {"offsets": [...], "onsets": {"mean": [...], ...}, ...}
        offsets = study.get("offsets") or []

        def column(side: str, i: int) -> dict:
            part = study.get(side) or {}
            return {k: (v[i] if isinstance(v, list) and i < len(v) else None) for k, v in part.items()}

        study = [{"offset": o, "onsets": column("onsets", i), "baseline": column("baseline", i)}
                 for i, o in enumerate(offsets)]
    return [{"offset": _number(row.get("offset")), "onsets": _curve(row.get("onsets")),
             "baseline": _curve(row.get("baseline"))} for row in study if isinstance(row, Mapping)]


# --- words and numbers ----------------------------------------------------------------


def _pct(value: Any, digits: int = 2, sign: bool = True) -> str:
    number = _number(value)
    return NONE if number is None else f"{number * 100:{'+' if sign else ''}.{digits}f}%"


def _fixed(value: Any, digits: int = 2, sign: bool = False) -> str:
    number = _number(value)
    return NONE if number is None else f"{number:{'+' if sign else ''}.{digits}f}"


def _p(value: Any) -> str:
    number = _number(value)
    return NONE if number is None else "< 0.0001" if number < 1e-4 else f"{number:.4f}"


def _count(value: Any) -> str:
    number = _number(value)
    return NONE if number is None else f"{number:,.0f}"


def _interval(value: Any) -> str:
    if not isinstance(value, (list, tuple)) or len(value) != 2:
        return NONE
    low, high = (_number(v) for v in value)
    return NONE if low is None or high is None else f"{low:.2f} – {high:.2f}"


def _duration(offset: float | None, in_ms: bool) -> str:
    """An offset in timestamp units; as a duration when the horizons were durations (epoch ms)."""
    if offset is None:
        return NONE
    if not in_ms:
        return f"{offset:g}"
    for size, unit in ((86_400_000, "d"), (3_600_000, "h"), (60_000, "m"), (1000, "s")):
        if offset >= size:
            return f"{offset / size:.3g}{unit}"
    return f"{offset:g}ms"


def _in_ms(horizons: Sequence[str]) -> bool:
    return any(any(c.isalpha() for c in h) for h in horizons)


def _clock(value: Any) -> str:
    number = _number(value)
    if number is None:
        return NONE
    ts = int(number)
    return _utc(ts).strftime("%Y-%m-%d %H:%M:%S") if _is_epoch_ms(ts) else f"{ts}"


# --- pictures ---------------------------------------------------------------------------


def _count_range(counts: Iterable[float | None]) -> str:
    known = [int(c) for c in counts if c is not None]
    if not known:
        return "n = 0"
    low, high = min(known), max(known)
    return f"n = {low:,}" if low == high else f"n = {low:,}–{high:,}"


def _draw_event_study(ax, stats: Mapping) -> None:
    rows = _event_study(stats)
    in_ms = _in_ms(_horizons(stats))
    scale = {86_400_000: "d", 3_600_000: "h", 60_000: "min", 1000: "s"}
    divisor, unit = 1.0, ""
    offsets = [r["offset"] for r in rows if r["offset"] is not None]
    if in_ms and offsets:
        divisor, unit = next(((s, u) for s, u in scale.items() if max(offsets) >= 2 * s), (1.0, "ms"))
    xs = [(r["offset"] if r["offset"] is not None else math.nan) / divisor for r in rows]
    nan = math.nan
    for side, colour, name in (("onsets", ONSETS_COLOUR, "onsets"), ("baseline", BASELINE_COLOUR, "baseline")):
        curve = [r[side] for r in rows]
        means = [c["mean"] * 100 if c["mean"] is not None else nan for c in curve]
        ax.plot(xs, means, color=colour, lw=1.8, marker="o", ms=3,
                label=f"{name} ({_count_range(c['count'] for c in curve)})")
        ax.fill_between(xs, [c["low"] * 100 if c["low"] is not None else nan for c in curve],
                        [c["high"] * 100 if c["high"] is not None else nan for c in curve],
                        color=colour, alpha=0.15, lw=0)
    if not rows:
        ax.text(0.5, 0.5, "no event study: no onset was evaluated", ha="center", va="center", transform=ax.transAxes)
    ax.set_title("mean absolute return after the checkpoint, with 95% bands", loc="left", fontsize=10)
    ax.set_xlabel(f"time after the checkpoint ({unit})" if unit else "time after the checkpoint")
    ax.set_ylabel("mean |return| (%)")
    ax.grid(alpha=0.3)
    ax.legend(loc="upper left", fontsize=8, frameon=False)


def _draw_lift(ax, stats: Mapping) -> None:
    horizons = stats.get("horizons") or []
    ax.axhline(1, color="#555", lw=1, ls="--", label="1: as large as the baseline")
    for i, h in enumerate(horizons):
        lift, ci = _number(h.get("lift")), h.get("lift_ci")
        base = h.get("baseline") or {}
        counts = f"n = {_count(h.get('resolved'))} / {_count(base.get('resolved'))}"
        if lift is None:
            ax.annotate(f"{NONE}\n{counts}", (i, 1), ha="center", va="bottom", fontsize=8,
                        xytext=(0, 6), textcoords="offset points")
            continue
        low, high = (_number(v) for v in ci) if isinstance(ci, list) and len(ci) == 2 else (None, None)
        if low is not None and high is not None:
            ax.errorbar([i], [lift], yerr=[[max(lift - low, 0)], [max(high - lift, 0)]], fmt="o",
                        color=ONSETS_COLOUR, capsize=5, lw=1.6)
        else:
            ax.plot([i], [lift], "o", color=ONSETS_COLOUR)
        ax.annotate(f"{lift:.2f}\n{counts}", (i, high if high is not None else lift), ha="center", va="bottom",
                    fontsize=8, xytext=(0, 4), textcoords="offset points")
    ax.set_xticks(range(len(horizons)), [_plain(str(h.get("horizon"))) for h in horizons])
    ax.set_xlim(-0.6, max(len(horizons), 1) - 0.4)
    bottom, top = ax.get_ylim()
    ax.set_ylim(min(bottom, 0.8), top + (top - bottom) * 0.2)  # room for the labels above the bars
    ax.set_title("lift per horizon with its 95% interval (n = onsets / baseline draws resolved)",
                 loc="left", fontsize=10)
    ax.set_ylabel("lift")
    ax.grid(alpha=0.3, axis="y")
    ax.legend(loc="upper left", fontsize=8, frameon=False)


def _draw_quintiles(ax, stats: Mapping) -> None:
    from matplotlib import colormaps

    horizons = _horizons(stats)
    quintiles = [q for q in stats.get("by_quintile") or [] if isinstance(q, Mapping)]
    width = 0.8 / max(len(horizons), 1)
    palette = colormaps["viridis"]
    for j, horizon in enumerate(horizons):
        colour = palette(j / max(len(horizons) - 1, 1) * 0.85)
        xs = [i + (j - (len(horizons) - 1) / 2) * width for i in range(len(quintiles))]
        values = [_number(_at(q, horizon, j).get("mean_abs_return")) for q in quintiles]
        bars = ax.bar(xs, [v * 100 if v is not None else math.nan for v in values], width * 0.92, color=colour,
                      label=_plain(horizon))
        for bar, q, v in zip(bars, quintiles, values):  # no bar, and a dash, where nothing resolved
            label = _count(_at(q, horizon, j).get("resolved")) if v is not None else NONE
            ax.annotate(label, (bar.get_x() + bar.get_width() / 2, v * 100 if v is not None else 0), ha="center",
                        va="bottom", fontsize=6.5, xytext=(0, 1), textcoords="offset points")
        base = _number(((stats["horizons"][j].get("baseline")) or {}).get("mean_abs_return"))
        if base is not None and quintiles:
            ax.hlines(base * 100, -0.5, len(quintiles) - 0.5, colors=[colour], linestyles="dashed", lw=1)
    ax.set_xticks(range(len(quintiles)),
                  [f"Q{q.get('quintile', i + 1)}\n{_fixed(q.get('severity_min'), 2)}–{_fixed(q.get('severity_max'), 2)}"
                   f"\n{_count(q.get('onsets'))} onsets" for i, q in enumerate(quintiles)], fontsize=8)
    if not quintiles:
        ax.text(0.5, 0.5, "no quintiles: no onset with a price", ha="center", va="center", transform=ax.transAxes)
    ax.set_title("mean absolute return per severity quintile (bar labels: resolved onsets; "
                 "dashed: the baseline)", loc="left", fontsize=10)
    ax.set_ylabel("mean |return| (%)")
    ax.grid(alpha=0.3, axis="y")
    if horizons:
        ax.legend(title="horizon", fontsize=8, title_fontsize=8, frameon=False, loc="upper left")


_PANELS = (_draw_event_study, _draw_lift, _draw_quintiles)


def _figure(panels, height: float):
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(10, height), dpi=DPI, layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.subplots(len(panels), 1, squeeze=False)[:, 0]
    return figure, axes


def _png(figure) -> bytes:
    import matplotlib

    buffer = io.BytesIO()
    with matplotlib.rc_context({"text.usetex": False}):
        figure.savefig(buffer, format="png", dpi=DPI)
    return buffer.getvalue()


def _panel_png(draw, stats: Mapping) -> bytes:
    figure, (ax,) = _figure([draw], 4.2)
    draw(ax, stats)
    return _png(figure)


def evaluation_png(stats: Mapping, title: str = "zolvar-radar evaluate") -> bytes:
    """The event study, the lift and the quintiles in one PNG (1000 x 1300 pixels)."""
    figure, axes = _figure(_PANELS, 13)
    figure.suptitle(_plain(title), x=0.01, ha="left", fontsize=13)
    for draw, ax in zip(_PANELS, axes):
        draw(ax, stats)
    return _png(figure)


def write_evaluation_png(stats: Mapping, path: str, title: str = "zolvar-radar evaluate") -> None:
    write_atomic(path, evaluation_png(stats, title))


# --- the page ---------------------------------------------------------------------------

_STYLE = """
body { font: 14px/1.45 system-ui, sans-serif; margin: 2em auto; max-width: 1240px; color: #222; padding: 0 1em; }
h1 { font-size: 1.4em; } h2 { font-size: 1.1em; margin-top: 1.8em; }
img { max-width: 100%; border: 1px solid #ddd; display: block; margin: 0.6em 0; }
table { border-collapse: collapse; margin: 0.4em 0; }
th, td { padding: 3px 9px; border-bottom: 1px solid #e4e4e4; text-align: left; white-space: nowrap; }
th { font-weight: 600; } thead th { border-bottom: 2px solid #ccc; }
td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; }
td[rowspan] { vertical-align: top; } tr.first td { border-top: 1px solid #bbb; }
h3 { font-size: 1em; margin-top: 1.2em; }
.up { color: #1e7b34; } .down { color: #b30000; }
p.note { color: #555; font-size: 0.92em; }
"""


def _img(data: bytes, alt: str) -> str:
    return f'<img alt="{html.escape(alt)}" src="data:image/png;base64,{base64.b64encode(data).decode()}">'


def _td(text: str, numeric: bool = True, cls: str = "") -> str:
    classes = " ".join(c for c in ("num" if numeric else "", cls) if c)
    return f"<td class=\"{classes}\">{html.escape(text)}</td>" if classes else f"<td>{html.escape(text)}</td>"


def _signed(value: Any) -> str:
    number = _number(value)
    return "" if number is None or number == 0 else "up" if number > 0 else "down"


def _horizon_table(stats: Mapping) -> str:
    """One row per horizon: the onsets' statistics, then the baseline's with its own counts."""
    heads = ["horizon", "onsets", "resolved", "unresolved", "mean return", "median return", "mean |return|",
             "hit rate", "lift", "lift 95% interval", "resamples", "p-value", "rank IC"]
    base_heads = ["horizon", "draws", "resolved", "unresolved", "mean return", "median return", "mean |return|"]
    rows, base_rows = [], []
    for h in stats.get("horizons") or []:
        b = h.get("baseline") or {}
        rows.append("<tr>" + "".join([
            _td(str(h.get("horizon")), False),
            _td(_count(h.get("onsets"))), _td(_count(h.get("resolved"))), _td(_count(h.get("unresolved"))),
            _td(_pct(h.get("mean_return"))), _td(_pct(h.get("median_return"))),
            _td(_pct(h.get("mean_abs_return"), sign=False)), _td(_pct(h.get("hit_rate"), 1, False)),
            _td(_fixed(h.get("lift"))), _td(_interval(h.get("lift_ci"))), _td(_count(h.get("bootstrap_used", h.get("bootstrap")))),
            _td(_p(h.get("p_value"))), _td(_fixed(h.get("rank_ic"), 3, True))]) + "</tr>")
        base_rows.append("<tr>" + "".join([
            _td(str(h.get("horizon")), False),
            _td(_count(b.get("onsets"))), _td(_count(b.get("resolved"))), _td(_count(b.get("unresolved"))),
            _td(_pct(b.get("mean_return"))), _td(_pct(b.get("median_return"))),
            _td(_pct(b.get("mean_abs_return"), sign=False))]) + "</tr>")
    return _table("horizons", heads, rows) + "\n<h3>Baseline draws</h3>\n" + _table("baseline", base_heads, base_rows)


def _table(table_id: str, heads: Sequence[str], rows: Sequence[str], text: Sequence[int] = (0,)) -> str:
    """A table whose columns are numbers, right-aligned, but for those in `text`."""
    head = "".join(f"<th{'' if i in text else ' class=num'}>{html.escape(t)}</th>" for i, t in enumerate(heads))
    body = "".join(rows) or f"<tr><td colspan={len(heads)}>none</td></tr>"
    return f"<table id={table_id}><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def _group_table(groups: Sequence[Mapping], horizons: Sequence[str], first: Sequence[tuple[str, Any]],
                 table_id: str) -> str:
    """A group (quintile or factor) per block of rows: its own cells, then a row per horizon."""
    heads = [name for name, _ in first] + ["horizon", "resolved", "mean return", "mean |return|", "hit rate", "lift"]
    rows = []
    for group in groups:
        span = max(len(horizons), 1)
        own = "".join(_td(cell(group), i > 0).replace("<td", f"<td rowspan={span}", 1)
                      for i, (_, cell) in enumerate(first))
        for j, horizon in enumerate(horizons or [NONE]):
            at = _at(group, horizon, j)
            cells = [_td(horizon, False), _td(_count(at.get("resolved"))), _td(_pct(at.get("mean_return"))),
                     _td(_pct(at.get("mean_abs_return"), sign=False)), _td(_pct(at.get("hit_rate"), 1, False)),
                     _td(_fixed(at.get("lift")))]
            rows.append(f"<tr{' class=first' if j == 0 else ''}>{own if j == 0 else ''}{''.join(cells)}</tr>")
    return _table(table_id, heads, rows, text=(0, len(first)))


def _ranked_onsets(onsets: Sequence[Mapping], horizons: Sequence[str]) -> tuple[list[Mapping], list[Mapping], str]:
    """The best and worst onsets by return at the longest horizon, and that horizon."""
    if not horizons:  # then from the file's own columns
        horizons = [k[len("return_"):] for k in (onsets[0] if onsets else {}) if k.startswith("return_")]
    if not horizons:
        return [], [], ""
    longest = horizons[-1]
    scored = [(r, _number(r.get(f"return_{longest}"))) for r in onsets]
    scored = [(r, v) for r, v in scored if v is not None]
    scored.sort(key=lambda rv: (-rv[1], str(rv[0].get("symbol")), _number(rv[0].get("clock")) or 0))
    best = [r for r, _ in scored[:RANKED]]
    worst = [r for r, _ in reversed(scored[-RANKED:])] if len(scored) > RANKED else list(reversed(best))
    return best, worst, longest


def _onset_table(rows: Sequence[Mapping], horizons: Sequence[str], longest: str, table_id: str) -> str:
    heads = ["symbol", "time (UTC)" if all(_is_epoch_ms(_int(r.get("clock"))) for r in rows) and rows else "clock",
             "severity", "factor", "price", *[f"return {h}" for h in horizons], f"max {longest}", f"min {longest}"]
    body = []
    for r in rows:
        cells = [_td(str(r.get("symbol", "")), False), _td(_clock(r.get("clock")), False),
                 _td(_fixed(r.get("severity"), 3)), _td(str(r.get("factor") or NONE), False),
                 _td(_fixed(r.get("price"), 6).rstrip("0").rstrip(".") if _number(r.get("price")) is not None
                     else NONE)]
        cells += [_td(_pct(r.get(f"return_{h}")), cls=_signed(r.get(f"return_{h}"))) for h in horizons]
        cells += [_td(_pct(r.get(f"max_{longest}"))), _td(_pct(r.get(f"min_{longest}")))]
        body.append("<tr>" + "".join(cells) + "</tr>")
    head = "".join(f"<th{' class=num' if i >= 2 and i != 3 else ''}>{html.escape(t)}</th>" for i, t in enumerate(heads))
    rows_html = "".join(body) or f"<tr><td colspan={len(heads)}>no onset resolved at {html.escape(longest)}</td></tr>"
    return f"<table id={table_id}><thead><tr>{head}</tr></thead><tbody>{rows_html}</tbody></table>"


def _int(value: Any) -> int | None:
    number = _number(value)
    return int(number) if number is not None else None


def write_evaluation_html(stats: Mapping, onsets: Sequence[Mapping], path: str,
                          title: str = "zolvar-radar evaluate") -> None:
    """The evaluation's page, written whole or not at all (OSError when it cannot be)."""
    esc = html.escape
    horizons = _horizons(stats)
    options = stats.get("options") if isinstance(stats.get("options"), Mapping) else {}
    used = ", ".join(f"{esc(str(k))} {esc(str(v))}" for k, v in options.items())
    best, worst, longest = _ranked_onsets(onsets, horizons)
    onset_horizons = horizons or ([longest] if longest else [])
    summary = (f"{_count(stats.get('events'))} events, {_count(stats.get('checkpoints'))} checkpoints: "
               f"{_count(stats.get('onsets'))} onsets, {_count(stats.get('no_price'))} of them without a price; "
               f"{_count(stats.get('baseline_draws'))} baseline draws; "
               f"{_count(stats.get('ignored_prices'))} prices not above 0 ignored.")
    quintile_first = [("quintile", lambda q: f"Q{q.get('quintile', '')}"),
                      ("severity", lambda q: f"{_fixed(q.get('severity_min'), 3)} – {_fixed(q.get('severity_max'), 3)}"),
                      ("onsets", lambda q: _count(q.get("onsets")))]
    factor_first = [("dominant factor", lambda f: str(f.get("factor"))), ("onsets", lambda f: _count(f.get("onsets")))]
    page = f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{esc(title)}</title>
<style>{_STYLE}</style></head><body>
<h1>{esc(title)}</h1>
<p id=summary>{summary}{f"<br>Options: {used}." if used else ""}</p>
<p class=note>An onset is a symbol that enters the alert list at a checkpoint; the baseline is a random draw of
symbols that did not alert at the same checkpoints. Returns run from the price at the checkpoint to the first
price at or past each horizon. "–" marks a figure that rests on nothing (no resolved onset, no baseline, too few
values), never a zero.</p>

<h2>Event study</h2>
{_img(_panel_png(_draw_event_study, stats), "event study")}

<h2>Lift per horizon</h2>
<p class=note>Mean absolute return of the onsets over that of the baseline: above 1, the alerts were followed by
larger moves. The interval resamples whole checkpoints.</p>
{_img(_panel_png(_draw_lift, stats), "lift per horizon")}

<h2>Per horizon</h2>
{_horizon_table(stats)}
<p class=note>Hit rate: the share of resolved onsets whose absolute return beats the baseline's median absolute
return. p-value: one-sided rank-sum test that the onsets' absolute returns are larger. Rank IC: rank correlation
of severity with absolute return.</p>

<h2>By severity quintile</h2>
{_img(_panel_png(_draw_quintiles, stats), "severity quintiles")}
{_group_table([q for q in stats.get("by_quintile") or [] if isinstance(q, Mapping)], horizons,
              quintile_first, "quintiles")}

<h2>By dominant factor</h2>
{_group_table([f for f in stats.get("by_factor") or [] if isinstance(f, Mapping)], horizons,
              factor_first, "factors")}

<h2>Best onsets{f" (return at {esc(longest)})" if longest else ""}</h2>
{_onset_table(best, onset_horizons, longest, "best")}

<h2>Worst onsets{f" (return at {esc(longest)})" if longest else ""}</h2>
{_onset_table(worst, onset_horizons, longest, "worst")}
</body></html>
"""
    write_atomic(path, page)
