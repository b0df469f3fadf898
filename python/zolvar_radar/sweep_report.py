"""A sweep's page: the metric over pairs of swept places, and ranks out of sample against those in sample.

Plain HTML with inline SVG: it opens offline and needs nothing installed.
"""

from __future__ import annotations

import html
import itertools
import json
import math
from typing import Any

from .atomic import write_atomic

CELL = 46
MAX_PAIRS = 6


def _fmt(v: Any, digits: int = 3) -> str:
    return "–" if v is None else f"{v:.{digits}f}"


def _shade(v: float | None, lo: float, hi: float) -> float:
    return 0.5 if v is None or hi <= lo else (v - lo) / (hi - lo)


def _colour(v: float | None, lo: float, hi: float) -> str:
    if v is None:
        return "#eeeeee"
    t = _shade(v, lo, hi)
    # light yellow to deep blue
    r, g, b = (int(255 + (34 - 255) * t), int(247 + (94 - 247) * t), int(188 + (168 - 188) * t))
    return f"#{r:02x}{g:02x}{b:02x}"


def _key(v: Any) -> str:
    return json.dumps(v, separators=(",", ":"))


def heatmap(stats: dict, params: list[dict], a: str, b: str) -> str:
    """The best in-sample metric per pair of values of places a and b, its out-of-sample figure beneath."""
    ins, oos = stats["metric_in_sample"], stats["metric_out_of_sample"]
    xs = list(dict.fromkeys(_key(p.get(a)) for p in params))
    ys = list(dict.fromkeys(_key(p.get(b)) for p in params))
    best: dict[tuple[str, str], int] = {}
    for j, p in enumerate(params):
        cell = (_key(p.get(a)), _key(p.get(b)))
        k = best.get(cell)
        if ins[j] is not None and (k is None or ins[k] is None or ins[j] > ins[k]):
            best[cell] = j
        elif k is None:
            best[cell] = j
    values = [ins[j] for j in best.values() if ins[j] is not None]
    lo, hi = (min(values), max(values)) if values else (0.0, 1.0)
    left, top = 110, 30
    w, h = left + CELL * len(xs) + 10, top + CELL * len(ys) + 10
    parts = [f'<svg class="heatmap" width="{w}" height="{h}" xmlns="http://www.w3.org/2000/svg" '
             f'font-family="sans-serif" font-size="10">']
    for i, x in enumerate(xs):
        parts.append(f'<text x="{left + CELL * i + CELL / 2}" y="{top - 8}" text-anchor="middle">{html.escape(x)}</text>')
    for r, y in enumerate(ys):
        parts.append(f'<text x="{left - 6}" y="{top + CELL * r + CELL / 2 + 3}" text-anchor="end">{html.escape(y)}</text>')
        for i, x in enumerate(xs):
            j = best.get((x, y))
            v = ins[j] if j is not None else None
            o = oos[j] if j is not None else None
            parts.append(f'<rect x="{left + CELL * i}" y="{top + CELL * r}" width="{CELL - 2}" height="{CELL - 2}" '
                         f'fill="{_colour(v, lo, hi)}"><title>candidate {j}: in sample {_fmt(v)}, '
                         f'out of sample {_fmt(o)}</title></rect>')
            # light text on the darker half of the scale
            ink = "#ffffff" if v is not None and _shade(v, lo, hi) > 0.55 else "#111111"
            parts.append(f'<text class="cell" x="{left + CELL * i + CELL / 2 - 1}" y="{top + CELL * r + 20}" '
                         f'text-anchor="middle" fill="{ink}">{_fmt(v, 2)}</text>')
            parts.append(f'<text x="{left + CELL * i + CELL / 2 - 1}" y="{top + CELL * r + 33}" text-anchor="middle" '
                         f'fill="{ink}" fill-opacity="0.8">{_fmt(o, 2)}</text>')
    parts.append("</svg>")
    caption = (f'<p class="caption">Across: {html.escape(a)}; down: {html.escape(b)}. Each cell shows the candidate '
               f'best in sample there: in sample above, out of sample below.</p>')
    return "".join(parts) + caption


def ranks(stats: dict) -> str:
    """Each candidate's out-of-sample rank against its in-sample rank (1 the best)."""
    ins, oos = stats["metric_in_sample"], stats["metric_out_of_sample"]
    m = len(ins)

    def ranked(v: list) -> list[int]:
        order = sorted(range(m), key=lambda j: (v[j] is None, -(v[j] or 0.0), j))
        out = [0] * m
        for r, j in enumerate(order, 1):
            out[j] = r
        return out

    ri, ro = ranked(ins), ranked(oos)
    size, pad = 320, 40
    scale = (size - 2 * pad) / max(m - 1, 1)
    parts = [f'<svg class="ranks" width="{size}" height="{size}" xmlns="http://www.w3.org/2000/svg" '
             f'font-family="sans-serif" font-size="10">',
             f'<line x1="{pad}" y1="{pad}" x2="{size - pad}" y2="{size - pad}" stroke="#bbb"/>']
    for j in range(m):
        x, y = pad + (ri[j] - 1) * scale, pad + (ro[j] - 1) * scale
        parts.append(f'<circle cx="{x:.1f}" cy="{y:.1f}" r="3" fill="#225ea8" fill-opacity="0.6">'
                     f'<title>candidate {j}: rank {ri[j]} in sample, {ro[j]} out of sample</title></circle>')
    parts.append(f'<text x="{size / 2}" y="{size - 10}" text-anchor="middle">rank in sample</text>'
                 f'<text x="12" y="{size / 2}" transform="rotate(-90 12 {size / 2})" text-anchor="middle">'
                 f'rank out of sample</text></svg>')
    return "".join(parts)


def write_sweep_html(stats: dict, grid, path: str, title: str = "zolvar-radar sweep") -> None:
    places = [p for p in dict.fromkeys(k for ps in grid.params for k in ps)]
    pairs = list(itertools.combinations(places, 2))[:MAX_PAIRS]
    best = stats["best"]
    rows = "".join(
        f"<tr><td>{k}</td><td>{c['candidate']}</td><td>{html.escape(', '.join(f'{p}={_key(v)}' for p, v in c['params'].items()) or '(the base)')}</td>"
        f"<td>{_fmt(c['metric_in_sample'])}</td><td>{_fmt(c['metric_out_of_sample'])}</td>"
        f"<td>{_fmt(c['p_adjusted'], 4)}</td></tr>" for k, c in enumerate(stats["top"], 1))
    maps = "".join(f"<h3>{html.escape(a)} × {html.escape(b)}</h3>{heatmap(stats, grid.params, a, b)}" for a, b in pairs)
    if not pairs and len(places) == 1:
        maps = f"<h3>{html.escape(places[0])}</h3>{heatmap(stats, grid.params, places[0], places[0])}"
    page = f"""<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>{html.escape(title)}</title>
<style>body{{font-family:sans-serif;margin:2em;max-width:70em}} table{{border-collapse:collapse}}
td,th{{padding:2px 8px;border-bottom:1px solid #ddd;text-align:right}} td:nth-child(3),th:nth-child(3){{text-align:left}}
.caption{{font-size:0.85em;color:#444}}</style>
</head><body>
<h1>{html.escape(title)}</h1>
<p id="summary">{stats['candidates']} candidates, ranked by {html.escape(stats['metric'])} at {html.escape(stats['horizon'])},
over {stats['events']} events and {stats['checkpoints']} checkpoints.
Best: candidate <b id="best">{best['candidate']}</b>, {_fmt(best['metric_in_sample'])} in sample,
{_fmt(best['metric_out_of_sample'])} out of sample, p adjusted for {stats['candidates']} candidates (Holm) {_fmt(best['p_adjusted'], 4)}.
The best of {stats['candidates']} no-skill candidates reaches {_fmt(stats['expected_max_null'])}
(mean of {stats['null_replications']} replications); probability of backtest overfitting
<b id="pbo">{_fmt(stats['pbo'], 2)}</b> ({stats['pbo_combinations']} combinations of {stats['pbo_blocks']} blocks).</p>
<h2>Leading candidates</h2>
<table><tr><th>#</th><th>candidate</th><th>differs at</th><th>in sample</th><th>out of sample</th><th>p Holm</th></tr>{rows}</table>
<h2>The metric over pairs of swept places</h2>{maps or '<p>Fewer than two places vary.</p>'}
<h2>Ranks out of sample against ranks in sample</h2>{ranks(stats)}
<p>Points on the diagonal kept their rank; a cloud with no slope means the ranking in sample says little about
the one out of sample.</p>
</body></html>
"""
    write_atomic(path, page.encode())
